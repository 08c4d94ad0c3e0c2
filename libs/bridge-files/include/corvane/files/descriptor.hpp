#pragma once

// Open files: descriptors closed once, opening without blocking, and reading
// and writing that carry on through interrupted and partial calls.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "corvane/files/error.hpp"
#include "corvane/files/system.hpp"

namespace corvane::files {

// An open file descriptor, closed once.
class Fd {
 public:
  Fd() noexcept = default;
  Fd(System& system, int fd) noexcept : system_(&system), fd_(fd) {}
  Fd(Fd&& other) noexcept : system_(other.system_), fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      system_ = other.system_;
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes now, reporting a failure of close itself.
  Result<void> close();
  void reset() noexcept;

 private:
  System* system_ = nullptr;
  int fd_ = -1;
};

// True when `fd` is a terminal.
[[nodiscard]] bool is_terminal(int fd) noexcept;

// How many columns wide the terminal `fd` is; 0 when it is not a terminal or
// does not say.
[[nodiscard]] std::size_t terminal_columns(int fd) noexcept;

// True when `path` names an existing entry of any kind, following links; an
// entry whose existence cannot be determined counts as missing.
[[nodiscard]] bool exists(System& system, const std::string& path);

// An open regular file and what the system said of it when it was opened.
struct OpenFile {
  Fd fd;
  struct stat info {};
};

// Opens an existing file without ever blocking: a directory fails with
// EISDIR, a FIFO, device or socket with not_regular_file.
[[nodiscard]] Result<OpenFile> open_regular(System& system, const std::string& path,
                                            int access = 0 /* O_RDONLY */);

// Reads what is there, up to `buffer.size()` bytes; 0 at the end.
[[nodiscard]] Result<std::size_t> read_some(System& system, int fd, std::span<char> buffer);
// Reads what is there at `offset`, up to `buffer.size()` bytes; 0 at the end.
[[nodiscard]] Result<std::size_t> read_some_at(System& system, int fd, std::span<char> buffer,
                                               std::uint64_t offset);

// Writes all of `bytes`, continuing partial writes and interrupted ones; a
// write that takes nothing fails with write_returned_zero.
[[nodiscard]] Result<void> write_all(System& system, int fd, std::string_view bytes);

// What the system says of an open file once any write to it from now on
// would show in its modification time: a file written within the clock's
// last tick is looked at again after the tick.
[[nodiscard]] Result<struct stat> settled_stat(System& system, int fd);

// True when `now` (of the same file) shows no write since `then`: same
// size and modification time (a change of mode or owner does not count).
[[nodiscard]] bool unchanged(const struct stat& then, const struct stat& now) noexcept;

}  // namespace corvane::files
