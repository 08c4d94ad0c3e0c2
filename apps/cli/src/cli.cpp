#include "corvane/cli/cli.hpp"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli_internal.hpp"
#include "corvane/files/files.hpp"
#include "help_format.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::cli {
namespace {

using detail::Style;
using detail::UsageForm;
using varnholt::contracts::Uuid;

constexpr std::string_view kDefaultState = "corvane.json";
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

// A usage error before it is rendered: the message, and the command whose
// usage line follows it.
struct UsageError {
  std::string message;
  const CLI::App* app;
  UsageForm form = UsageForm::kFull;
};

// The corvanectl command line on top of CLI11. CLI11 does the tokenising and
// matching; this class declares the commands, checks the text values, and
// turns CLI11's exceptions into the messages users know.
class CommandLine {
 public:
  CommandLine() = default;
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  ParseResult parse(int argc, const char* const* argv, const ParserStreams& streams);

 private:
  void declare();
  void add_state_option(CLI::App& app);
  void add_json_flag(CLI::App& app);
  CLI::Option* add_text(CLI::App& app, const std::string& name, std::string& target,
                        const std::string& value_name, const std::string& help = {});
  CLI::Option* add_texts(CLI::App& app, const std::string& name, std::vector<std::string>& target,
                         const std::string& value_name, const std::string& help = {});
  CLI::Validator utf8_check();
  CLI::Validator uuid_check();
  void record_fault(std::string message);

  [[nodiscard]] std::vector<std::string> prepare(int argc, const char* const* argv) const;
  [[nodiscard]] const CLI::App* selected() const;
  [[nodiscard]] std::optional<UsageError> unexpected_argument(const Style& style) const;
  [[nodiscard]] UsageError describe(const CLI::ParseError& error, const Style& style) const;
  [[nodiscard]] UsageError missing_required(const CLI::App& sub, const Style& style) const;
  [[nodiscard]] ParseResult finish(const ParserStreams& streams);
  [[nodiscard]] ParseResult show_help_topic(const ParserStreams& streams);
  [[nodiscard]] std::filesystem::path state_path(const CLI::App& sub) const;

  ParserExit print_help(const CLI::App& app, std::ostream& os, bool colour) const;
  static ParserExit print_usage_error(const UsageError& error, const ParserStreams& streams);

  CLI::App app_{"Corvane connectors and routing", "corvanectl"};
  std::shared_ptr<detail::HelpFormatter> formatter_ = std::make_shared<detail::HelpFormatter>();
  CLI::App* init_ = nullptr;
  CLI::App* install_ = nullptr;
  CLI::App* approve_ = nullptr;
  CLI::App* list_ = nullptr;
  CLI::App* route_ = nullptr;
  CLI::App* deliveries_ = nullptr;
  CLI::App* help_ = nullptr;
  std::set<std::string, std::less<>> value_options_;  // long options that take a value

  command::Install install_args_;
  std::string connector_text_;
  std::optional<Uuid> connector_;
  std::string workflow_ref_;
  command::Route route_args_;
  std::vector<std::string> help_topics_;
  std::optional<std::string> fault_;  // the first failed value check
};

void CommandLine::add_state_option(CLI::App& app) {
  app.add_option("--state")
      ->type_name("STATE")
      ->default_str(std::string(kDefaultState))
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  value_options_.insert("--state");
}

void CommandLine::add_json_flag(CLI::App& app) {
  app.add_flag("--json")->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

CLI::Option* CommandLine::add_text(CLI::App& app, const std::string& name, std::string& target,
                                   const std::string& value_name, const std::string& help) {
  if (name.starts_with("--")) value_options_.insert(name);
  return app.add_option(name, target, help)
      ->type_name(value_name)
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
      ->check(utf8_check());
}

CLI::Option* CommandLine::add_texts(CLI::App& app, const std::string& name,
                                    std::vector<std::string>& target, const std::string& value_name,
                                    const std::string& help) {
  value_options_.insert(name);
  // One value per occurrence: "--event a b" leaves "b" as an unexpected argument.
  return app.add_option(name, target, help)
      ->type_name(value_name)
      ->allow_extra_args(false)
      ->check(utf8_check());
}

CLI::Validator CommandLine::utf8_check() {
  return CLI::Validator(
      [this](std::string& value) -> std::string {
        if (varnholt::text::is_valid_utf8(value)) return {};
        record_fault(std::string(kInvalidUtf8));
        return "invalid UTF-8";
      },
      "", "UTF8");
}

CLI::Validator CommandLine::uuid_check() {
  return CLI::Validator(
      [this](std::string& value) -> std::string {
        auto parsed = Uuid::parse(value);
        if (parsed) {
          connector_ = *parsed;
          return {};
        }
        record_fault("Invalid value '" + value + "' for '<CONNECTOR>': " + parsed.error());
        return parsed.error();
      },
      "", "UUID");
}

void CommandLine::record_fault(std::string message) {
  if (!fault_) fault_ = std::move(message);
}

void CommandLine::declare() {
  app_.formatter(formatter_);  // subcommands share it
  app_.set_help_flag("-h,--help", "Print help information");
  app_.set_version_flag("-V,--version", "corvanectl 0.1.0", "Print version information");
  app_.require_subcommand(1);
  add_state_option(app_);
  add_json_flag(app_);

  // The options of each subcommand are declared in the order its help lists
  // them, which is the order users know from earlier releases.
  init_ = app_.add_subcommand("init", "Initialise the bridge with a tenant and an approval key");
  add_state_option(*init_);
  add_json_flag(*init_);

  install_ = app_.add_subcommand(
      "install", "Install an outbound signed webhook connector (starts pending approval)");
  add_text(*install_, "name", install_args_.name, "NAME")->required();
  add_text(*install_, "--endpoint-ref", install_args_.endpoint_ref, "ENDPOINT_REF",
           "Config reference for the endpoint — never a raw URL")
      ->required();
  add_state_option(*install_);
  add_json_flag(*install_);
  add_text(*install_, "--secret-ref", install_args_.secret_ref, "SECRET_REF",
           "Varnholt secret reference for the signing secret")
      ->required();
  add_texts(*install_, "--event", install_args_.events, "EVENTS",
            "Event types this connector may receive (repeatable)");
  add_texts(*install_, "--class", install_args_.classes, "CLASSES",
            "Data classes: operational_metadata | security_metadata | pseudonymous_identifier | "
            "encrypted_object_reference | redacted_error");

  approve_ =
      app_.add_subcommand("approve", "Approve an installed connector against a workflow reference");
  add_text(*approve_, "connector", connector_text_, "CONNECTOR")->required()->check(uuid_check());
  add_state_option(*approve_);
  add_text(*approve_, "--workflow-ref", workflow_ref_, "WORKFLOW_REF")->required();
  add_json_flag(*approve_);

  list_ = app_.add_subcommand("list", "List connectors");
  add_state_option(*list_);
  add_json_flag(*list_);

  route_ = app_.add_subcommand("route", "Route an event and record deliveries");
  add_text(*route_, "event_type", route_args_.event_type, "EVENT_TYPE")->required();
  add_texts(*route_, "--class", route_args_.classes, "CLASSES");
  add_state_option(*route_);
  add_json_flag(*route_);

  deliveries_ = app_.add_subcommand("deliveries", "Show deliveries");
  add_state_option(*deliveries_);
  add_json_flag(*deliveries_);

  help_ = app_.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
  help_->add_option("subcommand", help_topics_, "The subcommand whose help message to display")
      ->type_name("SUBCOMMAND");
}

// The arguments in the reversed order CLI11 consumes them. "--opt=" with
// nothing after the "=" becomes "--opt" "" so that it yields an empty value;
// CLI11 would otherwise take the next argument as the value.
std::vector<std::string> CommandLine::prepare(int argc, const char* const* argv) const {
  std::vector<std::string> args;
  bool positional_only = false;
  bool value_next = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (positional_only || value_next) {
      value_next = false;
      args.push_back(std::move(arg));
      continue;
    }
    if (arg == "--") {
      positional_only = true;
    } else if (value_options_.contains(arg)) {
      value_next = true;
    } else if (arg.ends_with('=') && arg.find('=') == arg.size() - 1 &&
               value_options_.contains(std::string_view(arg).substr(0, arg.size() - 1))) {
      arg.pop_back();
      args.push_back(std::move(arg));
      args.emplace_back();
      continue;
    }
    args.push_back(std::move(arg));
  }
  std::reverse(args.begin(), args.end());
  return args;
}

const CLI::App* CommandLine::selected() const {
  const auto subs = app_.get_subcommands();
  return subs.empty() ? nullptr : subs.front();
}

// The first argument that no command took, reported the way the parser users
// know does it: at the top level a bare word is an unknown subcommand.
std::optional<UsageError> CommandLine::unexpected_argument(const Style& style) const {
  const CLI::App* sub = selected();
  for (const CLI::App* app : {static_cast<const CLI::App*>(&app_), sub}) {
    if (app == nullptr) continue;
    for (const std::string& arg : app->remaining()) {
      if (arg == "--") continue;
      const bool option_like = arg.size() > 1 && arg.front() == '-';
      if (app == &app_ && sub == nullptr && !option_like) {
        return UsageError{
            "The subcommand '" + style.literal(displayable(arg)) + "' wasn't recognized", app};
      }
      std::string shown = displayable(arg);
      if (arg.starts_with("--")) shown = shown.substr(0, shown.find('='));
      std::string message = "Found argument '" + style.literal(shown) +
                            "' which wasn't expected, or isn't valid in this context";
      const bool has_positionals =
          !app->get_options([](const CLI::Option* opt) { return opt->get_positional(); }).empty();
      if (option_like && has_positionals) {
        message += "\n\n\tIf you tried to supply `" + shown +
                   "` as a value rather than a flag, use `-- " + shown + "`";
      }
      return UsageError{std::move(message), app};
    }
  }
  return std::nullopt;
}

UsageError CommandLine::missing_required(const CLI::App& sub, const Style& style) const {
  std::string message = "The following required arguments were not provided:";
  const auto unfilled = [](const CLI::Option* opt) {
    return opt->get_required() && opt->count() == 0;
  };
  for (const bool positional : {false, true}) {
    for (const CLI::Option* opt : sub.get_options()) {
      if (opt->get_positional() == positional && unfilled(opt)) {
        message += "\n  " + detail::argument_display(*opt, style);
      }
    }
  }
  return UsageError{std::move(message), &sub, UsageForm::kRequiredOnly};
}

UsageError CommandLine::describe(const CLI::ParseError& error, const Style& style) const {
  if (auto unexpected = unexpected_argument(style)) return *std::move(unexpected);

  const CLI::App* sub = selected();
  const CLI::App* context = sub != nullptr ? sub : &app_;
  const std::string_view what = error.what();

  if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr && fault_) {
    return UsageError{*fault_, context};
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    // CLI11 names the option at the start of its message. The same name can
    // exist before and after the subcommand: an option given twice is the
    // one with several values; a missing value can only be in the command
    // being parsed when the arguments ran out.
    const std::array<const CLI::App*, 2> owners{context, &app_};
    for (const CLI::App* app : owners) {
      for (const CLI::Option* opt : app->get_options()) {
        if (what.starts_with(opt->get_name() + ":") && opt->count() > 1) {
          return UsageError{"The argument '" + detail::argument_display(*opt, style) +
                                "' was provided more than once, but cannot be used "
                                "multiple times",
                            app};
        }
      }
    }
    for (const CLI::App* app : owners) {
      for (const CLI::Option* opt : app->get_options()) {
        if (what.starts_with(opt->get_name() + ":")) {
          return UsageError{"The argument '" + detail::argument_display(*opt, style) +
                                "' requires a value but none was supplied",
                            app};
        }
      }
    }
  }
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    if (sub == nullptr) {
      std::string names;
      for (const CLI::App* each : app_.get_subcommands({})) {
        if (!names.empty()) names += ", ";
        names += each->get_name();
      }
      return UsageError{
          "'" + style.literal(app_.get_name()) +
              "' requires a subcommand but one was not provided\n  [subcommands: " + names + "]",
          &app_};
    }
    return missing_required(*sub, style);
  }
  return UsageError{std::string(what), context};
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
      const Style style(streams.err_colour);
      return print_usage_error(
          UsageError{"The subcommand '" + style.literal(topic) + "' wasn't recognized", target},
          streams);
    }
    target = found.front();
  }
  return print_help(*target, streams.out, streams.out_colour);
}

// A --state given after the subcommand wins over one given before it.
std::filesystem::path CommandLine::state_path(const CLI::App& sub) const {
  for (const CLI::App* app : {&sub, static_cast<const CLI::App*>(&app_)}) {
    const CLI::Option* state = app->get_option_no_throw("--state");
    if (state != nullptr && state->count() > 0) {
      return std::filesystem::path(state->as<std::string>());
    }
  }
  return std::filesystem::path(std::string(kDefaultState));
}

ParseResult CommandLine::finish(const ParserStreams& streams) {
  const CLI::App* sub = selected();
  if (sub == nullptr) {
    return print_usage_error(UsageError{"a subcommand is required but one was not provided", &app_},
                             streams);
  }
  if (sub == help_) return show_help_topic(streams);

  Cli cli;
  cli.state = state_path(*sub);
  const CLI::Option* json = sub->get_option_no_throw("--json");
  const CLI::Option* top_json = app_.get_option_no_throw("--json");
  cli.json =
      (top_json != nullptr && top_json->count() > 0) || (json != nullptr && json->count() > 0);
  if (sub == init_) {
    cli.command = command::Init{};
  } else if (sub == install_) {
    cli.command = std::move(install_args_);
  } else if (sub == approve_) {
    if (!connector_) {
      return print_usage_error(
          UsageError{"the following required argument was not provided: connector", sub}, streams);
    }
    cli.command = command::Approve{*connector_, std::move(workflow_ref_)};
  } else if (sub == list_) {
    cli.command = command::List{};
  } else if (sub == route_) {
    cli.command = std::move(route_args_);
  } else if (sub == deliveries_) {
    cli.command = command::Deliveries{};
  } else {
    return print_usage_error(
        UsageError{"the subcommand '" + sub->get_name() + "' wasn't recognized", &app_}, streams);
  }
  return cli;
}

ParseResult CommandLine::parse(int argc, const char* const* argv, const ParserStreams& streams) {
  try {
    declare();
    if (argc <= 1) {
      // A bare "corvanectl" asks for nothing: show what it can do, as an error.
      print_help(app_, streams.err, streams.err_colour);
      return ParserExit{2};
    }
    app_.parse(prepare(argc, argv));
    return finish(streams);
  } catch (const CLI::CallForHelp&) {
    const CLI::App* sub = selected();
    return print_help(sub != nullptr ? *sub : app_, streams.out, streams.out_colour);
  } catch (const CLI::CallForVersion& version) {
    streams.out << version.what() << '\n' << std::flush;
    return ParserExit{0};
  } catch (const CLI::ParseError& error) {
    return print_usage_error(describe(error, Style(streams.err_colour)), streams);
  } catch (const CLI::Error& error) {
    return print_usage_error(UsageError{error.what(), &app_}, streams);
  }
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
