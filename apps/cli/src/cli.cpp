#include "corvane/cli/cli.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "cli_internal.hpp"
#include "corvane/files/files.hpp"
#include "help_format.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::cli {
namespace {

using detail::Arg;
using detail::ArgKind;
using detail::Check;
using detail::CommandDecl;
using detail::CommandId;
using detail::Style;
using detail::UsageForm;
using varnholt::contracts::Uuid;

// The project's version, as the build sets it.
constexpr std::string_view kVersion = "corvanectl " CORVANE_VERSION;
constexpr std::string_view kInvalidUtf8 = "Invalid UTF-8 was detected in one or more arguments";

std::optional<std::string> env_value(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): single-threaded
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
  CommandId command;
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

// The corvanectl command line. Its declarations are the constant table in
// cli_internal.hpp: the commands, their options and arguments, value names,
// help texts and checks. The arguments are matched against that table here,
// by rules of our own:
//  - every option value is one argument: the next one, or joined with "=";
//    an argument that begins with "-" is never taken as the value of the
//    option before it (a value that begins with "-" is written joined);
//  - a flag takes no value, not even a joined one ("--json=false");
//  - after "--" every argument is positional;
//  - an unknown subcommand is an error whatever follows it; otherwise
//    -h/--help anywhere prints the help of the command it belongs to, even
//    when another argument is wrong, and -V/--version before the subcommand
//    prints the version;
//  - of several faults the first one on the line is reported, with the
//    nearest known name when a name was mistyped.
// Help and usage errors are rendered from the same table (help_format.hpp);
// a command line that runs a subcommand builds nothing else.
class CommandLine {
 public:
  CommandLine() = default;
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  ParseResult parse(int argc, const char* const* argv, const ParserStreams& streams);

 private:
  // Matching the arguments against the declarations.
  bool scan(const std::vector<std::string_view>& args);
  std::size_t take_option(const std::vector<std::string_view>& args, std::size_t at);
  bool take_positional(std::string_view arg);
  void store(const Arg& arg, std::string value);
  void fail(std::string message, UsageForm form = UsageForm::kFull);
  [[nodiscard]] bool positional_open() const;
  [[nodiscard]] std::string unexpected(std::string_view arg) const;
  [[nodiscard]] std::optional<UsageError> missing_required() const;

  // How often an argument of `command` was given.
  int& count(const CommandDecl& command, const Arg& arg);
  [[nodiscard]] int count(const CommandDecl& command, const Arg& arg) const;
  [[nodiscard]] int count(const CommandDecl& command, std::string_view option) const;

  [[nodiscard]] ParseResult finish(const ParserStreams& streams);
  [[nodiscard]] ParseResult show_help_topic(const ParserStreams& streams);
  [[nodiscard]] std::filesystem::path state_path() const;

  static ParserExit print_help(CommandId command, std::ostream& os, bool colour);
  static ParserExit print_usage_error(const UsageError& error, const ParserStreams& streams);

  static constexpr const CommandDecl& kProgramDecl = detail::command(CommandId::kProgram);

  detail::Values values_;
  std::optional<Uuid> connector_;

  // What the scan found.
  Style style_{false};                          // of the messages, as the error stream shows them
  const CommandDecl* current_ = &kProgramDecl;  // the command whose arguments are being read
  const CommandDecl* selected_ = nullptr;       // the subcommand, once named
  std::size_t positionals_taken_ = 0;
  bool positional_only_ = false;  // after "--"
  bool help_asked_ = false;
  bool version_asked_ = false;
  std::array<std::array<int, detail::kMaxArgs>, detail::kCommands.size()> counts_{};
  std::optional<UsageError> fault_;  // the first fault on the line
};

int& CommandLine::count(const CommandDecl& command, const Arg& arg) {
  return counts_[static_cast<std::size_t>(command.id)]
                [static_cast<std::size_t>(&arg - command.args.data())];
}

int CommandLine::count(const CommandDecl& command, const Arg& arg) const {
  return counts_[static_cast<std::size_t>(command.id)]
                [static_cast<std::size_t>(&arg - command.args.data())];
}

int CommandLine::count(const CommandDecl& command, std::string_view option) const {
  const Arg* arg = find_option(command, option);
  return arg != nullptr ? count(command, *arg) : 0;
}

void CommandLine::fail(std::string message, UsageForm form) {
  if (!fault_) fault_ = UsageError{std::move(message), current_->id, form};
}

bool CommandLine::positional_open() const {
  return positional_at(*current_, positionals_taken_) != nullptr;
}

// "Found argument ...", for an argument that the command has no place for.
std::string CommandLine::unexpected(std::string_view arg) const {
  return "Found argument '" + style_.literal(displayable(arg)) +
         "' which wasn't expected, or isn't valid in this context";
}

// Reads the arguments from the start. Returns false when an unknown
// subcommand ended the scan: nothing after it has a meaning then.
bool CommandLine::scan(const std::vector<std::string_view>& args) {
  for (std::size_t at = 0; at < args.size(); ++at) {
    const std::string_view arg = args[at];
    if (positional_only_ || !option_like(arg)) {
      if (!take_positional(arg)) return false;
    } else if (arg == "--") {
      positional_only_ = true;
    } else {
      at = take_option(args, at);
    }
  }
  return true;
}

// Reads the option at args[at] and its value; returns the index of the last
// argument it used.
std::size_t CommandLine::take_option(const std::vector<std::string_view>& args, std::size_t at) {
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
    fail(std::move(message));
    return at;
  }

  const bool joined = name.size() < arg.size();
  if (!opt->takes_value()) {
    if (joined) {
      fail("The argument '" + detail::argument_display(*opt, style_) +
           "' takes no value, but one was supplied: '" + style_.literal(displayable(arg)) + "'");
      return at;
    }
    if (opt->kind == ArgKind::kHelp) {
      help_asked_ = true;
    } else if (opt->kind == ArgKind::kVersion) {
      version_asked_ = true;
    } else if (++count(*current_, *opt) > 1) {
      fail("The argument '" + detail::argument_display(*opt, style_) +
           "' was provided more than once, but cannot be used multiple times");
    }
    return at;
  }

  std::string_view value;
  std::size_t last = at;
  if (joined) {
    value = arg.substr(name.size() + 1);
  } else if (at + 1 < args.size() && !option_like(args[at + 1])) {
    value = args[at + 1];
    last = at + 1;
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
    fail(std::move(message));
    return at;
  }

  if (++count(*current_, *opt) > 1 && !opt->repeatable()) {
    fail("The argument '" + detail::argument_display(*opt, style_) +
         "' was provided more than once, but cannot be used multiple times");
    return last;
  }
  store(*opt, std::string(value));
  return last;
}

// A word outside any option: the subcommand's name, then its arguments.
bool CommandLine::take_positional(std::string_view arg) {
  if (selected_ == nullptr && !positional_only_) {
    for (const CommandDecl& sub : detail::subcommands()) {
      if (sub.name == arg) {
        selected_ = current_ = &sub;
        return true;
      }
    }
    std::string message =
        "The subcommand '" + style_.literal(displayable(arg)) + "' wasn't recognized";
    std::vector<std::string_view> names;
    for (const CommandDecl& sub : detail::subcommands()) names.push_back(sub.name);
    if (const auto guess = nearest(arg, names)) {
      message += "\n\n\tDid you mean '" + style_.literal(*guess) + "'?";
    }
    fail(std::move(message));
    return false;
  }

  const Arg* opt = positional_at(*current_, positionals_taken_);
  if (opt == nullptr) {
    fail(unexpected(arg));
    return true;
  }
  ++count(*current_, *opt);
  if (!opt->repeatable()) ++positionals_taken_;
  store(*opt, std::string(arg));
  return true;
}

void CommandLine::store(const Arg& arg, std::string value) {
  if (arg.check != Check::kNone && !varnholt::text::is_valid_utf8(value)) {
    fail(std::string(kInvalidUtf8));
  } else if (arg.check == Check::kUuid) {
    auto parsed = Uuid::parse(value);
    if (parsed) {
      connector_ = *parsed;
    } else {
      fail("Invalid value '" + value + "' for '" + detail::argument_display(arg, style_) +
           "': " + parsed.error());
    }
  }
  if (arg.many != nullptr) {
    (values_.*arg.many).push_back(std::move(value));
  } else if (arg.one != nullptr) {
    values_.*arg.one = std::move(value);
  }
}

// Everything required that the selected subcommand did not get: options
// first, then arguments, each in declaration order.
std::optional<UsageError> CommandLine::missing_required() const {
  std::string message = "The following required arguments were not provided:";
  bool missing = false;
  for (const bool positional : {false, true}) {
    for (const Arg& arg : selected_->args) {
      if (arg.positional() == positional && arg.required && count(*selected_, arg) == 0) {
        message += "\n  " + detail::argument_display(arg, style_);
        missing = true;
      }
    }
  }
  if (!missing) return std::nullopt;
  return UsageError{std::move(message), selected_->id, UsageForm::kRequiredOnly};
}

ParserExit CommandLine::print_help(CommandId command, std::ostream& os, bool colour) {
  os << detail::help_text(command, Style(colour)) << std::flush;
  return ParserExit{0};
}

ParserExit CommandLine::print_usage_error(const UsageError& error, const ParserStreams& streams) {
  streams.err << detail::usage_error_text(error.message, error.command, error.form,
                                          Style(streams.err_colour))
              << std::flush;
  return ParserExit{2};
}

ParseResult CommandLine::show_help_topic(const ParserStreams& streams) {
  const CommandDecl* target = &kProgramDecl;
  for (const std::string& topic : values_.help_topics) {
    if (!varnholt::text::is_valid_utf8(topic)) {
      return print_usage_error(UsageError{std::string(kInvalidUtf8), CommandId::kHelp}, streams);
    }
    const CommandDecl* found = nullptr;
    if (target == &kProgramDecl) {
      for (const CommandDecl& sub : detail::subcommands()) {
        if (sub.name == topic) found = &sub;
      }
    }
    if (found == nullptr) {
      return print_usage_error(
          UsageError{"The subcommand '" + style_.literal(topic) + "' wasn't recognized",
                     target->id},
          streams);
    }
    target = found;
  }
  return print_help(target->id, streams.out, streams.out_colour);
}

// A --state given after the subcommand wins over one given before it.
std::filesystem::path CommandLine::state_path() const {
  if (count(*selected_, "--state") > 0) return values_.command_state;
  if (count(kProgramDecl, "--state") > 0) return values_.program_state;
  return std::string(detail::kDefaultState);
}

ParseResult CommandLine::finish(const ParserStreams& streams) {
  if (help_asked_) {
    return print_help(selected_ != nullptr ? selected_->id : CommandId::kProgram, streams.out,
                      streams.out_colour);
  }
  if (version_asked_) {
    streams.out << kVersion << '\n' << std::flush;
    return ParserExit{0};
  }
  if (fault_) return print_usage_error(*fault_, streams);
  if (selected_ == nullptr) {
    std::string names;
    for (const CommandDecl& sub : detail::subcommands()) {
      if (!names.empty()) names += ", ";
      names += sub.name;
    }
    // Appended piece by piece: g++ 12 warns wrongly about "x" + a temporary
    // string at -O3.
    std::string message = "'";
    message += style_.literal(detail::kProgramName);
    message += "' requires a subcommand but one was not provided\n  [subcommands: ";
    message += names;
    message += "]";
    return print_usage_error(UsageError{std::move(message), CommandId::kProgram}, streams);
  }
  if (selected_->id == CommandId::kHelp) return show_help_topic(streams);
  if (auto missing = missing_required()) return print_usage_error(*missing, streams);

  Cli cli;
  cli.state = state_path();
  cli.json = count(kProgramDecl, "--json") > 0 || count(*selected_, "--json") > 0;
  detail::Values& v = values_;
  switch (selected_->id) {
    case CommandId::kInit:
      cli.command = command::Init{};
      break;
    case CommandId::kInstall:
      cli.command =
          command::Install{std::move(v.name), std::move(v.endpoint_ref), std::move(v.secret_ref),
                           std::move(v.events), std::move(v.install_classes)};
      break;
    case CommandId::kApprove:
      if (!connector_) {
        return print_usage_error(
            UsageError{"the following required argument was not provided: connector",
                       selected_->id},
            streams);
      }
      cli.command = command::Approve{*connector_, std::move(v.workflow_ref)};
      break;
    case CommandId::kList:
      cli.command = command::List{};
      break;
    case CommandId::kRoute:
      cli.command = command::Route{std::move(v.event_type), std::move(v.route_classes)};
      break;
    case CommandId::kDeliveries:
      cli.command = command::Deliveries{};
      break;
    case CommandId::kProgram:
    case CommandId::kHelp:
      return print_usage_error(
          UsageError{"the subcommand '" + std::string(selected_->name) + "' wasn't recognized",
                     CommandId::kProgram},
          streams);
  }
  return cli;
}

ParseResult CommandLine::parse(int argc, const char* const* argv, const ParserStreams& streams) {
  if (argc <= 1) {
    // A bare "corvanectl" asks for nothing: show what it can do, as an error.
    print_help(CommandId::kProgram, streams.err, streams.err_colour);
    return ParserExit{2};
  }
  style_ = Style(streams.err_colour);
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (!scan(args)) return print_usage_error(*fault_, streams);
  return finish(streams);
}

}  // namespace

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
  CommandLine command_line;
  return command_line.parse(argc, argv, streams);
}

ParseResult parse_command_line(int argc, const char* const* argv) {
  const ColourEnv env = ColourEnv::from_process();
  const ParserStreams streams{std::cout, std::cerr,
                              colour_enabled(env, files::is_terminal(STDOUT_FILENO)),
                              colour_enabled(env, files::is_terminal(STDERR_FILENO))};
  return parse_command_line(argc, argv, streams);
}

}  // namespace corvane::cli
