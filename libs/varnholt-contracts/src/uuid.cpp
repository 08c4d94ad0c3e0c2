#include "varnholt/contracts/uuid.hpp"

#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "varnholt/text/hex.hpp"
#include "varnholt/text/utf8.hpp"

namespace varnholt::contracts {

namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::size_t kSimpleLength = 32;
constexpr std::size_t kHyphenatedLength = 36;
constexpr std::array<std::size_t, 5> kGroupLengths = {8, 4, 4, 4, 12};

bool is_hex(char c) {
  return varnholt::text::hex_value(c) >= 0;
}

// Reads the 32 hex digits that start at the given offsets of `text`, two per byte.
template <std::size_t N>
std::optional<Uuid::Bytes> read_digits(std::string_view text,
                                       const std::array<std::uint8_t, N>& at) {
  Uuid::Bytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = varnholt::text::hex_value(text[at[i]]);
    const int low = varnholt::text::hex_value(text[at[i] + 1U]);
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
      // A byte that is not UTF-8 is shown as the replacement character.
      const varnholt::text::DecodedChar character = varnholt::text::decode_char(judged.substr(i));
      const std::string_view shown = character.valid ? judged.substr(i, character.length)
                                                     : varnholt::text::kReplacementCharacter;
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

// The value of a lower-case hex digit, -1 for every other byte.
constexpr std::array<std::int8_t, 256> kLowerHexValues = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 16; ++i) {
    table[static_cast<unsigned char>(
        varnholt::text::kLowerHexDigits[static_cast<std::size_t>(i)])] =
        static_cast<std::int8_t>(i);
  }
  return table;
}();

std::optional<Uuid> Uuid::from_written(std::string_view text) noexcept {
  if (text.size() != kHyphenatedLength || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
      text[23] != '-') {
    return std::nullopt;
  }
  Bytes bytes{};
  int bad = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = kLowerHexValues[static_cast<unsigned char>(text[kHyphenatedOffsets[i]])];
    const int low = kLowerHexValues[static_cast<unsigned char>(text[kHyphenatedOffsets[i] + 1U])];
    bad |= high | low;
    bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  if (bad < 0) return std::nullopt;
  return Uuid(bytes);
}

void Uuid::write_to(char* out) const noexcept {
  constexpr std::string_view kHex = varnholt::text::kLowerHexDigits;
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    *out++ = kHex[bytes_[i] >> 4U];
    *out++ = kHex[bytes_[i] & 0x0FU];
  }
}

void Uuid::append_to(std::string& out) const {
  std::array<char, kHyphenatedLength> text{};
  write_to(text.data());
  out.append(text.data(), text.size());
}

std::string Uuid::to_string() const {
  std::string out;
  out.reserve(kHyphenatedLength);
  append_to(out);
  return out;
}

}  // namespace varnholt::contracts
