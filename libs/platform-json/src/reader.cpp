#include "varnholt/json/reader.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "string_bytes.hpp"
#include "varnholt/error/core_error.hpp"
#include "varnholt/text/hex.hpp"
#include "varnholt/text/utf8.hpp"

namespace varnholt::json {
namespace {

constexpr bool is_digit(std::uint8_t byte) {
  return byte >= '0' && byte <= '9';
}

// True when the mantissa of a number's text (before any exponent) is not zero.
bool has_nonzero_digit(std::string_view text) {
  for (const char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c >= '1' && c <= '9') return true;
  }
  return false;
}

}  // namespace

// --- descriptions ------------------------------------------------------------------

std::string DecodeError::describe() const {
  if (!position) return message;
  return fmt::format("{} at line {} column {}", message, position->line, position->column);
}

// Shortest text that reads back to the same double: positional for magnitudes
// from 1e-5 up to 1e16, scientific beyond ("1e16", "1.5e-7"), and ".0" after a
// whole number.
std::string format_float(double value) {
  if (!std::isfinite(value)) return value > 0 ? "inf" : (value < 0 ? "-inf" : "NaN");
  std::string out;
  if (std::signbit(value)) out.push_back('-');
  value = std::fabs(value);
  if (value == 0) return out + "0.0";
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const auto e = sci.find('e');
  std::string digits;
  for (const char c : sci.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exponent);
  const int length = static_cast<int>(digits.size());
  const int kk = exponent + 1;  // 10^(kk-1) <= value < 10^kk
  const int k = kk - length;    // value = digits * 10^k
  if (k >= 0 && kk <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(k), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    out += digits.substr(0, static_cast<std::size_t>(kk));
    out.push_back('.');
    out += digits.substr(static_cast<std::size_t>(kk));
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else {
    out.push_back(digits[0]);
    if (length > 1) {
      out.push_back('.');
      out += digits.substr(1);
    }
    out += fmt::format("e{}", kk - 1);
  }
  return out;
}

std::string describe_number(const Number& number) {
  switch (number.kind) {
    case Number::Kind::Unsigned:
      return fmt::format("integer `{}`", number.u);
    case Number::Kind::Signed:
      return fmt::format("integer `{}`", number.i);
    case Number::Kind::Float:
      return fmt::format("floating point `{}`", format_float(number.f));
  }
  return {};
}

std::string describe_string(std::string_view text) {
  std::string out = "string ";
  varnholt::error::append_quoted(out, text);
  return out;
}

std::string Content::describe() const {
  switch (kind) {
    case Kind::Null:
      return "null";
    case Kind::Bool:
      return boolean ? "boolean `true`" : "boolean `false`";
    case Kind::Number:
      return describe_number(number);
    case Kind::String:
      return describe_string(string);
    case Kind::Seq:
      return "sequence";
    case Kind::Map:
      return "map";
  }
  return {};
}

std::string missing_field(std::string_view name) {
  return fmt::format("missing field `{}`", name);
}
std::string duplicate_field(std::string_view name) {
  return fmt::format("duplicate field `{}`", name);
}
std::string invalid_length(std::size_t found, std::string_view expected) {
  return fmt::format("invalid length {}, expected {}", found, expected);
}
std::string invalid_type(std::string_view found, std::string_view expected) {
  return fmt::format("invalid type: {}, expected {}", found, expected);
}

std::string unknown_variant(std::string_view name, std::span<const std::string_view> names) {
  std::string out = fmt::format("unknown variant `{}`, expected ", name);
  if (names.size() == 1) return out + fmt::format("`{}`", names[0]);
  if (names.size() == 2) return out + fmt::format("`{}` or `{}`", names[0], names[1]);
  out += "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += fmt::format("`{}`", names[i]);
  }
  return out;
}

// --- the buffer --------------------------------------------------------------------

namespace {

// Counts the line feeds in [from, to), noting where the line after the last
// one starts (an offset `base` stands for `from`).
void count_feeds(const char* from, const char* to, std::uint64_t base, std::uint64_t& feeds,
                 std::uint64_t& line_start) {
  const char* p = from;
  while (p < to) {
    const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(to - p));
    if (hit == nullptr) break;
    p = static_cast<const char*>(hit) + 1;
    ++feeds;
    line_start = base + static_cast<std::uint64_t>(p - from);
  }
}

}  // namespace

Reader::Reader(Source& source, std::size_t buffer_size)
    : begin_(nullptr),
      p_(nullptr),
      end_(nullptr),
      source_(&source),
      storage_(new char[std::max<std::size_t>(buffer_size, 1)]),
      capacity_(std::max<std::size_t>(buffer_size, 1)),
      source_ended_(false) {
  begin_ = p_ = end_ = storage_;
}

Reader::~Reader() {
  delete[] storage_;
}

bool Reader::refill() {
  if (source_ended_) return false;
  // Everything before the token being read is done with: its line feeds are
  // counted and its bytes make room.
  const char* keep = keep_ != nullptr && keep_ < p_ ? keep_ : p_;
  const auto drop = static_cast<std::size_t>(keep - begin_);
  if (drop > 0) {
    const std::uint64_t dropped_to = base_ + drop;
    if (counted_to_ < dropped_to) {
      count_feeds(begin_ + (counted_to_ - base_), keep, counted_to_, feeds_, line_start_);
      counted_to_ = dropped_to;
    }
    std::memmove(storage_, keep, static_cast<std::size_t>(end_ - keep));
    base_ = dropped_to;
    p_ -= drop;
    end_ -= drop;
    if (keep_ != nullptr) keep_ -= drop;
  }
  if (end_ == storage_ + capacity_) {
    // A token longer than the buffer: the buffer grows to hold it.
    const std::size_t capacity = capacity_ * 2;
    char* storage = new char[capacity];
    std::memcpy(storage, storage_, capacity_);
    p_ = storage + (p_ - storage_);
    end_ = storage + (end_ - storage_);
    if (keep_ != nullptr) keep_ = storage + (keep_ - storage_);
    delete[] storage_;
    storage_ = storage;
    capacity_ = capacity;
  }
  begin_ = storage_;
  const std::size_t n =
      source_->read(const_cast<char*>(end_), static_cast<std::size_t>(storage_ + capacity_ - end_));
  if (n == 0) {
    source_ended_ = true;
    return false;
  }
  end_ += n;
  return true;
}

std::string_view Reader::ensure(std::size_t count) {
  keep_ = nullptr;  // a token read before is done with
  while (remaining() < count && refill()) {
  }
  return {p_, remaining()};
}

void Reader::advance(std::size_t count, std::uint64_t line_feeds,
                     std::size_t after_last_feed) noexcept {
  const std::uint64_t start = offset();
  p_ += count;
  keep_ = nullptr;
  if (counted_to_ == start) {
    // Counted already by the caller: nothing to count again.
    counted_to_ = offset();
    if (line_feeds > 0) {
      feeds_ += line_feeds;
      line_start_ = counted_to_ - after_last_feed;
    }
  }
}

// --- positions ---------------------------------------------------------------------

Position Reader::position_at(std::uint64_t offset) {
  std::uint64_t feeds = feeds_;
  std::uint64_t line_start = line_start_;
  if (offset > counted_to_) {
    count_feeds(begin_ + (counted_to_ - base_), begin_ + (offset - base_), counted_to_, feeds,
                line_start);
  }
  return {1 + feeds, offset - line_start};
}

std::optional<std::uint8_t> Reader::skip_whitespace() {
  for (;;) {
    while (p_ < end_) {
      const char c = *p_;
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<std::uint8_t>(c);
      ++p_;
    }
    if (!refill()) return std::nullopt;
  }
}

DecodeError Reader::error(std::string message) {
  return {std::move(message), position_at(offset())};
}

DecodeError Reader::peek_error(std::string message) {
  const bool more = p_ < end_ || refill();
  return {std::move(message), position_at(offset() + (more ? 1 : 0))};
}

DecodeError Reader::fix(DecodeError error) {
  if (!error.position) error.position = position_at(offset());
  return error;
}

Decoded<void> Reader::enter() {
  if (--remaining_depth_ == 0) {
    ++remaining_depth_;
    return std::unexpected(peek_error("recursion limit exceeded"));
  }
  return {};
}

// --- objects and arrays ------------------------------------------------------------

Decoded<bool> Reader::has_next(bool& first, char close) {
  const bool object = close == '}';
  auto peek = parse_whitespace();
  if (!peek) {
    return std::unexpected(
        peek_error(object ? "EOF while parsing an object" : "EOF while parsing a list"));
  }
  if (*peek == close) return false;
  if (*peek == ',' && !first) {
    eat();
    peek = parse_whitespace();
  } else if (first) {
    first = false;
  } else {
    return std::unexpected(peek_error(object ? "expected `,` or `}`" : "expected `,` or `]`"));
  }
  if (!peek) return std::unexpected(peek_error("EOF while parsing a value"));
  if (*peek == close) return std::unexpected(peek_error("trailing comma"));
  if (object && *peek != '"') return std::unexpected(peek_error("key must be a string"));
  return true;
}

Decoded<std::string_view> Reader::parse_key() {
  eat();
  return parse_str();
}

Decoded<void> Reader::parse_object_colon() {
  const auto peek = parse_whitespace();
  if (!peek) return std::unexpected(peek_error("EOF while parsing an object"));
  if (*peek != ':') return std::unexpected(peek_error("expected `:`"));
  eat();
  return {};
}

Decoded<void> Reader::end_map() {
  const auto peek = parse_whitespace();
  if (!peek) return std::unexpected(peek_error("EOF while parsing an object"));
  if (*peek == '}') {
    eat();
    return {};
  }
  if (*peek == ',') return std::unexpected(peek_error("trailing comma"));
  return std::unexpected(peek_error("trailing characters"));
}

Decoded<void> Reader::end_seq() {
  const auto peek = parse_whitespace();
  if (!peek) return std::unexpected(peek_error("EOF while parsing a list"));
  if (*peek == ']') {
    eat();
    return {};
  }
  if (*peek == ',') {
    eat();
    if (parse_whitespace() == std::optional<std::uint8_t>(']')) {
      return std::unexpected(peek_error("trailing comma"));
    }
  }
  return std::unexpected(peek_error("trailing characters"));
}

Decoded<void> Reader::end() {
  if (parse_whitespace()) return std::unexpected(peek_error("trailing characters"));
  return {};
}

// --- strings -----------------------------------------------------------------------

void Reader::skip_plain_string_bytes() noexcept {
  const std::string_view rest(p_, remaining());
  p_ += detail::plain_run_end(rest, 0);
}

Decoded<std::string_view> Reader::parse_str() {
  scratch_.clear();
  keep_ = p_;  // the text so far starts here; refills keep it
  bool copied = false;
  for (;;) {
    skip_plain_string_bytes();
    if (p_ == end_) {
      if (refill()) continue;
      return std::unexpected(error("EOF while parsing a string"));
    }
    const char c = *p_;
    if (c == '"') {
      std::string_view text(keep_, static_cast<std::size_t>(p_ - keep_));
      if (copied) {
        scratch_.append(text);
        text = scratch_;
      }
      ++p_;
      if (!varnholt::text::is_valid_utf8(text)) {
        return std::unexpected(error("invalid unicode code point"));
      }
      return text;
    }
    if (c == '\\') {
      scratch_.append(keep_, p_);
      copied = true;
      ++p_;
      if (auto escaped = parse_escape(); !escaped) {
        return std::unexpected(std::move(escaped.error()));
      }
      keep_ = p_;
      continue;
    }
    ++p_;
    return std::unexpected(
        error("control character (\\u0000-\\u001F) found while parsing a string"));
  }
}

Decoded<void> Reader::parse_str_into(std::string& out) {
  const std::size_t start = out.size();
  for (;;) {
    const char* run = p_;
    skip_plain_string_bytes();
    out.append(run, p_);
    if (p_ == end_) {
      if (refill()) continue;
      return std::unexpected(error("EOF while parsing a string"));
    }
    const char c = *p_;
    if (c == '"') {
      ++p_;
      if (!varnholt::text::is_valid_utf8(std::string_view(out).substr(start))) {
        return std::unexpected(error("invalid unicode code point"));
      }
      return {};
    }
    if (c == '\\') {
      ++p_;
      scratch_.clear();
      if (auto escaped = parse_escape(); !escaped) {
        return std::unexpected(std::move(escaped.error()));
      }
      out.append(scratch_);
      continue;
    }
    ++p_;
    return std::unexpected(
        error("control character (\\u0000-\\u001F) found while parsing a string"));
  }
}

Decoded<std::uint16_t> Reader::decode_hex_escape() {
  while (remaining() < 4 && refill()) {
  }
  if (remaining() < 4) {
    p_ = end_;
    return std::unexpected(error("EOF while parsing a string"));
  }
  int value = 0;
  bool valid = true;
  for (std::size_t i = 0; i < 4; ++i) {
    const int digit = varnholt::text::hex_value(p_[i]);
    if (digit < 0) valid = false;
    value = value * 16 + (digit < 0 ? 0 : digit);
  }
  p_ += 4;
  if (!valid) return std::unexpected(error("invalid escape"));
  return static_cast<std::uint16_t>(value);
}

Decoded<void> Reader::parse_escape() {
  if (!peek()) return std::unexpected(error("EOF while parsing a string"));
  const char c = *p_++;
  switch (c) {
    case '"':
      scratch_.push_back('"');
      return {};
    case '\\':
      scratch_.push_back('\\');
      return {};
    case '/':
      scratch_.push_back('/');
      return {};
    case 'b':
      scratch_.push_back('\b');
      return {};
    case 'f':
      scratch_.push_back('\f');
      return {};
    case 'n':
      scratch_.push_back('\n');
      return {};
    case 'r':
      scratch_.push_back('\r');
      return {};
    case 't':
      scratch_.push_back('\t');
      return {};
    case 'u':
      return parse_unicode_escape();
    default:
      return std::unexpected(error("invalid escape"));
  }
}

Decoded<void> Reader::parse_unicode_escape() {
  auto first = decode_hex_escape();
  if (!first) return std::unexpected(std::move(first.error()));
  const std::uint16_t n1 = *first;
  if (n1 >= 0xDC00 && n1 <= 0xDFFF) {
    return std::unexpected(error("lone leading surrogate in hex escape"));
  }
  if (n1 < 0xD800 || n1 > 0xDBFF) {
    varnholt::text::append_utf8(scratch_, n1);
    return {};
  }
  // A leading surrogate must be followed by an escaped trailing one.
  for (const char expected : {'\\', 'u'}) {
    if (!peek()) return std::unexpected(error("EOF while parsing a string"));
    const char c = *p_++;
    if (c != expected) return std::unexpected(error("unexpected end of hex escape"));
  }
  auto second = decode_hex_escape();
  if (!second) return std::unexpected(std::move(second.error()));
  const std::uint16_t n2 = *second;
  if (n2 < 0xDC00 || n2 > 0xDFFF) {
    return std::unexpected(error("lone leading surrogate in hex escape"));
  }
  varnholt::text::append_utf8(scratch_, ((static_cast<std::uint32_t>(n1 - 0xD800) << 10) |
                                         static_cast<std::uint32_t>(n2 - 0xDC00)) +
                                            0x10000);
  return {};
}

Decoded<void> Reader::ignore_str() {
  for (;;) {
    skip_plain_string_bytes();
    if (p_ == end_) {
      if (refill()) continue;
      return std::unexpected(error("EOF while parsing a string"));
    }
    const char c = *p_;
    if (c == '"') {
      ++p_;
      return {};
    }
    if (c == '\\') {
      ++p_;
      if (auto escaped = ignore_escape(); !escaped) return escaped;
      continue;
    }
    return std::unexpected(
        error("control character (\\u0000-\\u001F) found while parsing a string"));
  }
}

Decoded<void> Reader::ignore_escape() {
  if (!peek()) return std::unexpected(error("EOF while parsing a string"));
  const char c = *p_++;
  switch (c) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return {};
    case 'u': {
      auto code = decode_hex_escape();
      if (!code) return std::unexpected(std::move(code.error()));
      return {};
    }
    default:
      return std::unexpected(error("invalid escape"));
  }
}

// --- literals and numbers ----------------------------------------------------------

Decoded<void> Reader::parse_ident(std::string_view rest) {
  for (const char expected : rest) {
    if (!peek()) return std::unexpected(error("EOF while parsing a value"));
    if (*p_++ != expected) return std::unexpected(error("expected ident"));
  }
  return {};
}

Decoded<Number> Reader::parse_integer(bool positive) {
  // The number's text stays in the buffer until it is read: a double is
  // made from all of it.
  keep_ = positive ? p_ : p_ - 1;
  if (!peek()) return std::unexpected(error("EOF while parsing a value"));
  const auto first = static_cast<std::uint8_t>(*p_++);
  if (first == '0') {
    if (const auto next = peek(); next && is_digit(*next)) {
      return std::unexpected(peek_error("invalid number"));
    }
    return parse_number_tail(positive, 0);
  }
  if (!is_digit(first)) return std::unexpected(error("invalid number"));
  std::uint64_t significand = first - '0';
  for (;;) {
    const auto next = peek();
    if (!next || !is_digit(*next)) return parse_number_tail(positive, significand);
    const std::uint64_t digit = *next - '0';
    if (significand > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      // Too large for 64 bits: the rest is read as a double.
      return finish_float();
    }
    eat();
    significand = significand * 10 + digit;
  }
}

Decoded<Number> Reader::parse_number_tail(bool positive, std::uint64_t significand) {
  const auto next = peek();
  if (next == '.' || next == 'e' || next == 'E') return finish_float();
  Number number;
  if (positive) {
    number.kind = Number::Kind::Unsigned;
    number.u = significand;
  } else if (significand == 0 || significand > std::uint64_t{1} << 63) {
    // "-0" and integers below the signed range are held as doubles.
    number.kind = Number::Kind::Float;
    number.f = -static_cast<double>(significand);
  } else {
    number.kind = Number::Kind::Signed;
    number.i = significand == std::uint64_t{1} << 63 ? std::numeric_limits<std::int64_t>::min()
                                                     : -static_cast<std::int64_t>(significand);
  }
  return number;
}

// Reads the rest of a number whose text starts at `keep_` and that is held as
// a double: remaining integer digits, a fraction, an exponent. The value is
// the correctly rounded double of the text.
Decoded<Number> Reader::finish_float() {
  while (peek() && is_digit(*peek())) eat();
  if (peek() == '.') {
    eat();
    bool any = false;
    while (peek() && is_digit(*peek())) {
      eat();
      any = true;
    }
    if (!any) {
      if (peek()) return std::unexpected(peek_error("invalid number"));
      return std::unexpected(peek_error("EOF while parsing a value"));
    }
  }
  if (peek() == 'e' || peek() == 'E') {
    eat();
    bool negative_exponent = false;
    if (peek() == '+' || peek() == '-') {
      negative_exponent = *peek() == '-';
      eat();
    }
    if (!peek()) return std::unexpected(error("EOF while parsing a value"));
    const char first_digit = *p_++;
    if (!is_digit(static_cast<std::uint8_t>(first_digit))) {
      return std::unexpected(error("invalid number"));
    }
    // An exponent beyond 32 bits overflows at the digit that crosses it, unless
    // it only shrinks the value toward zero, or the mantissa is zero.
    const bool can_overflow =
        !negative_exponent &&
        has_nonzero_digit(std::string_view(keep_, static_cast<std::size_t>(p_ - keep_)));
    std::int64_t exponent = first_digit - '0';
    while (peek() && is_digit(*peek())) {
      exponent = std::min<std::int64_t>(exponent * 10 + (*peek() - '0'), std::int64_t{1} << 40);
      eat();
      if (can_overflow && exponent > std::numeric_limits<std::int32_t>::max()) {
        return std::unexpected(error("number out of range"));
      }
    }
  }
  // strtod gives the correctly rounded double; it needs a terminated copy.
  const std::string text(keep_, p_);
  errno = 0;
  const double value = std::strtod(text.c_str(), nullptr);
  if (std::isinf(value)) return std::unexpected(error("number out of range"));
  Number number;
  number.kind = Number::Kind::Float;
  number.f = value;
  return number;
}

// --- skipping ----------------------------------------------------------------------

Decoded<void> Reader::ignore_integer() {
  if (!peek()) return std::unexpected(error("invalid number"));
  const auto first = static_cast<std::uint8_t>(*p_);
  if (first == '0') {
    eat();
    if (const auto next = peek(); next && is_digit(*next)) {
      return std::unexpected(peek_error("invalid number"));
    }
  } else if (is_digit(first)) {
    eat();
    while (peek() && is_digit(*peek())) eat();
  } else {
    eat();
    return std::unexpected(error("invalid number"));
  }
  if (peek() == '.') return ignore_decimal();
  if (peek() == 'e' || peek() == 'E') return ignore_exponent();
  return {};
}

Decoded<void> Reader::ignore_decimal() {
  eat();
  bool any = false;
  while (peek() && is_digit(*peek())) {
    eat();
    any = true;
  }
  if (!any) return std::unexpected(peek_error("invalid number"));
  if (peek() == 'e' || peek() == 'E') return ignore_exponent();
  return {};
}

Decoded<void> Reader::ignore_exponent() {
  eat();
  if (peek() == '+' || peek() == '-') eat();
  if (!peek()) return std::unexpected(error("invalid number"));
  if (!is_digit(static_cast<std::uint8_t>(*p_))) {
    eat();
    return std::unexpected(error("invalid number"));
  }
  eat();
  while (peek() && is_digit(*peek())) eat();
  return {};
}

Decoded<void> Reader::ignore_value() {
  // Containers are tracked on an explicit stack, so a skipped value may nest
  // arbitrarily deep without deepening the call stack.
  std::string frames;
  for (;;) {
    auto peek = parse_whitespace();
    if (!peek) return std::unexpected(peek_error("EOF while parsing a value"));
    bool opened = false;
    switch (*peek) {
      case 'n':
        eat();
        if (auto r = parse_ident("ull"); !r) return r;
        break;
      case 't':
        eat();
        if (auto r = parse_ident("rue"); !r) return r;
        break;
      case 'f':
        eat();
        if (auto r = parse_ident("alse"); !r) return r;
        break;
      case '-':
        eat();
        if (auto r = ignore_integer(); !r) return r;
        break;
      case '"':
        eat();
        if (auto r = ignore_str(); !r) return r;
        break;
      case '[':
      case '{':
        eat();
        frames.push_back(static_cast<char>(*peek));
        opened = true;
        break;
      default:
        if (!is_digit(*peek)) return std::unexpected(peek_error("expected value"));
        if (auto r = ignore_integer(); !r) return r;
    }
    bool accept_comma = !opened;
    if (!opened && frames.empty()) return {};
    // Close every container that ends here, then move on to the next element
    // or member.
    for (;;) {
      const char frame = frames.back();
      peek = parse_whitespace();
      if (!peek) {
        return std::unexpected(
            peek_error(frame == '[' ? "EOF while parsing a list" : "EOF while parsing an object"));
      }
      if (*peek == ',' && accept_comma) {
        eat();
        break;
      }
      if ((*peek == ']' && frame == '[') || (*peek == '}' && frame == '{')) {
        eat();
        frames.pop_back();
        if (frames.empty()) return {};
        accept_comma = true;
        continue;
      }
      if (accept_comma) {
        return std::unexpected(
            peek_error(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`"));
      }
      break;
    }
    if (frames.back() == '{') {
      peek = parse_whitespace();
      if (!peek) return std::unexpected(peek_error("EOF while parsing an object"));
      if (*peek != '"') return std::unexpected(peek_error("key must be a string"));
      eat();
      if (auto r = ignore_str(); !r) return r;
      if (auto r = parse_object_colon(); !r) return r;
    }
  }
}

// --- whole values ------------------------------------------------------------------

Decoded<Content> Reader::parse_content() {
  const auto peek = parse_whitespace();
  if (!peek) return std::unexpected(peek_error("EOF while parsing a value"));
  Content content;
  switch (*peek) {
    case 'n':
      eat();
      if (auto r = parse_ident("ull"); !r) return std::unexpected(std::move(r.error()));
      return content;
    case 't':
    case 'f': {
      eat();
      const bool value = *peek == 't';
      if (auto r = parse_ident(value ? "rue" : "alse"); !r)
        return std::unexpected(std::move(r.error()));
      content.kind = Content::Kind::Bool;
      content.boolean = value;
      return content;
    }
    case '"': {
      eat();
      auto text = parse_str();
      if (!text) return std::unexpected(std::move(text.error()));
      content.kind = Content::Kind::String;
      content.string = *text;
      return content;
    }
    case '[':
    case '{': {
      auto read = read_container(*this, "", Brackets::Either, [&](bool is_object) {
        content.kind = is_object ? Content::Kind::Map : Content::Kind::Seq;
        if (!is_object) {
          return for_each_element(*this, [&](Reader&) -> Decoded<void> {
            auto value = parse_content();
            if (!value) return std::unexpected(std::move(value.error()));
            content.seq.push_back(std::move(*value));
            return {};
          });
        }
        return for_each_member(*this, [&](Reader&, std::string_view key) -> Decoded<void> {
          std::string name(key);
          if (auto colon = parse_object_colon(); !colon) return colon;
          auto value = parse_content();
          if (!value) return std::unexpected(std::move(value.error()));
          content.map.emplace_back(std::move(name), std::move(*value));
          return {};
        });
      });
      if (!read) return std::unexpected(std::move(read.error()));
      return content;
    }
    default: {
      bool positive = true;
      if (*peek == '-') {
        eat();
        positive = false;
      } else if (!is_digit(*peek)) {
        return std::unexpected(peek_error("expected value"));
      }
      auto number = parse_integer(positive);
      if (!number) return std::unexpected(std::move(number.error()));
      content.kind = Content::Kind::Number;
      content.number = *number;
      return content;
    }
  }
}

DecodeError Reader::peek_invalid_type(std::string_view expected) {
  const auto peek = this->peek();
  std::string found;
  switch (peek.value_or(0)) {
    case 'n':
      eat();
      if (auto r = parse_ident("ull"); !r) return std::move(r.error());
      found = "null";
      break;
    case 't':
      eat();
      if (auto r = parse_ident("rue"); !r) return std::move(r.error());
      found = "boolean `true`";
      break;
    case 'f':
      eat();
      if (auto r = parse_ident("alse"); !r) return std::move(r.error());
      found = "boolean `false`";
      break;
    case '"': {
      eat();
      auto text = parse_str();
      if (!text) return std::move(text.error());
      found = describe_string(*text);
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default: {
      bool positive = true;
      if (peek == '-') {
        eat();
        positive = false;
      } else if (!peek || !is_digit(*peek)) {
        return peek_error("expected value");
      }
      auto number = parse_integer(positive);
      if (!number) return std::move(number.error());
      found = describe_number(*number);
    }
  }
  return fix(DecodeError{invalid_type(found, expected), std::nullopt});
}

// --- typed reading -----------------------------------------------------------------

Decoded<std::string> read_string(Reader& reader, std::string_view expected) {
  const auto peek = reader.parse_whitespace();
  if (!peek) return std::unexpected(reader.peek_error("EOF while parsing a value"));
  if (*peek != '"') return std::unexpected(reader.fix(reader.peek_invalid_type(expected)));
  reader.eat();
  std::string text;
  if (auto read = reader.parse_str_into(text); !read)
    return std::unexpected(std::move(read.error()));
  return text;
}

Decoded<std::optional<std::string>> read_optional_string(Reader& reader) {
  if (reader.parse_whitespace() == std::optional<std::uint8_t>('n')) {
    reader.eat();
    if (auto r = reader.parse_ident("ull"); !r) return std::unexpected(std::move(r.error()));
    return std::optional<std::string>();
  }
  auto text = read_string(reader);
  if (!text) return std::unexpected(std::move(text.error()));
  return std::optional<std::string>(std::move(*text));
}

namespace {

Decoded<Number> read_number(Reader& reader, std::string_view type_name) {
  const auto peek = reader.parse_whitespace();
  if (!peek) return std::unexpected(reader.peek_error("EOF while parsing a value"));
  if (*peek == '-') {
    reader.eat();
    return reader.parse_integer(false);
  }
  if (is_digit(*peek)) return reader.parse_integer(true);
  return std::unexpected(reader.fix(reader.peek_invalid_type(type_name)));
}

std::string invalid_value(std::string_view found, std::string_view expected) {
  return fmt::format("invalid value: {}, expected {}", found, expected);
}

Decoded<std::uint64_t> number_to_unsigned(const Number& number, std::uint64_t max,
                                          std::string_view type_name) {
  switch (number.kind) {
    case Number::Kind::Unsigned:
      if (number.u <= max) return number.u;
      return fail(invalid_value(describe_number(number), type_name));
    case Number::Kind::Signed:
      return fail(invalid_value(describe_number(number), type_name));
    case Number::Kind::Float:
      return fail(invalid_type(describe_number(number), type_name));
  }
  return fail("unreachable");
}

}  // namespace

Decoded<std::uint64_t> read_unsigned(Reader& reader, std::uint64_t max,
                                     std::string_view type_name) {
  auto number = read_number(reader, type_name);
  if (!number) return std::unexpected(std::move(number.error()));
  auto value = number_to_unsigned(*number, max, type_name);
  if (!value) return std::unexpected(reader.fix(std::move(value.error())));
  return value;
}

Decoded<std::int64_t> read_signed(Reader& reader, std::string_view type_name) {
  auto number = read_number(reader, type_name);
  if (!number) return std::unexpected(std::move(number.error()));
  switch (number->kind) {
    case Number::Kind::Signed:
      return number->i;
    case Number::Kind::Unsigned:
      if (number->u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(number->u);
      }
      return std::unexpected(reader.fix({invalid_value(describe_number(*number), type_name), {}}));
    case Number::Kind::Float:
      return std::unexpected(reader.fix({invalid_type(describe_number(*number), type_name), {}}));
  }
  return fail("unreachable");
}

namespace {

Decoded<std::size_t> find_variant(std::string_view name, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return i;
  }
  return fail(unknown_variant(name, names));
}

}  // namespace

Decoded<std::size_t> read_variant_identifier(Reader& reader,
                                             std::span<const std::string_view> names) {
  return read_string_as(reader, "variant identifier",
                        [&](std::string_view text) { return find_variant(text, names); });
}

Decoded<std::size_t> read_plain_enum(Reader& reader, std::span<const std::string_view> names) {
  const auto peek = reader.parse_whitespace();
  if (!peek) return std::unexpected(reader.peek_error("EOF while parsing a value"));
  if (*peek == '"') return read_variant_identifier(reader, names);
  if (*peek != '{') return std::unexpected(reader.peek_error("expected value"));
  // {"name": null}
  if (auto entered = reader.enter(); !entered) return std::unexpected(std::move(entered.error()));
  reader.eat();
  auto variant = read_variant_identifier(reader, names);
  if (variant) {
    if (auto colon = reader.parse_object_colon(); !colon)
      variant = std::unexpected(std::move(colon.error()));
  }
  if (variant) {
    const auto value = reader.parse_whitespace();
    if (value == std::optional<std::uint8_t>('n')) {
      reader.eat();
      if (auto r = reader.parse_ident("ull"); !r) variant = std::unexpected(std::move(r.error()));
    } else if (!value) {
      variant = std::unexpected(reader.peek_error("EOF while parsing a value"));
    } else {
      variant = std::unexpected(reader.fix(reader.peek_invalid_type("unit")));
    }
  }
  reader.leave();
  if (!variant) return variant;
  const auto close = reader.parse_whitespace();
  if (close == std::optional<std::uint8_t>('}')) {
    reader.eat();
    return variant;
  }
  if (!close) return std::unexpected(reader.error("EOF while parsing an object"));
  return std::unexpected(reader.error("expected value"));
}

Decoded<std::size_t> content_to_plain_enum(const Content& content,
                                           std::span<const std::string_view> names) {
  switch (content.kind) {
    case Content::Kind::String:
      return find_variant(content.string, names);
    case Content::Kind::Map: {
      if (content.map.size() != 1) {
        return fail(invalid_value("map", "map with a single key"));
      }
      const auto& [name, value] = content.map.front();
      auto variant = find_variant(name, names);
      if (!variant) return variant;
      const bool unit = value.kind == Content::Kind::Null ||
                        (value.kind == Content::Kind::Map && value.map.empty());
      if (!unit) return fail(invalid_type(value.describe(), "unit"));
      return variant;
    }
    default:
      return fail(invalid_type(content.describe(), "string or map"));
  }
}

Decoded<Tagged> read_tagged(Reader& reader, std::string_view tag, std::string_view expecting,
                            std::span<const std::string_view> variants) {
  Tagged tagged;
  std::optional<std::size_t> variant;
  const auto read_tag = [&]() -> Decoded<void> {
    auto read = read_variant_identifier(reader, variants);
    if (!read) return std::unexpected(std::move(read.error()));
    variant = *read;
    return {};
  };
  auto read =
      read_container(reader, expecting, Brackets::Either, [&](bool is_object) -> Decoded<void> {
        tagged.is_seq = !is_object;
        if (!is_object) {
          // The array form: the tag first, then the members in order.
          bool first = true;
          auto more = reader.has_next_element(first);
          if (!more) return std::unexpected(std::move(more.error()));
          if (!*more) return fail(missing_field(tag));
          if (auto read_first = read_tag(); !read_first) return read_first;
          for (;;) {
            more = reader.has_next_element(first);
            if (!more) return std::unexpected(std::move(more.error()));
            if (!*more) return {};
            auto value = reader.parse_content();
            if (!value) return std::unexpected(std::move(value.error()));
            tagged.seq.push_back(std::move(*value));
          }
        }
        auto members = for_each_member(reader, [&](Reader&, std::string_view key) -> Decoded<void> {
          if (key == tag) {
            if (variant) return fail(duplicate_field(tag));
            if (auto colon = reader.parse_object_colon(); !colon) return colon;
            return read_tag();
          }
          std::string name(key);
          if (auto colon = reader.parse_object_colon(); !colon) return colon;
          auto value = reader.parse_content();
          if (!value) return std::unexpected(std::move(value.error()));
          tagged.map.emplace_back(std::move(name), std::move(*value));
          return {};
        });
        if (!members) return members;
        if (!variant) return fail(missing_field(tag));
        return {};
      });
  if (!read) return std::unexpected(std::move(read.error()));
  tagged.variant = *variant;
  return tagged;
}

Decoded<std::string> content_to_string(const Content& content) {
  if (content.kind == Content::Kind::String) return content.string;
  return fail(invalid_type(content.describe(), "a string"));
}

Decoded<std::uint64_t> content_to_unsigned(const Content& content, std::uint64_t max,
                                           std::string_view type_name) {
  if (content.kind == Content::Kind::Number)
    return number_to_unsigned(content.number, max, type_name);
  return fail(invalid_type(content.describe(), type_name));
}

}  // namespace varnholt::json
