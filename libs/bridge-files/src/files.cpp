#include "corvane/files/files.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <thread>

#include "varnholt/text/hex.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::files {

// --- errors ---------------------------------------------------------------------------

namespace {

class Category final : public std::error_category {
 public:
  [[nodiscard]] const char* name() const noexcept override { return "corvane.files"; }
  [[nodiscard]] std::string message(int value) const override {
    switch (static_cast<Errc>(value)) {
      case Errc::write_returned_zero:
        return "failed to write whole buffer";
      case Errc::not_regular_file:
        return "not a regular file";
      case Errc::path_switched:
        return "the path now leads to another file than the one that was read";
      case Errc::nul_in_path:
        return "file name contained an unexpected NUL byte";
      case Errc::locked:
        return "locked by another process";
      case Errc::changed_in_place:
        return "the file was changed in place while it was read";
    }
    return "unknown file error";
  }
};

}  // namespace

const std::error_category& error_category() noexcept {
  static const Category category;
  return category;
}

std::error_code make_error_code(Errc errc) noexcept {
  return {static_cast<int>(errc), error_category()};
}

std::error_code last_error() noexcept {
  return {errno, std::generic_category()};
}

std::string describe(std::error_code error) {
  if (error.category() != std::generic_category() && error.category() != std::system_category()) {
    return error.message();
  }
  char buffer[256];
  const char* text = ::strerror_r(error.value(), buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(error.value()) + ")";
}

std::string display_path(const std::filesystem::path& path) {
  return varnholt::text::to_lossy_utf8(path.native());
}

Result<std::string> system_path(const std::filesystem::path& path) {
  const std::string& native = path.native();
  if (native.find('\0') != std::string::npos) return std::unexpected(Errc::nul_in_path);
  return native;
}

// --- descriptors ------------------------------------------------------------------------

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

// The interrupted-call loop every blocking call goes through.
template <typename Call>
auto retry(Call&& call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::pair<std::string, std::string> split_directory(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

Result<Location> open_location(System& system, const std::string& path) {
  auto [directory, name] = split_directory(path);
  // A directory held only to find and make names in needs no read
  // permission (0711 will do).
  const int fd =
      retry([&] { return system.open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0); });
  if (fd < 0) return std::unexpected(last_error());
  return Location{Fd(system, fd), std::move(name)};
}

// Flushes the directory's entries to disk, where it may be opened to do so.
void sync_directory(System& system, int directory) {
  const int fd =
      retry([&] { return system.openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
  if (fd < 0) return;
  Fd open(system, fd);
  (void)retry([&] { return system.fsync(fd); });
}

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

void lock_text(System& system, int fd, short type) {
  lock_range(system, fd, type, kGate, 1);
  lock_range(system, fd, type, 0, kGate);
  if (type == F_RDLCK) lock_range(system, fd, F_UNLCK, kGate, 1);
}

}  // namespace

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

// Writes `size` bytes of `from` over the start of `to`, in bounded pieces.
Result<void> write_over(System& system, int from, int to, std::uint64_t begin, std::uint64_t end) {
  std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, 1U << 20)),
                     '\0');
  for (std::uint64_t at = begin; at < end;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(end - at, buffer.size()));
    auto got = read_some_at(system, from, std::span(buffer.data(), want), at);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return std::unexpected(std::error_code(EIO, std::generic_category()));
    for (std::string_view left(buffer.data(), *got); !left.empty();) {
      const ssize_t n = retry(
          [&] { return system.pwrite(to, left.data(), left.size(), static_cast<off_t>(at)); });
      if (n < 0) return std::unexpected(last_error());
      if (n == 0) return std::unexpected(Errc::write_returned_zero);
      left.remove_prefix(static_cast<std::size_t>(n));
      at += static_cast<std::uint64_t>(n);
    }
  }
  return {};
}

}  // namespace

Result<OpenFile> open_to_read(System& system, const std::string& path) {
  auto file = open_regular(system, path);
  if (!file) return file;
  lock_text(system, file->fd.get(), F_RDLCK);
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
  if (!same_file(info, lock.file().info)) return std::unexpected(Errc::path_switched);
  lock_text(system, fd, F_WRLCK);
  const auto size = static_cast<std::uint64_t>((*copy)->info.st_size);
  if (auto written = write_over(system, (*copy)->fd.get(), fd, 0, size); !written) return written;
  if (system.ftruncate(fd, static_cast<off_t>(size)) != 0) return std::unexpected(last_error());
  if (retry([&] { return system.fsync(fd); }) != 0 && errno != EINVAL) {
    return std::unexpected(last_error());
  }
  if (auto closed = target.close(); !closed) return closed;
  (void)system.unlinkat(directory, roll_forward_name(location->name).c_str(), 0);
  sync_directory(system, directory);
  return {};
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
  return same_file(then, now) && then.st_size == now.st_size &&
         then.st_mtim.tv_sec == now.st_mtim.tv_sec && then.st_mtim.tv_nsec == now.st_mtim.tv_nsec;
}

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

Result<void> write_all(System& system, int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = retry([&] { return system.write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return std::unexpected(last_error());
    if (n == 0) return std::unexpected(Errc::write_returned_zero);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// --- the lock ---------------------------------------------------------------------------

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
      if (system.stat(path.c_str(), &current) == 0 && same_file(current, file->info)) {
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

// --- where files live -------------------------------------------------------------------

Result<Location> locate(System& system, const OpenFile& file, const std::string& opened_as) {
  // The kernel knows the path it resolved; without /proc the links are
  // followed here, by the kernel's rule.
  std::array<char, 4096> target{};
  const std::string link = "/proc/self/fd/" + std::to_string(file.fd.get());
  const ssize_t n = system.readlink(link.c_str(), target.data(), target.size());
  auto location =
      n > 0 && static_cast<std::size_t>(n) < target.size() && target[0] == '/'
          ? open_location(system, std::string(target.data(), static_cast<std::size_t>(n)))
          : locate_new(system, opened_as);
  if (!location) return location;
  struct stat found {};
  if (system.fstatat(location->directory.get(), location->name.c_str(), &found,
                     AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(found, file.info)) {
    return std::unexpected(Errc::path_switched);
  }
  return location;
}

Result<Location> locate_new(System& system, const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat info {};
    if (system.lstat(current.c_str(), &info) != 0) {
      if (errno != ENOENT) return std::unexpected(last_error());
      return open_location(system, current);  // the file to create
    }
    if (!S_ISLNK(info.st_mode)) return open_location(system, current);
    if (hops == 40) break;
    // A link planted in a shared sticky directory (such as /tmp) by another
    // user must not steer where this user's file is made.
    const auto [directory, name] = split_directory(current);
    struct stat parent {};
    if (system.stat(directory.c_str(), &parent) != 0) return std::unexpected(last_error());
    if ((parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & S_IWOTH) != 0 &&
        info.st_uid != ::geteuid() && info.st_uid != parent.st_uid) {
      return std::unexpected(std::error_code(EACCES, std::generic_category()));
    }
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t n = system.readlink(current.c_str(), target.data(), target.size());
    if (n < 0) return std::unexpected(last_error());
    target.resize(std::min(static_cast<std::size_t>(n), target.size()));
    if (target.empty() || target.front() != '/') {
      target = (directory == "/" ? "" : directory) + "/" + target;
    }
    current = std::move(target);
  }
  return std::unexpected(std::error_code(ELOOP, std::generic_category()));
}

// --- temporary files and signals ----------------------------------------------------------

std::string temporary_prefix(std::string_view name) {
  // FNV-1a: distinct names get distinct prefixes, so one state file's run
  // never takes another's temporary file for a stale one of its own.
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  std::string prefix = ".corvane-";
  for (int shift = 56; shift >= 0; shift -= 8) {
    varnholt::text::append_hex_byte(prefix, static_cast<std::uint8_t>(hash >> shift));
  }
  prefix.push_back('-');
  return prefix;
}

namespace {

constexpr std::size_t kRandomPart = 6;
constexpr const char* kAccessAcl = "system.posix_acl_access";
constexpr std::array<int, 4> kCleanupSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The one temporary file this process may hold, as the signal handler sees
// it: a directory descriptor and a name in a fixed buffer, so that removing
// it needs nothing but unlinkat.
struct PendingTemporary {
  volatile std::sig_atomic_t active = 0;
  int directory = -1;
  std::array<char, 64> name{};
};
PendingTemporary g_pending;
std::array<struct sigaction, kCleanupSignals.size()> g_previous{};

extern "C" void remove_temporary_and_die(int signal_number) {
  if (g_pending.active != 0) ::unlinkat(g_pending.directory, g_pending.name.data(), 0);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// Holds SIGINT, SIGTERM, SIGHUP and SIGQUIT back while alive.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int s : kCleanupSignals) sigaddset(&held, s);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

void register_temporary(int directory, const std::string& name) {
  std::copy(name.begin(), name.end(), g_pending.name.begin());
  g_pending.name[name.size()] = '\0';
  g_pending.directory = directory;
  g_pending.active = 1;
  for (std::size_t i = 0; i < kCleanupSignals.size(); ++i) {
    struct sigaction current {};
    ::sigaction(kCleanupSignals[i], nullptr, &current);
    g_previous[i] = current;
    // A signal the process ignores does not end it, so nothing is left behind.
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_temporary_and_die;
    sigemptyset(&action.sa_mask);
    ::sigaction(kCleanupSignals[i], &action, nullptr);
  }
}

void unregister_temporary() {
  if (g_pending.active == 0) return;
  g_pending.active = 0;
  for (std::size_t i = 0; i < kCleanupSignals.size(); ++i) {
    ::sigaction(kCleanupSignals[i], &g_previous[i], nullptr);
  }
}

// Makes the temporary file in `directory`; its random part is drawn anew
// while the name is taken.
Result<std::pair<Fd, std::string>> make_temporary(System& system, int directory,
                                                  const std::string& prefix) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::array<unsigned char, kRandomPart> random{};
    if (system.random_bytes(random.data(), random.size()) != 0) {
      return std::unexpected(last_error());
    }
    std::string name = prefix;
    for (const unsigned char r : random) name.push_back(kAlphabet[r % kAlphabet.size()]);
    SignalsHeld held;
    const int fd = retry([&] {
      return system.openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    });
    if (fd >= 0) {
      register_temporary(directory, name);
      return std::pair{Fd(system, fd), std::move(name)};
    }
    if (errno != EEXIST) return std::unexpected(last_error());
  }
  return std::unexpected(std::error_code(EEXIST, std::generic_category()));
}

void remove_stale_temporaries(System& system, int directory, const std::string& prefix) {
  std::vector<std::string> names;
  if (system.list_directory(directory, names) != 0) return;
  for (const auto& name : names) {
    if (name.size() == prefix.size() + kRandomPart && name.starts_with(prefix)) {
      (void)system.unlinkat(directory, name.c_str(), 0);
    }
  }
}

// The extended attributes of a file (ACLs among them) as name and value.
Result<std::vector<std::pair<std::string, std::string>>> attributes(System& system, int fd) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string names;
  for (;;) {
    const ssize_t size = system.flistxattr(fd, nullptr, 0);
    if (size < 0) {
      if (errno == ENOTSUP) return out;
      return std::unexpected(last_error());
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t n = system.flistxattr(fd, names.data(), names.size());
    if (n >= 0) {
      names.resize(static_cast<std::size_t>(n));
      break;
    }
    if (errno != ERANGE) return std::unexpected(last_error());
  }
  for (std::size_t at = 0; at < names.size();) {
    const std::string name(names.c_str() + at);
    at += name.size() + 1;
    if (name.empty()) continue;
    std::string value;
    for (;;) {
      const ssize_t size = system.fgetxattr(fd, name.c_str(), nullptr, 0);
      if (size < 0) return std::unexpected(last_error());
      value.resize(static_cast<std::size_t>(size));
      const ssize_t n = system.fgetxattr(fd, name.c_str(), value.data(), value.size());
      if (n >= 0) {
        value.resize(static_cast<std::size_t>(n));
        break;
      }
      if (errno != ERANGE) return std::unexpected(last_error());
    }
    out.emplace_back(name, std::move(value));
  }
  return out;
}

// Gives `to` exactly the extended attributes of `from` (an empty list for a
// new file): ACLs it inherited from its directory go, the old file's come.
Result<void> copy_attributes(System& system,
                             const std::vector<std::pair<std::string, std::string>>& from, int to) {
  auto present = attributes(system, to);
  if (!present) return std::unexpected(present.error());
  for (const auto& [name, value] : *present) {
    const bool wanted = std::any_of(from.begin(), from.end(),
                                    [&](const auto& attribute) { return attribute.first == name; });
    if (!wanted && system.fremovexattr(to, name.c_str()) != 0) {
      return std::unexpected(last_error());
    }
  }
  for (const auto& [name, value] : from) {
    if (system.fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
      return std::unexpected(last_error());
    }
  }
  return {};
}

// The inode flags a user may set on a file of their own that say how it is
// kept: synchronous writes (+S), no dump backups (+d), no access times (+A),
// and the compression and copy-on-write choices (+c, +m, +C).
constexpr int kCarriedFlags =
    FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_NOCOW_FL;

// Gives `to` the carried inode flags of `from`; nothing where the file
// system has no such flags.
Result<void> copy_inode_flags(System& system, int from, int to) {
  int old = 0;
  if (system.get_inode_flags(from, &old) != 0) {
    if (errno == ENOTTY || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) return {};
    return std::unexpected(last_error());
  }
  old &= kCarriedFlags;
  int now = 0;
  if (system.get_inode_flags(to, &now) != 0) {
    if (old == 0) return {};
    return std::unexpected(last_error());
  }
  if ((now & kCarriedFlags) == old) return {};
  if (system.set_inode_flags(to, (now & ~kCarriedFlags) | old) != 0) {
    return std::unexpected(last_error());
  }
  return {};
}

// Appends `length` bytes of `from` at `offset` to `to`: by the kernel where
// it can copy between the two files, through a buffer where it cannot.
Result<void> copy_range(System& system, int from, std::uint64_t offset, std::uint64_t length,
                        int to) {
  auto from_offset = static_cast<off_t>(offset);
  std::uint64_t left = length;
  while (left > 0) {
    const ssize_t n =
        retry([&] { return system.copy_file_range(from, &from_offset, to, nullptr, left); });
    if (n > 0) {
      left -= static_cast<std::uint64_t>(n);
      continue;
    }
    if (n == 0) return std::unexpected(std::error_code(EIO, std::generic_category()));
    if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
      return std::unexpected(last_error());
    }
    std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(left, 1U << 20)), '\0');
    while (left > 0) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
      const ssize_t got =
          retry([&] { return system.pread(from, buffer.data(), want, from_offset); });
      if (got < 0) return std::unexpected(last_error());
      if (got == 0) return std::unexpected(std::error_code(EIO, std::generic_category()));
      if (auto written =
              write_all(system, to, std::string_view(buffer.data(), static_cast<std::size_t>(got)));
          !written) {
        return written;
      }
      from_offset += got;
      left -= static_cast<std::uint64_t>(got);
    }
  }
  return {};
}

bool may_not_make_files_here(const std::error_code& error) {
  return error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
         error == std::errc::read_only_file_system;
}

}  // namespace

// --- replacing a file --------------------------------------------------------------------

Replacement::Replacement(System& system, Location location) noexcept
    : system_(&system), location_(std::move(location)) {}

Replacement::Replacement(Replacement&& other) noexcept
    : system_(other.system_),
      location_(std::move(other.location_)),
      lock_(other.lock_),
      path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      temporary_name_(std::exchange(other.temporary_name_, {})),
      in_place_(other.in_place_),
      overwritten_(other.overwritten_),
      pending_(std::move(other.pending_)),
      source_fd_(other.source_fd_),
      source_(other.source_) {}

Replacement::~Replacement() {
  discard_temporary();
}

void Replacement::discard_temporary() noexcept {
  if (temporary_name_.empty()) return;
  SignalsHeld held;
  temporary_.reset();
  (void)system_->unlinkat(location_.directory.get(), temporary_name_.c_str(), 0);
  temporary_name_.clear();
  unregister_temporary();
}

Result<Replacement> Replacement::create(System& system, Location location) {
  Replacement replacement(system, std::move(location));
  const int directory = replacement.location_.directory.get();
  auto temporary = make_temporary(system, directory, temporary_prefix(replacement.location_.name));
  if (!temporary) return std::unexpected(temporary.error());
  replacement.temporary_ = std::move(temporary->first);
  replacement.temporary_name_ = std::move(temporary->second);
  // The file holds the signing seed: its owner alone may read it, whatever
  // the umask or the directory's default ACL would give.
  const int fd = replacement.temporary_.get();
  if (system.fremovexattr(fd, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return std::unexpected(last_error());
  }
  if (system.fchmod(fd, 0600) != 0) return std::unexpected(last_error());
  return replacement;
}

Result<Replacement> Replacement::replace(System& system, const Lock& lock, Location location,
                                         std::string path) {
  Replacement replacement(system, std::move(location));
  replacement.lock_ = &lock;
  replacement.path_ = std::move(path);
  const int directory = replacement.location_.directory.get();
  // Mode, owner and group as they are now, under the lock: a chmod made
  // while the command ran is kept.
  struct stat old {};
  if (system.fstat(lock.fd(), &old) != 0) return std::unexpected(last_error());

  // A read-only state file is never replaced just because its directory may
  // be written to.
  {
    const int writable = retry([&] {
      return system.openat(directory, replacement.location_.name.c_str(),
                           O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0);
    });
    if (writable < 0) return std::unexpected(last_error());
    (void)system.close(writable);
  }

  const std::string prefix = temporary_prefix(replacement.location_.name);
  remove_stale_temporaries(system, directory, prefix);
  auto temporary = make_temporary(system, directory, prefix);
  if (!temporary) {
    if (!may_not_make_files_here(temporary.error())) return std::unexpected(temporary.error());
    replacement.in_place_ = true;
    replacement.stage_elsewhere();
    return replacement;
  }
  replacement.temporary_ = std::move(temporary->first);
  replacement.temporary_name_ = std::move(temporary->second);

  // The new file gets what the old one had, or the old one is written in
  // place: a copy must never let anyone read the seed who could not before.
  const int fd = replacement.temporary_.get();
  auto old_attributes = attributes(system, lock.fd());
  const bool carried = old_attributes && system.fchmod(fd, old.st_mode & 07777) == 0 &&
                       system.fchown(fd, old.st_uid, old.st_gid) == 0 &&
                       copy_attributes(system, *old_attributes, fd).has_value() &&
                       copy_inode_flags(system, lock.fd(), fd).has_value();
  if (!carried) {
    // The copy stays as the new text that is then written over the old file.
    // The group of the file may read it as it reads the file (so that a
    // save killed half-way can be finished by another member or the owner);
    // where the file has an ACL, or the group cannot be given, this user
    // alone may.
    replacement.in_place_ = true;
    const bool acl =
        old_attributes && std::any_of(old_attributes->begin(), old_attributes->end(),
                                      [](const auto& a) { return a.first == kAccessAcl; });
    const bool shared =
        !acl && system.fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0 &&
        (system.fremovexattr(fd, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP) &&
        system.fchmod(fd, old.st_mode & 0660) == 0;
    if (!shared && system.fchmod(fd, 0600) != 0) {
      replacement.discard_temporary();
      replacement.stage_elsewhere();
    }
  }
  return replacement;
}

void Replacement::stage_elsewhere() noexcept {
  // An unnamed file in the temporary directory holds the new text, so that
  // it is never all in memory; without one, memory it is.
  const char* directory = std::getenv("TMPDIR");
  if (directory == nullptr || *directory == '\0') directory = "/tmp";
  const int fd =
      retry([&] { return system_->open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
  if (fd >= 0) temporary_ = Fd(*system_, fd);
}

Result<void> Replacement::flush() {
  if (pending_.empty() || !temporary_) return {};
  if (auto written = write_all(*system_, temporary_.get(), pending_); !written) return written;
  pending_.clear();
  return {};
}

Result<void> Replacement::append(std::string_view bytes) {
  pending_.append(bytes);
  if (pending_.size() >= (std::size_t{1} << 20)) return flush();
  return {};
}

Result<void> Replacement::append_copy(int from, std::uint64_t offset, std::uint64_t length) {
  if (!temporary_) {
    // Written in place from memory, the new text may read its own old file:
    // it is all read before the first byte is written.
    const std::size_t start = pending_.size();
    pending_.resize(start + length);
    std::uint64_t done = 0;
    while (done < length) {
      const ssize_t n = retry([&] {
        return system_->pread(from, pending_.data() + start + done, length - done,
                              static_cast<off_t>(offset + done));
      });
      if (n < 0) return std::unexpected(last_error());
      if (n == 0) return std::unexpected(std::error_code(EIO, std::generic_category()));
      done += static_cast<std::uint64_t>(n);
    }
    return {};
  }
  if (auto flushed = flush(); !flushed) return flushed;
  return copy_range(*system_, from, offset, length, temporary_.get());
}

Result<void> Replacement::check_path_still_leads_to_the_lock() {
  if (lock_ == nullptr) return {};
  struct stat named {};
  struct stat located {};
  if (system_->stat(path_.c_str(), &named) != 0 || !same_file(named, lock_->file().info) ||
      system_->fstatat(location_.directory.get(), location_.name.c_str(), &located,
                       AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(located, lock_->file().info)) {
    return std::unexpected(Errc::path_switched);
  }
  return {};
}

Result<void> Replacement::check_source_unchanged() {
  if (source_fd_ < 0) return {};
  struct stat now {};
  if (system_->fstat(source_fd_, &now) != 0) return std::unexpected(last_error());
  if (!unchanged(source_, now)) return std::unexpected(Errc::changed_in_place);
  return {};
}

Result<void> Replacement::commit(SignalHold& hold) {
  if (in_place_) return commit_in_place(hold);
  if (auto flushed = flush(); !flushed) return flushed;
  const int directory = location_.directory.get();
  const int fd = temporary_.get();
  if (retry([&] { return system_->fsync(fd); }) != 0) return std::unexpected(last_error());
  if (lock_ != nullptr) {
    if (auto checked = check_path_still_leads_to_the_lock(); !checked) return checked;
    if (auto closed = temporary_.close(); !closed) return closed;
    if (auto checked = check_source_unchanged(); !checked) return checked;
    hold.hold();
    if (system_->renameat(directory, temporary_name_.c_str(), directory, location_.name.c_str()) !=
        0) {
      const auto error = last_error();
      // A file mounted on its own name (a bind mount) or across file
      // systems cannot be renamed over: it takes the new text in place.
      if (error != std::errc::device_or_resource_busy && error != std::errc::cross_device_link) {
        return std::unexpected(error);
      }
      const int copy = retry([&] {
        return system_->openat(directory, temporary_name_.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
      });
      if (copy < 0) return std::unexpected(last_error());
      Fd source(*system_, copy);
      struct stat written {};
      if (system_->fstat(copy, &written) != 0) return std::unexpected(last_error());
      auto result = write_in_place(hold, copy, static_cast<std::uint64_t>(written.st_size));
      source.reset();
      end_in_place(result.has_value());
      return result;
    }
    temporary_name_.clear();
    unregister_temporary();
  } else {
    hold.hold();
    // link() never replaces: a file that appeared since is kept, and EEXIST
    // says so.
    if (system_->linkat(directory, temporary_name_.c_str(), directory, location_.name.c_str(), 0) !=
        0) {
      const auto error = last_error();
      if (error != std::errc::operation_not_permitted && error != std::errc::not_supported) {
        return std::unexpected(error);
      }
      // A file system without hard links: make the file exclusively and copy.
      const int made = retry([&] {
        return system_->openat(directory, location_.name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      });
      if (made < 0) return std::unexpected(last_error());
      Fd target(*system_, made);
      struct stat written {};
      if (system_->fstat(fd, &written) != 0) return std::unexpected(last_error());
      if (auto copied =
              copy_range(*system_, fd, 0, static_cast<std::uint64_t>(written.st_size), made);
          !copied) {
        return copied;
      }
      if (retry([&] { return system_->fsync(made); }) != 0) return std::unexpected(last_error());
      if (auto closed = target.close(); !closed) return closed;
    }
    discard_temporary();
  }
  // The rename is on disk once its directory is.
  sync_directory(*system_, directory);
  return {};
}

Result<void> Replacement::commit_in_place(SignalHold& hold) {
  if (auto checked = check_source_unchanged(); !checked) return checked;
  if (!temporary_) return write_in_place(hold, -1, pending_.size());
  if (auto flushed = flush(); !flushed) return flushed;
  struct stat staged {};
  if (system_->fstat(temporary_.get(), &staged) != 0) return std::unexpected(last_error());
  auto written = write_in_place(hold, temporary_.get(), static_cast<std::uint64_t>(staged.st_size));
  end_in_place(written.has_value());
  return written;
}

void Replacement::end_in_place(bool written) noexcept {
  if (!written && overwritten_ && temporary_name_ == roll_forward_name(location_.name)) {
    // The file is torn: its whole new text stays for the next command.
    temporary_.reset();
    temporary_name_.clear();
    return;
  }
  discard_temporary();
}

Result<void> Replacement::keep_for_roll_forward(int from) {
  // On disk, whole, under the name that says so, before the old text is
  // touched.
  if (retry([&] { return system_->fsync(from); }) != 0) return std::unexpected(last_error());
  const int directory = location_.directory.get();
  std::string name = roll_forward_name(location_.name);
  if (system_->renameat(directory, temporary_name_.c_str(), directory, name.c_str()) != 0) {
    return std::unexpected(last_error());
  }
  temporary_name_ = std::move(name);
  unregister_temporary();
  sync_directory(*system_, directory);
  return {};
}

Result<void> Replacement::write_in_place(SignalHold& hold, int from, std::uint64_t size) {
  if (auto checked = check_path_still_leads_to_the_lock(); !checked) return checked;
  const int fd = retry([&] {
    return system_->openat(location_.directory.get(), location_.name.c_str(),
                           O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0);
  });
  if (fd < 0) return std::unexpected(last_error());
  Fd target(*system_, fd);
  struct stat info {};
  if (system_->fstat(fd, &info) != 0) return std::unexpected(last_error());
  if (!same_file(info, lock_->file().info)) return std::unexpected(Errc::path_switched);
  const auto old_size = static_cast<std::uint64_t>(info.st_size);
  // Readers of the file are let finish, and new ones wait, until the new
  // text is whole (the lock goes with the descriptor).
  lock_text(*system_, fd, F_WRLCK);

  // A file-size limit would stop the write half-way (SIGXFSZ): it is
  // checked before the old text is touched.
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > limit.rlim_cur) {
    return std::unexpected(std::error_code(EFBIG, std::generic_category()));
  }

  // The bytes of the new text at `offset`: from the held text or the file
  // `from`.
  std::string buffer;
  auto piece = [&](std::uint64_t offset, std::uint64_t length) -> Result<std::string_view> {
    if (from < 0) {
      return std::string_view(pending_).substr(static_cast<std::size_t>(offset),
                                               static_cast<std::size_t>(length));
    }
    buffer.resize(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < buffer.size()) {
      auto n = read_some_at(*system_, from, std::span(buffer).subspan(done), offset + done);
      if (!n) return std::unexpected(n.error());
      if (*n == 0) return std::unexpected(std::error_code(EIO, std::generic_category()));
      done += *n;
    }
    return std::string_view(buffer);
  };
  constexpr std::uint64_t kPiece = std::uint64_t{1} << 20;
  auto write_range = [&](std::uint64_t begin, std::uint64_t end) -> Result<void> {
    for (std::uint64_t at = begin; at < end;) {
      auto bytes = piece(at, std::min(kPiece, end - at));
      if (!bytes) return std::unexpected(bytes.error());
      for (std::string_view left = *bytes; !left.empty();) {
        const ssize_t n = retry(
            [&] { return system_->pwrite(fd, left.data(), left.size(), static_cast<off_t>(at)); });
        if (n < 0) return std::unexpected(last_error());
        if (n == 0) return std::unexpected(Errc::write_returned_zero);
        left.remove_prefix(static_cast<std::size_t>(n));
        at += static_cast<std::uint64_t>(n);
      }
    }
    return {};
  };

  // Room for the whole new text first: a full disk fails here, before the
  // old text is touched.
  hold.hold();
  if (from >= 0 && !temporary_name_.empty()) {
    if (auto kept = keep_for_roll_forward(from); !kept) return kept;
  }
  std::uint64_t rest = size;
  if (size > 0 && system_->fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0) {
    const auto error = last_error();
    if (error != std::errc::not_supported && error != std::errc::function_not_supported &&
        error != std::errc::operation_not_supported) {
      return std::unexpected(error);
    }
    // Without fallocate the part beyond the old end is written first: where
    // the disk cannot take it, the file is cut back to its old text.
    if (size > old_size) {
      if (auto grown = write_range(old_size, size); !grown) {
        (void)system_->ftruncate(fd, static_cast<off_t>(old_size));
        return grown;
      }
      rest = old_size;
    }
  }
  overwritten_ = true;
  if (auto written = write_range(0, rest); !written) return written;
  if (system_->ftruncate(fd, static_cast<off_t>(size)) != 0) return std::unexpected(last_error());
  if (retry([&] { return system_->fsync(fd); }) != 0 && errno != EINVAL) {
    return std::unexpected(last_error());
  }
  return target.close();
}

}  // namespace corvane::files
