#include "corvane/files/lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <string_view>
#include <thread>
#include <vector>

#include "internal.hpp"

namespace corvane::files {

using internal::retry;

std::optional<pid_t> lock_holder(System& system, const struct stat& info) {
  // Lines such as "1: FLOCK  ADVISORY  WRITE 4242 08:01:1234567 0 EOF"; a
  // waiter's line has "->" after the number.
  const int fd = retry([&] { return system.open("/proc/locks", O_RDONLY | O_CLOEXEC, 0); });
  if (fd < 0) return std::nullopt;
  Fd file(system, fd);
  std::string text;
  std::array<char, 8192> buffer{};
  for (;;) {
    auto n = read_some(system, fd, buffer);
    if (!n || *n == 0) break;
    text.append(buffer.data(), *n);
  }
  char device[64];
  std::snprintf(device, sizeof device, "%02x:%02x:%llu", ::major(info.st_dev), ::minor(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  std::size_t at = 0;
  while (at < text.size()) {
    auto end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    std::vector<std::string_view> fields;
    for (std::size_t i = 0; i < line.size();) {
      while (i < line.size() && line[i] == ' ') ++i;
      const std::size_t start = i;
      while (i < line.size() && line[i] != ' ') ++i;
      if (i > start) fields.push_back(line.substr(start, i - start));
    }
    if (fields.size() < 6 || fields[1] == "->" || fields[5] != device) continue;
    pid_t pid = 0;
    for (const char c : fields[4]) {
      if (c < '0' || c > '9') {
        pid = 0;
        break;
      }
      pid = pid * 10 + (c - '0');
    }
    if (pid > 0) return pid;
  }
  return std::nullopt;
}

Result<Lock> Lock::acquire(System& system, const std::string& path,
                           std::chrono::milliseconds timeout, const WaitNotice& notice) {
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + timeout;
  bool noticed = !notice;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    auto file = open_regular(system, path);
    if (!file) return std::unexpected(file.error());
    const int locked = retry([&] { return system.flock(file->fd.get(), LOCK_EX | LOCK_NB); });
    if (locked == 0) {
      // A holder may have renamed a new file into place meanwhile; the lock
      // only counts on the file the path names now.
      struct stat current {};
      if (system.stat(path.c_str(), &current) == 0 && internal::same_file(current, file->info)) {
        return Lock(std::move(*file));
      }
      continue;
    }
    if (errno != EWOULDBLOCK) {
      // A file system without locks: go on without one.
      return Lock(std::move(*file));
    }
    if (!noticed && std::chrono::steady_clock::now() - started >= std::chrono::seconds(1)) {
      noticed = true;
      notice(lock_holder(system, file->info));
    }
    file->fd.reset();
    if (std::chrono::steady_clock::now() >= deadline) return std::unexpected(Errc::locked);
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

namespace internal {

namespace {

// Record locks on the file open as `fd`, owned by that open file (so that
// two descriptors of one process exclude each other too): readers share the
// text, an in-place write takes it alone. A gate byte far beyond any text
// lets a waiting write in before readers that come after it, so a stream of
// readers cannot starve it: a writer closes the gate while it waits, and a
// reader passes the gate before it takes the text. Without record locks on
// the file system there is nothing to wait for.
constexpr off_t kGate = std::numeric_limits<off_t>::max() - 1;

void lock_range(System& system, int fd, short type, off_t start, off_t length) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = length;
  (void)retry([&] { return system.fcntl_lock(fd, F_OFD_SETLKW, &range); });
}

}  // namespace

void lock_text(System& system, int fd, short type) {
  lock_range(system, fd, type, kGate, 1);
  lock_range(system, fd, type, 0, kGate);
  if (type == F_RDLCK) lock_range(system, fd, F_UNLCK, kGate, 1);
}

}  // namespace internal

}  // namespace corvane::files
