#pragma once

#include <concepts>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "varnholt/error/core_error.hpp"

// Canonical JSON: the one byte string that a signed contract is signed and
// verified over. No floating-point numbers, object members in byte order of
// their keys, no whitespace, and a fixed set of decomposed Latin letters folded
// into their precomposed characters.
namespace varnholt::crypto {

// Where canonicalisation stands: object keys and array indices from the root.
class Path {
 public:
  void push(std::string segment) { segments_.push_back(std::move(segment)); }
  void pop() { segments_.pop_back(); }
  // Segments joined by "."; "<root>" when empty.
  [[nodiscard]] std::string display() const;

 private:
  std::vector<std::string> segments_;
};

// Folds the 57 base-letter + combining-mark pairs of the composition table
// into their precomposed characters; everything else is copied. All-ASCII text
// is returned as a plain copy.
[[nodiscard]] std::string normalize_text(std::string_view text);

// A new canonical value: strings and keys normalised, members sorted by the
// bytes of their keys. Fails with the inner text of the error (a floating-point
// number, or two keys equal after normalisation). `value` is left untouched.
[[nodiscard]] std::expected<nlohmann::json, std::string> canonicalize(const nlohmann::json& value,
                                                                      Path& path);

// Appends the canonical bytes of an already canonical value to `out`.
void write_value(const nlohmann::json& canonical, std::string& out);

// The canonical bytes of a JSON value, or the CanonicalSerialization error.
[[nodiscard]] std::expected<std::string, error::CoreError> canonical_bytes(
    const nlohmann::json& value);

// The canonical bytes of the value that `fill(context, value)` builds into an
// empty JSON value; a failure to build it (the JSON library refusing a value)
// is the CanonicalSerialization error "value is not representable as JSON".
[[nodiscard]] std::expected<std::string, error::CoreError> canonical_bytes_of(
    void (*fill)(const void* context, nlohmann::json& value), const void* context);

// The canonical bytes of any record with a JSON form (an ADL `to_json`).
// clang-format 14 misplaces requires clauses.
// clang-format off
template <typename Record>
  requires(!std::same_as<Record, nlohmann::json>)
[[nodiscard]] std::expected<std::string, error::CoreError> canonical_bytes(const Record& record) {
  // clang-format on
  return canonical_bytes_of(
      [](const void* context, nlohmann::json& value) {
        to_json(value, *static_cast<const Record*>(context));
      },
      &record);
}

}  // namespace varnholt::crypto
