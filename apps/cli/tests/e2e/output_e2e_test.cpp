// End-to-end tests of what reaches a terminal: stored and typed text is shown
// with its control characters escaped there, and byte for byte everywhere
// else, since scripts read it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.hpp"

namespace corvane::e2e {
namespace {

struct TerminalCase {
  const char* label;
  std::vector<std::string> args;  // run after `init` and one install
  bool stderr_side;               // the text is looked for on stderr
  std::string raw;                // what a pipe receives
  std::string shown;              // what a terminal receives
};

void PrintTo(const TerminalCase& c, std::ostream* os) {
  *os << c.label;
}

class TerminalOutput : public ::testing::TestWithParam<TerminalCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(run({"init"}).status, 0);
    ASSERT_EQ(run({"install", "bell\x07name", "--endpoint-ref", "e", "--secret-ref", "s", "--event",
                   "x\x1b[2Jy"})
                  .status,
              0);
  }
  RunResult run(const std::vector<std::string>& args, RunOptions options = {}) {
    return run_corvanectl(dir_.path(), args, options);
  }
  TempDir dir_;
};

TEST_P(TerminalOutput, EscapesControlCharactersOnlyForATerminal) {
  const auto& c = GetParam();
  const auto piped = run(c.args);
  const auto& piped_text = c.stderr_side ? piped.err : piped.out;
  EXPECT_NE(piped_text.find(c.raw), std::string::npos) << piped_text;

  RunOptions terminal;
  (c.stderr_side ? terminal.stderr_terminal : terminal.stdout_terminal) = true;
  const auto shown = run(c.args, terminal);
  const auto& shown_text = c.stderr_side ? shown.err : shown.out;
  EXPECT_NE(shown_text.find(c.shown), std::string::npos) << shown_text;
  EXPECT_EQ(shown_text.find('\x1b'), std::string::npos) << shown_text;
  EXPECT_EQ(shown_text.find('\x07'), std::string::npos) << shown_text;
}

INSTANTIATE_TEST_SUITE_P(
    Output, TerminalOutput,
    ::testing::Values(
        TerminalCase{"ListedName", {"list"}, false, "bell\x07name", "bell\\x07name"},
        TerminalCase{"TypedClassInAnError",
                     {"route", "x", "--class", "\x1b]0;title\x07"},
                     true,
                     "unknown data class '\x1b]0;title\x07'",
                     "unknown data class '\\x1b]0;title\\x07'"},
        TerminalCase{
            "JsonStaysJson", {"--json", "list"}, false, "bell\\u0007name", "bell\\u0007name"}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(TerminalOutput, DeliveryLinesOnATerminalShowTheEventTypeEscaped) {
  ASSERT_EQ(run({"route", "x\x1b[2Jy"}).status, 0);
  RunOptions terminal;
  terminal.stdout_terminal = true;
  const auto shown = run({"deliveries"}, terminal);
  EXPECT_NE(shown.out.find("  x\\x1b[2Jy  {\"status\":\"refused\""), std::string::npos)
      << shown.out;
  EXPECT_EQ(run({"deliveries"}).out.find("  x\x1b[2Jy  "), 36U) << "a pipe gets the bytes";
}

}  // namespace
}  // namespace corvane::e2e
