#pragma once

#include <array>
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

// Writes the whole state to `path`. Failures carry the OS description only.
[[nodiscard]] std::expected<void, std::string> save_state(const std::filesystem::path& path,
                                                          const CliState& state);

// "No such file or directory (os error 2)": the system's text for an error
// number and the number itself.
[[nodiscard]] std::string os_error_description(int error_number);

// A path as text; bytes that are not UTF-8 are shown as U+FFFD.
[[nodiscard]] std::string display_path(const std::filesystem::path& path);

}  // namespace corvane::cli
