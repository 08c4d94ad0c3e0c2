#include "corvane/files/roll_forward.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "corvane/files/location.hpp"
#include "corvane/files/replacement.hpp"
#include "internal.hpp"

namespace corvane::files {

using internal::retry;

std::string roll_forward_name(std::string_view name) {
  return temporary_prefix(name) + "complete";
}

namespace {

// The whole new text an interrupted in-place save left beside `file`, where
// it may be trusted: a regular file of one link, made by this user, by the
// file's owner, or by a member of the group that may write the file (in a
// directory that not everyone may write to). None otherwise.
Result<std::optional<OpenFile>> open_roll_forward(System& system, const Location& location,
                                                  const struct stat& file) {
  const std::string name = roll_forward_name(location.name);
  const int fd = retry([&] {
    return system.openat(location.directory.get(), name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
  });
  if (fd < 0) {
    if (errno == ENOENT || errno == ELOOP) return std::nullopt;
    return std::unexpected(last_error());
  }
  OpenFile found{Fd(system, fd), {}};
  struct stat directory {};
  if (system.fstat(fd, &found.info) != 0 ||
      system.fstat(location.directory.get(), &directory) != 0) {
    return std::unexpected(last_error());
  }
  const struct stat& copy = found.info;
  const bool trusted = copy.st_uid == ::geteuid() || copy.st_uid == file.st_uid ||
                       ((file.st_mode & S_IWGRP) != 0 && copy.st_gid == file.st_gid &&
                        (directory.st_mode & S_IWOTH) == 0);
  if (!S_ISREG(copy.st_mode) || copy.st_nlink != 1 || !trusted) return std::nullopt;
  return found;
}

// Writes bytes `begin` to `end` of `from` over the same bytes of `to`, in
// bounded pieces.
Result<void> write_over(System& system, int from, int to, std::uint64_t begin, std::uint64_t end) {
  std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, 1U << 20)),
                     '\0');
  for (std::uint64_t at = begin; at < end;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(end - at, buffer.size()));
    auto got = read_some_at(system, from, std::span(buffer.data(), want), at);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return std::unexpected(std::error_code(EIO, std::generic_category()));
    if (auto written =
            internal::write_all_at(system, to, std::string_view(buffer.data(), *got), at);
        !written) {
      return written;
    }
    at += *got;
  }
  return {};
}

}  // namespace

Result<OpenFile> open_to_read(System& system, const std::string& path) {
  auto file = open_regular(system, path);
  if (!file) return file;
  internal::lock_text(system, file->fd.get(), F_RDLCK);
  // No save writes over the text now; if one was killed while it did, the
  // whole new text it left is the state.
  if (auto location = locate(system, *file, path)) {
    auto copy = open_roll_forward(system, *location, file->info);
    if (copy && *copy) return std::move(**copy);
  }
  return file;
}

Result<void> finish_interrupted_save(System& system, const Lock& lock, const std::string& path) {
  auto location = locate(system, lock.file(), path);
  if (!location) return {};  // the save says so, where it matters
  auto copy = open_roll_forward(system, *location, lock.file().info);
  if (!copy) return std::unexpected(copy.error());
  if (!*copy) return {};
  const int directory = location->directory.get();
  const int fd = retry([&] {
    return system.openat(directory, location->name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0);
  });
  if (fd < 0) return std::unexpected(last_error());
  Fd target(system, fd);
  struct stat info {};
  if (system.fstat(fd, &info) != 0) return std::unexpected(last_error());
  if (!internal::same_file(info, lock.file().info)) return std::unexpected(Errc::path_switched);
  internal::lock_text(system, fd, F_WRLCK);
  const auto size = static_cast<std::uint64_t>((*copy)->info.st_size);
  if (auto written = write_over(system, (*copy)->fd.get(), fd, 0, size); !written) return written;
  if (system.ftruncate(fd, static_cast<off_t>(size)) != 0) return std::unexpected(last_error());
  if (retry([&] { return system.fsync(fd); }) != 0 && errno != EINVAL) {
    return std::unexpected(last_error());
  }
  if (auto closed = target.close(); !closed) return closed;
  (void)system.unlinkat(directory, roll_forward_name(location->name).c_str(), 0);
  internal::sync_directory(system, directory);
  return {};
}

}  // namespace corvane::files
