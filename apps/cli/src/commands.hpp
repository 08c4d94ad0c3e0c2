#pragma once

// The table of corvanectl's commands: one row per command, from which the
// command line is matched, its help rendered, and the command run.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "cli_internal.hpp"
#include "corvane/cli/cli.hpp"
#include "corvane/router/router.hpp"
#include "corvane/state/record.hpp"
#include "varnholt/contracts/time.hpp"
#include "varnholt/crypto/sign.hpp"

namespace corvane::state {
class Store;
}

namespace corvane::cli {

class Output;

// How a command uses the state file.
enum class Effect : std::uint8_t {
  Creates,  // makes a new state file
  Reads,    // reads it and never writes it
  Changes,  // reads it under its lock and replaces it
};

using Printed = std::expected<void, std::string>;
// Prints a command's result once its change is saved: the JSON form with
// --json, the text lines otherwise.
using Printer = std::function<Printed(Output&, bool json)>;

// What a command's work runs against: the state (read, or new for init),
// the run's one clock reading, and the signature checks of every connector
// for the commands that verify them.
class Session {
 public:
  Session(const std::filesystem::path& path, state::CliState& state,
          varnholt::contracts::Timestamp now, router::SignatureChecks* checks, state::Store* store)
      : path_(path), state_(state), now_(now), checks_(checks), store_(store) {}

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] state::CliState& state() { return state_; }
  [[nodiscard]] varnholt::contracts::Timestamp now() const { return now_; }
  [[nodiscard]] router::SignatureChecks& checks() const { return *checks_; }
  // The state file, for a second reading of its log as it is printed.
  [[nodiscard]] state::Store& store() { return *store_; }
  // The bridge's key pair, derived from the seed when a command first needs
  // it (listing needs none).
  [[nodiscard]] const varnholt::crypto::SigningKey& signing_key();

 private:
  const std::filesystem::path& path_;
  state::CliState& state_;
  varnholt::contracts::Timestamp now_;
  router::SignatureChecks* checks_;
  state::Store* store_;
  std::optional<varnholt::crypto::SigningKey> key_;
};

// A command's work on the state, holding its checked arguments.
using Work = std::function<std::expected<Printer, std::string>(Session&)>;

// One command: how the command line names it and what it takes, what it does
// to the state file, whether its work needs every connector's signature
// checked, how its parsed value starts out, and its run function, which
// checks its arguments (before the state file is touched) and returns its
// work on the state.
struct CommandRow {
  detail::CommandDecl decl;
  Effect effect;
  bool verifies;
  Command (*blank)();
  std::expected<Work, std::string> (*run)(const Command&);
};

// The commands in the order the help lists them.
[[nodiscard]] std::span<const CommandRow> command_table();

// The row of the command `command` is.
[[nodiscard]] const CommandRow& row_of(const Command& command);

}  // namespace corvane::cli
