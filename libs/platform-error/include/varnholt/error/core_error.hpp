#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace varnholt::error {

// The eleven failures of the platform libraries, in their fixed order. Each
// variant carries exactly the texts its message needs.
struct InvalidIdentifier {
  std::string_view kind;  // names the kind of identifier; lives as long as the program
  std::string value;
  friend bool operator==(const InvalidIdentifier&, const InvalidIdentifier&) = default;
};
struct UnsupportedVersion {
  std::string found;
  std::string lowest;
  std::string highest;
  friend bool operator==(const UnsupportedVersion&, const UnsupportedVersion&) = default;
};
struct CanonicalSerialization {
  std::string detail;
  friend bool operator==(const CanonicalSerialization&, const CanonicalSerialization&) = default;
};
struct SignatureVerification {
  friend bool operator==(const SignatureVerification&, const SignatureVerification&) = default;
};
struct UnknownAlgorithm {
  std::string name;
  friend bool operator==(const UnknownAlgorithm&, const UnknownAlgorithm&) = default;
};
struct EnvelopeExpired {
  std::string time;
  friend bool operator==(const EnvelopeExpired&, const EnvelopeExpired&) = default;
};
struct EnvelopeNotYetValid {
  std::string time;
  friend bool operator==(const EnvelopeNotYetValid&, const EnvelopeNotYetValid&) = default;
};
struct EncryptionFailed {
  friend bool operator==(const EncryptionFailed&, const EncryptionFailed&) = default;
};
struct DecryptionFailed {
  friend bool operator==(const DecryptionFailed&, const DecryptionFailed&) = default;
};
struct Validation {
  std::string detail;
  friend bool operator==(const Validation&, const Validation&) = default;
};
struct UnknownProduct {
  std::string name;
  friend bool operator==(const UnknownProduct&, const UnknownProduct&) = default;
};

// The error value of the platform libraries. It is returned, never thrown; its
// message is the only way it is ever shown.
class CoreError {
 public:
  using Variant =
      std::variant<InvalidIdentifier, UnsupportedVersion, CanonicalSerialization,
                   SignatureVerification, UnknownAlgorithm, EnvelopeExpired, EnvelopeNotYetValid,
                   EncryptionFailed, DecryptionFailed, Validation, UnknownProduct>;

  // Implicit on purpose: each variant is a CoreError. (clang-format 14
  // misplaces requires clauses.)
  // clang-format off
  template <typename V>
    requires std::is_constructible_v<Variant, V&&>
  CoreError(V&& v) : variant_(std::forward<V>(v)) {}
  // clang-format on

  [[nodiscard]] const Variant& variant() const noexcept { return variant_; }
  template <typename V>
  [[nodiscard]] bool is() const noexcept {
    return std::holds_alternative<V>(variant_);
  }

  // The variant's message template with its data filled in, e.g.
  // "validation failed: invalid hex in signature: \"zz\"".
  [[nodiscard]] std::string message() const;

  friend bool operator==(const CoreError&, const CoreError&) = default;

 private:
  Variant variant_;
};

// How platform messages show a piece of input: between double quotes, with
// quotes, backslashes, tab, CR, LF and NUL escaped, and every combining mark
// (Grapheme_Extend) or invisible character (categories Cc, Cf, Cs, Co, Cn, Zl,
// Zp, Zs other than U+0020) written as \u{hex}. Bytes that are not UTF-8 are
// shown as \u{fffd}.
[[nodiscard]] std::string quoted(std::string_view text);

// Appends the quoted form of `text` to `out`.
void append_quoted(std::string& out, std::string_view text);

}  // namespace varnholt::error
