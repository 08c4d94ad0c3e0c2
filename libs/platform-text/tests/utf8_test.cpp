#include "varnholt/text/utf8.hpp"

#include "varnholt/text/hex.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace varnholt::text {
namespace {

struct Utf8Case {
  std::string label;
  std::string bytes;
  bool valid;
};

void PrintTo(const Utf8Case& c, std::ostream* os) {
  *os << c.label;
}

class Utf8Validity : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validity, MatchesTheStandard) {
  EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Validity,
    ::testing::Values(
        Utf8Case{"Empty", "", true}, Utf8Case{"Ascii", "user.created", true},
        Utf8Case{"Nul", std::string("a\0b", 3), true}, Utf8Case{"TwoByte", "\xc3\xa9", true},
        Utf8Case{"ThreeByte", "\xe6\xbc\xa2", true}, Utf8Case{"FourByte", "\xf0\x9f\x99\x82", true},
        Utf8Case{"LargestScalar", "\xf4\x8f\xbf\xbf", true},
        Utf8Case{"LastBeforeSurrogates", "\xed\x9f\xbf", true},
        Utf8Case{"LoneContinuation", "\x80", false}, Utf8Case{"TruncatedTwoByte", "a\xc3", false},
        Utf8Case{"TruncatedFourByte", "\xf0\x9f\x99", false},
        Utf8Case{"BadContinuation", "\xc3\x28", false},
        Utf8Case{"OverlongSlash", "\xc0\xaf", false},
        Utf8Case{"OverlongThreeByte", "\xe0\x80\xaf", false},
        Utf8Case{"OverlongFourByte", "\xf0\x80\x80\xaf", false},
        Utf8Case{"Surrogate", "\xed\xa0\x80", false},
        Utf8Case{"AboveUnicode", "\xf4\x90\x80\x80", false},
        Utf8Case{"FiveByteLead", "\xf8\x88\x80\x80\x80", false}, Utf8Case{"Ff", "\xff", false}),
    [](const ::testing::TestParamInfo<Utf8Case>& param_info) { return param_info.param.label; });

TEST(LossyUtf8, ReplacesEachMaximalBadRunWithOneReplacementCharacter) {
  EXPECT_EQ(to_lossy_utf8("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(to_lossy_utf8("st\xff"
                          "ate"),
            "st\xEF\xBF\xBD"
            "ate");
  EXPECT_EQ(to_lossy_utf8("\xE2\x82"), "\xEF\xBF\xBD") << "a truncated character is one run";
  EXPECT_EQ(to_lossy_utf8("\xE2\x82x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(to_lossy_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")
      << "a surrogate's bytes cannot start a character";
  EXPECT_EQ(to_lossy_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextHelpers, CountCharactersAndReadHexDigits) {
  EXPECT_EQ(char_count("na\xC3\xAFve \xF0\x9F\x99\x82"), 7U);
  EXPECT_EQ(hex_value('0') + hex_value('f') + hex_value('F'), 30);
  EXPECT_EQ(hex_value('g'), -1);
  EXPECT_EQ(hex_value('\xC3'), -1);
}

}  // namespace
}  // namespace varnholt::text
