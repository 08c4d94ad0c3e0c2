#pragma once

// How the corvanectl command line is declared and matched: options and
// arguments (`Arg`), commands (`CommandDecl`), the colour decision, and a
// parse entry point that writes to given streams. The commands themselves,
// with their arguments, are the rows of the command table (commands.hpp).

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "corvane/cli/cli.hpp"

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

// Where the parser writes, whether each stream is styled, and how wide the
// standard output's terminal is (0: not a terminal; help is then written as
// it is, unwrapped).
struct ParserStreams {
  std::ostream& out;
  std::ostream& err;
  bool out_colour = false;
  bool err_colour = false;
  std::size_t out_columns = 0;
};

// parse_command_line with explicit streams; argv[0] is the program path and is
// not looked at.
[[nodiscard]] ParseResult parse_command_line(int argc, const char* const* argv,
                                             const ParserStreams& streams);

namespace detail {

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

// Puts one value of an argument into the command line being built. Returns
// why the value is refused, or an empty text when it is taken.
using StoreValue = std::string (*)(Cli& cli, std::string value);

// One option or positional argument of a command.
struct Arg {
  std::string_view name{};           // "--state"; a positional argument's has no dashes ("name")
  std::string_view short_name{};     // "-h", or empty
  std::string_view value_name{};     // "STATE" of "--state <STATE>"; empty when no value is taken
  std::string_view help{};           // may be empty
  std::string_view default_value{};  // shown in help; empty for none
  ArgKind kind = ArgKind::kValue;
  bool required = false;
  bool repeatable = false;  // every value is kept, in order
  bool text = true;         // the value must be valid UTF-8 (a path need not be)
  StoreValue store = nullptr;

  [[nodiscard]] constexpr bool positional() const { return !name.starts_with('-'); }
  [[nodiscard]] constexpr bool takes_value() const { return kind == ArgKind::kValue; }
};

// A command as the command line knows it: its name, what its help says, and
// its options and arguments in the order of declaration (the help flag
// first, then the rest in the order the help lists them).
struct CommandDecl {
  std::string_view name;
  std::string_view description;
  std::span<const Arg> args;
};

inline constexpr Arg kHelpFlag{
    .name = "--help", .short_name = "-h", .help = "Print help information", .kind = ArgKind::kHelp};
inline constexpr Arg kVersionFlag{.name = "--version",
                                  .short_name = "-V",
                                  .help = "Print version information",
                                  .kind = ArgKind::kVersion};

std::string store_state(Cli& cli, std::string value);
std::string store_json(Cli& cli, std::string value);

// --state: a path, taken as raw bytes. Accepted before and after the
// subcommand; the later one wins.
inline constexpr Arg kStateOption{.name = "--state",
                                  .value_name = "STATE",
                                  .default_value = kDefaultState,
                                  .text = false,
                                  .store = store_state};
inline constexpr Arg kJsonFlag{.name = "--json", .kind = ArgKind::kFlag, .store = store_json};

// The command and the type of a member pointer such as &command::Install::name.
template <typename T>
struct MemberOf;
template <typename C, typename M>
struct MemberOf<M C::*> {
  using Command = C;
  using Type = M;
};

// Stores a value into the member `member` of the command being built: text
// as it is, a list by appending, a connector identifier by parsing it.
template <auto member>
std::string store_member(Cli& cli, std::string value) {
  using Traits = MemberOf<decltype(member)>;
  auto& target = std::get<typename Traits::Command>(cli.command).*member;
  if constexpr (std::is_same_v<typename Traits::Type, std::vector<std::string>>) {
    target.push_back(std::move(value));
  } else if constexpr (std::is_same_v<typename Traits::Type, varnholt::contracts::Uuid>) {
    auto parsed = varnholt::contracts::Uuid::parse(value);
    if (!parsed) return std::move(parsed.error());
    target = *parsed;
  } else {
    target = std::move(value);
  }
  return {};
}

// An option or argument whose value goes to `member` of its command: a
// positional argument when `name` has no dashes, repeatable when the member
// is a list.
template <auto member>
[[nodiscard]] constexpr Arg value_of(std::string_view name, std::string_view value_name,
                                     bool required, std::string_view help = {}) {
  using Type = typename MemberOf<decltype(member)>::Type;
  return Arg{.name = name,
             .value_name = value_name,
             .help = help,
             .required = required,
             .repeatable = std::is_same_v<Type, std::vector<std::string>>,
             .store = store_member<member>};
}

}  // namespace detail
}  // namespace corvane::cli
