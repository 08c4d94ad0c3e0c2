#include "corvane/files/location.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "internal.hpp"

namespace corvane::files {

using internal::retry;
using internal::split_directory;

namespace internal {

std::pair<std::string, std::string> split_directory(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

void sync_directory(System& system, int directory) {
  const int fd =
      retry([&] { return system.openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
  if (fd < 0) return;
  Fd open(system, fd);
  (void)retry([&] { return system.fsync(fd); });
}

}  // namespace internal

namespace {

Result<Location> open_location(System& system, const std::string& path) {
  auto [directory, name] = split_directory(path);
  // A directory held only to find and make names in needs no read
  // permission (0711 will do).
  const int fd =
      retry([&] { return system.open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0); });
  if (fd < 0) return std::unexpected(last_error());
  return Location{Fd(system, fd), std::move(name)};
}

}  // namespace

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
      !internal::same_file(found, file.info)) {
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

}  // namespace corvane::files
