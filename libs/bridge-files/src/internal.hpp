#pragma once

// What the file layer's units share among themselves and show no user.

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "corvane/files/error.hpp"
#include "corvane/files/system.hpp"

namespace corvane::files::internal {

// The interrupted-call loop every blocking call goes through.
template <typename Call>
auto retry(Call&& call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

inline bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The extended attribute that holds a file's access ACL.
inline constexpr const char* kAccessAcl = "system.posix_acl_access";

// --- descriptors

// Fills all of `buffer` from `fd` at `offset`; an end of file before that is
// EIO.
Result<void> read_exact_at(System& system, int fd, std::span<char> buffer, std::uint64_t offset);

// Writes all of `bytes` at `offset`, continuing partial and interrupted
// writes; a write that takes nothing fails with write_returned_zero.
Result<void> write_all_at(System& system, int fd, std::string_view bytes, std::uint64_t offset);

// --- where files live

// `path` as its directory and its name there ("." for a bare name).
std::pair<std::string, std::string> split_directory(const std::string& path);

// Flushes the directory's entries to disk, where it may be opened to do so.
void sync_directory(System& system, int directory);

// --- record locks on the text

// Waits for, and takes, the text of the file open as `fd`: shared to read
// it (F_RDLCK), alone to write over it (F_WRLCK).
void lock_text(System& system, int fd, short type);

}  // namespace corvane::files::internal
