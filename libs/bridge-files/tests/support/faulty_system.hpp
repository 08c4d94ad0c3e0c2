#pragma once

// The real system calls, but for the failures a test asks for: the file
// layer's tests and those of the libraries built on it replace single calls
// to see how the layer copes with what the machine would rarely produce (a
// full disk, an interrupted call, a short write, a refused chown).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "corvane/files/system.hpp"

namespace corvane::files::testing {

class FaultySystem : public System {
 public:
  int create_temporary_errno = 0;  // openat with O_EXCL
  int interrupted_creates = 0;     // EINTR this many times first
  int fallocate_errno = 0;
  int fsetxattr_errno = 0;
  int write_errno = 0;  // every write fails so
  bool writes_take_nothing = false;
  std::size_t write_piece = 0;  // at most this much per write (0: all)
  int interrupted_writes = 0;   // EINTR this many times first
  int interrupted_reads = 0;    // read and pread: EINTR this many times first
  std::size_t read_piece = 0;   // at most this much per read (0: all)
  int rename_errno = 0;         // renames onto `rename_target` fail so
  std::string rename_target = "corvane.json";
  int link_errno = 0;
  int fchown_errno = 0;
  int fchmod_errno = 0;
  int close_errno = 0;
  int tmpfile_errno = 0;
  int closes = 0;                             // close calls made
  std::size_t largest_read = 0;               // the most bytes one pread asked for
  bool directories_need_read = false;         // a 0711 directory: only O_PATH opens it
  std::function<void()> on_fsync;             // runs at the first fsync (of the new text)
  std::chrono::microseconds pwrite_delay{0};  // a slow disk under the in-place write
  std::function<void()> after_pwrite;         // runs after every write at an offset
  // Inode flags by inode number, for a file system that keeps them here.
  std::optional<std::map<ino_t, int>> inode_flags;
  int get_flags_errno = 0;
  int set_flags_errno = 0;

  int get_inode_flags(int fd, int* flags) override {
    if (get_flags_errno != 0) return fail_with(get_flags_errno);
    if (!inode_flags) return System::get_inode_flags(fd, flags);
    *flags = (*inode_flags)[inode(fd)];
    return 0;
  }
  int set_inode_flags(int fd, int flags) override {
    if (set_flags_errno != 0) return fail_with(set_flags_errno);
    if (!inode_flags) return System::set_inode_flags(fd, flags);
    (*inode_flags)[inode(fd)] = flags;
    return 0;
  }
  static ino_t inode(int fd) {
    struct stat info {};
    (void)::fstat(fd, &info);
    return info.st_ino;
  }

  int open(const char* path, int flags, mode_t mode) override {
    if (directories_need_read && (flags & O_DIRECTORY) != 0 && (flags & O_PATH) == 0) {
      return fail_with(EACCES);
    }
    if ((flags & O_TMPFILE) == O_TMPFILE && tmpfile_errno != 0) return fail_with(tmpfile_errno);
    return System::open(path, flags, mode);
  }
  int openat(int dir, const char* name, int flags, mode_t mode) override {
    if ((flags & O_DIRECTORY) != 0) {
      if (directories_need_read && (flags & O_PATH) == 0) return fail_with(EACCES);
      return System::openat(dir, name, flags, 0);
    }
    if ((flags & O_EXCL) != 0) {
      if (interrupted_creates > 0) return fail_with(EINTR, interrupted_creates);
      if (create_temporary_errno != 0) return fail_with(create_temporary_errno);
    }
    return System::openat(dir, name, flags, mode);
  }
  int close(int fd) override {
    ++closes;
    const int result = System::close(fd);
    if (close_errno != 0) return fail_with(close_errno);
    return result;
  }
  int renameat(int from_dir, const char* from, int to_dir, const char* to) override {
    if (rename_errno != 0 && std::string_view(to) == rename_target) return fail_with(rename_errno);
    return System::renameat(from_dir, from, to_dir, to);
  }
  int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) override {
    if (link_errno != 0) return fail_with(link_errno);
    return System::linkat(from_dir, from, to_dir, to, flags);
  }
  int fchown(int fd, uid_t owner, gid_t group) override {
    if (fchown_errno != 0) return fail_with(fchown_errno);
    return System::fchown(fd, owner, group);
  }
  int fchmod(int fd, mode_t mode) override {
    if (fchmod_errno != 0) return fail_with(fchmod_errno);
    return System::fchmod(fd, mode);
  }
  ssize_t read(int fd, void* buffer, std::size_t size) override {
    if (interrupted_reads > 0) return fail_with(EINTR, interrupted_reads);
    return System::read(fd, buffer, read_piece == 0 ? size : std::min(size, read_piece));
  }
  ssize_t pread(int fd, void* buffer, std::size_t size, off_t offset) override {
    largest_read = std::max(largest_read, size);
    if (interrupted_reads > 0) return fail_with(EINTR, interrupted_reads);
    return System::pread(fd, buffer, read_piece == 0 ? size : std::min(size, read_piece), offset);
  }
  int fsync(int fd) override {
    if (on_fsync) std::exchange(on_fsync, {})();
    return System::fsync(fd);
  }
  int fallocate(int fd, int mode, off_t offset, off_t length) override {
    if (fallocate_errno != 0) return fail_with(fallocate_errno);
    return System::fallocate(fd, mode, offset, length);
  }
  int fsetxattr(int fd, const char* name, const void* value, std::size_t size, int flags) override {
    if (fsetxattr_errno != 0) return fail_with(fsetxattr_errno);
    return System::fsetxattr(fd, name, value, size, flags);
  }
  ssize_t write(int fd, const void* buffer, std::size_t size) override {
    if (interrupted_writes > 0) return fail_with(EINTR, interrupted_writes);
    if (write_errno != 0) return fail_with(write_errno);
    if (writes_take_nothing) return 0;
    return System::write(fd, buffer, write_piece == 0 ? size : std::min(size, write_piece));
  }
  ssize_t pwrite(int fd, const void* buffer, std::size_t size, off_t offset) override {
    if (interrupted_writes > 0) return fail_with(EINTR, interrupted_writes);
    if (write_errno != 0) return fail_with(write_errno);
    if (writes_take_nothing) return 0;
    if (pwrite_delay.count() > 0) std::this_thread::sleep_for(pwrite_delay);
    const ssize_t n =
        System::pwrite(fd, buffer, write_piece == 0 ? size : std::min(size, write_piece), offset);
    if (after_pwrite) after_pwrite();
    return n;
  }

 private:
  static int fail_with(int error) {
    errno = error;
    return -1;
  }
  static int fail_with(int error, int& times) {
    --times;
    return fail_with(error);
  }
};

}  // namespace corvane::files::testing
