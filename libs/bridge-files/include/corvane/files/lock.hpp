#pragma once

// The lock a command that changes a file holds on it, and who holds it when
// a wait lasts.

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "corvane/files/descriptor.hpp"
#include "corvane/files/error.hpp"
#include "corvane/files/system.hpp"

namespace corvane::files {

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

}  // namespace corvane::files
