#include "varnholt/json/writer.hpp"

#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>

#include "varnholt/json/escape.hpp"

namespace varnholt::json {
namespace {

template <typename Int>
void append_integer(std::string& out, Int value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

void Writer::newline_and_indent() {
  // A line feed and the indentation, in one piece for the usual depths.
  static constexpr std::string_view kLines =
      "\n                                                                ";
  const std::size_t width = kIndent * (depth_ + open_);
  if (width < kLines.size()) {
    out_.append(kLines.substr(0, width + 1));
  } else {
    out_.push_back('\n');
    out_.append(width, ' ');
  }
}

// Marks the innermost container as having members; true if it had some.
bool Writer::next_member() {
  const std::uint64_t bit = std::uint64_t{1} << (open_ - 1);
  const bool had = (has_members_ & bit) != 0;
  has_members_ |= bit;
  return had;
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (open_ == 0) return;
  if (next_member()) out_.push_back(',');
  if (pretty_) newline_and_indent();
}

void Writer::key(std::string_view name) {
  if (next_member()) out_.push_back(',');
  if (pretty_) newline_and_indent();
  append_string(out_, name);
  out_.append(pretty_ ? std::string_view(": ") : std::string_view(":"));
  after_key_ = true;
}

void Writer::plain_key(std::string_view name) {
  // Everything before the value in one piece: the separator, the line and its
  // indentation, the quoted name and the colon.
  const bool comma = next_member();
  const std::size_t width = pretty_ ? kIndent * (depth_ + open_) : 0;
  const std::size_t length =
      (comma ? 1 : 0) + (pretty_ ? 1 + width : 0) + name.size() + 2 + (pretty_ ? 2 : 1);
  const std::size_t at = out_.size();
  out_.resize_and_overwrite(at + length, [&](char* text, std::size_t) {
    char* p = text + at;
    if (comma) *p++ = ',';
    if (pretty_) {
      *p++ = '\n';
      std::memset(p, ' ', width);
      p += width;
    }
    *p++ = '"';
    std::memcpy(p, name.data(), name.size());
    p += name.size();
    *p++ = '"';
    *p++ = ':';
    if (pretty_) *p++ = ' ';
    return at + length;
  });
  after_key_ = true;
}

void Writer::open(char bracket) {
  before_value();
  out_.push_back(bracket);
  assert(open_ < kMaxOpen);
  has_members_ &= ~(std::uint64_t{1} << open_);
  ++open_;
}

void Writer::close(char bracket) {
  --open_;
  const bool had_members = (has_members_ & (std::uint64_t{1} << open_)) != 0;
  if (pretty_ && had_members) newline_and_indent();
  out_.push_back(bracket);
}

void Writer::string(std::string_view text) {
  before_value();
  append_string(out_, text);
}

void Writer::raw_string(std::string_view text_without_quotes) {
  before_value();
  const std::size_t at = out_.size();
  out_.resize_and_overwrite(at + text_without_quotes.size() + 2, [&](char* text, std::size_t) {
    text[at] = '"';
    std::memcpy(text + at + 1, text_without_quotes.data(), text_without_quotes.size());
    text[at + 1 + text_without_quotes.size()] = '"';
    return at + text_without_quotes.size() + 2;
  });
}

void Writer::unsigned_number(std::uint64_t value) {
  before_value();
  append_integer(out_, value);
}

void Writer::signed_number(std::int64_t value) {
  before_value();
  append_integer(out_, value);
}

void Writer::null() {
  before_value();
  out_.append("null");
}

std::string pretty_line(std::size_t depth) {
  std::string line = "\n";
  line.append(Writer::kIndent * depth, ' ');
  return line;
}

ElementBreaks pretty_element_breaks(std::size_t depth) {
  ElementBreaks breaks{pretty_line(depth), ",", pretty_line(depth > 0 ? depth - 1 : 0)};
  breaks.next.append(breaks.first);
  return breaks;
}

}  // namespace varnholt::json
