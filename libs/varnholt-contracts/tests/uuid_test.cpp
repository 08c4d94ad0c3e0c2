#include "varnholt/contracts/uuid.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

namespace {

using varnholt::contracts::TenantId;
using varnholt::contracts::Uuid;
using varnholt::contracts::WorkspaceId;

constexpr const char* kHyphenated = "1a2b3c4d-5e6f-4a8b-9c0d-e1f2a3b4c5d6";
constexpr Uuid::Bytes kBytes = {0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x6f, 0x4a, 0x8b,
                                0x9c, 0x0d, 0xe1, 0xf2, 0xa3, 0xb4, 0xc5, 0xd6};

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

template <typename Case>
std::string case_name(const ::testing::TestParamInfo<Case>& param_info) {
  return param_info.param.name;
}

std::string without_hyphens(std::string s) {
  std::erase(s, '-');
  return s;
}

// ---- accepted forms ---------------------------------------------------------

struct AcceptCase {
  const char* name;
  std::string text;
};

// Test names show the case, not the bytes of the table entry.
void PrintTo(const AcceptCase& c, std::ostream* os) {
  *os << c.name;
}

class UuidAccepts : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(UuidAccepts, ParsesToTheSameBytes) {
  const auto parsed = Uuid::parse(GetParam().text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error();
  EXPECT_EQ(parsed->bytes(), kBytes);
  EXPECT_EQ(parsed->to_string(), kHyphenated);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UuidAccepts,
    ::testing::Values(AcceptCase{"hyphenated", kHyphenated},
                      AcceptCase{"hyphenated_upper", upper(kHyphenated)},
                      AcceptCase{"simple", without_hyphens(kHyphenated)},
                      AcceptCase{"simple_upper", upper(without_hyphens(kHyphenated))},
                      AcceptCase{"braced", std::string("{") + kHyphenated + "}"},
                      AcceptCase{"braced_upper", "{" + upper(kHyphenated) + "}"},
                      AcceptCase{"urn", std::string("urn:uuid:") + kHyphenated},
                      AcceptCase{"urn_upper_digits", "urn:uuid:" + upper(kHyphenated)},
                      AcceptCase{"mixed_case", "1A2b3C4d-5E6f-4A8b-9C0d-E1f2A3b4C5d6"}),
    case_name<AcceptCase>);

// ---- rejected forms and their descriptions -----------------------------------

struct RejectCase {
  const char* name;
  std::string text;
  std::string description;
};

void PrintTo(const RejectCase& c, std::ostream* os) {
  *os << c.name;
}

class UuidRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(UuidRejects, Describes) {
  const auto parsed = Uuid::parse(GetParam().text);
  ASSERT_FALSE(parsed.has_value()) << GetParam().text;
  EXPECT_EQ(parsed.error(), GetParam().description);
}

const std::string kHex32 = without_hyphens(kHyphenated);

INSTANTIATE_TEST_SUITE_P(
    Characters, UuidRejects,
    ::testing::Values(
        RejectCase{"first_char", "z" + kHex32.substr(1, 31) + "abcd",
                   "invalid character: found `z` at 1"},
        RejectCase{"simple_last_char", kHex32.substr(0, 31) + "g",
                   "invalid character: found `g` at 32"},
        RejectCase{"non_ascii_whole_char", "\xC3\xA9" + kHex32.substr(0, 30),
                   "invalid character: found `\xC3\xA9` at 1"},
        RejectCase{"four_byte_char", "ab\xF0\x9F\x98\x80",
                   "invalid character: found `\xF0\x9F\x98\x80` at 3"},
        RejectCase{"invalid_utf8_byte", "ab\xFF", "invalid character: found `\xEF\xBF\xBD` at 3"},
        RejectCase{"space", "1a2b 3c4d", "invalid character: found ` ` at 5"},
        RejectCase{"urn_prefix_wrong_case", std::string("URN:UUID:") + kHyphenated,
                   "invalid character: found `U` at 1"},
        RejectCase{"braced_inner_char", "{1a2b3c4d-5e6f-4a8b-9c0d-e1f2a3b4c5dx}",
                   "invalid character: found `x` at 36"},
        RejectCase{"braced_other_length_char", "{1a2x}", "invalid character: found `x` at 5"},
        RejectCase{"urn_other_length_char", "urn:uuid:1a2x", "invalid character: found `x` at 13"},
        RejectCase{"brace_only_at_start", std::string("{") + kHyphenated,
                   "invalid character: found `{` at 1"},
        RejectCase{"mismatched_braces_38", "(1a2b3c4d-5e6f-4a8b-9c0d-e1f2a3b4c5d6)",
                   "invalid character: found `(` at 1"}),
    case_name<RejectCase>);

INSTANTIATE_TEST_SUITE_P(
    Lengths, UuidRejects,
    ::testing::Values(
        RejectCase{"empty", "", "invalid length: found 0"},
        RejectCase{"hex_3", "123", "invalid length: found 3"},
        RejectCase{"hex_31", kHex32.substr(0, 31), "invalid length: found 31"},
        RejectCase{"hex_33", kHex32 + "a", "invalid length: found 33"},
        RejectCase{"hex_36", kHex32 + "abcd", "invalid length: found 36"},
        // Braced or URN texts of the accepted lengths are judged by their inner 36 bytes.
        RejectCase{"braced_hex_36", "{" + kHex32 + "abcd}", "invalid length: found 36"},
        RejectCase{"urn_hex_36", "urn:uuid:" + kHex32 + "abcd", "invalid length: found 36"}),
    case_name<RejectCase>);

INSTANTIATE_TEST_SUITE_P(
    Groups, UuidRejects,
    ::testing::Values(
        RejectCase{"four_groups", "1a2b3c4d-0000-4000-8000",
                   "invalid group count: expected 5, found 4"},
        RejectCase{"six_groups", std::string(kHyphenated) + "-1",
                   "invalid group count: expected 5, found 6"},
        RejectCase{"simple_with_one_hyphen", "1a2b3c4d5e6f4a8b-9c0d0e1f2a3b4c5",
                   "invalid group count: expected 5, found 2"},
        RejectCase{"only_hyphens", "--", "invalid group count: expected 5, found 3"},
        // Braces or a prefix of another length are stripped, so even a text
        // without hyphens counts as one group.
        RejectCase{"braced_no_hyphen", "{" + kHex32 + "}",
                   "invalid group count: expected 5, found 1"},
        RejectCase{"empty_braces", "{}", "invalid group count: expected 5, found 1"},
        RejectCase{"bare_prefix", "urn:uuid:", "invalid group count: expected 5, found 1"},
        RejectCase{"missing_last_digit", std::string(kHyphenated).substr(0, 35),
                   "invalid group length in group 4: expected 12, found 11"},
        RejectCase{"extra_last_digit", std::string(kHyphenated) + "0",
                   "invalid group length in group 4: expected 12, found 13"},
        RejectCase{"group0_short", "1a2b3c4-d5e6f-4a8b-9c0d-e1f2a3b4c5d6",
                   "invalid group length in group 0: expected 8, found 7"},
        RejectCase{"group1_long", "1a2b3c4d-5e6f4-a8b-9c0d-e1f2a3b4c5d6",
                   "invalid group length in group 1: expected 4, found 5"},
        RejectCase{"group2_short", "1a2b3c4d-5e6f-4a8-b9c0d-e1f2a3b4c5d6",
                   "invalid group length in group 2: expected 4, found 3"},
        RejectCase{"group3_empty", "1a2b3c4d-5e6f-4a8b--9c0de1f2a3b4c5d6",
                   "invalid group length in group 3: expected 4, found 0"},
        RejectCase{"hyphens_in_odd_places_32", "1a2b-3c4d5e6f-4a8b-9c0d-e1f2a3b4",
                   "invalid group length in group 0: expected 8, found 4"},
        RejectCase{"braced_group_short", "{1a2b3c4-5e6f-4a8b-9c0d-e1f2a3b4c5d6}",
                   "invalid group length in group 0: expected 8, found 7"},
        RejectCase{"urn_last_group_short", "urn:uuid:1a2b3c4d-5e6f-4a8b-9c0d-e1f2a3b4c5d",
                   "invalid group length in group 4: expected 12, found 11"}),
    case_name<RejectCase>);

TEST(UuidRejectsUrn, CharacterPositionCountsInsideThePrefix) {
  std::string text = std::string("urn:uuid:") + kHyphenated;
  text.back() = 'z';
  const auto parsed = Uuid::parse(text);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error(), "invalid character: found `z` at 36");
}

TEST(UuidRejectsUrn, CharacterPositionAfterAStrippedPrefix) {
  // 44 bytes: not the URN length, so the prefix is stripped and positions
  // count from the start of the whole text.
  std::string text = std::string("urn:uuid:") + std::string(kHyphenated).substr(0, 35);
  text[9] = 'q';
  const auto parsed = Uuid::parse(text);
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error(), "invalid character: found `q` at 10");
}

// ---- text form and generation ------------------------------------------------

TEST(UuidText, WritesLowerCaseHyphenated) {
  EXPECT_EQ(Uuid(kBytes).to_string(), kHyphenated);
  EXPECT_EQ(Uuid().to_string(), "00000000-0000-0000-0000-000000000000");
  Uuid::Bytes ff{};
  ff.fill(0xff);
  EXPECT_EQ(Uuid(ff).to_string(), "ffffffff-ffff-ffff-ffff-ffffffffffff");
}

TEST(UuidText, AppendKeepsExistingText) {
  std::string out = "id=";
  Uuid(kBytes).append_to(out);
  out += ';';
  EXPECT_EQ(out, std::string("id=") + kHyphenated + ";");
}

TEST(UuidOrder, ByteOrderMatchesTextOrder) {
  std::vector<Uuid> ids;
  for (int i = 0; i < 200; ++i) ids.push_back(Uuid::new_v4());
  std::vector<Uuid> by_bytes = ids;
  std::sort(by_bytes.begin(), by_bytes.end());
  std::sort(ids.begin(), ids.end(),
            [](const Uuid& a, const Uuid& b) { return a.to_string() < b.to_string(); });
  EXPECT_EQ(ids, by_bytes);
}

TEST(UuidGeneration, VersionAndVariantBitsAreSet) {
  std::set<Uuid> seen;
  for (int i = 0; i < 500; ++i) {
    const Uuid id = Uuid::new_v4();
    EXPECT_EQ(id.bytes()[6] >> 4, 4);
    EXPECT_EQ(id.bytes()[8] >> 6, 2);
    const std::string text = id.to_string();
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos);
    const auto parsed = Uuid::parse(text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, id);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 500U);
}

TEST(UuidGeneration, RandomBitsVary) {
  // Every one of the 122 random bits takes both values within a few hundred draws.
  Uuid::Bytes ones{};
  Uuid::Bytes zeros{};
  for (int i = 0; i < 300; ++i) {
    const Uuid::Bytes b = Uuid::new_v4().bytes();
    for (std::size_t k = 0; k < b.size(); ++k) {
      ones[k] = static_cast<std::uint8_t>(ones[k] | b[k]);
      zeros[k] = static_cast<std::uint8_t>(zeros[k] | static_cast<std::uint8_t>(~b[k]));
    }
  }
  for (std::size_t k = 0; k < ones.size(); ++k) {
    SCOPED_TRACE(k);
    const std::uint8_t fixed_mask = k == 6 ? 0xF0 : (k == 8 ? 0xC0 : 0x00);
    EXPECT_EQ(ones[k] | fixed_mask, 0xFF);
    EXPECT_EQ(zeros[k] | fixed_mask, 0xFF);
  }
}

TEST(UuidIds, TypedWrappersShareTheText) {
  const TenantId tenant = TenantId::new_v4();
  EXPECT_EQ(tenant.to_string(), tenant.uuid().to_string());
  EXPECT_NE(TenantId::new_v4(), tenant);
  const WorkspaceId workspace(Uuid{kBytes});
  EXPECT_EQ(workspace.to_string(), kHyphenated);
}

}  // namespace
