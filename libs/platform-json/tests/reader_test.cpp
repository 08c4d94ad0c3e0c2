#include "varnholt/json/reader.hpp"

#include "varnholt/json/record.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

namespace varnholt::json {
namespace {

struct Sample {
  std::uint32_t count = 0;
  std::string label;
  std::optional<std::string> note;
};

}  // namespace

template <>
struct Describe<Sample> {
  static constexpr std::string_view expecting = "struct Sample";
  static constexpr std::tuple members{Member{"count", &Sample::count},
                                      Member{"label", &Sample::label},
                                      Member{"note", &Sample::note, Presence::Optional}};
};

namespace {

// Decodes a Sample from the whole input; "ok" or the positioned message.
std::string decode(std::string_view input, Sample* out = nullptr) {
  Reader reader(input);
  Sample sample;
  auto read = read_value(reader, sample);
  if (read) read = reader.end();
  if (!read) return read.error().describe();
  if (out) *out = sample;
  return "ok";
}

struct Case {
  const char* input;
  const char* expected;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.input;
}

class SyntaxFaults : public ::testing::TestWithParam<Case> {};

TEST_P(SyntaxFaults, AreReportedWithTheirPosition) {
  EXPECT_EQ(decode(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, SyntaxFaults,
    ::testing::Values(
        Case{"", "EOF while parsing a value at line 1 column 0"},
        Case{"  \n", "EOF while parsing a value at line 2 column 0"},
        Case{"x", "expected value at line 1 column 1"},
        Case{"{", "EOF while parsing an object at line 1 column 1"},
        Case{"{\"count\" 1}", "expected `:` at line 1 column 10"},
        Case{"{\"count\":1 \"label\":\"x\"}", "expected `,` or `}` at line 1 column 12"},
        Case{"{\"count\":1,}", "trailing comma at line 1 column 12"},
        Case{"{1:2}", "key must be a string at line 1 column 2"},
        Case{"{\"count\":1,\"label\":\"x\"} x", "trailing characters at line 1 column 25"},
        Case{"{\"count\":nul}", "expected ident at line 1 column 13"},
        Case{"{\"count\":nu", "EOF while parsing a value at line 1 column 11"},
        Case{"{\"count\":-x}", "invalid number at line 1 column 11"},
        Case{"{\"count\":01}", "invalid number at line 1 column 11"},
        Case{"{\"count\":1.}", "invalid number at line 1 column 12"},
        Case{"{\"count\":1e}", "invalid number at line 1 column 12"},
        Case{"{\"count\":1e999}", "number out of range at line 1 column 14"},
        Case{"{\"label\":\"a", "EOF while parsing a string at line 1 column 11"},
        Case{"{\"label\":\"a\\q\"}", "invalid escape at line 1 column 13"},
        Case{"{\"label\":\"d\\uZ000\"}", "invalid escape at line 1 column 17"},
        Case{"{\"label\":\"\\u12", "EOF while parsing a string at line 1 column 14"},
        Case{"{\"label\":\"a\nb\"}",
             "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        Case{"{\"label\":\"\xff\"}", "invalid unicode code point at line 1 column 12"},
        Case{"{\"label\":\"\\udc00\"}", "lone leading surrogate in hex escape at line 1 column 16"},
        Case{"{\"label\":\"\\ud800\\u0041\"}",
             "lone leading surrogate in hex escape at line 1 column 22"},
        Case{"{\"label\":\"\\ud800x\"}", "unexpected end of hex escape at line 1 column 17"},
        Case{"{\"label\":\"\\ud800\\n\"}", "unexpected end of hex escape at line 1 column 18"},
        Case{"{\"\xff\":1}", "invalid unicode code point at line 1 column 4"}));

class MeaningFaults : public ::testing::TestWithParam<Case> {};

TEST_P(MeaningFaults, TakeThePositionWhereTheyBecomeKnown) {
  EXPECT_EQ(decode(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, MeaningFaults,
    ::testing::Values(
        // Right after a scalar that is wrong for its field.
        Case{"{\"count\": -1, \"label\": \"\"}",
             "invalid value: integer `-1`, expected u32 at line 1 column 12"},
        Case{"{\"count\": 4294967296}",
             "invalid value: integer `4294967296`, expected u32 at line 1 column 20"},
        Case{"{\"count\": 5.0}",
             "invalid type: floating point `5.0`, expected u32 at line 1 column 13"},
        Case{"{\"count\": -0}",
             "invalid type: floating point `-0.0`, expected u32 at line 1 column 12"},
        Case{"{\"count\": true}", "invalid type: boolean `true`, expected u32 at line 1 column 14"},
        Case{"{\"count\": null}", "invalid type: null, expected u32 at line 1 column 14"},
        Case{"{\"count\": \"7\"}", "invalid type: string \"7\", expected u32 at line 1 column 13"},
        Case{"{\"label\": 5}", "invalid type: integer `5`, expected a string at line 1 column 11"},
        // Before a bracket that stands where a scalar belongs.
        Case{"{\"count\": [1]}", "invalid type: sequence, expected u32 at line 1 column 10"},
        Case{"{\"count\": {}}", "invalid type: map, expected u32 at line 1 column 10"},
        Case{"\"text\"",
             "invalid type: string \"text\", expected struct Sample at line 1 column 6"},
        // At the record's closing bracket, after whitespace.
        Case{"{\"count\": 1 }", "missing field `label` at line 1 column 13"},
        Case{"{\"count\": 1, \"count\" : 2}", "duplicate field `count` at line 1 column 21"},
        Case{"[1]", "invalid length 1, expected struct Sample with 3 elements at line 1 column 3"},
        Case{"[1, \"a\", null, 4]", "trailing characters at line 1 column 16"}));

TEST(Reader, ReadsMembersInAnyOrderAndSkipsUnknownOnes) {
  Sample sample;
  ASSERT_EQ(decode(R"( {"extra": {"deep": [[[{"x": [1e5, -0.5, true, null, "\u00e9"]}]]]},
                        "label": "a\"b", "count": 7, "note": null} )",
                   &sample),
            "ok");
  EXPECT_EQ(sample.count, 7u);
  EXPECT_EQ(sample.label, "a\"b");
  EXPECT_FALSE(sample.note);
  ASSERT_EQ(decode(R"([1, "x", "n"])", &sample), "ok");
  EXPECT_EQ(sample.note, "n");
}

TEST(Reader, SkippedValuesAreCheckedForWellFormedJson) {
  EXPECT_EQ(decode(R"({"extra": [1,]})"), "expected value at line 1 column 14");
  EXPECT_EQ(decode(R"({"extra": {"a" 1}})"), "expected `:` at line 1 column 16");
  EXPECT_EQ(decode(R"({"extra": [1 2]})"), "expected `,` or `]` at line 1 column 14");
  EXPECT_EQ(decode("{\"extra\": \"a\nb\"}"),
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 12");
  EXPECT_EQ(decode(R"({"extra": 1.})"), "invalid number at line 1 column 13");
  // Only escapes and control characters are checked in skipped strings.
  EXPECT_EQ(decode("{\"extra\": \"\xff\", \"count\": 1, \"label\": \"\"}"), "ok");
}

TEST(Reader, SkippedValuesMayNestWithoutLimit) {
  const std::string deep = std::string(10000, '[') + std::string(10000, ']');
  EXPECT_EQ(decode("{\"count\": 1, \"label\": \"\", \"x\": " + deep + "}"), "ok");
}

TEST(Reader, ValuesReadWholeStopAtTheNestingLimit) {
  const auto nested = [](int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
  };
  const auto deepest_allowed = nested(127);
  Reader ok(deepest_allowed);
  EXPECT_TRUE(ok.parse_content());
  const auto too_deep = nested(128);
  Reader reader(too_deep);
  auto content = reader.parse_content();
  ASSERT_FALSE(content);
  EXPECT_EQ(content.error().describe(), "recursion limit exceeded at line 1 column 128");
}

TEST(Reader, DecodesEscapesAndSurrogatePairs) {
  Sample sample;
  ASSERT_EQ(decode(R"({"count": 0, "label": "\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00\u0000"})", &sample),
            "ok");
  EXPECT_EQ(sample.label, std::string("\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80") + '\0');
}

TEST(Reader, KeepsIntegersExactAtTheEdgesOfTheirRanges) {
  Reader max("18446744073709551615");
  EXPECT_EQ(read_unsigned(max, ~std::uint64_t{0}, "u64").value(), ~std::uint64_t{0});
  Reader min("-9223372036854775808");
  EXPECT_EQ(read_signed(min, "i64").value(), std::numeric_limits<std::int64_t>::min());
  Reader over("9223372036854775808");
  EXPECT_EQ(read_signed(over, "i64").error().message,
            "invalid value: integer `9223372036854775808`, expected i64");
  Reader below("-9223372036854775809");
  EXPECT_EQ(read_signed(below, "i64").error().message,
            "invalid type: floating point `-9.223372036854776e18`, expected i64");
}

TEST(Reader, FormatsFloatsAsTheirShortestRoundTripText) {
  EXPECT_EQ(format_float(5.0), "5.0");
  EXPECT_EQ(format_float(1000.0), "1000.0");
  EXPECT_EQ(format_float(7.25), "7.25");
  EXPECT_EQ(format_float(-0.0), "-0.0");
  EXPECT_EQ(format_float(0.00001), "0.00001");
  EXPECT_EQ(format_float(0.1), "0.1");
  EXPECT_EQ(format_float(1e15), "1000000000000000.0");
  EXPECT_EQ(format_float(1e16), "1e16");
  EXPECT_EQ(format_float(1.5e-7), "1.5e-7");
  EXPECT_EQ(format_float(123456.789), "123456.789");
}

constexpr std::array<std::string_view, 3> kColours = {"red", "green", "blue"};

std::string decode_enum(std::string_view input) {
  Reader reader(input);
  auto variant = read_plain_enum(reader, kColours);
  if (!variant) return variant.error().describe();
  return std::string(kColours[*variant]);
}

TEST(Reader, ReadsPlainEnumerationsAsNamesOrSingleMemberObjects) {
  EXPECT_EQ(decode_enum(R"("green")"), "green");
  EXPECT_EQ(decode_enum(R"({"blue": null})"), "blue");
  EXPECT_EQ(decode_enum(R"("Green")"),
            "unknown variant `Green`, expected one of `red`, `green`, `blue` at line 1 column 7");
  EXPECT_EQ(decode_enum("5"), "expected value at line 1 column 1");
  EXPECT_EQ(decode_enum(R"({"blue": null, "red": null})"), "expected value at line 1 column 13");
  EXPECT_EQ(decode_enum(R"({"blue": 1})"),
            "invalid type: integer `1`, expected unit at line 1 column 10");
  EXPECT_EQ(decode_enum(R"({})"), "expected value at line 1 column 2");
}

std::string decode_tagged(std::string_view input) {
  Reader reader(input);
  auto tagged = read_tagged(reader, "kind", "internally tagged enum Shape", kColours);
  if (!tagged) return tagged.error().describe();
  std::string out(kColours[tagged->variant]);
  for (const auto& [key, value] : tagged->map) out += " " + key + "=" + value.describe();
  for (const auto& value : tagged->seq) out += " " + value.describe();
  return out;
}

TEST(Reader, ReadsTaggedVariantsWithTheTagAnywhere) {
  EXPECT_EQ(decode_tagged(R"({"size": 3, "kind": "red"})"), "red size=integer `3`");
  EXPECT_EQ(decode_tagged(R"(["blue", "x"])"), "blue string \"x\"");
  EXPECT_EQ(decode_tagged(R"({"size": 3})"), "missing field `kind` at line 1 column 11");
  EXPECT_EQ(decode_tagged(R"([])"), "missing field `kind` at line 1 column 2");
  EXPECT_EQ(decode_tagged(R"({"kind": "red", "kind" : "red"})"),
            "duplicate field `kind` at line 1 column 23");
  EXPECT_EQ(decode_tagged(R"({"kind": "pink"})"),
            "unknown variant `pink`, expected one of `red`, `green`, `blue` at line 1 column 15");
  EXPECT_EQ(decode_tagged(R"({"kind": null})"),
            "invalid type: null, expected variant identifier at line 1 column 13");
  EXPECT_EQ(
      decode_tagged(R"("red")"),
      "invalid type: string \"red\", expected internally tagged enum Shape at line 1 column 5");
  // Members other than the tag are read whole: their strings must be UTF-8.
  EXPECT_EQ(decode_tagged("{\"kind\": \"red\", \"x\": \"\xff\"}"),
            "invalid unicode code point at line 1 column 24");
}

TEST(Reader, NeverCrashesOnAnyPrefixOfAValidDocument) {
  const std::string valid =
      R"({"count": 12, "label": "caf\u00e9 \ud83d\ude00", "note": "n", "x": [1.5e3, {"y": null}]})";
  ASSERT_EQ(decode(valid), "ok");
  for (std::size_t length = 0; length < valid.size(); ++length) {
    EXPECT_NE(decode(valid.substr(0, length)), "ok") << length;
  }
}

}  // namespace
}  // namespace varnholt::json
