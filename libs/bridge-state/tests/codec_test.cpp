#include "corvane/state/codec.hpp"

#include <gtest/gtest.h>

#include "state_samples.hpp"

namespace corvane::state {
namespace {

TEST(StateText, FreshStateHasTheExactLayout) {
  EXPECT_EQ(encode_state(fresh_state()), fresh_layout());
}

TEST(StateText, WrittenStateReadsBackAndWritesBackByteForByte) {
  const auto state = rich_state();
  const auto text = encode_state(state);
  const auto decoded = decode_state(text);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(*decoded, state);
  EXPECT_EQ(encode_state(*decoded), text);
}

TEST(StateText, OtherFormsReadAndAreRewrittenInTheCanonicalLayout) {
  const std::string seed =
      "[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,"
      "27,28,29,30,31,32]";
  const std::string text =
      "\t{\"unknown\": {\"a\": [1, {}]},\r\n \"router\": {\"policy\": [5, 30, 3600],"
      " \"deliveries\": [], \"x\": null, \"connectors\": {}},"
      " \"approval_seed\": " +
      seed + ", \"tenant_id\": \"5F0C8A3E1D2B4C6A9E7F0A1B2C3D4E5F\"} \n";
  const auto decoded = decode_state(text);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(encode_state(*decoded), fresh_layout());
}

TEST(StateText, EveryTruncationOfAValidFileIsAnErrorNeverACrash) {
  const auto text = encode_state(rich_state());
  for (std::size_t length = 0; length + 1 < text.size(); ++length) {
    const auto decoded = decode_state(std::string_view(text).substr(0, length));
    ASSERT_FALSE(decoded) << "prefix of " << length << " bytes decoded";
    EXPECT_NE(decoded.error().find(" at line "), std::string::npos) << decoded.error();
  }
}

TEST(StateText, SeedMustHoldExactly32Bytes) {
  const auto text = fresh_layout();
  const auto with = [&](std::string_view from, std::string_view to) {
    return decode_state(std::string(text).replace(text.find(from), from.size(), to)).error();
  };
  EXPECT_EQ(with(",\n    32", ""),
            "invalid length 31, expected an array of length 32 at line 35 column 3");
  EXPECT_EQ(with("    32", "    32,\n    33"), "trailing characters at line 36 column 5");
  EXPECT_EQ(with("    32", "    256"),
            "invalid value: integer `256`, expected u8 at line 35 column 7");
}

}  // namespace
}  // namespace corvane::state
