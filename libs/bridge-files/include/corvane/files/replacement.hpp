#pragma once

// Replacing a file so that a crash or a signal never leaves half a file.

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "corvane/files/descriptor.hpp"
#include "corvane/files/error.hpp"
#include "corvane/files/location.hpp"
#include "corvane/files/lock.hpp"
#include "corvane/files/signal_cleanup.hpp"
#include "corvane/files/signal_hold.hpp"
#include "corvane/files/system.hpp"

namespace corvane::files {

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
  SignalCleanup cleanup_;  // removes the temporary file on a signal
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
