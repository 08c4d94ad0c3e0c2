#pragma once

// A single-pass JSON reader over bytes for the state file, streamed through a
// small buffer that is reused as it goes.
//
// Why this is written by hand: the state file is read by operators' tools and
// edited by hand, and every message about a bad file is part of the contract,
// down to the line and column. No JSON library reports faults with these exact
// texts and positions, and decoding straight into the records in one pass also
// keeps large delivery logs cheap to load.
//
// Positions. The reader walks the input front to back and knows how many bytes
// it has consumed. The "current position" is that of the last consumed byte;
// the "peek position" is computed as if the next byte were consumed too (at the
// end of the input it equals the current position). A position is reported as
// " at line L column C": L counts the line feeds among the bytes up to it, plus
// one; C counts the bytes after the last such line feed.
//
// - Faults in a byte that was looked at but not consumed (a missing colon or
//   comma, a value that cannot start here, trailing characters, the nesting
//   limit) are reported at the peek position.
// - Faults found while consuming (a misspelt literal, a bad number, a bad
//   escape, a control character, bytes that are not UTF-8) are reported at the
//   current position after the offending byte; bytes that are not UTF-8 are
//   found once the string's closing quote has been read.
// - Faults of meaning (wrong type, out of range, unknown name, missing or
//   duplicate member, a bad identifier, signature or timestamp text) have no
//   position of their own. They take the current position at the first moment
//   one is known: right after a scalar that was read for a field and is wrong
//   for it; just before an object or array that stands where a scalar belongs;
//   or, for a record that found a fault while reading its members, after the
//   record skipped whitespace and consumed its closing bracket if that was next.
//
// Every object or array read into a value counts toward a nesting limit of
// 128; values of unknown members are skipped whatever their depth, only
// checked for well-formed JSON.
//
// Memory. Bytes are read from a `Source` into a buffer that keeps only what
// is still needed: the token being read (a string is held whole, however long)
// and, for a caller that matches ahead (`ensure`), what it asked for. Line
// numbers come from a running count of the line feeds passed, so nothing
// before the buffer is needed to place a fault.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnholt::json {

// A place in the input: line counted from 1, column in bytes from 0.
struct Position {
  std::uint64_t line = 1;
  std::uint64_t column = 0;
  friend bool operator==(const Position&, const Position&) = default;
};

struct DecodeError {
  std::string message;
  // Where the reader stood when the position became known; empty until then.
  std::optional<Position> position;

  // The message with " at line L column C" when the position is known.
  [[nodiscard]] std::string describe() const;
};

template <typename T>
using Decoded = std::expected<T, DecodeError>;

inline std::unexpected<DecodeError> fail(std::string message) {
  return std::unexpected(DecodeError{std::move(message), std::nullopt});
}

// Where a streaming reader's bytes come from.
class Source {
 public:
  Source() = default;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  virtual ~Source() = default;
  // Reads up to `size` bytes into `buffer`; 0 at the end. A source that fails
  // keeps its own error and ends.
  virtual std::size_t read(char* buffer, std::size_t size) = 0;
};

// A JSON number as read: non-negative integers as unsigned, negative integers
// as signed, anything with a fraction, an exponent, or beyond both 64-bit
// ranges as a double ("-0" too).
struct Number {
  enum class Kind : std::uint8_t { Unsigned, Signed, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
};

// How a value is shown in "invalid type" and "invalid value" messages:
// "integer `5`", "floating point `5.0`", "string \"x\"", "null", ...
std::string describe_number(const Number& number);
std::string describe_string(std::string_view text);
std::string format_float(double value);

// A value read whole before it is interpreted (the bodies of tagged variants).
struct Content {
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Seq, Map };
  Kind kind = Kind::Null;
  bool boolean = false;
  Number number;
  std::string string;
  std::vector<Content> seq;
  std::vector<std::pair<std::string, Content>> map;  // in input order, duplicates kept

  [[nodiscard]] std::string describe() const;
};

class Reader {
 public:
  static constexpr int kDepthLimit = 128;

  static constexpr std::size_t kDefaultBuffer = std::size_t{1} << 18;

  // Reads `input`, held whole in memory.
  explicit Reader(std::string_view input) noexcept
      : begin_(input.data()), p_(input.data()), end_(input.data() + input.size()) {}
  // Reads from `source` through a buffer of `buffer_size` bytes, which grows
  // only to hold a longer token.
  explicit Reader(Source& source, std::size_t buffer_size = kDefaultBuffer);
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader();

  // --- bytes -----------------------------------------------------------------
  [[nodiscard]] std::optional<std::uint8_t> peek() {
    if (p_ == end_ && !refill()) return std::nullopt;
    return static_cast<std::uint8_t>(*p_);
  }
  void eat() noexcept { ++p_; }
  // Skips whitespace (space, tab, line feed, carriage return) and peeks.
  std::optional<std::uint8_t> parse_whitespace() {
    keep_ = nullptr;
    // Every byte above the space is a token's; the usual case, checked here.
    if (p_<end_&& static_cast<std::uint8_t>(*p_)> ' ') return static_cast<std::uint8_t>(*p_);
    return skip_whitespace();
  }

  // --- positions -------------------------------------------------------------
  [[nodiscard]] DecodeError error(std::string message);
  [[nodiscard]] DecodeError peek_error(std::string message);
  // Gives a fault without a position the current one.
  [[nodiscard]] DecodeError fix(DecodeError error);
  // How many bytes have been consumed.
  [[nodiscard]] std::uint64_t offset() const noexcept {
    return base_ + static_cast<std::uint64_t>(p_ - begin_);
  }

  // --- matching ahead ----------------------------------------------------------
  // For readers of a known layout that look at many bytes at once: makes at
  // least `count` bytes available from the current one (fewer only at the
  // end of the input) and returns them. They stay valid until `advance` or
  // the next read.
  [[nodiscard]] std::string_view ensure(std::size_t count);
  // Consumes `count` bytes of what `ensure` returned, of which `line_feeds`
  // are line feeds, the last of them `after_last_feed` bytes before the end.
  void advance(std::size_t count, std::uint64_t line_feeds, std::size_t after_last_feed) noexcept;

  // --- nesting ---------------------------------------------------------------
  // Call before consuming an opening bracket that starts a value being read.
  [[nodiscard]] Decoded<void> enter();
  void leave() noexcept { ++remaining_depth_; }

  // --- objects and arrays ----------------------------------------------------
  // Before each member: false at the closing brace (not consumed), true when a
  // key follows (its opening quote not consumed yet).
  [[nodiscard]] Decoded<bool> has_next_key(bool& first) { return has_next(first, '}'); }
  // Reads the member's key (consuming the opening quote) as UTF-8 text.
  [[nodiscard]] Decoded<std::string_view> parse_key();
  [[nodiscard]] Decoded<void> parse_object_colon();
  // Before each element: false at the closing bracket (not consumed).
  [[nodiscard]] Decoded<bool> has_next_element(bool& first) { return has_next(first, ']'); }
  // After the last member / element: consumes the closing bracket.
  Decoded<void> end_map();
  Decoded<void> end_seq();
  // After the root value: only whitespace may follow.
  [[nodiscard]] Decoded<void> end();

  // --- scalars ---------------------------------------------------------------
  // A string whose opening quote was consumed; checked for UTF-8. The view is
  // valid until the next string is read.
  [[nodiscard]] Decoded<std::string_view> parse_str();
  // The same, appended to `out` as it is read: a long string is never held
  // in the buffer as well.
  [[nodiscard]] Decoded<void> parse_str_into(std::string& out);
  // A number; for a negative one the "-" was consumed and positive is false.
  [[nodiscard]] Decoded<Number> parse_integer(bool positive);
  // The rest of a literal whose first byte was consumed.
  [[nodiscard]] Decoded<void> parse_ident(std::string_view rest);
  // Passes over one whole value, only checking that it is well-formed.
  [[nodiscard]] Decoded<void> ignore_value();
  // Any value, read whole.
  [[nodiscard]] Decoded<Content> parse_content();

  // The fault for a value that is not of the `expected` kind: a scalar is
  // consumed so it can be described; a bracket is not.
  [[nodiscard]] DecodeError peek_invalid_type(std::string_view expected);

 private:
  Decoded<bool> has_next(bool& first, char close);
  std::optional<std::uint8_t> skip_whitespace();
  // Moves past the bytes of a string that need no attention.
  void skip_plain_string_bytes() noexcept;
  Decoded<void> ignore_str();
  Decoded<void> ignore_escape();
  Decoded<void> ignore_integer();
  Decoded<void> ignore_decimal();
  Decoded<void> ignore_exponent();
  Decoded<void> parse_escape();
  Decoded<void> parse_unicode_escape();
  Decoded<std::uint16_t> decode_hex_escape();
  Decoded<Number> parse_number_tail(bool positive, std::uint64_t significand);
  Decoded<Number> finish_float();
  // Reads more of the source; false at its end. Bytes from `keep_` on (or
  // from the current one) are kept.
  bool refill();
  // Counts the line feeds up to `offset`, which must still be in the buffer.
  [[nodiscard]] Position position_at(std::uint64_t offset);
  [[nodiscard]] std::size_t remaining() const noexcept {
    return static_cast<std::size_t>(end_ - p_);
  }

  const char* begin_;           // the buffer (or the whole input)
  const char* p_;               // the next byte
  const char* end_;             // after the last byte read so far
  const char* keep_ = nullptr;  // the start of the token being read
  std::uint64_t base_ = 0;      // offset of begin_ in the input
  Source* source_ = nullptr;
  char* storage_ = nullptr;
  std::size_t capacity_ = 0;
  bool source_ended_ = true;
  // The running count of line feeds: `feeds_` of them before `counted_to_`,
  // the last one ending at `line_start_`.
  std::uint64_t counted_to_ = 0;
  std::uint64_t feeds_ = 0;
  std::uint64_t line_start_ = 0;
  int remaining_depth_ = kDepthLimit;
  std::string scratch_;
};

// --- containers ----------------------------------------------------------------

enum class Brackets : std::uint8_t { Object, Array, Either };

// An object or array read by `body(is_object)`, which reads its members or
// elements but not the closing bracket. Anything else fails with "invalid
// type: ..., expected `expected`". A fault without a position found by the
// body is placed after the closing bracket, when that is the next byte.
template <typename Body>
[[nodiscard]] Decoded<void> read_container(Reader& reader, std::string_view expected,
                                           Brackets brackets, Body&& body);

// Every element of an array, each read by `element(reader)`.
template <typename Element>
[[nodiscard]] Decoded<void> for_each_element(Reader& reader, Element&& element);

// Every member of an object, each read by `member(reader, key)`, which may
// judge the key first and then reads the colon (parse_object_colon) and the
// value. The key is valid only until the next string is read.
template <typename Member>
[[nodiscard]] Decoded<void> for_each_member(Reader& reader, Member&& member);

// --- typed reading -------------------------------------------------------------

// Reads a JSON string; any other value fails with "invalid type: ..., expected
// `expected`".
[[nodiscard]] Decoded<std::string> read_string(Reader& reader,
                                               std::string_view expected = "a string");
// Like read_string, then lets `convert` judge the text; its failure is reported
// right after the string.
template <typename Convert>
[[nodiscard]] auto read_string_as(Reader& reader, std::string_view expected, Convert&& convert)
    -> decltype(convert(std::string_view{}));
// null, or a string.
[[nodiscard]] Decoded<std::optional<std::string>> read_optional_string(Reader& reader);

// An integer of the given type; "u8", "u16", "u32", "u64" or "i64" names it in
// messages.
[[nodiscard]] Decoded<std::uint64_t> read_unsigned(Reader& reader, std::uint64_t max,
                                                   std::string_view type_name);
[[nodiscard]] Decoded<std::int64_t> read_signed(Reader& reader, std::string_view type_name);

// An enumeration written as its name: a string, or an object with one member
// named after the variant whose value is null. Returns the variant's index.
[[nodiscard]] Decoded<std::size_t> read_plain_enum(Reader& reader,
                                                   std::span<const std::string_view> names);
// The same rules applied to a value that was already read whole.
[[nodiscard]] Decoded<std::size_t> content_to_plain_enum(const Content& content,
                                                         std::span<const std::string_view> names);

// "unknown variant `x`, expected one of `a`, `b`, `c`"
[[nodiscard]] std::string unknown_variant(std::string_view name,
                                          std::span<const std::string_view> names);

// A variant identifier (a string naming one of `names`).
[[nodiscard]] Decoded<std::size_t> read_variant_identifier(Reader& reader,
                                                           std::span<const std::string_view> names);

// A tagged variant read whole: the object with its tag member (anywhere among
// the members), or the array form whose first element is the tag.
struct Tagged {
  std::size_t variant = 0;
  bool is_seq = false;
  std::vector<Content> seq;                          // array form: the members after the tag
  std::vector<std::pair<std::string, Content>> map;  // object form: the members but the tag
};
// `expecting` describes the enumeration in messages ("internally tagged enum X").
[[nodiscard]] Decoded<Tagged> read_tagged(Reader& reader, std::string_view tag,
                                          std::string_view expecting,
                                          std::span<const std::string_view> variants);

// Conversions of buffered values for the members of tagged variants.
[[nodiscard]] Decoded<std::string> content_to_string(const Content& content);
[[nodiscard]] Decoded<std::uint64_t> content_to_unsigned(const Content& content, std::uint64_t max,
                                                         std::string_view type_name);

// --- records ---------------------------------------------------------------------

// One member of a record read from the input.
template <typename T>
struct Field {
  std::string_view name;
  Decoded<void> (*read)(Reader&, T&);
  bool optional = false;  // may be missing (left as it is)
};

// A record: an object with its members in any order (unknown members skipped,
// missing and duplicate members refused), or an array of its members' values in
// order. `expecting` is "struct Name" and names the record in messages.
template <typename T, std::size_t N>
[[nodiscard]] Decoded<void> read_record(Reader& reader, T& out, std::string_view expecting,
                                        const std::array<Field<T>, N>& fields);
// The same, with every member's value read by `read_member(index, reader,
// out)` instead of by the table's own function: a reader that carries state
// of its own (what it found so far, whom to tell) reads some members itself.
template <typename T, std::size_t N, typename ReadMember>
[[nodiscard]] Decoded<void> read_record(Reader& reader, T& out, std::string_view expecting,
                                        const std::array<Field<T>, N>& fields,
                                        ReadMember&& read_member);

// One member of a tagged variant's body, read from a buffered value.
template <typename T>
struct ContentField {
  std::string_view name;
  Decoded<void> (*read)(const Content&, T&);
};

// The body of a tagged variant. `expecting` is "struct variant Enum::Variant".
template <typename T, std::size_t N>
[[nodiscard]] Decoded<void> read_variant_body(const Tagged& tagged, T& out,
                                              std::string_view expecting,
                                              const std::array<ContentField<T>, N>& fields);

std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
std::string invalid_length(std::size_t found, std::string_view expected);
std::string invalid_type(std::string_view found, std::string_view expected);

}  // namespace varnholt::json

#include "varnholt/json/reader_impl.hpp"
