#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "varnholt/error/core_error.hpp"

namespace {

using varnholt::error::append_quoted;
namespace ve = varnholt::error;

// Encodes a code point as UTF-8 (test helper; inputs are valid scalar values
// or surrogates, which give the three-byte pattern that UTF-8 forbids).
std::string utf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return s;
}

struct QuoteCase {
  const char* name;
  std::string input;
  std::string expected;  // without the surrounding quotes
};

void PrintTo(const QuoteCase& c, std::ostream* os) {
  *os << c.name;
}

std::string case_name(const ::testing::TestParamInfo<QuoteCase>& info) {
  return info.param.name;
}

class QuotedForm : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuotedForm, Escapes) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(ve::quoted(c.input), "\"" + c.expected + "\"");
}

INSTANTIATE_TEST_SUITE_P(
    SimpleEscapes, QuotedForm,
    ::testing::Values(QuoteCase{"empty", "", ""}, QuoteCase{"plain", "abc XYZ 09", "abc XYZ 09"},
                      QuoteCase{"quote", "a\"b", "a\\\"b"},
                      QuoteCase{"backslash", "a\\b", "a\\\\b"}, QuoteCase{"tab", "\t", "\\t"},
                      QuoteCase{"cr", "\r", "\\r"}, QuoteCase{"lf", "\n", "\\n"},
                      QuoteCase{"nul", std::string(1, '\0'), "\\0"},
                      QuoteCase{"single_quote_kept", "it's", "it's"},
                      QuoteCase{"space_kept", "  ", "  "},
                      QuoteCase{"printable_ascii_kept", "~!@#$%^&*()_+{}|:<>?`-=[];',./",
                                "~!@#$%^&*()_+{}|:<>?`-=[];',./"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(ControlCharacters, QuotedForm,
                         ::testing::Values(QuoteCase{"bel", "\x07", "\\u{7}"},
                                           QuoteCase{"unit_sep", "\x1f", "\\u{1f}"},
                                           QuoteCase{"vertical_tab", "\x0b", "\\u{b}"},
                                           QuoteCase{"escape", "\x1b[0m", "\\u{1b}[0m"},
                                           QuoteCase{"delete", "\x7f", "\\u{7f}"},
                                           QuoteCase{"c1_control", utf8(0x85), "\\u{85}"},
                                           QuoteCase{"c1_last", utf8(0x9F), "\\u{9f}"}),
                         case_name);

INSTANTIATE_TEST_SUITE_P(UnicodeClasses, QuotedForm,
                         ::testing::Values(
                             // Grapheme_Extend.
                             QuoteCase{"combining_acute", "e" + utf8(0x301), "e\\u{301}"},
                             QuoteCase{"zero_width_joiner", utf8(0x200D), "\\u{200d}"},
                             QuoteCase{"variation_selector_16", utf8(0xFE0F), "\\u{fe0f}"},
                             QuoteCase{"variation_selector_supplement", utf8(0xE0100),
                                       "\\u{e0100}"},
                             // Zs other than the space, Zl, Zp.
                             QuoteCase{"no_break_space", utf8(0xA0), "\\u{a0}"},
                             QuoteCase{"ideographic_space", utf8(0x3000), "\\u{3000}"},
                             QuoteCase{"em_space", utf8(0x2003), "\\u{2003}"},
                             QuoteCase{"line_separator", utf8(0x2028), "\\u{2028}"},
                             QuoteCase{"paragraph_separator", utf8(0x2029), "\\u{2029}"},
                             // Cf.
                             QuoteCase{"soft_hyphen", utf8(0xAD), "\\u{ad}"},
                             QuoteCase{"zero_width_space", utf8(0x200B), "\\u{200b}"},
                             QuoteCase{"byte_order_mark", utf8(0xFEFF), "\\u{feff}"},
                             QuoteCase{"rtl_override", utf8(0x202E), "\\u{202e}"},
                             QuoteCase{"tag_character", utf8(0xE0041), "\\u{e0041}"},
                             // Co.
                             QuoteCase{"private_use", utf8(0xE000), "\\u{e000}"},
                             QuoteCase{"private_use_plane_16", utf8(0x10FFFD), "\\u{10fffd}"},
                             // Cn: unassigned code points and noncharacters.
                             QuoteCase{"unassigned_greek", utf8(0x378), "\\u{378}"},
                             QuoteCase{"noncharacter_fffe", utf8(0xFFFE), "\\u{fffe}"},
                             QuoteCase{"noncharacter_ffff", utf8(0xFFFF), "\\u{ffff}"},
                             QuoteCase{"noncharacter_fdd0", utf8(0xFDD0), "\\u{fdd0}"},
                             QuoteCase{"unassigned_plane_3_end", utf8(0x3FFFF), "\\u{3ffff}"},
                             QuoteCase{"last_code_point", utf8(0x10FFFF), "\\u{10ffff}"}),
                         case_name);

INSTANTIATE_TEST_SUITE_P(
    PrintableNonAscii, QuotedForm,
    ::testing::Values(QuoteCase{"e_acute", utf8(0xE9), utf8(0xE9)},
                      QuoteCase{"precomposed_with_ascii", "caf" + utf8(0xE9), "caf" + utf8(0xE9)},
                      QuoteCase{"cjk", utf8(0x4E2D) + utf8(0x6587), utf8(0x4E2D) + utf8(0x6587)},
                      // A ranged ideograph listed only by its <..., First>/<..., Last> pair.
                      QuoteCase{"cjk_extension_b", utf8(0x20000), utf8(0x20000)},
                      QuoteCase{"hangul_syllable", utf8(0xD7A3), utf8(0xD7A3)},
                      QuoteCase{"emoji", utf8(0x1F600), utf8(0x1F600)},
                      QuoteCase{"replacement_char", utf8(0xFFFD), utf8(0xFFFD)},
                      QuoteCase{"spacing_mark_not_extend", utf8(0x903), utf8(0x903)},
                      QuoteCase{"last_before_private_use", utf8(0xD7FB), utf8(0xD7FB)}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    InvalidUtf8, QuotedForm,
    ::testing::Values(
        QuoteCase{"lone_continuation", "a\x80z", "a\\u{fffd}z"},
        QuoteCase{"invalid_lead", "\xff\xfe", "\\u{fffd}\\u{fffd}"},
        QuoteCase{"overlong_slash", "\xc0\xaf", "\\u{fffd}\\u{fffd}"},
        QuoteCase{"overlong_three_byte", "\xe0\x80\xaf", "\\u{fffd}\\u{fffd}\\u{fffd}"},
        QuoteCase{"truncated_at_end", "x\xe2\x82", "x\\u{fffd}\\u{fffd}"},
        QuoteCase{"truncated_then_ascii",
                  "\xe2\x82"
                  "A",
                  "\\u{fffd}\\u{fffd}A"},
        QuoteCase{"encoded_surrogate", utf8(0xD800), "\\u{fffd}\\u{fffd}\\u{fffd}"},
        QuoteCase{"beyond_max", "\xf4\x90\x80\x80", "\\u{fffd}\\u{fffd}\\u{fffd}\\u{fffd}"},
        QuoteCase{"valid_after_invalid", "\x80" + utf8(0xE9), "\\u{fffd}" + utf8(0xE9)}),
    case_name);

// Every code point below U+0100 against the classification by hand: the ASCII
// fast path and the table must agree at every boundary.
TEST(QuotedFormLatin1, EveryCodePoint) {
  for (char32_t cp = 0; cp < 0x100; ++cp) {
    SCOPED_TRACE(static_cast<unsigned>(cp));
    std::string expected;
    switch (cp) {
      case U'"':
        expected = "\\\"";
        break;
      case U'\\':
        expected = "\\\\";
        break;
      case U'\t':
        expected = "\\t";
        break;
      case U'\r':
        expected = "\\r";
        break;
      case U'\n':
        expected = "\\n";
        break;
      case 0:
        expected = "\\0";
        break;
      default: {
        const bool escaped = cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD;
        if (escaped) {
          constexpr std::string_view kHex = "0123456789abcdef";
          expected = "\\u{";
          if (cp >= 0x10) expected.push_back(kHex[cp >> 4]);
          expected.push_back(kHex[cp & 0xF]);
          expected.push_back('}');
        } else {
          expected = utf8(cp);
        }
      }
    }
    EXPECT_EQ(ve::quoted(utf8(cp)), "\"" + expected + "\"");
  }
}

TEST(QuotedFormAppend, AppendsAfterExistingText) {
  std::string out = "prefix ";
  append_quoted(out, "a\tb");
  append_quoted(out, "");
  EXPECT_EQ(out, "prefix \"a\\tb\"\"\"");
}

TEST(QuotedFormAppend, LongMixedTextKeepsOrder) {
  std::string input;
  std::string expected = "\"";
  for (int i = 0; i < 200; ++i) {
    input += "ab\"" + utf8(0x301) + utf8(0xE9);
    expected += "ab\\\"\\u{301}" + utf8(0xE9);
  }
  expected += "\"";
  EXPECT_EQ(ve::quoted(input), expected);
}

}  // namespace
