#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace varnholt::json {

namespace detail {

// The escapes the writer uses, indexed by byte; the bytes without an entry are
// written as they are.
struct EscapeTable {
  static constexpr std::size_t kSize = '\\' + 1;
  std::array<std::array<char, 6>, kSize> text{};
  std::array<std::uint8_t, kSize> size{};
};

constexpr EscapeTable make_escape_table() {
  EscapeTable table;
  constexpr std::string_view kHex = "0123456789abcdef";
  for (std::size_t byte = 0; byte < 0x20; ++byte) {
    table.text[byte] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
    table.size[byte] = 6;
  }
  constexpr std::array<std::pair<char, char>, 7> kShort = {
      {{'"', '"'}, {'\\', '\\'}, {'\b', 'b'}, {'\t', 't'}, {'\n', 'n'}, {'\f', 'f'}, {'\r', 'r'}}};
  for (const auto& [byte, letter] : kShort) {
    table.text[static_cast<std::size_t>(byte)] = {'\\', letter};
    table.size[static_cast<std::size_t>(byte)] = 2;
  }
  return table;
}

inline constexpr EscapeTable kEscapes = make_escape_table();

}  // namespace detail

// How the writer writes `byte` inside a string: the quotation mark and the
// backslash escaped, U+0008/09/0A/0C/0D written \b \t \n \f \r, every other
// byte below 0x20 written \u00XX (lower-case hex); empty for every other byte
// ("/" and 0x7F included), which is written as it is.
constexpr std::string_view written_escape(std::uint8_t byte) {
  if (byte >= detail::EscapeTable::kSize) return {};
  return {detail::kEscapes.text[byte].data(), detail::kEscapes.size[byte]};
}

// Appends `text` as a JSON string: between double quotes, each byte as
// `written_escape` says.
void append_string(std::string& out, std::string_view text);

}  // namespace varnholt::json
