#include "varnholt/error/core_error.hpp"

#include <string>
#include <type_traits>
#include <variant>

namespace varnholt::error {

namespace {

// Concatenates the pieces of a message; every placeholder is filled with its
// text exactly as stored.
template <typename... Parts>
std::string concat(const Parts&... parts) {
  std::string out;
  out.reserve((std::string_view(parts).size() + ... + 0));
  (out.append(parts), ...);
  return out;
}

}  // namespace

std::string CoreError::message() const {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, InvalidIdentifier>) {
          return concat("invalid ", v.kind, " identifier: ", v.value);
        } else if constexpr (std::is_same_v<T, UnsupportedVersion>) {
          return concat("unsupported contract version: ", v.found, " (supported ", v.lowest,
                        "..=", v.highest, ")");
        } else if constexpr (std::is_same_v<T, CanonicalSerialization>) {
          return concat("canonical serialization failed: ", v.detail);
        } else if constexpr (std::is_same_v<T, SignatureVerification>) {
          return "signature verification failed";
        } else if constexpr (std::is_same_v<T, UnknownAlgorithm>) {
          return concat("unknown or rejected algorithm: ", v.name);
        } else if constexpr (std::is_same_v<T, EnvelopeExpired>) {
          return concat("envelope expired at ", v.time);
        } else if constexpr (std::is_same_v<T, EnvelopeNotYetValid>) {
          return concat("envelope is not yet valid until ", v.time);
        } else if constexpr (std::is_same_v<T, EncryptionFailed>) {
          return "encryption failed";
        } else if constexpr (std::is_same_v<T, DecryptionFailed>) {
          return "decryption failed";
        } else if constexpr (std::is_same_v<T, Validation>) {
          return concat("validation failed: ", v.detail);
        } else {
          static_assert(std::is_same_v<T, UnknownProduct>);
          return concat("unknown product: ", v.name);
        }
      },
      variant_);
}

}  // namespace varnholt::error
