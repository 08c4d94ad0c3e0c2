#include "output.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace corvane::cli {
namespace {

// A standard output whose writes take nothing, as a broken device may.
class StuckOutput : public files::System {
 public:
  ssize_t write(int, const void*, std::size_t) override { return 0; }
};

TEST(Output, AWriteThatTakesNothingIsAFailureNotALoop) {
  StuckOutput system;
  Output out(system, 1, false);
  out.append("text");
  out.end_line();
  EXPECT_EQ(out.flush().message(), "failed to write whole buffer");
}

TEST(Output, EscapesEveryControlCharacterForATerminal) {
  EXPECT_EQ(escape_controls("a\nb\tc\rd\x1b[31m\x07\x7f\xC2\x9B"
                            "e\xC3\xA9"),
            "a\\nb\\tc\\rd\\x1b[31m\\x07\\x7f\\u{9b}e\xC3\xA9");
}

}  // namespace
}  // namespace corvane::cli
