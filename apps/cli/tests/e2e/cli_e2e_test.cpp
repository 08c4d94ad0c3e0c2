// End-to-end tests of the command line: the real binary, run in a temporary
// directory through pipes, checked for exit status, both streams and what it
// leaves in the directory.

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "process.hpp"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;

const std::string kVersion = "corvanectl 0.1.0\n";
const std::string kHint = "\n\nFor more information try '--help'\n";

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

bool has_escape(const std::string& text) {
  return text.find('\x1b') != std::string::npos;
}

// A first-line summary of a run for failure messages.
std::string describe(const RunResult& result) {
  return "status " + std::to_string(result.status) + "\nstdout:\n" + result.out + "\nstderr:\n" +
         result.err;
}

class CommandLine : public ::testing::Test {
 protected:
  RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) {
    return run_corvanectl(dir_.path(), args, options);
  }

  TempDir dir_;
};

TEST_F(CommandLine, VersionGoesToStdoutAndTouchesNothing) {
  for (const char* flag : {"--version", "-V"}) {
    const RunResult result = run({flag});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kVersion);
    EXPECT_EQ(result.err, "");
  }
  EXPECT_TRUE(entries(dir_.path()).empty());
}

TEST_F(CommandLine, HelpGoesToStdoutWithStatusZero) {
  const RunResult program = run({"--help"});
  EXPECT_EQ(program.status, 0);
  EXPECT_EQ(program.err, "");
  EXPECT_TRUE(program.out.starts_with("Corvane connectors and routing\n\nUsage: corvanectl "))
      << program.out;

  const RunResult install = run({"help", "install"});
  EXPECT_EQ(install.status, 0);
  EXPECT_EQ(install.err, "");
  EXPECT_EQ(install.out, run({"install", "-h"}).out);
  EXPECT_NE(install.out.find("--endpoint-ref <ENDPOINT_REF>"), std::string::npos);
  EXPECT_TRUE(entries(dir_.path()).empty());
}

TEST_F(CommandLine, BareInvocationShowsHelpOnStderrWithStatusTwo) {
  const RunResult bare = run({});
  EXPECT_EQ(bare.status, 2);
  EXPECT_EQ(bare.out, "");
  EXPECT_EQ(bare.err, run({"--help"}).out);
  EXPECT_TRUE(entries(dir_.path()).empty());
}

struct UsageCase {
  std::string label;
  std::vector<std::string> args;
  std::string says;   // part of the message after "error: "
  std::string usage;  // start of the usage line
};

void PrintTo(const UsageCase& c, std::ostream* os) {
  *os << c.label;
}

class UsageErrors : public CommandLine, public ::testing::WithParamInterface<UsageCase> {};

// Every usage error ends in the parser: status 2, nothing on stdout, the
// message and a usage line on stderr, and the state file never read or
// written. The file here is not even JSON: had the command got past the
// parser it would have failed on it with status 1.
TEST_P(UsageErrors, AreReportedBeforeTheStateIsTouched) {
  const std::string garbage = "not a state file \xff\n";
  write_file(dir_ / "corvane.json", garbage);

  const RunResult result = run(GetParam().args);
  EXPECT_EQ(result.status, 2) << describe(result);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(result.err.starts_with("error: ")) << result.err;
  EXPECT_NE(result.err.find(GetParam().says), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("\n\nUsage: " + GetParam().usage), std::string::npos) << result.err;
  EXPECT_TRUE(result.err.ends_with(kHint)) << result.err;

  EXPECT_EQ(read_file(dir_ / "corvane.json"), garbage);
  EXPECT_EQ(entries(dir_.path()), std::set<std::string>{"corvane.json"});
}

const std::string kUuid = "0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UsageErrors,
    ::testing::Values(
        UsageCase{"UnknownSubcommand",
                  {"frobnicate"},
                  "'frobnicate' wasn't recognized",
                  "corvanectl [OPTIONS] <COMMAND>"},
        UsageCase{"NoSubcommand",
                  {"--state", "corvane.json", "--json"},
                  "requires a subcommand",
                  "corvanectl [OPTIONS] <COMMAND>"},
        UsageCase{"UnknownOption", {"list", "--bogus"}, "'--bogus'", "corvanectl list"},
        UsageCase{"ExtraArgument", {"deliveries", "now"}, "'now'", "corvanectl deliveries"},
        UsageCase{"InitWithExtraArgument", {"init", "again"}, "'again'", "corvanectl init"},
        UsageCase{"MissingSecretRef",
                  {"install", "demo", "--endpoint-ref", "e"},
                  "--secret-ref <SECRET_REF>",
                  "corvanectl install"},
        UsageCase{
            "MissingValue", {"route", "evt", "--class"}, "'--class <CLASSES>'", "corvanectl route"},
        UsageCase{"StateWithoutValue", {"init", "--state"}, "'--state <STATE>'", "corvanectl init"},
        UsageCase{
            "OptionTwice",
            {"install", "demo", "--endpoint-ref", "a", "--endpoint-ref", "b", "--secret-ref", "s"},
            "more than once",
            "corvanectl install"},
        UsageCase{
            "NotAUuid", {"approve", "123", "--workflow-ref", "w"}, "'123'", "corvanectl approve"},
        UsageCase{"UuidWithTrailingJunk",
                  {"approve", kUuid + "0", "--workflow-ref", "w"},
                  "<CONNECTOR>",
                  "corvanectl approve"},
        UsageCase{"NonUtf8EventType", {"route", "ev\xff"}, "Invalid UTF-8", "corvanectl route"},
        UsageCase{"NonUtf8EndpointRef",
                  {"install", "n", "--endpoint-ref", "\xc3", "--secret-ref", "s"},
                  "Invalid UTF-8",
                  "corvanectl install"},
        UsageCase{"NonUtf8WorkflowRef",
                  {"approve", kUuid, "--workflow-ref=w\xfe"},
                  "Invalid UTF-8",
                  "corvanectl approve"},
        UsageCase{"VersionOnSubcommand", {"list", "--version"}, "'--version'", "corvanectl list"},
        UsageCase{"HelpForUnknownSubcommand",
                  {"help", "nonexistent"},
                  "'nonexistent'",
                  "corvanectl [OPTIONS] <COMMAND>"}),
    [](const ::testing::TestParamInfo<UsageCase>& param_info) { return param_info.param.label; });

struct ParserRule {
  std::string label;
  std::vector<std::string> args;  // "{id}" stands for the installed connector
  int status;
  std::string says;          // part of stdout (status 0) or stderr (otherwise)
  std::string never_says{};  // not in stderr
  std::string saved{};       // part of the state file after a run that changed it
};

void PrintTo(const ParserRule& c, std::ostream* os) {
  *os << c.label;
}

class ParserRules : public CommandLine, public ::testing::WithParamInterface<ParserRule> {};

// How the parser reads option values, flags, "--", help and misspelt names,
// against a bridge with one pending connector. A run that does not get past
// the parser (status 2) or fails in the program (status 1) leaves the state
// file as it was, byte for byte.
TEST_P(ParserRules, DecideWhatRuns) {
  const ParserRule& rule = GetParam();
  ASSERT_EQ(run({"init"}).status, 0);
  ASSERT_EQ(run({"install", "hook", "--endpoint-ref", "e", "--secret-ref", "s", "--event", "alert"})
                .status,
            0);
  std::smatch match;
  static const std::regex id("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  const std::string listed = run({"--json", "list"}).out;
  ASSERT_TRUE(std::regex_search(listed, match, id)) << listed;
  std::vector<std::string> args = rule.args;
  for (std::string& arg : args) {
    if (arg == "{id}") arg = match.str();
  }
  const std::string before = read_file(dir_ / "corvane.json");

  const RunResult result = run(args);
  EXPECT_EQ(result.status, rule.status) << describe(result);
  if (rule.status == 0) {
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find(rule.says), std::string::npos) << result.out;
  } else {
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("error: ")) << result.err;
    EXPECT_NE(result.err.find(rule.says), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("Usage: ") != std::string::npos, rule.status == 2) << result.err;
  }
  if (!rule.never_says.empty()) {
    EXPECT_EQ(result.err.find(rule.never_says), std::string::npos) << result.err;
  }
  const std::string after = read_file(dir_ / "corvane.json");
  if (rule.saved.empty()) {
    EXPECT_EQ(after, before);
  } else {
    EXPECT_NE(after.find(rule.saved), std::string::npos) << after;
  }
}

const std::string kNoValue = "' requires a value but none was supplied";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ParserRules,
    ::testing::Values(
        // A flag is present or absent; it takes no value, not even "false".
        ParserRule{"FlagGivenFalse", {"list", "--json=false"}, 2, "'--json' takes no value"},
        ParserRule{"FlagGivenTrue", {"--json=true", "list"}, 2, "'--json' takes no value"},
        ParserRule{"FlagGivenNothing", {"list", "--json="}, 2, "'--json' takes no value"},
        // Help of a subcommand wins over the arguments after it.
        ParserRule{"HelpBeforeBadConnector",
                   {"approve", "--help", "123"},
                   0,
                   "Usage: corvanectl approve [OPTIONS] --workflow-ref"},
        // ... but not over an unknown subcommand, whatever follows it.
        ParserRule{"UnknownSubcommandThenVersion",
                   {"frobnicate", "-V"},
                   2,
                   "The subcommand 'frobnicate' wasn't recognized"},
        ParserRule{"UnknownSubcommandThenHelp",
                   {"user.created", "--help", "route"},
                   2,
                   "The subcommand 'user.created' wasn't recognized"},
        // A word that begins with "-" is never the value of the option before it.
        ParserRule{"FlagIsNoWorkflowRef",
                   {"approve", "{id}", "--workflow-ref", "--json"},
                   2,
                   "'--workflow-ref <WORKFLOW_REF>" + kNoValue},
        ParserRule{
            "FlagIsNoEvent",
            {"install", "n", "--endpoint-ref", "e", "--secret-ref", "s", "--event", "--json"},
            2,
            "'--event <EVENTS>" + kNoValue},
        ParserRule{"DashWordIsNoClass",
                   {"route", "x", "--class", "-x"},
                   2,
                   "'--class <CLASSES>" + kNoValue +
                       "\n\n\tIf you tried to supply `-x` as its value, "
                       "use `--class=-x`"},
        ParserRule{
            "DashWordIsNoState", {"--state", "-x", "list"}, 2, "'--state <STATE>" + kNoValue},
        ParserRule{"NegativeNumberIsNoEventType", {"route", "-5"}, 2, "use `-- -5`"},
        // Joined with "=" or after "--", a value may begin with "-".
        ParserRule{"JoinedDashValue",
                   {"install", "n", "--endpoint-ref", "e", "--secret-ref=-s", "--event=-x"},
                   0,
                   "installed",
                   "",
                   "\"signing_secret\": \"-s\""},
        ParserRule{"DashEventTypeAfterDoubleDash",
                   {"route", "--class", "redacted_error", "--", "-5"},
                   0,
                   "0 delivery(ies) queued",
                   "",
                   "\"event_type\": \"-5\""},
        ParserRule{"FlagAfterDoubleDashIsAWord",
                   {"list", "--", "--json"},
                   2,
                   "Found argument '--json' which wasn't expected"},
        // Repeatable options take every occurrence; an empty state path is
        // a path, which the program then fails to read.
        ParserRule{
            "RepeatedEvents",
            {"install", "n", "--endpoint-ref", "e", "--secret-ref", "s", "--event", "b", "--event",
             "a", "--event", "b"},
            0,
            "installed",
            "",
            "\"allowed_event_types\": [\n            \"a\",\n            \"b\"\n          ]"},
        ParserRule{"EmptyStatePath", {"list", "--state="}, 1, "(run init first)"},
        // A misspelt name gets the nearest known one, and no hint to pass it
        // as a value.
        ParserRule{"MisspeltSubcommand", {"lsit"}, 2, "\n\n\tDid you mean 'list'?\n\n"},
        ParserRule{"MisspeltOption",
                   {"route", "x", "--clas", "security_metadata"},
                   2,
                   "\n\n\tDid you mean '--class'?\n\n",
                   "-- --clas"},
        ParserRule{"MisspeltFlag", {"list", "--jsno"}, 2, "\n\n\tDid you mean '--json'?\n\n"}),
    [](const ::testing::TestParamInfo<ParserRule>& param_info) { return param_info.param.label; });

TEST_F(CommandLine, AcceptedCommandsFailOnlyAfterParsing) {
  // No state file: whatever the parser accepted fails in the program body,
  // with status 1 and a plain error line, never with a usage error.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"list"},
                                             {"--json", "deliveries"},
                                             {"route", "", "--class", "not_a_class"},
                                             {"approve", "{" + kUuid + "}", "--workflow-ref", "w"},
                                             {"list", "--state", "missing\xff.json"}}) {
    const RunResult result = run(args);
    EXPECT_EQ(result.status, 1) << describe(result);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("error: ")) << result.err;
    EXPECT_EQ(result.err.find("Usage:"), std::string::npos) << result.err;
  }
  EXPECT_TRUE(entries(dir_.path()).empty());
}

TEST_F(CommandLine, StateOptionWorksBeforeAndAfterTheSubcommand) {
  EXPECT_EQ(run({"--state", "before.json", "init"}).status, 0);
  EXPECT_EQ(run({"init", "--state", "after.json"}).status, 0);
  EXPECT_EQ(run({"init", "--state=joined.json"}).status, 0);
  EXPECT_EQ(entries(dir_.path()),
            (std::set<std::string>{"after.json", "before.json", "joined.json"}));
}

TEST_F(CommandLine, JsonFlagWorksBeforeAndAfterTheSubcommand) {
  ASSERT_EQ(run({"init"}).status, 0);
  const RunResult before = run({"--json", "list"});
  const RunResult after = run({"list", "--json"});
  EXPECT_EQ(before.status, 0);
  EXPECT_EQ(before.out, "[]\n");
  EXPECT_EQ(after.out, before.out);
}

TEST_F(CommandLine, NonUtf8StatePathIsUsedAsRawBytes) {
  const std::string name = "state-\xff\xfe.json";
  const RunResult init = run({"init", "--state", name});
  EXPECT_EQ(init.status, 0) << describe(init);
  EXPECT_EQ(entries(dir_.path()), std::set<std::string>{name});
  EXPECT_EQ(run({"--state", name, "list"}).status, 0);
}

class UuidForms : public CommandLine, public ::testing::WithParamInterface<std::string> {};

// Each accepted text form reaches the same installed connector.
TEST_P(UuidForms, ApproveTheConnectorTheyName) {
  ASSERT_EQ(run({"init"}).status, 0);
  const RunResult installed =
      run({"install", "demo", "--endpoint-ref", "cfg://e", "--secret-ref", "vault://s"});
  ASSERT_EQ(installed.status, 0) << describe(installed);
  std::smatch match;
  static const std::regex id("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  ASSERT_TRUE(std::regex_search(installed.out, match, id)) << installed.out;
  const std::string connector = match.str();

  std::string form = GetParam();
  std::string hex = connector;
  std::erase(hex, '-');
  const std::string upper = [&] {
    std::string s = connector;
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }();
  if (form == "simple") form = hex;
  if (form == "upper") form = upper;
  if (form == "braced") form = "{" + connector + "}";
  if (form == "urn") form = "urn:uuid:" + upper;

  const RunResult approved = run({"approve", form, "--workflow-ref", "wf-1"});
  EXPECT_EQ(approved.status, 0) << describe(approved);
  EXPECT_EQ(approved.out, "connector " + connector + " approved via wf-1\n");
}

INSTANTIATE_TEST_SUITE_P(TextForms, UuidForms,
                         ::testing::Values("simple", "upper", "braced", "urn"));

struct ColourCase {
  std::string label;
  std::map<std::string, std::string> env;
  bool coloured;
};

void PrintTo(const ColourCase& c, std::ostream* os) {
  *os << c.label;
}

class ColourInPipes : public CommandLine, public ::testing::WithParamInterface<ColourCase> {};

// The harness reads through pipes, so colour appears only when forced.
TEST_P(ColourInPipes, FollowsTheEnvironment) {
  RunOptions options;
  options.env = GetParam().env;
  const RunResult help = run({"--help"}, options);
  const RunResult usage = run({"list", "--bogus"}, options);
  EXPECT_EQ(has_escape(help.out), GetParam().coloured) << help.out;
  EXPECT_EQ(has_escape(usage.err), GetParam().coloured) << usage.err;
  if (GetParam().coloured) {
    EXPECT_TRUE(usage.err.starts_with("\x1b[1m\x1b[31merror:\x1b[0m ")) << usage.err;
  }

  // Version, results and errors after parsing are never coloured.
  EXPECT_EQ(run({"--version"}, options).out, kVersion);
  const RunResult failed = run({"list"}, options);
  EXPECT_EQ(failed.status, 1);
  EXPECT_FALSE(has_escape(failed.err)) << failed.err;
  const RunResult init = run({"init"}, options);
  EXPECT_EQ(init.status, 0);
  EXPECT_FALSE(has_escape(init.out)) << init.out;
}

INSTANTIATE_TEST_SUITE_P(
    Environments, ColourInPipes,
    ::testing::Values(
        ColourCase{"Plain", {}, false},
        ColourCase{"CapableTerm", {{"TERM", "xterm-256color"}}, false},
        ColourCase{"ClicolorAlone", {{"CLICOLOR", "1"}, {"TERM", "xterm"}}, false},
        ColourCase{"Forced", {{"CLICOLOR_FORCE", "1"}}, true},
        ColourCase{"ForcedDespiteClicolorZero", {{"CLICOLOR_FORCE", "1"}, {"CLICOLOR", "0"}}, true},
        ColourCase{"ForceZero", {{"CLICOLOR_FORCE", "0"}}, false},
        ColourCase{"NoColorWins", {{"CLICOLOR_FORCE", "1"}, {"NO_COLOR", "1"}}, false}),
    [](const ::testing::TestParamInfo<ColourCase>& param_info) { return param_info.param.label; });

// The harness itself: a child that never reads a large stdin must neither
// block the harness nor kill it with SIGPIPE.
TEST_F(CommandLine, HarnessSurvivesUnreadInput) {
  RunOptions options;
  options.input = std::string(8U << 20U, 'x');
  const RunResult result = run({"--version"}, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kVersion);
}

}  // namespace
}  // namespace corvane::e2e
