#pragma once

// UTF-8 as every library here reads it: one validator, one decoder, and the
// two ways of showing bytes that are not UTF-8.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace varnholt::text {

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

// True when every byte is below 0x80; tested eight bytes at a time.
[[nodiscard]] inline bool is_ascii(std::string_view text) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const char* p = text.data();
  const std::size_t n = text.size();
  if (n < 8) {
    unsigned bits = 0;
    for (std::size_t i = 0; i < n; ++i) bits |= static_cast<unsigned char>(p[i]);
    return bits < 0x80;
  }
  std::uint64_t bits = 0;
  std::uint64_t word = 0;
  // The last word overlaps the one before it instead of falling back to bytes.
  const char* const last = p + n - 8;
  for (; p < last; p += 8) {
    std::memcpy(&word, p, sizeof word);
    bits |= word;
  }
  std::memcpy(&word, last, sizeof word);
  return ((bits | word) & kHighBits) == 0;
}

// One character decoded from the front of a byte string.
struct DecodedChar {
  char32_t code_point = 0;  // U+FFFD when not valid
  // Bytes taken: the character's length, or for bytes that do not form a
  // well-formed character the length of their maximal well-formed prefix (at
  // least 1), so that such a run is always passed over as one unit.
  std::size_t length = 0;
  bool valid = false;
};

// Decodes the character at the front of `bytes` (not empty). Overlong forms,
// surrogates and values beyond U+10FFFF are not well-formed.
[[nodiscard]] constexpr DecodedChar decode_char(std::string_view bytes) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length = 0;
  char32_t cp = 0;
  std::uint8_t low = 0x80;  // the range of the second byte
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0FU;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07U;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return {0xFFFD, 1, false};
  }
  std::size_t taken = 1;
  while (taken < length && taken < bytes.size()) {
    const std::uint8_t b = byte(taken);
    if (b < (taken == 1 ? low : 0x80) || b > (taken == 1 ? high : 0xBF)) break;
    cp = (cp << 6U) | (b & 0x3FU);
    ++taken;
  }
  if (taken == length) return {cp, length, true};
  return {0xFFFD, taken, false};
}

// True when `text` is well-formed UTF-8. Runs of ASCII are skipped eight
// bytes at a time.
[[nodiscard]] inline bool is_valid_utf8(std::string_view text) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
      continue;
    }
    const DecodedChar c = decode_char(std::string_view(p, static_cast<std::size_t>(end - p)));
    if (!c.valid) return false;
    p += c.length;
  }
  return true;
}

// `bytes` as UTF-8 text: every maximal run of bytes that cannot start a
// well-formed character becomes one U+FFFD, the rest is copied.
[[nodiscard]] std::string to_lossy_utf8(std::string_view bytes);

// The number of characters in UTF-8 text: a continuation byte starts none.
[[nodiscard]] constexpr std::size_t char_count(std::string_view text) noexcept {
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1U : 0U;
  return count;
}

// Appends the UTF-8 bytes of `cp` (at most U+10FFFF, not a surrogate).
void append_utf8(std::string& out, char32_t cp);

}  // namespace varnholt::text
