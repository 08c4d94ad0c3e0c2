#pragma once

// The system calls on files that the file layer makes, behind one interface.
// Each behaves like the C library's function of the same name (a result of -1
// with errno set on failure). The real one is `System::real()`; tests replace
// single calls to see how the layer copes with failures the machine would
// rarely produce (a full disk, an interrupted call, a short write).

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace corvane::files {

class System {
 public:
  System() = default;
  System(const System&) = delete;
  System& operator=(const System&) = delete;
  virtual ~System() = default;

  // The process's real system calls.
  [[nodiscard]] static System& real();

  virtual int open(const char* path, int flags, mode_t mode);
  virtual int openat(int dir, const char* name, int flags, mode_t mode);
  virtual int close(int fd);
  virtual ssize_t read(int fd, void* buffer, std::size_t size);
  virtual ssize_t pread(int fd, void* buffer, std::size_t size, off_t offset);
  virtual ssize_t write(int fd, const void* buffer, std::size_t size);
  virtual ssize_t pwrite(int fd, const void* buffer, std::size_t size, off_t offset);
  virtual ssize_t copy_file_range(int from, off_t* from_offset, int to, off_t* to_offset,
                                  std::size_t size);
  virtual int fsync(int fd);
  virtual int fstat(int fd, struct stat* info);
  virtual int stat(const char* path, struct stat* info);
  virtual int lstat(const char* path, struct stat* info);
  virtual int fstatat(int dir, const char* name, struct stat* info, int flags);
  virtual ssize_t readlink(const char* path, char* buffer, std::size_t size);
  virtual int fcntl_setfl(int fd, int flags);
  virtual int fchmod(int fd, mode_t mode);
  virtual int fchown(int fd, uid_t owner, gid_t group);
  virtual int flock(int fd, int operation);
  // fcntl(fd, command, lock) for the record locks (F_OFD_SETLKW and kin).
  virtual int fcntl_lock(int fd, int command, struct flock* lock);
  virtual int fallocate(int fd, int mode, off_t offset, off_t length);
  // The inode flags (chattr's) of an open file: ioctl FS_IOC_GETFLAGS and
  // FS_IOC_SETFLAGS.
  virtual int get_inode_flags(int fd, int* flags);
  virtual int set_inode_flags(int fd, int flags);
  virtual int ftruncate(int fd, off_t length);
  virtual ssize_t flistxattr(int fd, char* names, std::size_t size);
  virtual ssize_t fgetxattr(int fd, const char* name, void* value, std::size_t size);
  virtual int fsetxattr(int fd, const char* name, const void* value, std::size_t size, int flags);
  virtual int fremovexattr(int fd, const char* name);
  virtual int renameat(int from_dir, const char* from, int to_dir, const char* to);
  virtual int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags);
  virtual int unlinkat(int dir, const char* name, int flags);
  // The names in the directory open as `dir` (not "." and ".."), or -1.
  virtual int list_directory(int dir, std::vector<std::string>& names);
  // Fills `buffer` with random bytes for temporary names.
  virtual int random_bytes(void* buffer, std::size_t size);
};

}  // namespace corvane::files
