#pragma once

// The state store: where the bridge state is read from and written to. It
// stands on the file layer (corvane/files), which makes every system call,
// and turns that layer's error codes into the texts the user sees.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "corvane/files/files.hpp"
#include "corvane/state/codec.hpp"
#include "corvane/state/record.hpp"

namespace corvane::state {

// How a command uses the state file.
enum class Access : std::uint8_t {
  Read,    // reads it; never writes it
  Change,  // holds its lock from reading it until it is replaced
};

// Whether opening a state starts checking every connector's signature. The
// checks start as soon as the connectors and the seed are read (in a file in
// the writer's member order, before its log is), and run on the processor's
// other cores while the log is read.
enum class Checks : std::uint8_t {
  None,
  Signatures,
};

// How long a changing command waits for another process to finish with the
// file before it gives up.
inline constexpr std::chrono::seconds kLockTimeout{30};

// True when `path` names an existing entry of the file system, of any kind
// (following symbolic links); a path whose existence cannot be determined
// counts as missing.
[[nodiscard]] bool state_exists(const std::filesystem::path& path,
                                files::System& system = files::System::real());

// A state file opened by one command.
class Store {
 public:
  // Makes a new state file at `path` holding `state`, readable by its owner
  // only. Fails with "{path} already exists" when the path exists by then,
  // otherwise with the system's description.
  [[nodiscard]] static std::expected<void, std::string> create(
      const std::filesystem::path& path, const CliState& state,
      files::System& system = files::System::real());
  // The same, holding the ending signals with `hold` from the moment the new
  // file gets its name (see `save`).
  [[nodiscard]] static std::expected<void, std::string> create(
      const std::filesystem::path& path, const CliState& state, files::SignalHold& hold,
      files::System& system = files::System::real());

  // Reads the state file at `path` and checks all of it. Its delivery log is
  // not kept: `for_each_delivery` reads it again. With Access::Change the file's lock
  // is taken first (waiting at most `timeout`) and held until `release`, and
  // the file that is read is the one `save` replaces. Failures: "{path}:
  // {system description} (run init first)" when the file cannot be read, the
  // decoder's message when it is not a state, and "{path} is locked by
  // another process; gave up after N seconds". `notice` hears once of a
  // wait for the lock that has lasted about a second.
  [[nodiscard]] static std::expected<Store, std::string> open(
      const std::filesystem::path& path, Access access, Checks checks = Checks::None,
      files::System& system = files::System::real(),
      std::chrono::milliseconds timeout = kLockTimeout, const files::WaitNotice& notice = {});

  // The state as read, but for its delivery log: the router's delivery list
  // holds only the deliveries appended since, which `save` adds to the log.
  [[nodiscard]] CliState& state() noexcept { return state_; }
  [[nodiscard]] const CliState& state() const noexcept { return state_; }
  [[nodiscard]] const LogExtent& log() const noexcept { return log_; }
  // The signature checks of the connectors (with Checks::Signatures).
  [[nodiscard]] router::SignatureChecks* signature_checks() noexcept { return checks_.get(); }
  // The permission bits (and set-id and sticky bits) of the file read.
  [[nodiscard]] mode_t mode() const noexcept { return read_info_.st_mode & 07777; }

  // Hands every delivery of the log to `observer` in order: those of the file
  // (read again from the file that was opened), then the appended ones.
  [[nodiscard]] std::expected<void, std::string> for_each_delivery(ReadObserver& observer);

  // Replaces the state file with the state and its whole log (Access::Change
  // only). A log in the writer's own layout is copied by the kernel, not
  // written again. Failures carry the system's description, without the
  // path, or name the path when it leads to another file by now or the file
  // was changed in place since it was read ("{path} was changed in place
  // while it was read; nothing was written"). `hold` is held from just
  // before the new text reaches the file's name and stays held (see
  // files::Replacement::commit); without one, the signals are let through
  // again when this returns.
  [[nodiscard]] std::expected<void, std::string> save(files::SignalHold& hold);
  [[nodiscard]] std::expected<void, std::string> save();

  // Lets other processes at the file; the store cannot save afterwards.
  void release() noexcept;

 private:
  Store(files::System& system, std::filesystem::path path)
      : system_(&system), path_(std::move(path)) {}

  // The file that was read: locked when changing.
  [[nodiscard]] int fd() const noexcept { return lock_ ? lock_->fd() : file_->fd.get(); }

  files::System* system_;
  std::filesystem::path path_;
  std::optional<files::Lock> lock_;
  std::optional<files::OpenFile> file_;
  std::optional<files::Location> location_;
  struct stat read_info_ {};  // the file as it was when its reading began
  CliState state_;
  LogExtent log_;
  // Reads the connectors of `state_` on other threads: declared after it, so
  // that the threads are joined before the connectors go, whichever way the
  // store ends.
  std::unique_ptr<router::SignatureChecks> checks_;
};

}  // namespace corvane::state
