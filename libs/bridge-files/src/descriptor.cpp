#include "corvane/files/descriptor.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "internal.hpp"

namespace corvane::files {

using internal::retry;

Result<void> Fd::close() {
  if (fd_ < 0) return {};
  const int result = system_->close(std::exchange(fd_, -1));
  if (result != 0 && errno != EINTR) return std::unexpected(last_error());
  return {};
}

void Fd::reset() noexcept {
  if (fd_ >= 0) (void)system_->close(std::exchange(fd_, -1));
}

namespace {

bool before(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

bool is_terminal(int fd) noexcept {
  return ::isatty(fd) == 1;
}

std::size_t terminal_columns(int fd) noexcept {
  struct winsize size {};
  if (!is_terminal(fd) || ::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool exists(System& system, const std::string& path) {
  struct stat info {};
  return system.stat(path.c_str(), &info) == 0;
}

Result<OpenFile> open_regular(System& system, const std::string& path, int access) {
  // Opening never blocks: a FIFO without a writer would otherwise wait
  // forever before anything could be said about it.
  const int fd = retry(
      [&] { return system.open(path.c_str(), access | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0); });
  if (fd < 0) return std::unexpected(last_error());
  OpenFile file{Fd(system, fd), {}};
  if (system.fstat(fd, &file.info) != 0) return std::unexpected(last_error());
  if (S_ISDIR(file.info.st_mode))
    return std::unexpected(std::error_code(EISDIR, std::generic_category()));
  if (!S_ISREG(file.info.st_mode)) return std::unexpected(Errc::not_regular_file);
  if (system.fcntl_setfl(fd, access) != 0) return std::unexpected(last_error());
  return file;
}

Result<std::size_t> read_some(System& system, int fd, std::span<char> buffer) {
  const ssize_t n = retry([&] { return system.read(fd, buffer.data(), buffer.size()); });
  if (n < 0) return std::unexpected(last_error());
  return static_cast<std::size_t>(n);
}

Result<std::size_t> read_some_at(System& system, int fd, std::span<char> buffer,
                                 std::uint64_t offset) {
  const ssize_t n = retry(
      [&] { return system.pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset)); });
  if (n < 0) return std::unexpected(last_error());
  return static_cast<std::size_t>(n);
}

Result<void> write_all(System& system, int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = retry([&] { return system.write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return std::unexpected(Errc::write_returned_zero);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<struct stat> settled_stat(System& system, int fd) {
  // A write stamps the clock's time in coarse ticks: one made within the
  // tick the file was last written in would not show. Once the clock has
  // passed the file's modification time, every later write shows.
  struct stat info {};
  for (int tries = 0;; ++tries) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (system.fstat(fd, &info) != 0) return std::unexpected(last_error());
    if (before(info.st_mtim, now) || tries >= 50) return info;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool unchanged(const struct stat& then, const struct stat& now) noexcept {
  // Not the change time: a chmod changes that, and is no change of the text.
  return internal::same_file(then, now) && then.st_size == now.st_size &&
         then.st_mtim.tv_sec == now.st_mtim.tv_sec && then.st_mtim.tv_nsec == now.st_mtim.tv_nsec;
}

namespace internal {

Result<void> read_exact_at(System& system, int fd, std::span<char> buffer, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    auto n = read_some_at(system, fd, buffer.subspan(done), offset + done);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return std::unexpected(std::error_code(EIO, std::generic_category()));
    done += *n;
  }
  return {};
}

Result<void> write_all_at(System& system, int fd, std::string_view bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = retry(
        [&] { return system.pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)); });
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return std::unexpected(Errc::write_returned_zero);
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

}  // namespace internal

}  // namespace corvane::files
