// The state file on disk: found by its path as given, read whole, written
// whole.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "corvane/cli/state.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::cli {
namespace {

constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

// The path's bytes as the OS wants them, or nothing if it holds a NUL byte.
std::optional<std::string> os_path(const std::filesystem::path& path) {
  const std::string& native = path.native();
  if (native.find('\0') != std::string::npos) return std::nullopt;
  return native;
}

}  // namespace

std::string os_error_description(int error_number) {
  char buffer[256];
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return fmt::format("{} (os error {})", text, error_number);
}

std::string display_path(const std::filesystem::path& path) {
  return varnholt::text::to_lossy_utf8(path.native());
}

bool state_exists(const std::filesystem::path& path) {
  const auto native = os_path(path);
  struct stat info {};
  return native && ::stat(native->c_str(), &info) == 0;
}

std::expected<CliState, std::string> load_state(const std::filesystem::path& path) {
  const auto fail = [&](std::string_view description) {
    return std::unexpected(fmt::format("{}: {} (run init first)", display_path(path), description));
  };
  const auto native = os_path(path);
  if (!native) return fail(kNulInPath);
  const int fd = ::open(native->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(os_error_description(errno));
  std::string bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0)
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      return fail(os_error_description(error));
    }
  }
  ::close(fd);
  return decode_state(bytes);
}

namespace {

// Owns a file descriptor and closes it once.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes now and reports a failure of close itself (errno), or 0.
  int close() noexcept {
    const int result = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

 private:
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
};

using Failure = std::unexpected<std::string>;
Failure os_failure(int error_number) {
  return Failure(os_error_description(error_number));
}

// Writes all of `text`, repeating partial writes and writes cut short by a signal.
std::expected<void, std::string> write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n > 0) {
      text.remove_prefix(static_cast<std::size_t>(n));
    } else if (n == 0) {
      return Failure("failed to write whole buffer");
    } else if (errno != EINTR) {
      return os_failure(errno);
    }
  }
  return {};
}

// The file a path finally names: symbolic links are followed (a relative link
// from the link's own directory) so the link itself survives the update. The
// result may not exist yet (a dangling link names the file to create).
std::string resolve_links(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return path;
    target.resize(static_cast<std::size_t>(n));
    if (target.front() != '/') {
      const auto slash = path.rfind('/');
      if (slash != std::string::npos) target = path.substr(0, slash + 1) + target;
    }
    path = std::move(target);
  }
  return path;  // a loop: let the OS report it
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Writes the file in place, as the only way left when no file can be made
// beside it (a directory without write permission, a read-only mount).
std::expected<void, std::string> write_in_place(const std::string& path, std::string_view text,
                                                bool create_new) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (create_new ? O_EXCL : O_TRUNC);
  Fd fd(::open(path.c_str(), flags, 0600));
  if (!fd) return os_failure(errno);
  if (auto written = write_all(fd.get(), text); !written) return written;
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return os_failure(errno);
  if (const int error = fd.close(); error != 0) return os_failure(error);
  return {};
}

void sync_directory(const std::string& directory) {
  Fd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) (void)::fsync(fd.get());
}

// Where the new text goes before it replaces the state file: a temporary file
// in the same directory, removed again unless it was renamed into place.
class TemporaryFile {
 public:
  static std::expected<TemporaryFile, int> create(const std::string& target) {
    const auto slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string path = directory_of(target) + "/." + name + ".tmp-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) return std::unexpected(errno);
    return TemporaryFile(Fd(fd), std::move(path));
  }
  TemporaryFile(TemporaryFile&&) noexcept = default;
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  [[nodiscard]] int fd() const noexcept { return fd_.get(); }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  int close() noexcept { return fd_.close(); }
  void keep() noexcept { path_.clear(); }

 private:
  TemporaryFile(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  Fd fd_;
  std::string path_;
};

}  // namespace

// The state file is replaced atomically: the new text goes to a temporary file
// beside it, is flushed to disk and renamed over the old file, and the
// directory is flushed, so at every instant the path holds either the old or
// the new complete file. An existing file keeps its permission bits and, where
// the process may set them, its owner and group; a new file is readable by its
// owner only, since it holds the signing seed. A symbolic link is followed and
// the file it names is replaced. Other hard links to the file keep the old
// text: crash safety matters more than keeping extra names in sync.
std::expected<void, std::string> save_state(const std::filesystem::path& path,
                                            const CliState& state, SaveMode mode) {
  const std::string text = encode_state(state);
  const auto native = os_path(path);
  if (!native) return Failure(std::string(kNulInPath));
  const bool create_new = mode == SaveMode::CreateNew;
  const std::string target = resolve_links(*native);

  // The file must be writable as it is: a read-only state file is never
  // replaced just because its directory is writable.
  struct stat existing {};
  bool exists = false;
  if (!create_new) {
    Fd probe(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (probe) {
      exists = ::fstat(probe.get(), &existing) == 0;
    } else if (errno != ENOENT) {
      return os_failure(errno);
    }
  }

  auto temporary = TemporaryFile::create(target);
  if (!temporary) return write_in_place(target, text, create_new);

  if (auto written = write_all(temporary->fd(), text); !written) return written;
  if (exists) {
    if (::fchmod(temporary->fd(), existing.st_mode & 07777) != 0) return os_failure(errno);
    // Keeping the owner needs privileges a plain user may lack; the group
    // can be kept whenever the user belongs to it.
    if (::fchown(temporary->fd(), existing.st_uid, existing.st_gid) != 0) {
      (void)!::fchown(temporary->fd(), static_cast<uid_t>(-1), existing.st_gid);
    }
  }
  if (::fsync(temporary->fd()) != 0) return os_failure(errno);
  if (const int error = temporary->close(); error != 0) return os_failure(error);

  if (create_new) {
    // link() never replaces: a file that appeared since init looked is kept.
    if (::link(temporary->path().c_str(), target.c_str()) != 0) {
      const int error = errno;
      if (error == EEXIST) {
        return Failure(fmt::format("{} already exists", display_path(path)));
      }
      if (error != EPERM && error != ENOTSUP && error != EOPNOTSUPP) return os_failure(error);
      // A file system without hard links: create the file exclusively instead.
      auto written = write_in_place(target, text, true);
      if (!written && written.error() == os_error_description(EEXIST)) {
        return Failure(fmt::format("{} already exists", display_path(path)));
      }
      return written;
    }
  } else if (::rename(temporary->path().c_str(), target.c_str()) != 0) {
    return os_failure(errno);
  } else {
    temporary->keep();
  }
  sync_directory(directory_of(target));
  return {};
}

std::expected<StateLock, std::string> StateLock::acquire(const std::filesystem::path& path,
                                                         std::chrono::milliseconds timeout) {
  const auto native = os_path(path);
  if (!native) return StateLock(-1);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    Fd fd(::open(native->c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return StateLock(-1);
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) return StateLock(-1);  // no locking here: go on without
      if (std::chrono::steady_clock::now() >= deadline) {
        return std::unexpected(fmt::format(
            "{} is locked by another corvanectl run; gave up after {} seconds", display_path(path),
            std::chrono::duration_cast<std::chrono::seconds>(timeout).count()));
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    // A run that held the lock may have replaced the file meanwhile; the lock
    // only counts on the file the path names now.
    struct stat locked {};
    struct stat current {};
    if (::fstat(fd.get(), &locked) == 0 && ::stat(native->c_str(), &current) == 0 &&
        locked.st_dev == current.st_dev && locked.st_ino == current.st_ino) {
      return StateLock(fd.release());
    }
  }
}

StateLock::StateLock(StateLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

StateLock::~StateLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace corvane::cli
