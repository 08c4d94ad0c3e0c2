#include "varnholt/error/core_error.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace {

using varnholt::error::CanonicalSerialization;
using varnholt::error::CoreError;
using varnholt::error::DecryptionFailed;
using varnholt::error::EncryptionFailed;
using varnholt::error::EnvelopeExpired;
using varnholt::error::EnvelopeNotYetValid;
using varnholt::error::InvalidIdentifier;
using varnholt::error::SignatureVerification;
using varnholt::error::UnknownAlgorithm;
using varnholt::error::UnknownProduct;
using varnholt::error::UnsupportedVersion;
using varnholt::error::Validation;

struct MessageCase {
  CoreError error;
  std::string expected;
};

// One case per variant, in the variant's fixed order.
std::vector<MessageCase> message_cases() {
  return {
      {InvalidIdentifier{"tenant", "abc"}, "invalid tenant identifier: abc"},
      {UnsupportedVersion{"3", "1", "2"}, "unsupported contract version: 3 (supported 1..=2)"},
      {CanonicalSerialization{"value is not representable as JSON: x"},
       "canonical serialization failed: value is not representable as JSON: x"},
      {SignatureVerification{}, "signature verification failed"},
      {UnknownAlgorithm{"rsa"}, "unknown or rejected algorithm: rsa"},
      {EnvelopeExpired{"2024-01-01T00:00:00Z"}, "envelope expired at 2024-01-01T00:00:00Z"},
      {EnvelopeNotYetValid{"2030-01-01T00:00:00Z"},
       "envelope is not yet valid until 2030-01-01T00:00:00Z"},
      {EncryptionFailed{}, "encryption failed"},
      {DecryptionFailed{}, "decryption failed"},
      {Validation{"signature is not ASCII"}, "validation failed: signature is not ASCII"},
      {UnknownProduct{"corvane"}, "unknown product: corvane"},
  };
}

TEST(CoreErrorMessage, EveryVariantFillsItsTemplate) {
  const auto cases = message_cases();
  ASSERT_EQ(cases.size(), std::variant_size_v<CoreError::Variant>);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].error.variant().index(), i) << "cases must follow the variant order";
    EXPECT_EQ(cases[i].error.message(), cases[i].expected);
  }
}

TEST(CoreErrorMessage, PlaceholdersAreInsertedVerbatim) {
  // No quoting, escaping or trimming happens on the stored texts.
  EXPECT_EQ(CoreError(Validation{"a \"b\"\n\\ {} %s "}).message(),
            "validation failed: a \"b\"\n\\ {} %s ");
  EXPECT_EQ(CoreError(Validation{""}).message(), "validation failed: ");
  EXPECT_EQ(CoreError(UnsupportedVersion{"", "", ""}).message(),
            "unsupported contract version:  (supported ..=)");
  const std::string with_nul("x\0y", 3);
  EXPECT_EQ(CoreError(UnknownProduct{with_nul}).message(),
            std::string("unknown product: x\0y", 20));
}

TEST(CoreErrorValue, ComparesByVariantAndData) {
  EXPECT_EQ(CoreError(Validation{"a"}), CoreError(Validation{"a"}));
  EXPECT_NE(CoreError(Validation{"a"}), CoreError(Validation{"b"}));
  EXPECT_NE(CoreError(Validation{"a"}), CoreError(CanonicalSerialization{"a"}));
  EXPECT_NE(CoreError(EncryptionFailed{}), CoreError(DecryptionFailed{}));
  const CoreError e = Validation{"x"};
  EXPECT_TRUE(e.is<Validation>());
  EXPECT_FALSE(e.is<CanonicalSerialization>());
}

TEST(CoreErrorValue, MovesWithItsTexts) {
  CoreError original = CanonicalSerialization{std::string(100, 'q')};
  const CoreError moved = std::move(original);
  EXPECT_EQ(moved.message(), "canonical serialization failed: " + std::string(100, 'q'));
}

}  // namespace
