#include "varnholt/contracts/uuid.hpp"

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnholt::contracts {

namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::size_t kSimpleLength = 32;
constexpr std::size_t kHyphenatedLength = 36;
constexpr std::array<std::size_t, 5> kGroupLengths = {8, 4, 4, 4, 12};

// The value of every hex digit, -1 for every other byte.
constexpr std::array<std::int8_t, 256> make_hex_values() {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 10; ++i)
    table[static_cast<std::size_t>('0' + i)] = static_cast<std::int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    table[static_cast<std::size_t>('a' + i)] = static_cast<std::int8_t>(10 + i);
    table[static_cast<std::size_t>('A' + i)] = static_cast<std::int8_t>(10 + i);
  }
  return table;
}
constexpr std::array<std::int8_t, 256> kHexValues = make_hex_values();

int hex_value(char c) {
  return kHexValues[static_cast<unsigned char>(c)];
}
bool is_hex(char c) {
  return hex_value(c) >= 0;
}

// Reads the 32 hex digits that start at the given offsets of `text`, two per byte.
template <std::size_t N>
std::optional<Uuid::Bytes> read_digits(std::string_view text,
                                       const std::array<std::uint8_t, N>& at) {
  Uuid::Bytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = hex_value(text[at[i]]);
    const int low = hex_value(text[at[i] + 1U]);
    if ((high | low) < 0) return std::nullopt;
    bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return bytes;
}

constexpr std::array<std::uint8_t, 16> kSimpleOffsets = {0,  2,  4,  6,  8,  10, 12, 14,
                                                         16, 18, 20, 22, 24, 26, 28, 30};
// Where each byte's two digits start in the 8-4-4-4-12 form.
constexpr std::array<std::uint8_t, 16> kHyphenatedOffsets = {0,  2,  4,  6,  9,  11, 14, 16,
                                                             19, 21, 24, 26, 28, 30, 32, 34};

std::optional<Uuid::Bytes> parse_simple(std::string_view text) {
  return read_digits(text, kSimpleOffsets);
}

std::optional<Uuid::Bytes> parse_hyphenated(std::string_view text) {
  if (text.size() != kHyphenatedLength || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
      text[23] != '-') {
    return std::nullopt;
  }
  return read_digits(text, kHyphenatedOffsets);
}

bool is_braced(std::string_view text) {
  return text.size() >= 2 && text.front() == '{' && text.back() == '}';
}

// The byte length of the UTF-8 character that starts `text` (not empty), or 1
// for a byte that does not start a well-formed character.
std::size_t utf8_length(std::string_view text) {
  const auto b0 = static_cast<std::uint8_t>(text[0]);
  std::size_t length = 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
  }
  if (length > text.size()) return 1;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<std::uint8_t>(text[i]) & 0xC0U) != 0x80U) return 1;
  }
  return length;
}

// Describes why `text`, which is not a UUID in any accepted form, fails. The
// braced and URN forms of the right length are judged by their 36 inner bytes
// as if those were the whole text; otherwise braces or the URN prefix are
// stripped, and positions still count from the start of the whole text.
std::string describe_fault(std::string_view text) {
  std::string_view judged = text;
  std::size_t offset = 0;
  bool plain = true;
  if (text.size() == kHyphenatedLength + 2 && is_braced(text)) {
    judged = text.substr(1, kHyphenatedLength);
  } else if (text.size() == kHyphenatedLength + kUrnPrefix.size() && text.starts_with(kUrnPrefix)) {
    judged = text.substr(kUrnPrefix.size());
  } else if (is_braced(text)) {
    judged = text.substr(1, text.size() - 2);
    offset = 1;
    plain = false;
  } else if (text.starts_with(kUrnPrefix)) {
    judged = text.substr(kUrnPrefix.size());
    offset = kUrnPrefix.size();
    plain = false;
  }

  std::array<std::size_t, 4> hyphens{};
  std::size_t hyphen_count = 0;
  for (std::size_t i = 0; i < judged.size();) {
    const char c = judged[i];
    if (c == '-') {
      if (hyphen_count < hyphens.size()) hyphens[hyphen_count] = i;
      ++hyphen_count;
      ++i;
    } else if (is_hex(c)) {
      ++i;
    } else {
      const std::size_t length = utf8_length(judged.substr(i));
      // A byte that is not UTF-8 is shown as the replacement character.
      const std::string_view shown = length == 1 && static_cast<std::uint8_t>(c) >= 0x80
                                         ? "\xEF\xBF\xBD"
                                         : judged.substr(i, length);
      std::string out = "invalid character: found `";
      out.append(shown);
      out.append("` at ");
      out.append(std::to_string(i + offset + 1));
      return out;
    }
  }

  if (hyphen_count == 0 && plain) {
    return "invalid length: found " + std::to_string(judged.size());
  }
  if (hyphen_count != 4) {
    return "invalid group count: expected 5, found " + std::to_string(hyphen_count + 1);
  }
  std::size_t group_start = 0;
  for (std::size_t g = 0; g < kGroupLengths.size(); ++g) {
    const std::size_t group_end = g < hyphens.size() ? hyphens[g] : judged.size();
    const std::size_t length = group_end - group_start;
    if (length != kGroupLengths[g]) {
      return "invalid group length in group " + std::to_string(g) + ": expected " +
             std::to_string(kGroupLengths[g]) + ", found " + std::to_string(length);
    }
    group_start = group_end + 1;
  }
  // Every group has its length, so the text is a UUID; unreachable for the
  // texts parse() rejects, but never an empty description.
  return "invalid length: found " + std::to_string(judged.size());
}

void init_sodium_once() {
  // randombytes_buf works before initialisation too; initialising once picks
  // the best random source and makes later calls thread-safe.
  [[maybe_unused]] static const int initialised = sodium_init();
}

}  // namespace

Uuid Uuid::new_v4() {
  init_sodium_once();
  Bytes bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0FU) | 0x40U);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3FU) | 0x80U);  // RFC 4122 variant
  return Uuid(bytes);
}

std::expected<Uuid, std::string> Uuid::parse(std::string_view text) {
  std::optional<Bytes> bytes;
  if (text.size() == kSimpleLength) {
    bytes = parse_simple(text);
  } else if (text.size() == kHyphenatedLength) {
    bytes = parse_hyphenated(text);
  } else if (text.size() == kHyphenatedLength + 2 && is_braced(text)) {
    bytes = parse_hyphenated(text.substr(1, kHyphenatedLength));
  } else if (text.size() == kHyphenatedLength + kUrnPrefix.size() && text.starts_with(kUrnPrefix)) {
    bytes = parse_hyphenated(text.substr(kUrnPrefix.size()));
  }
  if (!bytes) return std::unexpected(describe_fault(text));
  return Uuid(*bytes);
}

void Uuid::append_to(std::string& out) const {
  constexpr std::string_view kHex = "0123456789abcdef";
  std::array<char, kHyphenatedLength> text{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[pos++] = '-';
    text[pos++] = kHex[bytes_[i] >> 4U];
    text[pos++] = kHex[bytes_[i] & 0x0FU];
  }
  out.append(text.data(), text.size());
}

std::string Uuid::to_string() const {
  std::string out;
  out.reserve(kHyphenatedLength);
  append_to(out);
  return out;
}

}  // namespace varnholt::contracts
