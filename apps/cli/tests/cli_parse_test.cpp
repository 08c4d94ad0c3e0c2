// Tests of the command-line parser through its stream-taking entry point.

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "cli_internal.hpp"
#include "corvane/cli/cli.hpp"
#include "varnholt/text/utf8.hpp"

namespace corvane::cli {
namespace {

using varnholt::contracts::Uuid;

struct Outcome {
  ParseResult result;
  std::string out;
  std::string err;

  [[nodiscard]] const Cli* cli() const { return std::get_if<Cli>(&result); }
  [[nodiscard]] std::optional<int> exit_status() const {
    const auto* exit = std::get_if<ParserExit>(&result);
    return exit != nullptr ? std::optional<int>(exit->status) : std::nullopt;
  }
};

Outcome parse(const std::vector<std::string>& args, bool colour = false) {
  std::vector<const char*> argv{"corvanectl"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out;
  std::ostringstream err;
  ParseResult result = parse_command_line(static_cast<int>(argv.size()), argv.data(),
                                          ParserStreams{out, err, colour, colour});
  return Outcome{std::move(result), out.str(), err.str()};
}

// Parses a command line that must be accepted, silently.
Cli accepted(const std::vector<std::string>& args) {
  Outcome outcome = parse(args);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "");
  if (outcome.cli() == nullptr) {
    ADD_FAILURE() << "rejected, stderr: " << outcome.err;
    return Cli{};
  }
  return *outcome.cli();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string strip_ansi(const std::string& text) {
  static const std::regex escape("\x1b\\[[0-9;]*m");
  return std::regex_replace(text, escape, "");
}

Uuid uuid_of(const std::string& text) {
  auto parsed = Uuid::parse(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(Uuid{});
}

// --- accepted command lines -----------------------------------------------

TEST(ParseAccepted, InitUsesDefaultStateAndTextOutput) {
  const Cli cli = accepted({"init"});
  EXPECT_EQ(cli.state, std::filesystem::path("corvane.json"));
  EXPECT_FALSE(cli.json);
  EXPECT_TRUE(std::holds_alternative<command::Init>(cli.command));
}

struct GlobalCase {
  std::vector<std::string> args;
  std::string state;
  bool json;
};

void PrintTo(const GlobalCase& c, std::ostream* os) {
  for (const std::string& arg : c.args) *os << arg << ' ';
}

class GlobalOptions : public ::testing::TestWithParam<GlobalCase> {};

TEST_P(GlobalOptions, AreAcceptedBeforeAndAfterTheSubcommand) {
  const Cli cli = accepted(GetParam().args);
  EXPECT_EQ(cli.state.native(), GetParam().state);
  EXPECT_EQ(cli.json, GetParam().json);
  EXPECT_TRUE(std::holds_alternative<command::List>(cli.command));
}

INSTANTIATE_TEST_SUITE_P(
    Placement, GlobalOptions,
    ::testing::Values(
        GlobalCase{{"--state", "a.json", "list"}, "a.json", false},
        GlobalCase{{"list", "--state", "a.json"}, "a.json", false},
        GlobalCase{{"--state=a.json", "list"}, "a.json", false},
        GlobalCase{{"list", "--state=a.json"}, "a.json", false},
        GlobalCase{{"--json", "list"}, "corvane.json", true},
        GlobalCase{{"list", "--json"}, "corvane.json", true},
        GlobalCase{{"--json", "list", "--json"}, "corvane.json", true},
        // The value given nearer the subcommand's own arguments wins.
        GlobalCase{{"--state", "a.json", "list", "--state", "b.json"}, "b.json", false},
        // A path is taken as given: empty, relative, odd characters.
        GlobalCase{{"list", "--state="}, "", false},
        GlobalCase{{"list", "--state", "../x y/état.json"}, "../x y/état.json", false}));

TEST(ParseAccepted, StatePathIsRawBytesWithoutUtf8Check) {
  const std::string raw = "st\xff\xfe.json";
  const Cli cli = accepted({"--state", raw, "deliveries"});
  EXPECT_EQ(cli.state.native(), raw);
  EXPECT_TRUE(std::holds_alternative<command::Deliveries>(cli.command));
}

TEST(ParseAccepted, InstallWithoutEventsOrClassesGivesEmptyLists) {
  const Cli cli = accepted({"install", "demo", "--endpoint-ref", "cfg://e", "--secret-ref", "s"});
  const auto& install = std::get<command::Install>(cli.command);
  EXPECT_EQ(install.name, "demo");
  EXPECT_EQ(install.endpoint_ref, "cfg://e");
  EXPECT_EQ(install.secret_ref, "s");
  EXPECT_TRUE(install.events.empty());
  EXPECT_TRUE(install.classes.empty());
}

TEST(ParseAccepted, RepeatableOptionsKeepOrderAndDuplicates) {
  const Cli cli =
      accepted({"install", "--event", "b", "demo", "--class", "redacted_error", "--endpoint-ref=e",
                "--event=a", "--secret-ref", "s", "--event", "b", "--class=nonsense"});
  const auto& install = std::get<command::Install>(cli.command);
  EXPECT_EQ(install.name, "demo");
  EXPECT_EQ(install.events, (std::vector<std::string>{"b", "a", "b"}));
  EXPECT_EQ(install.classes, (std::vector<std::string>{"redacted_error", "nonsense"}));
}

TEST(ParseAccepted, EmptyValuesAreValues) {
  const Cli cli =
      accepted({"install", "", "--endpoint-ref=", "--secret-ref", "", "--event=", "--event", ""});
  const auto& install = std::get<command::Install>(cli.command);
  EXPECT_EQ(install.name, "");
  EXPECT_EQ(install.endpoint_ref, "");
  EXPECT_EQ(install.secret_ref, "");
  // "--event=" must not swallow the argument after it.
  EXPECT_EQ(install.events, (std::vector<std::string>{"", ""}));

  const Cli route = accepted({"route", ""});
  EXPECT_EQ(std::get<command::Route>(route.command).event_type, "");
}

TEST(ParseAccepted, UnicodeTextIsKeptByteForByte) {
  const Cli cli = accepted({"route", "ünïcode.évent 漢字 🙂", "--class", "é"});
  const auto& route = std::get<command::Route>(cli.command);
  EXPECT_EQ(route.event_type, "ünïcode.évent 漢字 🙂");
  EXPECT_EQ(route.classes, std::vector<std::string>{"é"});
}

TEST(ParseAccepted, RouteClassNamesAreNotCheckedByTheParser) {
  const Cli cli = accepted({"route", "evt", "--class", "not_a_class", "--class", "not_a_class"});
  const auto& route = std::get<command::Route>(cli.command);
  EXPECT_EQ(route.event_type, "evt");
  EXPECT_EQ(route.classes, (std::vector<std::string>{"not_a_class", "not_a_class"}));
}

TEST(ParseAccepted, DoubleDashLetsAPositionalStartWithADash) {
  const Cli cli = accepted({"route", "--class", "c", "--", "-x"});
  EXPECT_EQ(std::get<command::Route>(cli.command).event_type, "-x");
}

TEST(ParseAccepted, SubcommandNamesAreOrdinaryValuesInsideASubcommand) {
  const Cli cli = accepted({"route", "list"});
  EXPECT_EQ(std::get<command::Route>(cli.command).event_type, "list");
  const Cli install = accepted({"install", "init", "--endpoint-ref", "e", "--secret-ref", "help"});
  EXPECT_EQ(std::get<command::Install>(install.command).name, "init");
  EXPECT_EQ(std::get<command::Install>(install.command).secret_ref, "help");
}

class ApproveUuidForms : public ::testing::TestWithParam<std::string> {};

TEST_P(ApproveUuidForms, AllNameTheSameConnector) {
  const Cli cli = accepted({"approve", GetParam(), "--workflow-ref", "wf-7"});
  const auto& approve = std::get<command::Approve>(cli.command);
  EXPECT_EQ(approve.connector, uuid_of("0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0"));
  EXPECT_EQ(approve.workflow_ref, "wf-7");
}

INSTANTIATE_TEST_SUITE_P(TextForms, ApproveUuidForms,
                         ::testing::Values("0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0",
                                           "0F1E2D3C-4B5A-4978-8796-A5B4C3D2E1F0",
                                           "0f1e2d3c4b5a49788796a5b4c3d2e1f0",
                                           "{0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0}",
                                           "{0F1E2D3C-4b5a-4978-8796-a5b4c3d2e1f0}",
                                           "urn:uuid:0f1e2d3c-4b5a-4978-8796-A5B4C3D2E1F0"));

// --- usage errors -----------------------------------------------------------

struct UsageCase {
  std::string label;
  std::vector<std::string> args;
  std::string message;  // expected right after "error: "
  std::string usage;    // the usage line that follows
};

void PrintTo(const UsageCase& c, std::ostream* os) {
  *os << c.label;
}

class UsageErrors : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrors, EndWithStatusTwoAndAUsageLineOnStderr) {
  const UsageCase& c = GetParam();
  const Outcome outcome = parse(c.args);
  EXPECT_EQ(outcome.exit_status(), 2);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "error: " + c.message + "\n\nUsage: " + c.usage +
                             "\n\nFor more information try '--help'\n");
}

const std::string kInstallUsage =
    "corvanectl install [OPTIONS] --endpoint-ref <ENDPOINT_REF> --secret-ref <SECRET_REF> <NAME>";
const std::string kApproveUsage =
    "corvanectl approve [OPTIONS] --workflow-ref <WORKFLOW_REF> <CONNECTOR>";
const std::string kRouteUsage = "corvanectl route [OPTIONS] <EVENT_TYPE>";
const std::string kTopUsage = "corvanectl [OPTIONS] <COMMAND>";
const std::string kUtf8 = "Invalid UTF-8 was detected in one or more arguments";

// The value and the argument are named; the reason is the UUID parser's own.
std::string connector_error(const std::string& text) {
  const auto parsed = Uuid::parse(text);
  return "Invalid value '" + text +
         "' for '<CONNECTOR>': " + (parsed ? std::string("(accepted)") : parsed.error());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UsageErrors,
    ::testing::Values(
        UsageCase{"UnknownSubcommand",
                  {"frobnicate"},
                  "The subcommand 'frobnicate' wasn't recognized",
                  kTopUsage},
        UsageCase{"UnknownSubcommandAfterGlobals",
                  {"--json", "--state", "x", "lst"},
                  "The subcommand 'lst' wasn't recognized\n\n\tDid you mean 'list'?",
                  kTopUsage},
        UsageCase{"MissingSubcommand",
                  {"--json"},
                  "'corvanectl' requires a subcommand but one was not provided\n"
                  "  [subcommands: init, install, approve, list, route, deliveries, help]",
                  kTopUsage},
        UsageCase{"UnknownTopLevelOption",
                  {"--verbose", "list"},
                  "Found argument '--verbose' which wasn't expected, or isn't valid in this "
                  "context",
                  kTopUsage},
        UsageCase{"UnknownOption",
                  {"list", "--bogus=1"},
                  "Found argument '--bogus' which wasn't expected, or isn't valid in this context",
                  "corvanectl list [OPTIONS]"},
        UsageCase{"ExtraPositional",
                  {"deliveries", "extra"},
                  "Found argument 'extra' which wasn't expected, or isn't valid in this context",
                  "corvanectl deliveries [OPTIONS]"},
        UsageCase{"SecondSubcommand",
                  {"list", "init"},
                  "Found argument 'init' which wasn't expected, or isn't valid in this context",
                  "corvanectl list [OPTIONS]"},
        UsageCase{"OneValuePerOccurrence",
                  {"install", "d", "--endpoint-ref", "e", "--secret-ref", "s", "--event", "a", "b"},
                  "Found argument 'b' which wasn't expected, or isn't valid in this context",
                  kInstallUsage},
        UsageCase{"DashValueNeedsDoubleDash",
                  {"route", "-x"},
                  "Found argument '-x' which wasn't expected, or isn't valid in this context\n\n"
                  "\tIf you tried to supply `-x` as a value rather than a flag, use `-- -x`",
                  kRouteUsage},
        UsageCase{"VersionOnSubcommand",
                  {"list", "--version"},
                  "Found argument '--version' which wasn't expected, or isn't valid in this "
                  "context",
                  "corvanectl list [OPTIONS]"},
        UsageCase{"ShortVersionOnSubcommand",
                  {"init", "-V"},
                  "Found argument '-V' which wasn't expected, or isn't valid in this context",
                  "corvanectl init [OPTIONS]"},
        UsageCase{"MissingName",
                  {"install", "--endpoint-ref", "e", "--secret-ref", "s"},
                  "The following required arguments were not provided:\n  <NAME>",
                  "corvanectl install --endpoint-ref <ENDPOINT_REF> --secret-ref <SECRET_REF> "
                  "<NAME>"},
        UsageCase{"MissingEverythingOfInstall",
                  {"install"},
                  "The following required arguments were not provided:\n"
                  "  --endpoint-ref <ENDPOINT_REF>\n  --secret-ref <SECRET_REF>\n  <NAME>",
                  "corvanectl install --endpoint-ref <ENDPOINT_REF> --secret-ref <SECRET_REF> "
                  "<NAME>"},
        UsageCase{"MissingWorkflowRef",
                  {"approve", "0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0"},
                  "The following required arguments were not provided:\n"
                  "  --workflow-ref <WORKFLOW_REF>",
                  "corvanectl approve --workflow-ref <WORKFLOW_REF> <CONNECTOR>"},
        UsageCase{"MissingEventType",
                  {"route", "--class", "c"},
                  "The following required arguments were not provided:\n  <EVENT_TYPE>",
                  "corvanectl route <EVENT_TYPE>"},
        UsageCase{"MissingValueAtEnd",
                  {"install", "demo", "--endpoint-ref"},
                  "The argument '--endpoint-ref <ENDPOINT_REF>' requires a value but none was "
                  "supplied",
                  kInstallUsage},
        UsageCase{"MissingStateValue",
                  {"--state"},
                  "The argument '--state <STATE>' requires a value but none was supplied",
                  kTopUsage},
        UsageCase{"MissingStateValueInSubcommand",
                  {"list", "--state"},
                  "The argument '--state <STATE>' requires a value but none was supplied",
                  "corvanectl list [OPTIONS]"},
        UsageCase{
            "EndpointRefTwice",
            {"install", "demo", "--endpoint-ref", "a", "--endpoint-ref=b", "--secret-ref", "s"},
            "The argument '--endpoint-ref <ENDPOINT_REF>' was provided more than once, but "
            "cannot be used multiple times",
            kInstallUsage},
        UsageCase{"WorkflowRefTwice",
                  {"approve", "0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0", "--workflow-ref", "a",
                   "--workflow-ref", "a"},
                  "The argument '--workflow-ref <WORKFLOW_REF>' was provided more than once, but "
                  "cannot be used multiple times",
                  kApproveUsage},
        UsageCase{"JsonTwiceBeforeSubcommand",
                  {"--json", "--json", "list"},
                  "The argument '--json' was provided more than once, but cannot be used "
                  "multiple times",
                  kTopUsage},
        UsageCase{"StateTwiceAfterSubcommand",
                  {"init", "--state", "a", "--state", "b"},
                  "The argument '--state <STATE>' was provided more than once, but cannot be "
                  "used multiple times",
                  "corvanectl init [OPTIONS]"},
        UsageCase{"NotAUuid",
                  {"approve", "123", "--workflow-ref", "w"},
                  connector_error("123"),
                  kApproveUsage},
        UsageCase{"UuidWithBadDigit",
                  {"approve", "0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1fg", "--workflow-ref", "w"},
                  connector_error("0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1fg"),
                  kApproveUsage},
        UsageCase{"UuidInParentheses",
                  {"approve", "(0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0)", "--workflow-ref", "w"},
                  connector_error("(0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0)"),
                  kApproveUsage},
        UsageCase{"NonUtf8Name",
                  {"install", "n\xc3", "--endpoint-ref", "e", "--secret-ref", "s"},
                  kUtf8,
                  kInstallUsage},
        UsageCase{"NonUtf8EndpointRef",
                  {"install", "n", "--endpoint-ref", "\xc0\xaf", "--secret-ref", "s"},
                  kUtf8,
                  kInstallUsage},
        UsageCase{"NonUtf8SecretRef",
                  {"install", "n", "--endpoint-ref", "e", "--secret-ref=\xed\xa0\x80"},
                  kUtf8,
                  kInstallUsage},
        UsageCase{"NonUtf8Event",
                  {"install", "n", "--endpoint-ref", "e", "--secret-ref", "s", "--event", "ok",
                   "--event", "\xff"},
                  kUtf8,
                  kInstallUsage},
        UsageCase{"NonUtf8InstallClass",
                  {"install", "n", "--endpoint-ref", "e", "--secret-ref", "s", "--class", "\x80"},
                  kUtf8,
                  kInstallUsage},
        UsageCase{"NonUtf8EventType", {"route", "ev\xff"}, kUtf8, kRouteUsage},
        UsageCase{"NonUtf8RouteClass",
                  {"route", "ev", "--class", "\xf5\x80\x80\x80"},
                  kUtf8,
                  kRouteUsage},
        UsageCase{"NonUtf8WorkflowRef",
                  {"approve", "0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0", "--workflow-ref", "\xe2\x82"},
                  kUtf8,
                  kApproveUsage},
        // Reported as bad UTF-8, not as a bad UUID.
        UsageCase{
            "NonUtf8Connector", {"approve", "\xfe", "--workflow-ref", "w"}, kUtf8, kApproveUsage},
        UsageCase{"NonUtf8HelpTopic", {"help", "\xff"}, kUtf8, "corvanectl help [SUBCOMMAND]..."},
        UsageCase{"HelpForUnknownSubcommand",
                  {"help", "nonexistent"},
                  "The subcommand 'nonexistent' wasn't recognized",
                  kTopUsage},
        UsageCase{"HelpForNestedUnknownSubcommand",
                  {"help", "route", "deeper"},
                  "The subcommand 'deeper' wasn't recognized",
                  kRouteUsage}),
    [](const ::testing::TestParamInfo<UsageCase>& param_info) { return param_info.param.label; });

TEST(UsageErrorText, ShowsUndecodableArgumentsWithReplacementCharacters) {
  const Outcome outcome = parse({"list", "a\xff"});
  EXPECT_EQ(outcome.exit_status(), 2);
  EXPECT_NE(outcome.err.find("'a\xEF\xBF\xBD'"), std::string::npos) << outcome.err;
  EXPECT_TRUE(varnholt::text::is_valid_utf8(outcome.err));
}

// --- help and version -------------------------------------------------------

TEST(Version, IsPrintedOnStdoutWithStatusZero) {
  for (const char* flag : {"-V", "--version"}) {
    const Outcome outcome = parse({flag});
    EXPECT_EQ(outcome.exit_status(), 0);
    EXPECT_EQ(outcome.out, "corvanectl 0.1.0\n");
    EXPECT_EQ(outcome.err, "");
  }
}

TEST(Help, AllWaysOfAskingForProgramHelpAgree) {
  const Outcome reference = parse({"--help"});
  ASSERT_EQ(reference.exit_status(), 0);
  EXPECT_EQ(reference.err, "");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-h"}, {"help"}, {"--json", "help"}}) {
    const Outcome outcome = parse(args);
    EXPECT_EQ(outcome.exit_status(), 0) << args.front();
    EXPECT_EQ(outcome.out, reference.out) << args.front();
    EXPECT_EQ(outcome.err, "");
  }
}

TEST(Help, EmptyCommandLineShowsProgramHelpAsAnError) {
  const Outcome reference = parse({"--help"});
  const Outcome bare = parse({});
  EXPECT_EQ(bare.exit_status(), 2);
  EXPECT_EQ(bare.out, "");
  EXPECT_EQ(bare.err, reference.out);
}

TEST(Help, ProgramHelpListsCommandsInOrderThenOptions) {
  const std::vector<std::string> lines = lines_of(parse({"--help"}).out);
  const std::vector<std::string> expected_start{
      "Corvane connectors and routing",
      "",
      "Usage: corvanectl [OPTIONS] <COMMAND>",
      "",
      "Commands:",
      "  init        Initialise the bridge with a tenant and an approval key",
      "  install     Install an outbound signed webhook connector (starts pending approval)",
      "  approve     Approve an installed connector against a workflow reference",
      "  list        List connectors",
      "  route       Route an event and record deliveries",
      "  deliveries  Show deliveries",
      "  help        Print this message or the help of the given subcommand(s)",
      "",
      "Options:"};
  ASSERT_GE(lines.size(), expected_start.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 14), expected_start);
  const std::vector<std::string> options(lines.begin() + 14, lines.end());
  ASSERT_EQ(options.size(), 4U);
  EXPECT_EQ(options[0], "      --state <STATE>  [default: corvane.json]");
  // A flag without help text still gets its (empty) help column.
  EXPECT_EQ(options[1], "      --json           ");
  EXPECT_EQ(options[2], "  -h, --help           Print help information");
  EXPECT_EQ(options[3], "  -V, --version        Print version information");
}

struct SubcommandHelpCase {
  std::string name;
  std::string description;
  std::string usage;
  std::vector<std::string> arguments;  // as listed under "Arguments:"
  std::vector<std::string> must_list;  // option texts that must appear with their help
};

void PrintTo(const SubcommandHelpCase& c, std::ostream* os) {
  *os << c.name;
}

class SubcommandHelp : public ::testing::TestWithParam<SubcommandHelpCase> {};

TEST_P(SubcommandHelp, DescribesTheSubcommandAndItsGlobals) {
  const SubcommandHelpCase& c = GetParam();
  const Outcome dashed = parse({c.name, "--help"});
  ASSERT_EQ(dashed.exit_status(), 0);
  EXPECT_EQ(dashed.err, "");
  EXPECT_EQ(parse({c.name, "-h"}).out, dashed.out);
  EXPECT_EQ(parse({"help", c.name}).out, dashed.out);
  // Help wins over anything else still missing on the line.
  EXPECT_EQ(parse({"--json", c.name, "--help"}).out, dashed.out);

  const std::vector<std::string> lines = lines_of(dashed.out);
  ASSERT_GE(lines.size(), 4U);
  EXPECT_EQ(lines[0], c.description);
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "Usage: " + c.usage);

  std::vector<std::string> listed_arguments;
  bool in_arguments = false;
  for (const std::string& line : lines) {
    if (line == "Arguments:") {
      in_arguments = true;
    } else if (line.empty()) {
      in_arguments = false;
    } else if (in_arguments) {
      listed_arguments.push_back(line);
    }
  }
  EXPECT_EQ(listed_arguments, c.arguments);

  std::vector<std::string> must_list = c.must_list;
  must_list.emplace_back("--state <STATE>  ");
  must_list.emplace_back("--json  ");
  must_list.emplace_back("-h, --help  ");
  for (const std::string& text : must_list) {
    EXPECT_NE(dashed.out.find(text), std::string::npos) << text << "\nin\n" << dashed.out;
  }
  EXPECT_NE(dashed.out.find("[default: corvane.json]"), std::string::npos);
  EXPECT_EQ(dashed.out.find("--version"), std::string::npos) << "version is program-only";

  // The help texts of one section start in one column.
  std::optional<std::size_t> column;
  bool in_options = false;
  for (const std::string& line : lines) {
    if (line == "Options:") {
      in_options = true;
      continue;
    }
    if (!in_options || line.empty()) continue;
    // The left cell has no double space inside it; the help column starts
    // where the padding after it ends (or at the end of a line whose help is empty).
    const std::size_t padding = line.find("  ", line.find_first_not_of(' '));
    const std::size_t help_start = line.find_first_not_of(' ', padding);
    const std::size_t at = help_start == std::string::npos ? line.size() : help_start;
    if (!column) column = at;
    EXPECT_EQ(at, *column) << line;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Subcommands, SubcommandHelp,
    ::testing::Values(
        SubcommandHelpCase{"init",
                           "Initialise the bridge with a tenant and an approval key",
                           "corvanectl init [OPTIONS]",
                           {},
                           {}},
        SubcommandHelpCase{
            "install",
            "Install an outbound signed webhook connector (starts pending approval)",
            "corvanectl install [OPTIONS] --endpoint-ref <ENDPOINT_REF> --secret-ref "
            "<SECRET_REF> <NAME>",
            {"  <NAME>  "},
            {"--endpoint-ref <ENDPOINT_REF>  Config reference for the endpoint — never a raw URL",
             "--secret-ref <SECRET_REF>      Varnholt secret reference for the signing secret",
             "--event <EVENTS>               Event types this connector may receive (repeatable)",
             "--class <CLASSES>              Data classes: operational_metadata | "
             "security_metadata | pseudonymous_identifier | encrypted_object_reference | "
             "redacted_error\n"}},
        SubcommandHelpCase{"approve",
                           "Approve an installed connector against a workflow reference",
                           "corvanectl approve [OPTIONS] --workflow-ref <WORKFLOW_REF> <CONNECTOR>",
                           {"  <CONNECTOR>  "},
                           {"--workflow-ref <WORKFLOW_REF>  \n"}},
        SubcommandHelpCase{"list", "List connectors", "corvanectl list [OPTIONS]", {}, {}},
        SubcommandHelpCase{"route",
                           "Route an event and record deliveries",
                           "corvanectl route [OPTIONS] <EVENT_TYPE>",
                           {"  <EVENT_TYPE>  "},
                           {"--class <CLASSES>  \n"}},
        SubcommandHelpCase{
            "deliveries", "Show deliveries", "corvanectl deliveries [OPTIONS]", {}, {}}),
    [](const ::testing::TestParamInfo<SubcommandHelpCase>& param_info) {
      return param_info.param.name;
    });

TEST(Help, HelpSubcommandHasItsOwnHelp) {
  const Outcome outcome = parse({"help", "help"});
  EXPECT_EQ(outcome.exit_status(), 0);
  EXPECT_NE(outcome.out.find("Usage: corvanectl help [SUBCOMMAND]..."), std::string::npos);
}

// --- which word decides -----------------------------------------------------

struct FirstWordCase {
  std::string label;
  std::vector<std::string> args;
  int status;
  std::string starts;  // how stdout (status 0) or stderr (status 2) begins
};

void PrintTo(const FirstWordCase& c, std::ostream* os) {
  *os << c.label;
}

class FirstDecisiveWord : public ::testing::TestWithParam<FirstWordCase> {};

// The line is read from left to right and the first word that decides the
// outcome (a help flag, the version flag, a wrong word) wins over all that
// follows it.
TEST_P(FirstDecisiveWord, Wins) {
  const FirstWordCase& c = GetParam();
  const Outcome outcome = parse(c.args);
  EXPECT_EQ(outcome.exit_status(), c.status);
  const std::string& shown = c.status == 0 ? outcome.out : outcome.err;
  EXPECT_TRUE(shown.starts_with(c.starts)) << shown;
  EXPECT_EQ(c.status == 0 ? outcome.err : outcome.out, "");
}

const std::string kProgramHelp = "Corvane connectors and routing\n\nUsage: corvanectl [OPTIONS]";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, FirstDecisiveWord,
    ::testing::Values(
        FirstWordCase{"HelpBeforeUnknownSubcommand", {"--help", "frob"}, 0, kProgramHelp},
        FirstWordCase{"VersionBeforeUnknownSubcommand", {"-V", "frob"}, 0, "corvanectl 0.1.0\n"},
        FirstWordCase{"HelpBeforeBadConnector",
                      {"approve", "--help", "123"},
                      0,
                      "Approve an installed connector"},
        FirstWordCase{"BadConnectorBeforeHelp",
                      {"approve", "123", "--help"},
                      2,
                      "error: Invalid value '123' for '<CONNECTOR>'"},
        FirstWordCase{"UnknownOptionBeforeHelp",
                      {"route", "x", "--bogus", "--help"},
                      2,
                      "error: Found argument '--bogus'"},
        FirstWordCase{"MissingValueBeforeHelp",
                      {"route", "x", "--class", "-h"},
                      2,
                      "error: The argument '--class <CLASSES>' requires a value"},
        FirstWordCase{"VersionOfASubcommandBeforeHelp",
                      {"init", "--version", "--help"},
                      2,
                      "error: Found argument '--version'"},
        FirstWordCase{"UnknownSubcommandBeforeHelp",
                      {"frob", "--help"},
                      2,
                      "error: The subcommand 'frob' wasn't recognized"},
        FirstWordCase{"HelpTakesWordsNotFlags",
                      {"help", "-h"},
                      2,
                      "error: The subcommand '-h' wasn't recognized"},
        FirstWordCase{"HelpOfHelpTakesWordsNotFlags",
                      {"help", "--help"},
                      2,
                      "error: The subcommand '--help' wasn't recognized"},
        FirstWordCase{"RepeatedOptionBeforeHelp",
                      {"list", "--json", "--json", "-h"},
                      2,
                      "error: The argument '--json' was provided more than once"},
        FirstWordCase{
            "HelpBeforeRepeatedOption", {"list", "--json", "-h", "--json"}, 0, "List connectors"}),
    [](const ::testing::TestParamInfo<FirstWordCase>& param_info) {
      return param_info.param.label;
    });

// --- colour -----------------------------------------------------------------

TEST(Colour, StyledHelpReadsTheSameWithoutEscapes) {
  const Outcome plain = parse({"install", "--help"});
  const Outcome styled = parse({"install", "--help"}, true);
  EXPECT_EQ(plain.out.find('\x1b'), std::string::npos);
  EXPECT_NE(styled.out.find("\x1b[1m\x1b[4mUsage:\x1b[0m"), std::string::npos);
  EXPECT_NE(styled.out.find("\x1b[1m--endpoint-ref\x1b[0m"), std::string::npos);
  EXPECT_EQ(strip_ansi(styled.out), plain.out);
}

TEST(Colour, StyledUsageErrorHasARedLabelAndReadsTheSameWithoutEscapes) {
  const Outcome plain = parse({"list", "--bogus"});
  const Outcome styled = parse({"list", "--bogus"}, true);
  EXPECT_EQ(plain.err.find('\x1b'), std::string::npos);
  EXPECT_TRUE(styled.err.starts_with("\x1b[1m\x1b[31merror:\x1b[0m ")) << styled.err;
  EXPECT_EQ(strip_ansi(styled.err), plain.err);
}

TEST(Colour, VersionIsNeverStyled) {
  EXPECT_EQ(parse({"--version"}, true).out, "corvanectl 0.1.0\n");
}

struct ColourCase {
  std::string label;
  ColourEnv env;
  bool terminal;
  bool expected;
};

void PrintTo(const ColourCase& c, std::ostream* os) {
  *os << c.label;
}

class ColourDecision : public ::testing::TestWithParam<ColourCase> {};

TEST_P(ColourDecision, FollowsTheEnvironmentConventions) {
  EXPECT_EQ(colour_enabled(GetParam().env, GetParam().terminal), GetParam().expected);
}

const std::optional<std::string> kUnset;

INSTANTIATE_TEST_SUITE_P(
    Environments, ColourDecision,
    ::testing::Values(
        ColourCase{"TerminalWithTerm", {kUnset, kUnset, kUnset, "xterm-256color"}, true, true},
        ColourCase{"PipeWithTerm", {kUnset, kUnset, kUnset, "xterm"}, false, false},
        ColourCase{"TerminalWithoutTerm", {kUnset, kUnset, kUnset, kUnset}, true, false},
        ColourCase{"DumbTerminal", {kUnset, kUnset, kUnset, "dumb"}, true, false},
        ColourCase{"DumbTerminalAskedByClicolor", {kUnset, kUnset, "1", "dumb"}, true, true},
        ColourCase{"ClicolorDoesNotReachPipes", {kUnset, kUnset, "1", "xterm"}, false, false},
        ColourCase{"ClicolorZeroOnTerminal", {kUnset, kUnset, "0", "xterm"}, true, false},
        ColourCase{"ForcedIntoPipe", {kUnset, "1", kUnset, kUnset}, false, true},
        ColourCase{"ForceBeatsClicolorZero", {kUnset, "yes", "0", kUnset}, false, true},
        ColourCase{"ForceZeroIsNoForce", {kUnset, "0", kUnset, kUnset}, false, false},
        ColourCase{"ForceEmptyIsNoForce", {kUnset, "", kUnset, kUnset}, false, false},
        ColourCase{"NoColorBeatsForce", {"1", "1", kUnset, "xterm"}, true, false},
        ColourCase{"EmptyNoColorIsIgnored", {"", kUnset, kUnset, "xterm"}, true, true},
        ColourCase{"EmptyNoColorWithForce", {"", "1", kUnset, kUnset}, false, true}),
    [](const ::testing::TestParamInfo<ColourCase>& param_info) { return param_info.param.label; });

// --- UTF-8 check ------------------------------------------------------------

}  // namespace
}  // namespace corvane::cli
