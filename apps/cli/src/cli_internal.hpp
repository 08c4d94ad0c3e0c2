#pragma once

// The declarations of the corvanectl command line, and the pieces of its
// parser that tests reach directly: the colour decision and a parse entry
// point that writes to given streams.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/cli/cli.hpp"
#include "corvane/contracts/enums.hpp"

namespace corvane::cli {

// The environment variables that decide whether help and usage errors are
// coloured. An absent variable is std::nullopt; a set but empty one is "".
struct ColourEnv {
  std::optional<std::string> no_color;
  std::optional<std::string> clicolor_force;
  std::optional<std::string> clicolor;
  std::optional<std::string> term;

  [[nodiscard]] static ColourEnv from_process();
};

// Whether text written to a stream is styled with ANSI escapes:
// NO_COLOR (non-empty) always wins, then CLICOLOR_FORCE (non-empty, not "0")
// forces colour, then CLICOLOR=0 turns it off; otherwise only a terminal gets
// colour, and only when TERM names a capable terminal or CLICOLOR asks for it.
[[nodiscard]] bool colour_enabled(const ColourEnv& env, bool is_terminal);

// Where the parser writes and whether each stream is styled.
struct ParserStreams {
  std::ostream& out;
  std::ostream& err;
  bool out_colour = false;
  bool err_colour = false;
};

// parse_command_line with explicit streams; argv[0] is the program path and is
// not looked at.
[[nodiscard]] ParseResult parse_command_line(int argc, const char* const* argv,
                                             const ParserStreams& streams);

namespace detail {

// The declarations below are plain constant data: matching the arguments
// reads them directly, and the help and the usage errors are rendered from
// them (help_format.hpp). They are the only list of commands and options.

inline constexpr std::string_view kProgramName = "corvanectl";
inline constexpr std::string_view kDefaultState = "corvane.json";

// "corvanectl <version>", as --version prints it.
[[nodiscard]] std::string_view version_text();

// What a declared option or argument is.
enum class ArgKind : std::uint8_t {
  kValue,    // takes one value per occurrence
  kFlag,     // takes no value
  kHelp,     // takes no value; asks for the help of its command
  kVersion,  // takes no value; asks for the program's version
};

// How a value is checked when it is read.
enum class Check : std::uint8_t {
  kNone,  // taken as raw bytes
  kUtf8,  // text: must be valid UTF-8
  kUuid,  // text that names a connector
};

// The values read from the command line, where the declarations put them.
struct Values {
  std::string program_state;  // --state before the subcommand
  std::string command_state;  // --state after it
  std::string name;
  std::string endpoint_ref;
  std::string secret_ref;
  std::vector<std::string> events;
  std::vector<std::string> install_classes;
  std::string connector;
  std::string workflow_ref;
  std::string event_type;
  std::vector<std::string> route_classes;
  std::vector<std::string> help_topics;
};

// One option or positional argument of a command.
struct Arg {
  std::string_view name{};           // "--state"; a positional argument's has no dashes ("name")
  std::string_view short_name{};     // "-h", or empty
  std::string_view value_name{};     // "STATE" of "--state <STATE>"; empty when no value is taken
  std::string_view help{};           // may be empty
  std::string_view default_value{};  // shown in help; empty for none
  ArgKind kind = ArgKind::kValue;
  bool required = false;
  Check check = Check::kUtf8;
  std::string Values::*one = nullptr;                // where a single value goes
  std::vector<std::string> Values::*many = nullptr;  // every value, in order (repeatable)

  [[nodiscard]] constexpr bool positional() const { return !name.starts_with('-'); }
  [[nodiscard]] constexpr bool takes_value() const { return kind == ArgKind::kValue; }
  [[nodiscard]] constexpr bool repeatable() const { return many != nullptr; }
};

// The program itself, then its subcommands in the order its help lists them.
enum class CommandId : std::uint8_t {
  kProgram,
  kInit,
  kInstall,
  kApprove,
  kList,
  kRoute,
  kDeliveries,
  kHelp,
};

struct CommandDecl {
  CommandId id;
  std::string_view name;
  std::string_view description;
  // In the order of declaration: the help flag (and the version flag) first,
  // then the options and arguments in the order the help lists them.
  std::span<const Arg> args;
};

// "Data classes: " and the names of the data classes, as the state file
// stores them, separated by " | ".
inline constexpr std::string_view kDataClassLead = "Data classes:";
[[nodiscard]] constexpr std::size_t data_class_help_size() {
  std::size_t size = kDataClassLead.size() + 1 + 3 * (contracts::kDataClassNames.size() - 1);
  for (const std::string_view name : contracts::kDataClassNames) size += name.size();
  return size;
}
inline constexpr auto kDataClassHelp = [] {
  std::array<char, data_class_help_size()> text{};
  std::size_t at = 0;
  const auto put = [&text, &at](std::string_view piece) {
    for (const char c : piece) text[at++] = c;
  };
  put(kDataClassLead);
  for (const std::string_view name : contracts::kDataClassNames) {
    put(at == kDataClassLead.size() ? " " : " | ");
    put(name);
  }
  return text;
}();

inline constexpr Arg kHelpFlag{
    .name = "--help", .short_name = "-h", .help = "Print help information", .kind = ArgKind::kHelp};
inline constexpr Arg kVersionFlag{.name = "--version",
                                  .short_name = "-V",
                                  .help = "Print version information",
                                  .kind = ArgKind::kVersion};
inline constexpr Arg kJsonFlag{.name = "--json", .kind = ArgKind::kFlag};

// --state is a path: raw bytes, not checked as text.
[[nodiscard]] constexpr Arg state_option(std::string Values::*target) {
  return Arg{.name = "--state",
             .value_name = "STATE",
             .default_value = kDefaultState,
             .check = Check::kNone,
             .one = target};
}

// Text given at most once.
[[nodiscard]] constexpr Arg text(std::string_view name, std::string_view value_name,
                                 std::string Values::*target, bool required,
                                 std::string_view help = {}) {
  return Arg{
      .name = name, .value_name = value_name, .help = help, .required = required, .one = target};
}

// Text that may be given any number of times.
[[nodiscard]] constexpr Arg texts(std::string_view name, std::string_view value_name,
                                  std::vector<std::string> Values::*target,
                                  std::string_view help = {}) {
  return Arg{.name = name, .value_name = value_name, .help = help, .many = target};
}

inline constexpr std::array kProgramArgs{kHelpFlag, kVersionFlag,
                                         state_option(&Values::program_state), kJsonFlag};
inline constexpr std::array kInitArgs{kHelpFlag, state_option(&Values::command_state), kJsonFlag};
inline constexpr std::array kInstallArgs{
    kHelpFlag,
    text("name", "NAME", &Values::name, true),
    text("--endpoint-ref", "ENDPOINT_REF", &Values::endpoint_ref, true,
         "Config reference for the endpoint — never a raw URL"),
    state_option(&Values::command_state),
    kJsonFlag,
    text("--secret-ref", "SECRET_REF", &Values::secret_ref, true,
         "Varnholt secret reference for the signing secret"),
    texts("--event", "EVENTS", &Values::events,
          "Event types this connector may receive (repeatable)"),
    texts("--class", "CLASSES", &Values::install_classes,
          std::string_view(kDataClassHelp.data(), kDataClassHelp.size())),
};
inline constexpr std::array kApproveArgs{
    kHelpFlag,
    Arg{.name = "connector",
        .value_name = "CONNECTOR",
        .required = true,
        .check = Check::kUuid,
        .one = &Values::connector},
    state_option(&Values::command_state),
    text("--workflow-ref", "WORKFLOW_REF", &Values::workflow_ref, true),
    kJsonFlag,
};
inline constexpr std::array kListArgs{kHelpFlag, state_option(&Values::command_state), kJsonFlag};
inline constexpr std::array kRouteArgs{
    kHelpFlag,
    text("event_type", "EVENT_TYPE", &Values::event_type, true),
    texts("--class", "CLASSES", &Values::route_classes),
    state_option(&Values::command_state),
    kJsonFlag,
};
inline constexpr std::array kDeliveriesArgs{kHelpFlag, state_option(&Values::command_state),
                                            kJsonFlag};
inline constexpr std::array kHelpArgs{
    kHelpFlag,
    // Checked when the topics are looked up, so that an unknown one is named.
    Arg{.name = "subcommand",
        .value_name = "SUBCOMMAND",
        .help = "The subcommand whose help message to display",
        .check = Check::kNone,
        .many = &Values::help_topics},
};

// Indexed by CommandId.
inline constexpr std::array<CommandDecl, 8> kCommands{{
    {CommandId::kProgram, kProgramName, "Corvane connectors and routing", kProgramArgs},
    {CommandId::kInit, "init", "Initialise the bridge with a tenant and an approval key",
     kInitArgs},
    {CommandId::kInstall, "install",
     "Install an outbound signed webhook connector (starts pending approval)", kInstallArgs},
    {CommandId::kApprove, "approve", "Approve an installed connector against a workflow reference",
     kApproveArgs},
    {CommandId::kList, "list", "List connectors", kListArgs},
    {CommandId::kRoute, "route", "Route an event and record deliveries", kRouteArgs},
    {CommandId::kDeliveries, "deliveries", "Show deliveries", kDeliveriesArgs},
    {CommandId::kHelp, "help", "Print this message or the help of the given subcommand(s)",
     kHelpArgs},
}};

static_assert(
    [] {
      for (std::size_t i = 0; i < kCommands.size(); ++i) {
        if (static_cast<std::size_t>(kCommands[i].id) != i) return false;
      }
      return true;
    }(),
    "kCommands is indexed by CommandId");
static_assert(
    [] {
      for (const CommandDecl& each : kCommands) {
        for (const Arg& arg : each.args) {
          const int targets = (arg.one != nullptr ? 1 : 0) + (arg.many != nullptr ? 1 : 0);
          if (targets != (arg.takes_value() ? 1 : 0)) return false;
        }
      }
      return true;
    }(),
    "what takes a value has exactly one place for it, and nothing else has one");

[[nodiscard]] constexpr const CommandDecl& command(CommandId id) {
  return kCommands[static_cast<std::size_t>(id)];
}

// The subcommands of the program; no subcommand has subcommands of its own.
[[nodiscard]] constexpr std::span<const CommandDecl> subcommands() {
  return std::span(kCommands).subspan(1);
}

// The most options and arguments any command has.
inline constexpr std::size_t kMaxArgs = [] {
  std::size_t most = 0;
  for (const CommandDecl& each : kCommands) most = std::max(most, each.args.size());
  return most;
}();

}  // namespace detail
}  // namespace corvane::cli
