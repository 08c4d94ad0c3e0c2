#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnholt::text {

inline constexpr std::string_view kLowerHexDigits = "0123456789abcdef";

namespace detail {
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
inline constexpr std::array<std::int8_t, 256> kHexValues = make_hex_values();
}  // namespace detail

// The value of a hexadecimal digit of either case, or -1 for any other byte.
[[nodiscard]] constexpr int hex_value(char c) noexcept {
  return detail::kHexValues[static_cast<unsigned char>(c)];
}

// Appends the two lower-case digits of `byte`.
inline void append_hex_byte(std::string& out, std::uint8_t byte) {
  const char digits[2] = {kLowerHexDigits[byte >> 4U], kLowerHexDigits[byte & 0x0FU]};
  out.append(digits, 2);
}

}  // namespace varnholt::text
