#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "corvane/router/router.hpp"
#include "varnholt/contracts/uuid.hpp"

namespace corvane::cli {

// The whole state of a bridge, as kept in the state file.
struct CliState {
  varnholt::contracts::TenantId tenant_id;
  // The seed the bridge's signing key is derived from on every run. It is the
  // bridge's private key: never printed, never logged.
  std::array<std::uint8_t, 32> approval_seed{};
  router::Router router;

  friend bool operator==(const CliState&, const CliState&) = default;
};

// The state file's text: pretty layout, members in declaration order, no line
// feed after the closing brace.
[[nodiscard]] std::string encode_state(const CliState& state);

// Reads a state file's bytes; on failure the message names the fault and its
// position (" at line L column C").
[[nodiscard]] std::expected<CliState, std::string> decode_state(std::string_view bytes);

// True when `path` names an existing entry of the file system (following
// symbolic links); a path whose existence cannot be determined is not.
[[nodiscard]] bool state_exists(const std::filesystem::path& path);

// Reads and decodes the state file. Failures: "{path}: {os description} (run
// init first)" when it cannot be read, the decoder's message when it cannot
// be decoded.
[[nodiscard]] std::expected<CliState, std::string> load_state(const std::filesystem::path& path);

enum class SaveMode : std::uint8_t {
  Replace,    // write over the file at `path`, or create it
  CreateNew,  // create the file; fail with "{path} already exists" if it appeared meanwhile
};

// Writes the whole state to `path` so that a crash leaves either the old or the
// new file, never a partial one. Failures carry the OS description only.
[[nodiscard]] std::expected<void, std::string> save_state(const std::filesystem::path& path,
                                                          const CliState& state,
                                                          SaveMode mode = SaveMode::Replace);

// An exclusive advisory lock on the state file, held by a changing command from
// reading the file until it is replaced, so that concurrent runs take turns
// and none loses another's work. Released when destroyed.
class StateLock {
 public:
  // Waits up to `timeout` for the lock. A file that cannot be opened yields no
  // lock (and no error): reading it will report why.
  [[nodiscard]] static std::expected<StateLock, std::string> acquire(
      const std::filesystem::path& path, std::chrono::milliseconds timeout);

  StateLock(StateLock&& other) noexcept;
  StateLock& operator=(StateLock&&) = delete;
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
  ~StateLock();

 private:
  explicit StateLock(int fd) noexcept : fd_(fd) {}
  int fd_ = -1;
};

// "No such file or directory (os error 2)": the system's text for an error
// number and the number itself.
[[nodiscard]] std::string os_error_description(int error_number);

// A path as text; bytes that are not UTF-8 are shown as U+FFFD.
[[nodiscard]] std::string display_path(const std::filesystem::path& path);

}  // namespace corvane::cli
