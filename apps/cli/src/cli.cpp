#include "corvane/cli/cli.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "cli_internal.hpp"
#include "commands.hpp"
#include "corvane/files/files.hpp"
#include "help_format.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::cli {
namespace {

using detail::Arg;
using detail::ArgKind;
using detail::CommandDecl;
using detail::Style;
using detail::UsageForm;

// The project's version, as the build sets it.
constexpr std::string_view kVersion = "corvanectl " CORVANE_VERSION;
// The last line of the program's help on a terminal.
constexpr std::string_view kManualHint = "The manual: man corvanectl";
constexpr std::string_view kInvalidUtf8 = "Invalid UTF-8 was detected in one or more arguments";

std::optional<std::string> env_value(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// Shows a piece of raw command-line input in a message: invalid UTF-8
// sequences become U+FFFD so the message itself stays valid text.
std::string displayable(std::string_view text) {
  return varnholt::text::to_lossy_utf8(text);
}

// "-x", "--name" and "--name=value" are options; "-" alone and "" are values.
bool option_like(std::string_view arg) {
  return arg.size() > 1 && arg.front() == '-';
}

// The option part of an argument: "--name" of "--name=value".
std::string_view option_name(std::string_view arg) {
  if (!arg.starts_with("--")) return arg;
  return arg.substr(0, arg.find('='));
}

// Edit distance with adjacent transpositions ("lsit" is one step from "list").
std::size_t edit_distance(std::string_view a, std::string_view b) {
  const std::size_t width = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * width);
  for (std::size_t i = 0; i <= a.size(); ++i) d[i * width] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      std::size_t best = std::min({d[(i - 1) * width + j] + 1, d[i * width + j - 1] + 1,
                                   d[(i - 1) * width + j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        best = std::min(best, d[(i - 2) * width + j - 2] + 1);
      }
      d[i * width + j] = best;
    }
  }
  return d[a.size() * width + b.size()];
}

// The known word the user most likely meant: the only one that starts with
// what was typed (at least three characters), or else the nearest one within
// a third of its length, at most two edits away. Ties go to the word declared
// first.
std::optional<std::string_view> nearest(std::string_view typed,
                                        const std::vector<std::string_view>& known) {
  if (typed.size() >= 3) {
    std::optional<std::string_view> prefixed;
    int matches = 0;
    for (const std::string_view word : known) {
      if (word.starts_with(typed)) {
        prefixed = word;
        ++matches;
      }
    }
    if (matches == 1) return prefixed;
  }
  std::optional<std::string_view> best;
  std::size_t best_distance = 0;
  for (const std::string_view word : known) {
    const std::size_t distance = edit_distance(typed, word);
    const std::size_t allowed = std::min<std::size_t>(2, word.size() / 3);
    if (distance > allowed || distance >= typed.size()) continue;
    if (!best || distance < best_distance) {
      best = word;
      best_distance = distance;
    }
  }
  return best;
}

// A usage error before it is rendered: the message, and the command whose
// usage line follows it.
struct UsageError {
  std::string message;
  const CommandDecl* command;
  UsageForm form = UsageForm::kFull;
};

// The option of `command` that `name` ("--state", "-h") names.
const Arg* find_option(const CommandDecl& command, std::string_view name) {
  const bool long_name = name.starts_with("--");
  for (const Arg& arg : command.args) {
    if (arg.positional()) continue;
    if (long_name ? name == arg.name : name.size() == 2 && name == arg.short_name) return &arg;
  }
  return nullptr;
}

// The positional argument of `command` at `index`, if it has that many.
const Arg* positional_at(const CommandDecl& command, std::size_t index) {
  for (const Arg& arg : command.args) {
    if (!arg.positional()) continue;
    if (index == 0) return &arg;
    --index;
  }
  return nullptr;
}

constexpr std::array kProgramArgs{detail::kHelpFlag, detail::kVersionFlag, detail::kStateOption,
                                  detail::kJsonFlag};
constexpr CommandDecl kProgram{detail::kProgramName, "Corvane connectors and routing",
                               kProgramArgs};
constexpr std::array kHelpArgs{
    detail::kHelpFlag,
    Arg{.name = "subcommand",
        .value_name = "SUBCOMMAND",
        .help = "The subcommand whose help message to display",
        .repeatable = true,
        .text = false},
};
// The help subcommand: every word after it names a subcommand (or, after
// that, one of its subcommands), whose help it prints.
constexpr CommandDecl kHelpCommand{
    "help", "Print this message or the help of the given subcommand(s)", kHelpArgs};

// The subcommands of the program in the order its help lists them: the
// command table's, then help.
std::vector<const CommandDecl*> subcommands() {
  std::vector<const CommandDecl*> all;
  for (const CommandRow& row : command_table()) all.push_back(&row.decl);
  all.push_back(&kHelpCommand);
  return all;
}

// The corvanectl command line. Its commands, their options and arguments,
// value names, help texts and checks are the rows of the command table
// (commands.hpp). The arguments are matched against them here, by rules of
// our own:
//  - the line is read from left to right, and the first word that decides
//    the outcome wins: -h/--help prints the help of the command it belongs
//    to, -V/--version (before the subcommand) the version, and a wrong word
//    a usage error, whatever follows it;
//  - every option value is one argument: the next one, or joined with "=";
//    an argument that begins with "-" is never taken as the value of the
//    option before it (a value that begins with "-" is written joined);
//  - a flag takes no value, not even a joined one ("--json=false");
//  - after "--" every argument is positional, and after "help" every
//    argument names a subcommand;
//  - a mistyped name is reported with the nearest known one.
// Help and usage errors are rendered from the same table (help_format.hpp).
class CommandLine {
 public:
  explicit CommandLine(const ParserStreams& streams)
      : streams_(streams), style_(streams.err_colour), subcommands_(subcommands()) {
    cli_.state = std::string(detail::kDefaultState);
  }
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  ParseResult parse(const std::vector<std::string_view>& args);

 private:
  // What reading one word found.
  enum class Next : std::uint8_t { kGoOn, kHelpAsked, kVersionAsked, kFault };

  Next take_option(const std::vector<std::string_view>& args, std::size_t& at);
  Next take_positional(std::string_view arg);
  Next store(const Arg& arg, std::string value);
  Next fail(std::string message);
  [[nodiscard]] bool positional_open() const;
  [[nodiscard]] std::string unexpected(std::string_view arg) const;
  [[nodiscard]] std::optional<UsageError> missing_required() const;
  [[nodiscard]] int& count(const Arg& arg) { return counts_[&arg]; }
  [[nodiscard]] int count(const Arg& arg) const {
    const auto found = counts_.find(&arg);
    return found != counts_.end() ? found->second : 0;
  }

  ParserExit print_help(const CommandDecl& command, std::ostream& os, bool colour,
                        std::size_t columns) const;
  ParserExit print_usage_error(const UsageError& error) const;
  ParseResult show_help_topic();

  const ParserStreams& streams_;
  Style style_;  // of the messages, as the error stream shows them
  std::vector<const CommandDecl*> subcommands_;

  Cli cli_;                                 // what the line asks for, as it is read
  const CommandDecl* current_ = &kProgram;  // the command whose arguments are being read
  const CommandRow* selected_ = nullptr;    // the subcommand, once named
  bool help_selected_ = false;              // the help subcommand was named
  std::vector<std::string> help_topics_;
  std::size_t positionals_taken_ = 0;
  bool positional_only_ = false;  // after "--"
  std::map<const Arg*, int> counts_;
  std::optional<UsageError> fault_;
};

CommandLine::Next CommandLine::fail(std::string message) {
  fault_ = UsageError{std::move(message), current_, UsageForm::kFull};
  return Next::kFault;
}

bool CommandLine::positional_open() const {
  return positional_at(*current_, positionals_taken_) != nullptr;
}

// "Found argument ...", for an argument that the command has no place for.
std::string CommandLine::unexpected(std::string_view arg) const {
  return "Found argument '" + style_.literal(displayable(arg)) +
         "' which wasn't expected, or isn't valid in this context";
}

// Reads the option at args[at] and its value; leaves `at` at the last
// argument it used.
CommandLine::Next CommandLine::take_option(const std::vector<std::string_view>& args,
                                           std::size_t& at) {
  const std::string_view arg = args[at];
  const std::string_view name = option_name(arg);
  const Arg* opt = find_option(*current_, name);
  if (opt == nullptr) {
    std::string message = unexpected(name);
    std::vector<std::string_view> known;
    if (name.starts_with("--")) {
      for (const Arg& each : current_->args) {
        if (!each.positional()) known.push_back(each.name.substr(2));
      }
    }
    if (const auto guess = nearest(name.substr(std::min<std::size_t>(2, name.size())), known)) {
      message += "\n\n\tDid you mean '" + style_.literal("--" + std::string(*guess)) + "'?";
    } else if (positional_open()) {
      const std::string shown = displayable(name);
      message += "\n\n\tIf you tried to supply `" + shown +
                 "` as a value rather than a flag, use `-- " + shown + "`";
    }
    return fail(std::move(message));
  }

  const bool joined = name.size() < arg.size();
  if (!opt->takes_value()) {
    if (joined) {
      return fail("The argument '" + detail::argument_display(*opt, style_) +
                  "' takes no value, but one was supplied: '" + style_.literal(displayable(arg)) +
                  "'");
    }
    if (opt->kind == ArgKind::kHelp) return Next::kHelpAsked;
    if (opt->kind == ArgKind::kVersion) return Next::kVersionAsked;
    if (++count(*opt) > 1) {
      return fail("The argument '" + detail::argument_display(*opt, style_) +
                  "' was provided more than once, but cannot be used multiple times");
    }
    return store(*opt, {});
  }

  std::string_view value;
  if (joined) {
    value = arg.substr(name.size() + 1);
  } else if (at + 1 < args.size() && !option_like(args[at + 1])) {
    value = args[++at];
  } else {
    // A following "-x" is left to be read as an option of its own.
    std::string message = "The argument '" + detail::argument_display(*opt, style_) +
                          "' requires a value but none was supplied";
    if (at + 1 < args.size() && args[at + 1] != "--" &&
        find_option(*current_, option_name(args[at + 1])) == nullptr) {
      const std::string shown = displayable(args[at + 1]);
      message += "\n\n\tIf you tried to supply `" + shown + "` as its value, use `" +
                 std::string(name) + "=" + shown + "`";
    }
    return fail(std::move(message));
  }

  if (++count(*opt) > 1 && !opt->repeatable) {
    return fail("The argument '" + detail::argument_display(*opt, style_) +
                "' was provided more than once, but cannot be used multiple times");
  }
  return store(*opt, std::string(value));
}

// A word outside any option: the subcommand's name, then its arguments.
CommandLine::Next CommandLine::take_positional(std::string_view arg) {
  if (current_ == &kProgram && !positional_only_) {
    for (const CommandDecl* sub : subcommands_) {
      if (sub->name != arg) continue;
      current_ = sub;
      if (sub == &kHelpCommand) {
        help_selected_ = true;
        positional_only_ = true;
      } else {
        selected_ = &command_table()[static_cast<std::size_t>(
            std::find(subcommands_.begin(), subcommands_.end(), sub) - subcommands_.begin())];
        cli_.command = selected_->blank();
      }
      return Next::kGoOn;
    }
    std::string message =
        "The subcommand '" + style_.literal(displayable(arg)) + "' wasn't recognized";
    std::vector<std::string_view> names;
    for (const CommandDecl* sub : subcommands_) names.push_back(sub->name);
    if (const auto guess = nearest(arg, names)) {
      message += "\n\n\tDid you mean '" + style_.literal(*guess) + "'?";
    }
    return fail(std::move(message));
  }
  if (help_selected_) {
    help_topics_.emplace_back(arg);
    return Next::kGoOn;
  }

  const Arg* opt = positional_at(*current_, positionals_taken_);
  if (opt == nullptr) return fail(unexpected(arg));
  ++count(*opt);
  if (!opt->repeatable) ++positionals_taken_;
  return store(*opt, std::string(arg));
}

CommandLine::Next CommandLine::store(const Arg& arg, std::string value) {
  if (arg.text && !varnholt::text::is_valid_utf8(value)) return fail(std::string(kInvalidUtf8));
  if (arg.store == nullptr) return Next::kGoOn;
  const std::string shown = value;
  if (std::string refused = arg.store(cli_, std::move(value)); !refused.empty()) {
    return fail("Invalid value '" + shown + "' for '" + detail::argument_display(arg, style_) +
                "': " + refused);
  }
  return Next::kGoOn;
}

// Everything required that the selected subcommand did not get: options
// first, then arguments, each in declaration order.
std::optional<UsageError> CommandLine::missing_required() const {
  std::string message = "The following required arguments were not provided:";
  bool missing = false;
  for (const bool positional : {false, true}) {
    for (const Arg& arg : current_->args) {
      if (arg.positional() == positional && arg.required && count(arg) == 0) {
        message += "\n  " + detail::argument_display(arg, style_);
        missing = true;
      }
    }
  }
  if (!missing) return std::nullopt;
  return UsageError{std::move(message), current_, UsageForm::kRequiredOnly};
}

ParserExit CommandLine::print_help(const CommandDecl& command, std::ostream& os, bool colour,
                                   std::size_t columns) const {
  const bool program = &command == &kProgram;
  os << detail::help_text(command,
                          program ? std::span<const CommandDecl* const>(subcommands_)
                                  : std::span<const CommandDecl* const>(),
                          Style(colour), columns);
  // A person at a terminal is told where the whole story is.
  if (program && columns > 0) os << "\n" << kManualHint << "\n";
  os << std::flush;
  return ParserExit{0};
}

ParserExit CommandLine::print_usage_error(const UsageError& error) const {
  streams_.err << detail::usage_error_text(error.message, *error.command,
                                           error.command == &kProgram, error.form,
                                           Style(streams_.err_colour))
               << std::flush;
  return ParserExit{2};
}

ParseResult CommandLine::show_help_topic() {
  const CommandDecl* target = &kProgram;
  for (const std::string& topic : help_topics_) {
    if (!varnholt::text::is_valid_utf8(topic)) {
      return print_usage_error(UsageError{std::string(kInvalidUtf8), &kHelpCommand});
    }
    const CommandDecl* found = nullptr;
    if (target == &kProgram) {
      for (const CommandDecl* sub : subcommands_) {
        if (sub->name == topic) found = sub;
      }
    }
    if (found == nullptr) {
      return print_usage_error(
          UsageError{"The subcommand '" + style_.literal(topic) + "' wasn't recognized", target});
    }
    target = found;
  }
  return print_help(*target, streams_.out, streams_.out_colour, streams_.out_columns);
}

ParseResult CommandLine::parse(const std::vector<std::string_view>& args) {
  for (std::size_t at = 0; at < args.size(); ++at) {
    const std::string_view arg = args[at];
    Next next = Next::kGoOn;
    if (positional_only_ || !option_like(arg)) {
      next = take_positional(arg);
    } else if (arg == "--") {
      positional_only_ = true;
    } else {
      next = take_option(args, at);
    }
    switch (next) {
      case Next::kGoOn:
        break;
      case Next::kHelpAsked:
        return print_help(*current_, streams_.out, streams_.out_colour, streams_.out_columns);
      case Next::kVersionAsked:
        streams_.out << kVersion << '\n' << std::flush;
        return ParserExit{0};
      case Next::kFault:
        return print_usage_error(*fault_);
    }
  }
  if (help_selected_) return show_help_topic();
  if (selected_ == nullptr) {
    std::string names;
    for (const CommandDecl* sub : subcommands_) {
      if (!names.empty()) names += ", ";
      names += sub->name;
    }
    // Appended piece by piece: g++ 12 warns wrongly about "x" + a temporary
    // string at -O3.
    std::string message = "'";
    message += style_.literal(detail::kProgramName);
    message += "' requires a subcommand but one was not provided\n  [subcommands: ";
    message += names;
    message += "]";
    return print_usage_error(UsageError{std::move(message), &kProgram});
  }
  if (auto missing = missing_required()) return print_usage_error(*missing);
  return std::move(cli_);
}

}  // namespace

std::string detail::store_state(Cli& cli, std::string value) {
  cli.state = std::move(value);
  return {};
}

std::string detail::store_json(Cli& cli, std::string) {
  cli.json = true;
  return {};
}

std::string_view detail::version_text() {
  return kVersion;
}

ColourEnv ColourEnv::from_process() {
  return ColourEnv{env_value("NO_COLOR"), env_value("CLICOLOR_FORCE"), env_value("CLICOLOR"),
                   env_value("TERM")};
}

bool colour_enabled(const ColourEnv& env, bool is_terminal) {
  if (env.no_color && !env.no_color->empty()) return false;
  if (env.clicolor_force && !env.clicolor_force->empty() && *env.clicolor_force != "0") {
    return true;
  }
  if (env.clicolor && *env.clicolor == "0") return false;
  if (!is_terminal) return false;
  const bool capable_term = env.term && *env.term != "dumb";
  const bool asked = env.clicolor && *env.clicolor != "0";
  return capable_term || asked;
}

ParseResult parse_command_line(int argc, const char* const* argv, const ParserStreams& streams) {
  CommandLine command_line(streams);
  if (argc <= 1) {
    // A bare "corvanectl" asks for nothing: show what it can do, as an error.
    streams.err << detail::help_text(kProgram, subcommands(), Style(streams.err_colour))
                << std::flush;
    return ParserExit{2};
  }
  return command_line.parse(std::vector<std::string_view>(argv + 1, argv + argc));
}

ParseResult parse_command_line(int argc, const char* const* argv) {
  const ColourEnv env = ColourEnv::from_process();
  const ParserStreams streams{std::cout, std::cerr,
                              colour_enabled(env, files::is_terminal(STDOUT_FILENO)),
                              colour_enabled(env, files::is_terminal(STDERR_FILENO)),
                              files::terminal_columns(STDOUT_FILENO)};
  return parse_command_line(argc, argv, streams);
}

}  // namespace corvane::cli
