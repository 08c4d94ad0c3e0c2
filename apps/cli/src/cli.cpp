#include "corvane/cli/cli.hpp"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli_internal.hpp"
#include "corvane/contracts/enums.hpp"
#include "corvane/files/files.hpp"
#include "help_format.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::cli {
namespace {

using detail::Style;
using detail::UsageForm;
using varnholt::contracts::Uuid;

constexpr std::string_view kProgram = "corvanectl";
// The project's version, as the build sets it.
constexpr std::string_view kVersion = "corvanectl " CORVANE_VERSION;
constexpr std::string_view kDefaultState = "corvane.json";
constexpr std::string_view kInvalidUtf8 = "Invalid UTF-8 was detected in one or more arguments";

// "Data classes: " and the names of the data classes, as the state file
// stores them.
std::string data_class_help() {
  std::string help = "Data classes:";
  for (const auto name : contracts::kDataClassNames) {
    help += help.back() == ':' ? " " : " | ";
    help += name;
  }
  return help;
}

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
std::optional<std::string> nearest(std::string_view typed, const std::vector<std::string>& known) {
  if (typed.size() >= 3) {
    std::optional<std::string> prefixed;
    int matches = 0;
    for (const std::string& word : known) {
      if (word.starts_with(typed)) {
        prefixed = word;
        ++matches;
      }
    }
    if (matches == 1) return prefixed;
  }
  std::optional<std::string> best;
  std::size_t best_distance = 0;
  for (const std::string& word : known) {
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
  const CLI::App* app;
  UsageForm form = UsageForm::kFull;
};

// The corvanectl command line. CLI11 holds the declarations: the commands,
// their options and arguments, value names and help texts, from which the
// help and the usage lines are rendered. The arguments are matched against
// those declarations here, by rules of our own that do not change with the
// CLI11 release at hand:
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
class CommandLine {
 public:
  CommandLine() = default;
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  ParseResult parse(int argc, const char* const* argv, const ParserStreams& streams);

 private:
  enum class Check {
    kNone,  // taken as raw bytes (the state path)
    kUtf8,  // text: must be valid UTF-8
    kUuid,  // text that names a connector
  };
  // Where the values of a declared option or argument go.
  struct Binding {
    std::string* one = nullptr;                // a single value
    std::vector<std::string>* many = nullptr;  // every value in order (repeatable)
    Check check = Check::kUtf8;
  };

  void declare();
  void add_state_option(CLI::App& app, std::string& target);
  void add_json_flag(CLI::App& app);
  CLI::Option* add_text(CLI::App& app, const std::string& name, std::string& target,
                        const std::string& value_name, Check check, const std::string& help = {});
  CLI::Option* add_texts(CLI::App& app, const std::string& name, std::vector<std::string>& target,
                         const std::string& value_name, const std::string& help = {});

  // Matching the arguments against the declarations.
  bool scan(const std::vector<std::string>& args);
  std::size_t take_option(const std::vector<std::string>& args, std::size_t at);
  bool take_positional(const std::string& arg);
  void store(const CLI::Option& opt, std::string value);
  [[nodiscard]] bool repeatable(const CLI::Option& opt) const;
  void fail(std::string message, UsageForm form = UsageForm::kFull);
  [[nodiscard]] bool positional_open() const;
  [[nodiscard]] std::string unexpected(std::string_view arg) const;
  [[nodiscard]] std::optional<UsageError> missing_required() const;

  [[nodiscard]] ParseResult finish(const ParserStreams& streams);
  [[nodiscard]] ParseResult show_help_topic(const ParserStreams& streams);
  [[nodiscard]] std::filesystem::path state_path() const;
  [[nodiscard]] int count(const CLI::Option* opt) const;

  ParserExit print_help(const CLI::App& app, std::ostream& os, bool colour) const;
  static ParserExit print_usage_error(const UsageError& error, const ParserStreams& streams);

  CLI::App app_{"Corvane connectors and routing", std::string(kProgram)};
  std::shared_ptr<detail::HelpFormatter> formatter_ = std::make_shared<detail::HelpFormatter>();
  CLI::App* init_ = nullptr;
  CLI::App* install_ = nullptr;
  CLI::App* approve_ = nullptr;
  CLI::App* list_ = nullptr;
  CLI::App* route_ = nullptr;
  CLI::App* deliveries_ = nullptr;
  CLI::App* help_ = nullptr;
  std::map<const CLI::Option*, Binding> bindings_;

  command::Install install_args_;
  std::string connector_text_;
  std::optional<Uuid> connector_;
  std::string workflow_ref_;
  command::Route route_args_;
  std::vector<std::string> help_topics_;
  std::string program_state_;  // --state before the subcommand
  std::string command_state_;  // --state after it

  // What the scan found.
  Style style_{false};            // of the messages, as the error stream shows them
  CLI::App* current_ = &app_;     // the command whose arguments are being read
  CLI::App* selected_ = nullptr;  // the subcommand, once named
  std::size_t positionals_taken_ = 0;
  bool positional_only_ = false;  // after "--"
  bool help_asked_ = false;
  bool version_asked_ = false;
  std::map<const CLI::Option*, int> counts_;
  std::optional<UsageError> fault_;  // the first fault on the line
};

void CommandLine::add_state_option(CLI::App& app, std::string& target) {
  CLI::Option* opt = app.add_option("--state")
                         ->type_name("STATE")
                         ->default_str(std::string(kDefaultState))
                         ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  bindings_[opt] = Binding{&target, nullptr, Check::kNone};
}

void CommandLine::add_json_flag(CLI::App& app) {
  app.add_flag("--json")->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

CLI::Option* CommandLine::add_text(CLI::App& app, const std::string& name, std::string& target,
                                   const std::string& value_name, Check check,
                                   const std::string& help) {
  CLI::Option* opt = app.add_option(name, target, help)
                         ->type_name(value_name)
                         ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  bindings_[opt] = Binding{&target, nullptr, check};
  return opt;
}

CLI::Option* CommandLine::add_texts(CLI::App& app, const std::string& name,
                                    std::vector<std::string>& target, const std::string& value_name,
                                    const std::string& help) {
  CLI::Option* opt = app.add_option(name, target, help)->type_name(value_name);
  bindings_[opt] = Binding{nullptr, &target, Check::kUtf8};
  return opt;
}

void CommandLine::declare() {
  app_.formatter(formatter_);  // subcommands share it
  app_.set_help_flag("-h,--help", "Print help information");
  app_.set_version_flag("-V,--version", std::string(kVersion), "Print version information");
  add_state_option(app_, program_state_);
  add_json_flag(app_);

  // The options of each subcommand are declared in the order its help lists
  // them.
  init_ = app_.add_subcommand("init", "Initialise the bridge with a tenant and an approval key");
  add_state_option(*init_, command_state_);
  add_json_flag(*init_);

  install_ = app_.add_subcommand(
      "install", "Install an outbound signed webhook connector (starts pending approval)");
  add_text(*install_, "name", install_args_.name, "NAME", Check::kUtf8)->required();
  add_text(*install_, "--endpoint-ref", install_args_.endpoint_ref, "ENDPOINT_REF", Check::kUtf8,
           "Config reference for the endpoint — never a raw URL")
      ->required();
  add_state_option(*install_, command_state_);
  add_json_flag(*install_);
  add_text(*install_, "--secret-ref", install_args_.secret_ref, "SECRET_REF", Check::kUtf8,
           "Varnholt secret reference for the signing secret")
      ->required();
  add_texts(*install_, "--event", install_args_.events, "EVENTS",
            "Event types this connector may receive (repeatable)");
  add_texts(*install_, "--class", install_args_.classes, "CLASSES", data_class_help());

  approve_ =
      app_.add_subcommand("approve", "Approve an installed connector against a workflow reference");
  add_text(*approve_, "connector", connector_text_, "CONNECTOR", Check::kUuid)->required();
  add_state_option(*approve_, command_state_);
  add_text(*approve_, "--workflow-ref", workflow_ref_, "WORKFLOW_REF", Check::kUtf8)->required();
  add_json_flag(*approve_);

  list_ = app_.add_subcommand("list", "List connectors");
  add_state_option(*list_, command_state_);
  add_json_flag(*list_);

  route_ = app_.add_subcommand("route", "Route an event and record deliveries");
  add_text(*route_, "event_type", route_args_.event_type, "EVENT_TYPE", Check::kUtf8)->required();
  add_texts(*route_, "--class", route_args_.classes, "CLASSES");
  add_state_option(*route_, command_state_);
  add_json_flag(*route_);

  deliveries_ = app_.add_subcommand("deliveries", "Show deliveries");
  add_state_option(*deliveries_, command_state_);
  add_json_flag(*deliveries_);

  help_ = app_.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
  CLI::Option* topics =
      help_->add_option("subcommand", help_topics_, "The subcommand whose help message to display")
          ->type_name("SUBCOMMAND");
  // Checked when the topics are looked up, so that an unknown one is named.
  bindings_[topics] = Binding{nullptr, &help_topics_, Check::kNone};
}

const CLI::Option* find_option(const CLI::App& app, std::string_view name) {
  for (const CLI::Option* opt : app.get_options()) {
    if (name.starts_with("--")) {
      for (const std::string& long_name : opt->get_lnames()) {
        if (name.substr(2) == long_name) return opt;
      }
    } else if (name.size() == 2 && name.front() == '-') {
      for (const std::string& short_name : opt->get_snames()) {
        if (name.substr(1) == short_name) return opt;
      }
    }
  }
  return nullptr;
}

std::vector<const CLI::Option*> positionals_of(const CLI::App& app) {
  return app.get_options([](const CLI::Option* opt) { return opt->get_positional(); });
}

bool takes_value(const CLI::Option& opt) {
  return opt.get_items_expected_max() > 0;
}

int CommandLine::count(const CLI::Option* opt) const {
  const auto found = counts_.find(opt);
  return found == counts_.end() ? 0 : found->second;
}

void CommandLine::fail(std::string message, UsageForm form) {
  if (!fault_) fault_ = UsageError{std::move(message), current_, form};
}

bool CommandLine::positional_open() const {
  const std::vector<const CLI::Option*> positionals = positionals_of(*current_);
  return positionals_taken_ < positionals.size();
}

// "Found argument ...", for an argument that the command has no place for.
std::string CommandLine::unexpected(std::string_view arg) const {
  return "Found argument '" + style_.literal(displayable(arg)) +
         "' which wasn't expected, or isn't valid in this context";
}

// Reads the arguments from the start. Returns false when an unknown
// subcommand ended the scan: nothing after it has a meaning then.
bool CommandLine::scan(const std::vector<std::string>& args) {
  for (std::size_t at = 0; at < args.size(); ++at) {
    const std::string& arg = args[at];
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
std::size_t CommandLine::take_option(const std::vector<std::string>& args, std::size_t at) {
  const std::string& arg = args[at];
  const std::string_view name = option_name(arg);
  const CLI::Option* opt = find_option(*current_, name);
  if (opt != nullptr && opt == current_->get_version_ptr() && current_ != &app_) {
    opt = nullptr;  // the version belongs to the program, not to its subcommands
  }
  if (opt == nullptr) {
    std::string message = unexpected(name);
    std::vector<std::string> known;
    if (name.starts_with("--")) {
      for (const CLI::Option* each : current_->get_options()) {
        for (const std::string& long_name : each->get_lnames()) known.push_back(long_name);
      }
    }
    if (const auto guess = nearest(name.substr(std::min<std::size_t>(2, name.size())), known)) {
      message += "\n\n\tDid you mean '" + style_.literal("--" + *guess) + "'?";
    } else if (positional_open()) {
      const std::string shown = displayable(name);
      message += "\n\n\tIf you tried to supply `" + shown +
                 "` as a value rather than a flag, use `-- " + shown + "`";
    }
    fail(std::move(message));
    return at;
  }

  const bool joined = name.size() < arg.size();
  if (!takes_value(*opt)) {
    if (joined) {
      fail("The argument '" + detail::argument_display(*opt, style_) +
           "' takes no value, but one was supplied: '" + style_.literal(displayable(arg)) + "'");
      return at;
    }
    if (opt == current_->get_help_ptr()) {
      help_asked_ = true;
    } else if (opt == current_->get_version_ptr()) {
      version_asked_ = true;
    } else if (++counts_[opt] > 1) {
      fail("The argument '" + detail::argument_display(*opt, style_) +
           "' was provided more than once, but cannot be used multiple times");
    }
    return at;
  }

  std::string value;
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

  if (++counts_[opt] > 1 && !repeatable(*opt)) {
    fail("The argument '" + detail::argument_display(*opt, style_) +
         "' was provided more than once, but cannot be used multiple times");
    return last;
  }
  store(*opt, std::move(value));
  return last;
}

// A word outside any option: the subcommand's name, then its arguments.
bool CommandLine::take_positional(const std::string& arg) {
  if (selected_ == nullptr && !positional_only_) {
    const auto subs =
        app_.get_subcommands([&arg](const CLI::App* sub) { return sub->get_name() == arg; });
    if (subs.empty()) {
      std::string message =
          "The subcommand '" + style_.literal(displayable(arg)) + "' wasn't recognized";
      std::vector<std::string> names;
      for (const CLI::App* sub : app_.get_subcommands({})) names.push_back(sub->get_name());
      if (const auto guess = nearest(arg, names)) {
        message += "\n\n\tDid you mean '" + style_.literal(*guess) + "'?";
      }
      fail(std::move(message));
      return false;
    }
    selected_ = current_ = subs.front();
    return true;
  }

  const std::vector<const CLI::Option*> positionals = positionals_of(*current_);
  if (positionals_taken_ >= positionals.size()) {
    fail(unexpected(arg));
    return true;
  }
  const CLI::Option* opt = positionals[positionals_taken_];
  ++counts_[opt];
  if (!repeatable(*opt)) ++positionals_taken_;
  store(*opt, arg);
  return true;
}

bool CommandLine::repeatable(const CLI::Option& opt) const {
  const auto found = bindings_.find(&opt);
  return found != bindings_.end() && found->second.many != nullptr;
}

void CommandLine::store(const CLI::Option& opt, std::string value) {
  const auto found = bindings_.find(&opt);
  if (found == bindings_.end()) return;  // every value option is bound in declare()
  const Binding& binding = found->second;
  if (binding.check != Check::kNone && !varnholt::text::is_valid_utf8(value)) {
    fail(std::string(kInvalidUtf8));
  } else if (binding.check == Check::kUuid) {
    auto parsed = Uuid::parse(value);
    if (parsed) {
      connector_ = *parsed;
    } else {
      fail("Invalid value '" + value + "' for '" + detail::argument_display(opt, style_) +
           "': " + parsed.error());
    }
  }
  if (binding.many != nullptr) {
    binding.many->push_back(std::move(value));
  } else {
    *binding.one = std::move(value);
  }
}

// Everything required that the selected subcommand did not get: options
// first, then arguments, each in declaration order.
std::optional<UsageError> CommandLine::missing_required() const {
  std::string message = "The following required arguments were not provided:";
  bool missing = false;
  for (const bool positional : {false, true}) {
    for (const CLI::Option* opt : selected_->get_options()) {
      if (opt->get_positional() == positional && opt->get_required() && count(opt) == 0) {
        message += "\n  " + detail::argument_display(*opt, style_);
        missing = true;
      }
    }
  }
  if (!missing) return std::nullopt;
  return UsageError{std::move(message), selected_, UsageForm::kRequiredOnly};
}

ParserExit CommandLine::print_help(const CLI::App& app, std::ostream& os, bool colour) const {
  formatter_->set_colour(colour);
  os << formatter_->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal) << std::flush;
  return ParserExit{0};
}

ParserExit CommandLine::print_usage_error(const UsageError& error, const ParserStreams& streams) {
  streams.err << detail::usage_error_text(error.message, *error.app, error.form,
                                          Style(streams.err_colour))
              << std::flush;
  return ParserExit{2};
}

ParseResult CommandLine::show_help_topic(const ParserStreams& streams) {
  const CLI::App* target = &app_;
  for (const std::string& topic : help_topics_) {
    if (!varnholt::text::is_valid_utf8(topic)) {
      return print_usage_error(UsageError{std::string(kInvalidUtf8), help_}, streams);
    }
    const auto found =
        target->get_subcommands([&topic](const CLI::App* sub) { return sub->get_name() == topic; });
    if (found.empty()) {
      return print_usage_error(
          UsageError{"The subcommand '" + style_.literal(topic) + "' wasn't recognized", target},
          streams);
    }
    target = found.front();
  }
  return print_help(*target, streams.out, streams.out_colour);
}

// A --state given after the subcommand wins over one given before it.
std::filesystem::path CommandLine::state_path() const {
  if (count(selected_->get_option_no_throw("--state")) > 0) return command_state_;
  if (count(app_.get_option_no_throw("--state")) > 0) return program_state_;
  return std::string(kDefaultState);
}

ParseResult CommandLine::finish(const ParserStreams& streams) {
  if (help_asked_)
    return print_help(selected_ != nullptr ? *selected_ : app_, streams.out, streams.out_colour);
  if (version_asked_) {
    streams.out << kVersion << '\n' << std::flush;
    return ParserExit{0};
  }
  if (fault_) return print_usage_error(*fault_, streams);
  if (selected_ == nullptr) {
    std::string names;
    for (const CLI::App* each : app_.get_subcommands({})) {
      if (!names.empty()) names += ", ";
      names += each->get_name();
    }
    return print_usage_error(
        UsageError{
            "'" + style_.literal(app_.get_name()) +
                "' requires a subcommand but one was not provided\n  [subcommands: " + names + "]",
            &app_},
        streams);
  }
  if (selected_ == help_) return show_help_topic(streams);
  if (auto missing = missing_required()) return print_usage_error(*missing, streams);

  Cli cli;
  cli.state = state_path();
  cli.json = count(app_.get_option_no_throw("--json")) > 0 ||
             count(selected_->get_option_no_throw("--json")) > 0;
  if (selected_ == init_) {
    cli.command = command::Init{};
  } else if (selected_ == install_) {
    cli.command = std::move(install_args_);
  } else if (selected_ == approve_) {
    if (!connector_) {
      return print_usage_error(
          UsageError{"the following required argument was not provided: connector", selected_},
          streams);
    }
    cli.command = command::Approve{*connector_, std::move(workflow_ref_)};
  } else if (selected_ == list_) {
    cli.command = command::List{};
  } else if (selected_ == route_) {
    cli.command = std::move(route_args_);
  } else if (selected_ == deliveries_) {
    cli.command = command::Deliveries{};
  } else {
    return print_usage_error(
        UsageError{"the subcommand '" + selected_->get_name() + "' wasn't recognized", &app_},
        streams);
  }
  return cli;
}

ParseResult CommandLine::parse(int argc, const char* const* argv, const ParserStreams& streams) {
  try {
    declare();
  } catch (const CLI::Error& error) {
    // Only a fault in the declarations above can get here.
    streams.err << "error: " << error.what() << '\n' << std::flush;
    return ParserExit{2};
  }
  if (argc <= 1) {
    // A bare "corvanectl" asks for nothing: show what it can do, as an error.
    print_help(app_, streams.err, streams.err_colour);
    return ParserExit{2};
  }
  style_ = Style(streams.err_colour);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!scan(args)) return print_usage_error(*fault_, streams);
  return finish(streams);
}

}  // namespace

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
