// The streaming reader where it streams: every construct that the reader reads
// in more than one step (a string held across a refill, an escape whose four
// hex digits are split, a number whose text must stay in the buffer, a string
// longer than the buffer) is put just before, across and just after the end of
// the reader's first buffer, behind whitespace of every kind, and must give the
// same message at the same line and column as anywhere else.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>

#include "varnholt/json/reader.hpp"
#include "varnholt/json/record.hpp"

namespace varnholt::json {
namespace {

struct Counted {
  std::uint32_t count = 0;
};

}  // namespace

template <>
struct Describe<Counted> {
  static constexpr std::string_view expecting = "struct Counted";
  static constexpr std::tuple members{Member{"count", &Counted::count}};
};

namespace {

// Hands the reader its input in pieces of at most `piece` bytes.
class PieceSource final : public Source {
 public:
  PieceSource(std::string_view bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
  std::size_t read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, piece_, bytes_.size()});
    std::copy_n(bytes_.data(), n, buffer);
    bytes_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t piece_;
};

// The streaming reader's buffer: its first refill ends here.
constexpr std::size_t kBuffer = 64;
constexpr std::size_t kWhole = ~std::size_t{0};

std::string decode(Reader& reader) {
  Counted counted;
  auto read = read_value(reader, counted);
  if (read) read = reader.end();
  return read ? "ok" : read.error().describe();
}

// One construct as the value of `count`: the document is `{"count":` then
// `value` then `}`. Each is wrong for a u32 (or broken), so reading it fails
// with `message` at line 1 column `column` when the document starts the input.
struct Construct {
  const char* name;
  std::string value;
  std::string message;
  std::uint64_t column;
};

void PrintTo(const Construct& c, std::ostream* os) {
  *os << c.name;
}

constexpr std::string_view kOpen = R"({"count":)";

const std::string kLong(200, 'x');

const Construct kConstructs[] = {
    // Faults found while consuming, after the offending byte.
    {"invalid escape", R"("ab\qcd")", "invalid escape", kOpen.size() + 5},
    {"bad hex escape", R"("ab\u00Zd")", "invalid escape", kOpen.size() + 9},
    {"not UTF-8", "\"ab\xff\xfe\"", "invalid unicode code point", kOpen.size() + 6},
    {"control character", "\"ab\x01\"",
     "control character (\\u0000-\\u001F) found while parsing a string", kOpen.size() + 4},
    {"lone trailing surrogate", R"("\udc00")", "lone leading surrogate in hex escape",
     kOpen.size() + 7},
    {"misspelt literal", "nulL", "expected ident", kOpen.size() + 4},
    // Faults at a byte looked at but not consumed.
    {"missing comma", "12 34", "expected `,` or `}`", kOpen.size() + 4},
    {"number without fraction digits", "12.}", "invalid number", kOpen.size() + 4},
    // Escapes, multi-byte characters and surrogate pairs, decoded whole.
    {"escapes", R"("a\n\"b\/\u00e9\\")", R"(invalid type: string "a\n\"b/é\\", expected u32)",
     kOpen.size() + 18},
    {"multi-byte characters", "\"é€😀\"", "invalid type: string \"é€😀\", expected u32",
     kOpen.size() + 11},
    {"surrogate pair", R"("\ud83d\ude00")", "invalid type: string \"😀\", expected u32",
     kOpen.size() + 14},
    // Numbers, whose whole text stays in the buffer until read.
    {"integer out of range", "4294967296", "invalid value: integer `4294967296`, expected u32",
     kOpen.size() + 10},
    {"float", "-12.5e3", "invalid type: floating point `-12500.0`, expected u32", kOpen.size() + 7},
    {"integer beyond 64 bits", "123456789012345678901",
     "invalid type: floating point `1.2345678901234568e20`, expected u32", kOpen.size() + 21},
    // A string longer than the buffer, which grows to hold it.
    {"long string", "\"" + kLong + "\"", "invalid type: string \"" + kLong + "\", expected u32",
     kOpen.size() + 202},
};

// Whitespace before the document, made of this unit repeated (and spaces to
// make up the length).
struct Lead {
  const char* name;
  std::string_view unit;
};

void PrintTo(const Lead& lead, std::ostream* os) {
  *os << lead.name;
}

const Lead kLeads[] = {
    {"line feeds", "\n"}, {"CRLF", "\r\n"}, {"tabs", "\t"}, {"mixed", " \r\n\t"}};

std::string lead_of(std::string_view unit, std::size_t length) {
  std::string out;
  while (out.size() + unit.size() <= length) out += unit;
  out.append(length - out.size(), ' ');
  return out;
}

class AcrossTheBuffer : public ::testing::TestWithParam<std::tuple<Construct, Lead>> {};

TEST_P(AcrossTheBuffer, GivesTheSameMessageAndPositionWhereverTheBufferEnds) {
  const auto& [construct, lead] = GetParam();
  const std::string document = std::string(kOpen) + construct.value + "}";
  // The construct starts from just after the buffer's end back to where it
  // ends just before it (or to the input's start, for one longer than the
  // buffer), so the end falls before, in and after each byte.
  const std::size_t latest = kBuffer + 1;
  const std::size_t earliest = construct.value.size() + 1 + kOpen.size() > kBuffer
                                   ? kOpen.size()
                                   : kBuffer - construct.value.size() - 1;
  for (std::size_t start = earliest; start <= latest; ++start) {
    const std::size_t lead_length = start - kOpen.size();
    const std::string before = lead_of(lead.unit, lead_length);
    const std::string input = before + document;
    const auto feeds = static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
    const auto last_feed = before.rfind('\n');
    const std::uint64_t indent =
        last_feed == std::string::npos ? before.size() : before.size() - last_feed - 1;
    const std::string expected = construct.message + " at line " + std::to_string(1 + feeds) +
                                 " column " + std::to_string(indent + construct.column);
    for (const std::size_t piece : {kWhole, std::size_t{1}, std::size_t{3}}) {
      SCOPED_TRACE(testing::Message() << "construct at byte " << start << ", pieces of " << piece);
      PieceSource source(input, piece);
      Reader reader(source, kBuffer);
      EXPECT_EQ(decode(reader), expected);
    }
    // A buffer of one byte, which grows for every token longer than that.
    PieceSource source(input, kWhole);
    Reader tiny(source, 1);
    EXPECT_EQ(decode(tiny), expected) << "buffer of 1 byte, construct at byte " << start;
    Reader whole(input);
    EXPECT_EQ(decode(whole), expected) << "whole input, construct at byte " << start;
  }
}

INSTANTIATE_TEST_SUITE_P(StreamingReader, AcrossTheBuffer,
                         ::testing::Combine(::testing::ValuesIn(kConstructs),
                                            ::testing::ValuesIn(kLeads)));

}  // namespace
}  // namespace varnholt::json
