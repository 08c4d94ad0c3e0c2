#include "varnholt/crypto/canonical.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

#include "varnholt/json/escape.hpp"
#include "varnholt/text/utf8.hpp"

namespace varnholt::crypto {
namespace {

using Json = nlohmann::json;

// ---------------------------------------------------------------------------
// Composition table
//
// Every base letter is ASCII and every mark (U+0300..U+030C) is the two bytes
// CC 80..CC 8C, so a pair is found by looking at the byte before and the byte
// after a CC byte. Every composed character lies in U+00C0..U+017E and takes
// two bytes, which is why composing never lengthens the text.

constexpr std::size_t kMarkCount = 7;
// Second byte of each mark in the table's column order: U+0300 grave, U+0301
// acute, U+0302 circumflex, U+0303 tilde, U+0308 diaeresis, U+030A ring above,
// U+030C caron.
constexpr std::array<std::uint8_t, kMarkCount> kMarkSecondByte = {0x80, 0x81, 0x82, 0x83,
                                                                  0x88, 0x8A, 0x8C};

struct CompositionRow {
  char base;
  std::array<char16_t, kMarkCount> composed;  // 0: no composition
};

// clang-format off
constexpr std::array<CompositionRow, 20> kCompositionRows = {{
    //      grave   acute   circ    tilde   diaer   ring    caron
    {'A', {u'\u00C0', u'\u00C1', u'\u00C2', u'\u00C3', u'\u00C4', u'\u00C5', 0}},
    {'E', {u'\u00C8', u'\u00C9', u'\u00CA', 0,         u'\u00CB', 0,         0}},
    {'I', {u'\u00CC', u'\u00CD', u'\u00CE', 0,         u'\u00CF', 0,         0}},
    {'O', {u'\u00D2', u'\u00D3', u'\u00D4', u'\u00D5', u'\u00D6', 0,         0}},
    {'U', {u'\u00D9', u'\u00DA', u'\u00DB', 0,         u'\u00DC', 0,         0}},
    {'N', {0,         0,         0,         u'\u00D1', 0,         0,         0}},
    {'Y', {0,         u'\u00DD', 0,         0,         0,         0,         0}},
    {'C', {0,         0,         0,         0,         0,         0,         u'\u010C'}},
    {'S', {0,         0,         0,         0,         0,         0,         u'\u0160'}},
    {'Z', {0,         0,         0,         0,         0,         0,         u'\u017D'}},
    {'a', {u'\u00E0', u'\u00E1', u'\u00E2', u'\u00E3', u'\u00E4', u'\u00E5', 0}},
    {'e', {u'\u00E8', u'\u00E9', u'\u00EA', 0,         u'\u00EB', 0,         0}},
    {'i', {u'\u00EC', u'\u00ED', u'\u00EE', 0,         u'\u00EF', 0,         0}},
    {'o', {u'\u00F2', u'\u00F3', u'\u00F4', u'\u00F5', u'\u00F6', 0,         0}},
    {'u', {u'\u00F9', u'\u00FA', u'\u00FB', 0,         u'\u00FC', 0,         0}},
    {'n', {0,         0,         0,         u'\u00F1', 0,         0,         0}},
    {'y', {0,         u'\u00FD', 0,         0,         u'\u00FF', 0,         0}},
    {'c', {0,         0,         0,         0,         0,         0,         u'\u010D'}},
    {'s', {0,         0,         0,         0,         0,         0,         u'\u0161'}},
    {'z', {0,         0,         0,         0,         0,         0,         u'\u017E'}},
}};
// clang-format on

// Second byte of a mark (0x80..0x8F) -> composed character, per ASCII base.
constexpr std::size_t kMarkSlots = 16;
using ComposeTable = std::array<std::array<char16_t, kMarkSlots>, 128>;

constexpr ComposeTable make_compose_table() {
  ComposeTable table{};
  for (const CompositionRow& row : kCompositionRows) {
    for (std::size_t m = 0; m < kMarkCount; ++m) {
      table[static_cast<std::size_t>(row.base)][kMarkSecondByte[m] - 0x80u] = row.composed[m];
    }
  }
  return table;
}
constexpr ComposeTable kCompose = make_compose_table();

constexpr std::size_t count_pairs() {
  std::size_t n = 0;
  for (const auto& row : kCompose) {
    for (char16_t c : row) n += c != 0 ? 1 : 0;
  }
  return n;
}
static_assert(count_pairs() == 57, "the composition table has 57 pairs");

// The composed character of `base` followed by the mark CC `second`, or 0.
char16_t composed_of(char base, char second) {
  const auto b = static_cast<std::uint8_t>(base);
  const auto s = static_cast<std::uint8_t>(second);
  if (b >= 0x80 || s < 0x80 || s >= 0x80 + kMarkSlots) return 0;
  return kCompose[b][s - 0x80u];
}

// ---------------------------------------------------------------------------
// Canonicalisation

// Pushes a segment for the lifetime of the guard, so the caller's path is the
// same after a failure as after a success.
class Segment {
 public:
  Segment(Path& path, std::string segment) : path_(path) { path_.push(std::move(segment)); }
  ~Segment() { path_.pop(); }
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

 private:
  Path& path_;
};

std::string float_error(const Path& path) {
  return "floating-point number at " + path.display() +
         " cannot be canonicalised; use an integer or a decimal string in signed contracts";
}

std::string duplicate_error(std::string_view key) {
  std::string text = "duplicate object key ";
  error::append_quoted(text, key);
  text += " after Unicode normalisation";
  return text;
}

// Binary values and discarded values have no JSON text at all; they only arise
// when a value is built in code, never when it is read.
std::string unrepresentable_error(const Json& value, const Path& path) {
  return std::string("value is not representable as JSON: ") + value.type_name() + " value at " +
         path.display();
}

bool canonicalize_into(const Json& value, Json& out, Path& path, std::string& error) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::boolean:
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      out = value;
      return true;
    case Json::value_t::number_float:
      error = float_error(path);
      return false;
    case Json::value_t::string:
      out = normalize_text(value.get_ref<const Json::string_t&>());
      return true;
    case Json::value_t::array: {
      out = Json::array();
      auto& elements = out.get_ref<Json::array_t&>();
      elements.reserve(value.size());
      std::size_t index = 0;
      for (const Json& element : value) {
        Segment segment(path, std::to_string(index++));
        if (!canonicalize_into(element, elements.emplace_back(), path, error)) return false;
      }
      return true;
    }
    case Json::value_t::object: {
      // The object model keeps members in byte order of their original keys,
      // which is the order failures inside members are reported in.
      std::vector<std::pair<std::string, Json>> members;
      members.reserve(value.size());
      for (const auto& [key, member] : value.items()) {
        std::string normalized = normalize_text(key);
        Json canonical;
        {
          Segment segment(path, normalized);
          if (!canonicalize_into(member, canonical, path, error)) return false;
        }
        members.emplace_back(std::move(normalized), std::move(canonical));
      }
      std::sort(members.begin(), members.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      const auto duplicate =
          std::adjacent_find(members.begin(), members.end(),
                             [](const auto& a, const auto& b) { return a.first == b.first; });
      if (duplicate != members.end()) {
        error = duplicate_error(duplicate->first);
        return false;
      }
      out = Json::object();
      auto& object = out.get_ref<Json::object_t&>();
      for (auto& [key, member] : members) {
        object.emplace_hint(object.end(), std::move(key), std::move(member));
      }
      return true;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  error = unrepresentable_error(value, path);
  return false;
}

// ---------------------------------------------------------------------------
// Writing

template <typename Int>
void append_integer(std::string& out, Int value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_key(std::string& out, std::string_view key) {
  varnholt::json::append_string(out, key);
  out.push_back(':');
}

// Writes `value` straight from the input into `out` when that gives the
// canonical bytes, without building a canonical copy: all-ASCII texts are
// already normal, and an object whose keys are all ASCII is already unique and
// sorted. Returns false when the value cannot be canonicalised (a float, two
// keys equal after normalisation, a value without a JSON text); `out` then
// holds a partial write and the caller falls back to `canonicalize` for the
// exact error.
bool write_direct(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::string: {
      const auto& text = value.get_ref<const Json::string_t&>();
      if (varnholt::text::is_ascii(text)) {
        varnholt::json::append_string(out, text);
      } else {
        varnholt::json::append_string(out, normalize_text(text));
      }
      return true;
    }
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const Json& element : value) {
        if (!first) out.push_back(',');
        first = false;
        if (!write_direct(element, out)) return false;
      }
      out.push_back(']');
      return true;
    }
    case Json::value_t::object: {
      const auto& object = value.get_ref<const Json::object_t&>();
      const bool ascii_keys = std::all_of(object.begin(), object.end(), [](const auto& member) {
        return varnholt::text::is_ascii(member.first);
      });
      out.push_back('{');
      bool first = true;
      if (ascii_keys) {
        for (const auto& [key, member] : object) {
          if (!first) out.push_back(',');
          first = false;
          append_key(out, key);
          if (!write_direct(member, out)) return false;
        }
      } else {
        std::vector<std::pair<std::string, const Json*>> members;
        members.reserve(object.size());
        for (const auto& [key, member] : object) members.emplace_back(normalize_text(key), &member);
        std::sort(members.begin(), members.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        const auto duplicate =
            std::adjacent_find(members.begin(), members.end(),
                               [](const auto& a, const auto& b) { return a.first == b.first; });
        if (duplicate != members.end()) return false;
        for (const auto& [key, member] : members) {
          if (!first) out.push_back(',');
          first = false;
          append_key(out, key);
          if (!write_direct(*member, out)) return false;
        }
      }
      out.push_back('}');
      return true;
    }
    case Json::value_t::number_float:
    case Json::value_t::binary:
    case Json::value_t::discarded:
      return false;
    case Json::value_t::null:
      out.append("null");
      return true;
    case Json::value_t::boolean:
      out.append(value.get<bool>() ? "true" : "false");
      return true;
    case Json::value_t::number_integer:
      append_integer(out, value.get<std::int64_t>());
      return true;
    case Json::value_t::number_unsigned:
      append_integer(out, value.get<std::uint64_t>());
      return true;
  }
  return false;
}

}  // namespace

std::string Path::display() const {
  if (segments_.empty()) return "<root>";
  std::string text = segments_.front();
  for (std::size_t i = 1; i < segments_.size(); ++i) {
    text.push_back('.');
    text += segments_[i];
  }
  return text;
}

std::string normalize_text(std::string_view text) {
  if (varnholt::text::is_ascii(text)) return std::string(text);

  std::string out;
  out.reserve(text.size());
  const char* const data = text.data();
  const std::size_t size = text.size();
  std::size_t copied = 0;  // bytes of `text` already accounted for in `out`
  std::size_t from = 1;    // a mark needs a base letter before it
  while (from < size) {
    const void* hit = std::memchr(data + from, 0xCC, size - from);
    if (hit == nullptr) break;
    const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
    from = at + 1;
    if (at + 1 >= size || at - 1 < copied) continue;
    const char16_t composed = composed_of(data[at - 1], data[at + 1]);
    if (composed == 0) continue;
    out.append(data + copied, at - 1 - copied);
    out.push_back(static_cast<char>(0xC0 | (composed >> 6)));
    out.push_back(static_cast<char>(0x80 | (composed & 0x3F)));
    copied = at + 2;
    from = copied;
  }
  out.append(data + copied, size - copied);
  return out;
}

std::expected<nlohmann::json, std::string> canonicalize(const nlohmann::json& value, Path& path) {
  Json out;
  std::string error;
  if (!canonicalize_into(value, out, path, error)) return std::unexpected(std::move(error));
  return out;
}

void write_value(const nlohmann::json& canonical, std::string& out) {
  // A canonical value is written as it stands: its texts are normal already
  // and its members, held in key order, are in byte order; it holds no float.
  const bool written = write_direct(canonical, out);
  assert(written);
  (void)written;
}

std::expected<std::string, error::CoreError> canonical_bytes_of(void (*fill)(const void* context,
                                                                             nlohmann::json& value),
                                                                const void* context) {
  Json value;
  try {
    fill(context, value);
  } catch (const Json::exception& e) {
    return std::unexpected(error::CanonicalSerialization{
        std::string("value is not representable as JSON: ") + e.what()});
  }
  return canonical_bytes(value);
}

std::expected<std::string, error::CoreError> canonical_bytes(const nlohmann::json& value) {
  std::string out;
  out.reserve(512);
  if (write_direct(value, out)) return out;

  Path path;
  auto canonical = canonicalize(value, path);
  if (!canonical)
    return std::unexpected(error::CanonicalSerialization{std::move(canonical.error())});
  out.clear();
  write_value(*canonical, out);
  return out;
}

}  // namespace varnholt::crypto
