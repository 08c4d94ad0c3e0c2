#pragma once

// The file layer: every system call the bridge makes on files goes through
// here (descriptors, reading and writing, locking, finding where a file lives,
// and replacing a file so that a crash or a signal never leaves half a file).
// Failures are error codes: the system's error numbers, plus the few faults of
// this layer's own (`Errc`). They become text only at the edge, with
// `describe`.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <sys/stat.h>

#include "corvane/files/signal_hold.hpp"
#include "corvane/files/system.hpp"

namespace corvane::files {

// Faults of the file layer's own.
enum class Errc {
  write_returned_zero = 1,  // "failed to write whole buffer"
  not_regular_file,         // a FIFO, a device, a socket: never read or replaced
  path_switched,            // the path names another file than the one locked
  nul_in_path,              // "file name contained an unexpected NUL byte"
  locked,                   // another process held the lock until the time ran out
  changed_in_place,         // the file the new text was made from changed meanwhile
};
[[nodiscard]] const std::error_category& error_category() noexcept;
[[nodiscard]] std::error_code make_error_code(Errc errc) noexcept;

}  // namespace corvane::files

template <>
struct std::is_error_code_enum<corvane::files::Errc> : std::true_type {};

namespace corvane::files {

template <typename T>
using Result = std::expected<T, std::error_code>;

// The code of the system call that just failed.
[[nodiscard]] std::error_code last_error() noexcept;

// The text of an error: "No such file or directory (os error 2)" for the
// system's errors (its message, then the error number), the layer's own text
// for the others.
[[nodiscard]] std::string describe(std::error_code error);

// A path as text; bytes that are not UTF-8 are shown as U+FFFD.
[[nodiscard]] std::string display_path(const std::filesystem::path& path);

// The path as the system takes it; fails with nul_in_path when it holds a NUL.
[[nodiscard]] Result<std::string> system_path(const std::filesystem::path& path);

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

// Opens an existing state file to read it, as `open_regular`, and waits
// while a save writes over its text in place: from then until the
// descriptor is closed, such a write waits instead (a replacement, which
// never touches the open file, does not). A file system without record
// locks reads without. Where an in-place save was killed while it wrote,
// the whole new text it left beside the file is opened instead, when this
// user may read it.
[[nodiscard]] Result<OpenFile> open_to_read(System& system, const std::string& path);

// The name beside the file `name` under which an in-place save keeps the
// whole new text, flushed to disk, while it writes it over the old text: its
// presence says that the file may be torn and that this is its text.
[[nodiscard]] std::string roll_forward_name(std::string_view name);

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

// The process holding a lock on the file `info` describes, as /proc/locks
// tells it; none when it cannot be told.
[[nodiscard]] std::optional<pid_t> lock_holder(System& system, const struct stat& info);

// Called once when a wait for the lock has lasted about a second, with the
// holder's process id where it can be told.
using WaitNotice = std::function<void(std::optional<pid_t> holder)>;

// An exclusive lock on a regular file, held until destroyed.
class Lock {
 public:
  // Waits up to `timeout` for the lock on the file `path` names. The path is
  // opened again on every try, so a file renamed into place by the holder is
  // the one waited for, and the lock is only taken on the file the path names
  // once it is held. A file that cannot be opened fails at once with why.
  // `notice` (if any) hears of a wait that lasts.
  [[nodiscard]] static Result<Lock> acquire(System& system, const std::string& path,
                                            std::chrono::milliseconds timeout,
                                            const WaitNotice& notice = {});

  [[nodiscard]] const OpenFile& file() const noexcept { return file_; }
  [[nodiscard]] int fd() const noexcept { return file_.fd.get(); }
  // Lets other processes in now.
  void release() noexcept { file_.fd.reset(); }

 private:
  explicit Lock(OpenFile file) : file_(std::move(file)) {}
  OpenFile file_;
};

// Finishes an in-place save of the locked file that was killed while it
// wrote over the old text: the whole new text it left beside the file
// (under `roll_forward_name`) is written over it and then removed. Nothing
// to do when there is none, or when the one there was not made by this
// user, the file's owner, or (in a directory not everyone may write to) a
// member of the group that may write the file.
[[nodiscard]] Result<void> finish_interrupted_save(System& system, const Lock& lock,
                                                   const std::string& path);

// Where a file lives: its directory, open, and its name there.
struct Location {
  Fd directory;
  std::string name;
};

// Where the file open as `file` lives, as the kernel resolved the path it was
// opened by (symbolic links are followed once, by the kernel, so its
// protections apply).
[[nodiscard]] Result<Location> locate(System& system, const OpenFile& file,
                                      const std::string& opened_as);

// Where a new file named by `path` is to be made: symbolic links are followed
// (at most 40), a dangling one naming the file to create. A link in a sticky
// directory that everyone may write to is followed only when this user or
// the directory's owner owns it, as the kernel's own rule for such links has
// it; otherwise EACCES.
[[nodiscard]] Result<Location> locate_new(System& system, const std::string& path);

// Writes a file anew so that at every instant its name holds either the old
// or the new complete text.
//
// The new text goes to a temporary file beside it, with the old file's mode,
// owner, group, ACL, extended attributes and the inode flags a user may set
// (+S, +d, +A, +c, +m, +C), is flushed to disk and renamed
// over the old file (or linked in place of a new one, never replacing a file
// that appeared meanwhile); then the directory is flushed. The temporary
// file's name is short and of fixed length, made from the file's own name, so
// it always fits and stale ones left by a killed run can be found (and are
// removed while the file's lock is held); it is removed on SIGINT, SIGTERM,
// SIGHUP and SIGQUIT, since it holds a copy of the file.
//
// Only where no file may be made beside it (a directory the user may not
// write to), where a copy could not carry the old file's owner, ACL,
// attributes or inode flags (and so would widen who may read it), or where the rename
// cannot put it in place (EBUSY for a bind-mounted file, EXDEV), the file is
// written in place instead: the new text is first written whole to a file
// readable by this user alone (the copy beside it, else an unnamed one in
// the temporary directory, else memory) and then copied over the old text
// piece by piece. The copy beside the file is flushed and renamed to
// `roll_forward_name` before the first byte is written over the old text, and
// removed once it is all written: a save killed meanwhile is finished by the
// next command that changes the file, and readers read that copy. A file-size limit it would exceed
// fails first, the space it needs is reserved first so that a full disk fails before the old text
// is touched, and the signals above wait until the write is done. Any other failure is reported and
// leaves the file as it was.
class Replacement {
 public:
  // Replaces the locked file that `path` names (`path` is checked again before
  // the rename: it must still lead to the locked file).
  [[nodiscard]] static Result<Replacement> replace(System& system, const Lock& lock,
                                                   Location location, std::string path);
  // Makes a new file, failing with EEXIST when the name exists by then.
  [[nodiscard]] static Result<Replacement> create(System& system, Location location);

  Replacement(Replacement&& other) noexcept;
  Replacement& operator=(Replacement&&) = delete;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();

  // Appends bytes to the new text.
  [[nodiscard]] Result<void> append(std::string_view bytes);
  // Appends `length` bytes of the file `from` starting at `offset`, copied by
  // the kernel where it can.
  [[nodiscard]] Result<void> append_copy(int from, std::uint64_t offset, std::uint64_t length);
  // Says that the new text is made from the file open as `fd` as it was
  // when `read` was taken: `commit` fails with changed_in_place, before the
  // new text reaches the name, if that file has changed since.
  void made_from(int fd, const struct stat& read) noexcept {
    source_fd_ = fd;
    source_ = read;
  }
  // Puts the new text in place. `hold` is held just before the new text
  // reaches the file's name (the rename or link, or the first byte written
  // over the old text in place) and stays held when this returns, whether it
  // succeeded or not; before that point a signal leaves the old file and no
  // temporary one.
  [[nodiscard]] Result<void> commit(SignalHold& hold);

 private:
  Replacement(System& system, Location location) noexcept;
  Result<void> flush();
  Result<void> commit_in_place(SignalHold& hold);
  void stage_elsewhere() noexcept;
  Result<void> write_in_place(SignalHold& hold, int from, std::uint64_t size);
  Result<void> keep_for_roll_forward(int from);
  void end_in_place(bool written) noexcept;
  Result<void> check_path_still_leads_to_the_lock();
  Result<void> check_source_unchanged();
  void discard_temporary() noexcept;

  System* system_;
  Location location_;
  const Lock* lock_ = nullptr;  // the file replaced; null when a new one is made
  std::string path_;
  Fd temporary_;
  std::string temporary_name_;
  bool in_place_ = false;
  bool overwritten_ = false;  // the old text has been written over, at least in part
  // Written out in pieces; in place without a file to hold the new text
  // (`temporary_`), all of it.
  std::string pending_;
  int source_fd_ = -1;
  struct stat source_ {};
};

// The temporary name of `name`'s replacement, without its random part: the
// prefix every temporary file of that file begins with.
[[nodiscard]] std::string temporary_prefix(std::string_view name);

}  // namespace corvane::files
