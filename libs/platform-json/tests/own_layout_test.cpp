#include "varnholt/json/own_layout.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "varnholt/json/escape.hpp"
#include "varnholt/json/writer.hpp"

namespace varnholt::json {
namespace {

struct Inner {
  std::uint32_t n = 0;
  std::string s;
  bool operator==(const Inner&) const = default;
};
struct Outer {
  std::string name;
  std::vector<Inner> items;
};

}  // namespace

template <>
struct Describe<Inner> {
  static constexpr std::string_view expecting = "struct Inner";
  static constexpr std::tuple members{Member{"n", &Inner::n}, Member{"s", &Inner::s}};
};
template <>
struct Describe<Outer> {
  static constexpr std::string_view expecting = "struct Outer";
  static constexpr std::tuple members{Member{"name", &Outer::name}, Member{"items", &Outer::items}};
};

namespace {

// Matches a string as the writer writes it; nullopt when it is not matched.
std::optional<std::string> match_string(std::string_view written) {
  own::Cursor in(written);
  std::string out;
  if (!in.string(out) || in.consumed() != written.size()) return std::nullopt;
  return out;
}

TEST(OwnLayout, MatchesEveryByteAsTheWriterEscapesIt) {
  for (int byte = 0; byte < 0x80; ++byte) {
    const std::string text = std::string("a") + static_cast<char>(byte) + "b";
    std::string written;
    append_string(written, text);
    EXPECT_EQ(match_string(written), text) << "byte " << byte;
  }
}

TEST(OwnLayout, LeavesEscapesTheWriterDoesNotWriteToTheReader) {
  for (const std::string_view written :
       {R"("\/")", R"("\u000a")", R"("\u001F")", R"("\u0041")", R"("\u00e9")", R"("\q")",
        "\"\x01\"", "\"\xff\"", R"("\u00)"}) {
    EXPECT_EQ(match_string(written), std::nullopt) << written;
  }
  own::Cursor short_one(R"("ab\u00)");
  std::string out;
  EXPECT_FALSE(short_one.string(out));
  EXPECT_TRUE(short_one.ran_short());
}

TEST(OwnLayout, MatchesWhatTheWriterWritesAroundItsHole) {
  Outer outer{"x", {}};
  std::string text;
  Writer writer(text, Writer::Layout::Pretty);
  writer.leave_hole_at(&outer.items);
  write_value(writer, outer);
  const auto hole = writer.hole();
  ASSERT_TRUE(hole);
  EXPECT_EQ(hole->depth, 2u);
  EXPECT_EQ(text.substr(0, hole->offset), "{\n  \"name\": \"x\",\n  \"items\": [");
  EXPECT_EQ(text.substr(hole->offset), "]\n}");

  // Elements written into the hole at its depth, with the breaks around them,
  // make the text the writer writes for the whole record.
  const std::vector<Inner> items = {{1, "a\"\n"}, {23, ""}};
  const auto breaks = pretty_element_breaks(hole->depth);
  std::string filled = text.substr(0, hole->offset);
  std::string elements;
  for (std::size_t i = 0; i < items.size(); ++i) {
    elements += i == 0 ? breaks.first : breaks.next;
    Writer element(elements, Writer::Layout::Pretty, Writer::Order::Declared, hole->depth);
    write_value(element, items[i]);
  }
  filled += elements + breaks.last + text.substr(hole->offset);
  outer.items = items;
  std::string whole;
  Writer all(whole, Writer::Layout::Pretty);
  write_value(all, outer);
  EXPECT_EQ(filled, whole);

  // And the matcher reads the elements back, piece by piece.
  own::Cursor in(elements);
  const own::Piece first(breaks.first);
  const own::Piece next(breaks.next);
  for (std::size_t i = 0; i < items.size(); ++i) {
    Inner got;
    ASSERT_TRUE(in.literal(i == 0 ? first : next));
    ASSERT_TRUE((own::match<Inner, 2>(in, got)));
    EXPECT_EQ(got, items[i]);
  }
  EXPECT_EQ(in.consumed(), elements.size());
}

}  // namespace
}  // namespace varnholt::json
