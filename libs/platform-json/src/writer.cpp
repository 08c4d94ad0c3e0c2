#include "varnholt/json/writer.hpp"

#include <cassert>
#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

#include "varnholt/json/escape.hpp"
#include "varnholt/json/reader.hpp"

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
  out_.push_back('\n');
  out_.append(2 * (depth_ + open_), ' ');
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
  out_.append(pretty_ ? ": " : ":");
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
  out_.push_back('"');
  out_.append(text_without_quotes);
  out_.push_back('"');
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

void write_compact(const nlohmann::json& value, std::string& out) {
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::null:
      out.append("null");
      return;
    case Type::boolean:
      out.append(value.get<bool>() ? "true" : "false");
      return;
    case Type::number_unsigned:
      append_integer(out, value.get<std::uint64_t>());
      return;
    case Type::number_integer:
      append_integer(out, value.get<std::int64_t>());
      return;
    case Type::number_float: {
      const double number = value.get<double>();
      out.append(std::isfinite(number) ? format_float(number) : "null");
      return;
    }
    case Type::string:
      append_string(out, value.get_ref<const std::string&>());
      return;
    case Type::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.push_back(',');
        first = false;
        write_compact(element, out);
      }
      out.push_back(']');
      return;
    }
    case Type::object: {
      // nlohmann::json keeps members in a std::map: byte order of the keys.
      out.push_back('{');
      bool first = true;
      for (const auto& [name, member] : value.items()) {
        if (!first) out.push_back(',');
        first = false;
        append_string(out, name);
        out.push_back(':');
        write_compact(member, out);
      }
      out.push_back('}');
      return;
    }
    case Type::binary:
    case Type::discarded:
      out.append("null");
      return;
  }
}

}  // namespace varnholt::json
