#include "varnholt/json/writer.hpp"

#include <gtest/gtest.h>

#include "varnholt/json/escape.hpp"

namespace varnholt::json {
namespace {

void write_sample(Writer& writer) {
  writer.begin_object();
  writer.key("b");
  writer.begin_array();
  writer.unsigned_number(1);
  writer.signed_number(-2);
  writer.end_array();
  writer.key("empty_object");
  writer.begin_object();
  writer.end_object();
  writer.key("empty_array");
  writer.begin_array();
  writer.end_array();
  writer.key("a");
  writer.null();
  writer.key("s");
  writer.string("x");
  writer.end_object();
}

TEST(Writer, PrettyLayoutIndentsTwoSpacesAndEndsWithoutLineFeed) {
  std::string out;
  Writer writer(out, Writer::Layout::Pretty);
  write_sample(writer);
  EXPECT_EQ(out,
            "{\n  \"b\": [\n    1,\n    -2\n  ],\n  \"empty_object\": {},\n  \"empty_array\": [],\n"
            "  \"a\": null,\n  \"s\": \"x\"\n}");
}

TEST(Writer, CompactLayoutHasNoWhitespaceAndKeepsMemberOrder) {
  std::string out;
  Writer writer(out, Writer::Layout::Compact);
  write_sample(writer);
  EXPECT_EQ(out, R"({"b":[1,-2],"empty_object":{},"empty_array":[],"a":null,"s":"x"})");
}

TEST(Escape, EscapesOnlyQuotesBackslashesAndControlCharacters) {
  std::string out;
  append_string(out, std::string("\"\\/\b\t\n\f\r\x01\x1f\x7f\xC3\xA9\xE2\x80\xA8") + '\0');
  EXPECT_EQ(out, std::string(
                     "\"\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xC3\xA9\xE2\x80\xA8\\u0000\""));
}

}  // namespace
}  // namespace varnholt::json
