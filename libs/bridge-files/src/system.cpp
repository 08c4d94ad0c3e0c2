#include "corvane/files/system.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::files {

System& System::real() {
  static System system;
  return system;
}

int System::open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}
int System::openat(int dir, const char* name, int flags, mode_t mode) {
  return ::openat(dir, name, flags, mode);
}
int System::close(int fd) {
  return ::close(fd);
}
ssize_t System::read(int fd, void* buffer, std::size_t size) {
  return ::read(fd, buffer, size);
}
ssize_t System::pread(int fd, void* buffer, std::size_t size, off_t offset) {
  return ::pread(fd, buffer, size, offset);
}
ssize_t System::write(int fd, const void* buffer, std::size_t size) {
  return ::write(fd, buffer, size);
}
ssize_t System::pwrite(int fd, const void* buffer, std::size_t size, off_t offset) {
  return ::pwrite(fd, buffer, size, offset);
}
ssize_t System::copy_file_range(int from, off_t* from_offset, int to, off_t* to_offset,
                                std::size_t size) {
  return ::copy_file_range(from, from_offset, to, to_offset, size, 0);
}
int System::fsync(int fd) {
  return ::fsync(fd);
}
int System::fstat(int fd, struct stat* info) {
  return ::fstat(fd, info);
}
int System::stat(const char* path, struct stat* info) {
  return ::stat(path, info);
}
int System::lstat(const char* path, struct stat* info) {
  return ::lstat(path, info);
}
int System::fstatat(int dir, const char* name, struct stat* info, int flags) {
  return ::fstatat(dir, name, info, flags);
}
ssize_t System::readlink(const char* path, char* buffer, std::size_t size) {
  return ::readlink(path, buffer, size);
}
int System::fcntl_setfl(int fd, int flags) {
  return ::fcntl(fd, F_SETFL, flags);
}
int System::fchmod(int fd, mode_t mode) {
  return ::fchmod(fd, mode);
}
int System::fchown(int fd, uid_t owner, gid_t group) {
  return ::fchown(fd, owner, group);
}
int System::flock(int fd, int operation) {
  return ::flock(fd, operation);
}
int System::fcntl_lock(int fd, int command, struct flock* lock) {
  return ::fcntl(fd, command, lock);
}
int System::fallocate(int fd, int mode, off_t offset, off_t length) {
  return ::fallocate(fd, mode, offset, length);
}
int System::get_inode_flags(int fd, int* flags) {
  return ::ioctl(fd, FS_IOC_GETFLAGS, flags);
}
int System::set_inode_flags(int fd, int flags) {
  return ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
}
int System::ftruncate(int fd, off_t length) {
  return ::ftruncate(fd, length);
}
ssize_t System::flistxattr(int fd, char* names, std::size_t size) {
  return ::flistxattr(fd, names, size);
}
ssize_t System::fgetxattr(int fd, const char* name, void* value, std::size_t size) {
  return ::fgetxattr(fd, name, value, size);
}
int System::fsetxattr(int fd, const char* name, const void* value, std::size_t size, int flags) {
  return ::fsetxattr(fd, name, value, size, flags);
}
int System::fremovexattr(int fd, const char* name) {
  return ::fremovexattr(fd, name);
}
int System::renameat(int from_dir, const char* from, int to_dir, const char* to) {
  return ::renameat(from_dir, from, to_dir, to);
}
int System::linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  return ::linkat(from_dir, from, to_dir, to, flags);
}
int System::unlinkat(int dir, const char* name, int flags) {
  return ::unlinkat(dir, name, flags);
}

int System::list_directory(int dir, std::vector<std::string>& names) {
  // fdopendir takes over the descriptor it is given, so it gets its own.
  const int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return -1;
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    const int error = errno;
    ::close(copy);
    errno = error;
    return -1;
  }
  names.clear();
  errno = 0;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  const int error = errno;
  ::closedir(stream);
  errno = error;
  return error == 0 ? 0 : -1;
}

int System::random_bytes(void* buffer, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::getrandom(bytes, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace corvane::files
