#include "varnholt/crypto/canonical.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace varnholt::crypto {
namespace {

using nlohmann::json;

std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return out;
}

const std::string kAcute = utf8(0x301);
const std::string kEAcute = utf8(0xE9);             // precomposed
const std::string kEPlusAcute = "e" + utf8(0x301);  // decomposed

std::string bytes_of(const json& value) {
  auto bytes = canonical_bytes(value);
  EXPECT_TRUE(bytes.has_value()) << (bytes ? "" : bytes.error().message());
  return bytes.value_or("");
}

// The inner text of a failed canonical_bytes.
std::string failure_of(const json& value) {
  auto bytes = canonical_bytes(value);
  if (bytes) {
    ADD_FAILURE() << "expected a failure, got " << *bytes;
    return "";
  }
  const auto* inner = std::get_if<error::CanonicalSerialization>(&bytes.error().variant());
  if (inner == nullptr) {
    ADD_FAILURE() << "not a CanonicalSerialization error: " << bytes.error().message();
    return "";
  }
  return inner->detail;
}

std::string float_text(std::string_view path) {
  return "floating-point number at " + std::string(path) +
         " cannot be canonicalised; use an integer or a decimal string in signed contracts";
}

// ---------------------------------------------------------------------------
// normalize_text

constexpr std::array<char32_t, 7> kMarks = {0x300, 0x301, 0x302, 0x303, 0x308, 0x30A, 0x30C};

struct Row {
  char base;
  std::array<char32_t, 7> composed;  // 0: stays two characters
};

// clang-format off
constexpr std::array<Row, 20> kTable = {{
    {'A', {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0}},
    {'E', {0xC8, 0xC9, 0xCA, 0,    0xCB, 0,    0}},
    {'I', {0xCC, 0xCD, 0xCE, 0,    0xCF, 0,    0}},
    {'O', {0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0,    0}},
    {'U', {0xD9, 0xDA, 0xDB, 0,    0xDC, 0,    0}},
    {'N', {0,    0,    0,    0xD1, 0,    0,    0}},
    {'Y', {0,    0xDD, 0,    0,    0,    0,    0}},
    {'C', {0,    0,    0,    0,    0,    0,    0x10C}},
    {'S', {0,    0,    0,    0,    0,    0,    0x160}},
    {'Z', {0,    0,    0,    0,    0,    0,    0x17D}},
    {'a', {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0}},
    {'e', {0xE8, 0xE9, 0xEA, 0,    0xEB, 0,    0}},
    {'i', {0xEC, 0xED, 0xEE, 0,    0xEF, 0,    0}},
    {'o', {0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0,    0}},
    {'u', {0xF9, 0xFA, 0xFB, 0,    0xFC, 0,    0}},
    {'n', {0,    0,    0,    0xF1, 0,    0,    0}},
    {'y', {0,    0xFD, 0,    0,    0xFF, 0,    0}},
    {'c', {0,    0,    0,    0,    0,    0,    0x10D}},
    {'s', {0,    0,    0,    0,    0,    0,    0x161}},
    {'z', {0,    0,    0,    0,    0,    0,    0x17E}},
}};
// clang-format on

TEST(NormalizeText, EveryCellOfTheCompositionTable) {
  int composed = 0;
  for (const Row& row : kTable) {
    for (std::size_t m = 0; m < kMarks.size(); ++m) {
      const std::string pair = std::string(1, row.base) + utf8(kMarks[m]);
      const std::string expected = row.composed[m] != 0 ? utf8(row.composed[m]) : pair;
      composed += row.composed[m] != 0 ? 1 : 0;
      SCOPED_TRACE(pair);
      EXPECT_EQ(normalize_text(pair), expected);
      // Same pair inside other text, including other non-ASCII characters.
      EXPECT_EQ(normalize_text("x" + pair + "y"), "x" + expected + "y");
      EXPECT_EQ(normalize_text(kEAcute + pair + pair), kEAcute + expected + expected);
    }
  }
  EXPECT_EQ(composed, 57);
}

TEST(NormalizeText, LettersAndMarksOutsideTheTableStayApart) {
  const std::vector<std::string> unchanged = {
      "C" + utf8(0x327),  // cedilla is not in the table
      "Y" + utf8(0x308),  // capital Y has no diaeresis pair
      "o" + utf8(0x30A),  // ring above only on A and a
      "A" + utf8(0x30C),  // caron only on C S Z c s z
      "B" + kAcute,       // not a base letter
      "1" + kAcute,
      utf8(0x3B1) + kAcute,       // Greek alpha
      utf8(0x391) + utf8(0x308),  // Greek capital alpha
      utf8(0x430) + utf8(0x308),  // Cyrillic a
      "a" + utf8(0x304),          // macron
      "a" + utf8(0x30B),          // double acute
      kAcute + "a",               // mark before its letter
      kAcute,
      kEAcute,  // precomposed characters are never decomposed
      utf8(0xC5) + utf8(0x212B),
      "a " + kAcute,
  };
  for (const std::string& text : unchanged) {
    EXPECT_EQ(normalize_text(text), text) << text;
  }
  // y with diaeresis composes although Y with diaeresis does not.
  EXPECT_EQ(normalize_text("y" + utf8(0x308)), utf8(0xFF));
}

TEST(NormalizeText, ComposedCharacterIsNeverCombinedAgain) {
  EXPECT_EQ(normalize_text("A" + kAcute + kAcute), utf8(0xC1) + kAcute);
  EXPECT_EQ(normalize_text("a" + utf8(0x308) + kAcute), utf8(0xE4) + kAcute);
  EXPECT_EQ(normalize_text(kEPlusAcute + kEPlusAcute), kEAcute + kEAcute);
  EXPECT_EQ(normalize_text("ee" + kAcute), "e" + kEAcute);
  EXPECT_EQ(normalize_text("e" + kAcute + "e"), kEAcute + "e");
}

TEST(NormalizeText, AsciiIsCopiedWhateverItsLength) {
  std::string text;
  for (int length = 0; length <= 80; ++length) {
    EXPECT_EQ(normalize_text(text), text);
    text.push_back(static_cast<char>(' ' + length % 95));
  }
  EXPECT_EQ(normalize_text(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(NormalizeText, NonAsciiByteIsFoundAtEveryOffset) {
  // A non-ASCII character in any lane of the word-wise test, head or tail,
  // must still send the text through the walk.
  for (std::size_t length = 1; length <= 70; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      std::string text(length, 'q');
      text.replace(at, 1, kEPlusAcute);
      std::string expected(length, 'q');
      expected.replace(at, 1, kEAcute);
      ASSERT_EQ(normalize_text(text), expected) << length << " " << at;
    }
  }
}

TEST(NormalizeText, InvalidUtf8IsCopiedAndDoesNotHideALetter) {
  EXPECT_EQ(normalize_text("\xFF" + kEPlusAcute), "\xFF" + kEAcute);
  EXPECT_EQ(normalize_text("\xC3" + kEPlusAcute), "\xC3" + kEAcute);
  EXPECT_EQ(normalize_text("a\xCC"), "a\xCC");  // cut mark at the end
  EXPECT_EQ(normalize_text("a\xCC"
                           "a"),
            "a\xCC"
            "a");  // lead byte without its tail
  EXPECT_EQ(normalize_text("\xCC\x81\xCC\x81"), "\xCC\x81\xCC\x81");
  EXPECT_EQ(normalize_text("a\xCC\x81\x81"), "\xC3\xA1\x81");
  EXPECT_EQ(normalize_text("\x80\x80\x80"), "\x80\x80\x80");
}

// ---------------------------------------------------------------------------
// write_value and canonical_bytes: bytes

TEST(CanonicalBytes, Scalars) {
  EXPECT_EQ(bytes_of(json(nullptr)), "null");
  EXPECT_EQ(bytes_of(json(true)), "true");
  EXPECT_EQ(bytes_of(json(false)), "false");
  EXPECT_EQ(bytes_of(json(0)), "0");
  EXPECT_EQ(bytes_of(json(-5)), "-5");
  EXPECT_EQ(bytes_of(json(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(bytes_of(json(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(bytes_of(json(std::numeric_limits<std::int64_t>::max())), "9223372036854775807");
  EXPECT_EQ(bytes_of(json::parse("18446744073709551615")), "18446744073709551615");
  EXPECT_EQ(bytes_of(json::parse("-9223372036854775808")), "-9223372036854775808");
}

TEST(CanonicalBytes, EmptyContainers) {
  EXPECT_EQ(bytes_of(json::object()), "{}");
  EXPECT_EQ(bytes_of(json::array()), "[]");
  EXPECT_EQ(bytes_of(json("")), "\"\"");
  EXPECT_EQ(bytes_of(json::parse(R"({"a":{},"b":[[]]})")), R"({"a":{},"b":[[]]})");
}

TEST(CanonicalBytes, TheTwentyTwoByteExample) {
  json value = json::object();
  value["b"] = json::array({1, "x"});
  value["a"] = nullptr;
  const std::string bytes = bytes_of(value);
  EXPECT_EQ(bytes, R"({"a":null,"b":[1,"x"]})");
  EXPECT_EQ(bytes.size(), 22u);
}

TEST(CanonicalBytes, NoWhitespaceAnywhere) {
  const json value = json::parse(R"( { "k" : [ 1 , { "z" : true , "y" : " s " } ] , "j" : -1 } )");
  EXPECT_EQ(bytes_of(value), R"({"j":-1,"k":[1,{"y":" s ","z":true}]})");
}

struct EscapeCase {
  std::string text;
  std::string written;
};

TEST(CanonicalBytes, StringEscapes) {
  const std::vector<EscapeCase> cases = {
      {"\x01", "\"\\u0001\""},
      {std::string(1, '\0'), "\"\\u0000\""},
      {"\x1F", "\"\\u001f\""},
      {"\x0B", "\"\\u000b\""},
      {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
      {"\"\\", "\"\\\"\\\\\""},
      {"/", "\"/\""},
      {"\x7F", "\"\x7F\""},
      {kEAcute, "\"\xC3\xA9\""},
      {utf8(0x2028) + utf8(0x2029), "\"" + utf8(0x2028) + utf8(0x2029) + "\""},
      {utf8(0x1F600), "\"" + utf8(0x1F600) + "\""},
  };
  for (const auto& [text, written] : cases) {
    EXPECT_EQ(bytes_of(json(text)), written) << text;
    // Keys are written the same way.
    EXPECT_EQ(bytes_of(json::object({{text, 1}})), "{" + written + ":1}") << text;
  }
}

TEST(CanonicalBytes, DecomposedTextIsWrittenPrecomposed) {
  EXPECT_EQ(bytes_of(json(kEPlusAcute)), "\x22\xC3\xA9\x22");
  EXPECT_EQ(bytes_of(json::object({{kEPlusAcute, kEPlusAcute}})), "{\"\xC3\xA9\":\"\xC3\xA9\"}");
  EXPECT_EQ(bytes_of(json::array({json::array({kEPlusAcute})})), "[[\"\xC3\xA9\"]]");
}

TEST(CanonicalBytes, KeysSortByBytes) {
  json value = json::object();
  for (const std::string& key :
       std::vector<std::string>{"b", kEAcute, "aa", "a", "Z", "~", "A", "_"}) {
    value[key] = 0;
  }
  EXPECT_EQ(bytes_of(value),
            R"({"A":0,"Z":0,"_":0,"a":0,"aa":0,"b":0,"~":0,")" + kEAcute + R"(":0})");
}

TEST(CanonicalBytes, KeysSortAfterNormalisation) {
  // "e" + U+0301 sorts before "f" as typed but after it once composed.
  json value = json::object();
  value[kEPlusAcute + "x"] = 1;
  value["f"] = 2;
  value["\x7F"] = 3;
  EXPECT_EQ(bytes_of(value), "{\"f\":2,\"\x7F\":3,\"\xC3\xA9x\":1}");
}

// Records with a JSON form, found by ADL as the manifest's is.
struct Probe {
  std::string right;
  std::uint64_t left;
};
void to_json(json& out, const Probe& probe) {
  out = json::object();
  out["right"] = probe.right;
  out["left"] = probe.left;
}

struct Broken {};
void to_json(json& out, const Broken&) {
  out["number"] = json(1).at("missing");
}

TEST(CanonicalBytes, RecordWithAJsonForm) {
  EXPECT_EQ(canonical_bytes(Probe{"x", 7}).value_or(""), R"({"left":7,"right":"x"})");
}

TEST(CanonicalBytes, RecordWithoutAJsonForm) {
  const auto bytes = canonical_bytes(Broken{});
  ASSERT_FALSE(bytes);
  const auto& inner = std::get<error::CanonicalSerialization>(bytes.error().variant()).detail;
  EXPECT_TRUE(inner.starts_with("value is not representable as JSON: [json.exception.type_error."))
      << inner;
}

// ---------------------------------------------------------------------------
// Failures

struct FloatCase {
  std::string input;
  std::string path;
};

TEST(CanonicalBytes, FloatIsReportedWithItsPath) {
  const std::vector<FloatCase> cases = {
      {"1.5", "<root>"},
      {"1.0", "<root>"},
      {"1e3", "<root>"},
      {"18446744073709551616", "<root>"},
      {"-9223372036854775809", "<root>"},
      {R"({"a":[{"b":0.5}]})", "a.0.b"},
      {R"({"items":[1,2,3.25]})", "items.2"},
      {R"([[0,[1,2.0]]])", "0.1.1"},
      {R"({"x.y":{"":1e-3}})", "x.y."},
      // The member that comes first by its original key is reported first.
      {R"({"b":1.5,"a":[2.5]})", "a.0"},
      {R"({"z":{"c":1.5,"b":{"d":[7,8.5]}}})", "z.b.d.1"},
  };
  for (const auto& [input, path] : cases) {
    EXPECT_EQ(failure_of(json::parse(input)), float_text(path)) << input;
  }
}

TEST(CanonicalBytes, FloatPathUsesTheNormalisedKey) {
  EXPECT_EQ(failure_of(json::object({{kEPlusAcute, json::array({1, 0.5})}})),
            float_text(kEAcute + ".1"));
}

TEST(CanonicalBytes, DuplicateKeyAfterNormalisation) {
  const std::string message =
      "duplicate object key \"" + kEAcute + "\" after Unicode normalisation";
  EXPECT_EQ(failure_of(json::object({{kEPlusAcute, 1}, {kEAcute, 2}})), message);
  EXPECT_EQ(failure_of(json::object({{"k", json::object({{kEPlusAcute, 1}, {kEAcute, 2}})}})),
            message);
  // The key is shown in quoted form, not JSON form.
  EXPECT_EQ(failure_of(json::object({{kEPlusAcute + "\t", 1}, {kEAcute + "\t", 2}})),
            "duplicate object key \"" + kEAcute + "\\t\" after Unicode normalisation");
}

TEST(CanonicalBytes, FloatInsideAnObjectComesBeforeItsDuplicateKey) {
  // The float lies in the member visited last.
  EXPECT_EQ(failure_of(json::object({{kEPlusAcute, 1}, {kEAcute, json::object({{"x", 2.5}})}})),
            float_text(kEAcute + ".x"));
  // The float lies in an unrelated member.
  EXPECT_EQ(failure_of(json::object({{kEPlusAcute, 1}, {kEAcute, 2}, {"a", 0.5}})),
            float_text("a"));
}

TEST(CanonicalBytes, ValueWithoutJsonTextIsRejected) {
  EXPECT_EQ(failure_of(json::object({{"a", json::array({1, json::binary({1, 2})})}})),
            "value is not representable as JSON: binary value at a.1");
}

// ---------------------------------------------------------------------------
// canonicalize

TEST(Canonicalize, BuildsANewValueAndLeavesTheInputAlone) {
  const json input = json::object({{kEPlusAcute, json::array({kEPlusAcute, 1, nullptr})}});
  const json before = input;
  Path path;
  const auto canonical = canonicalize(input, path);
  ASSERT_TRUE(canonical);
  EXPECT_EQ(input, before);
  EXPECT_EQ(*canonical, json::object({{kEAcute, json::array({kEAcute, 1, nullptr})}}));
}

TEST(Canonicalize, StartsFromTheGivenPathAndRestoresIt) {
  Path path;
  path.push("manifest");
  const auto failed = canonicalize(json::parse(R"({"kind":{"x":0.5}})"), path);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), float_text("manifest.kind.x"));
  EXPECT_EQ(path.display(), "manifest");
  ASSERT_TRUE(canonicalize(json::parse(R"({"kind":[1]})"), path));
  EXPECT_EQ(path.display(), "manifest");
}

TEST(Path, DisplayJoinsSegmentsWithoutEscaping) {
  Path path;
  EXPECT_EQ(path.display(), "<root>");
  path.push("a.b");
  path.push("0");
  path.push("");
  EXPECT_EQ(path.display(), "a.b.0.");
  path.pop();
  path.pop();
  EXPECT_EQ(path.display(), "a.b");
}

// canonical_bytes takes a single pass when it can; the result must be the
// bytes (or the error) of canonicalize followed by write_value, whatever the
// input. Random documents mix ASCII and decomposed keys, collisions after
// normalisation, and the odd float.
class RandomDocument {
 public:
  explicit RandomDocument(std::uint32_t seed) : random_(seed) {}

  json value(int depth) {
    // Near the root only containers, at the leaves only scalars.
    const int kind = depth >= 3 ? 6 + pick(3) : pick(depth > 0 ? 9 : 6);
    switch (kind) {
      case 0:
        return nullptr;
      case 1:
        return pick(2) == 0;
      case 2:
        return static_cast<std::int64_t>(random_()) - (1LL << 31);
      case 3:
        return std::numeric_limits<std::uint64_t>::max() - static_cast<std::uint64_t>(pick(3));
      case 4:
        return text();
      case 5:
        return pick(12) == 0 ? json(0.5) : json(text());
      case 6:
      case 7: {
        json object = json::object();
        const int members = pick(6);
        for (int i = 0; i < members; ++i) object[key()] = value(depth - 1);
        return object;
      }
      default: {
        json array = json::array();
        const int elements = pick(5);
        for (int i = 0; i < elements; ++i) array.push_back(value(depth - 1));
        return array;
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(random_() % static_cast<std::uint32_t>(n)); }

  // Keys come from a small pool so that objects often hold two keys that
  // normalise to the same text.
  std::string key() {
    static const std::vector<std::string> keys = {"a",
                                                  "b",
                                                  "Z",
                                                  "",
                                                  "e",
                                                  kEPlusAcute,
                                                  kEAcute,
                                                  "y" + utf8(0x308),
                                                  utf8(0xFF),
                                                  "o" + utf8(0x30A),
                                                  kEPlusAcute + "a",
                                                  kEAcute + "a",
                                                  "\t",
                                                  kAcute};
    return keys[static_cast<std::size_t>(pick(static_cast<int>(keys.size())))];
  }

  std::string text() {
    static const std::vector<std::string> pieces = {
        "a",    "b",           "e",  "Z",         kAcute,       kEAcute, utf8(0x308),
        "y",    utf8(0xFF),    "\t", "\"",        utf8(0x2028), "\x7F",  "_",
        "\x01", utf8(0x1F600), "o",  utf8(0x30A), "\xFF"};
    std::string out;
    const int count = pick(4);
    for (int i = 0; i < count; ++i)
      out += pieces[static_cast<std::size_t>(pick(static_cast<int>(pieces.size())))];
    return out;
  }

  std::mt19937 random_;
};

TEST(CanonicalBytes, SinglePassAgreesWithCanonicalizeAndWrite) {
  int floats = 0;
  int duplicates = 0;
  int successes = 0;
  for (std::uint32_t seed = 0; seed < 3000; ++seed) {
    RandomDocument document(seed);
    const json value = document.value(4);
    const auto bytes = canonical_bytes(value);
    Path path;
    const auto canonical = canonicalize(value, path);
    if (canonical) {
      std::string written;
      write_value(*canonical, written);
      ASSERT_TRUE(bytes) << value.dump();
      ASSERT_EQ(*bytes, written) << value.dump();
      // A canonical value is its own canonical form.
      ASSERT_EQ(bytes_of(*canonical), written);
      ++successes;
    } else {
      ASSERT_FALSE(bytes) << value.dump();
      ASSERT_EQ(bytes.error(), error::CoreError(error::CanonicalSerialization{canonical.error()}));
      (canonical.error().starts_with("floating") ? floats : duplicates)++;
    }
  }
  // Both outcomes must be well represented for the comparison to mean much.
  EXPECT_GT(successes, 1000);
  EXPECT_GT(floats, 200);
  EXPECT_GT(duplicates, 200);
}

}  // namespace
}  // namespace varnholt::crypto
