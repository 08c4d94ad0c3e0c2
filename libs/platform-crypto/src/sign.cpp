#include "varnholt/crypto/sign.hpp"

#include <sodium.h>

#include <cstdlib>
#include <string>

#include "varnholt/text/hex.hpp"
#include "varnholt/text/utf8.hpp"

namespace varnholt::crypto {
namespace {

static_assert(crypto_sign_BYTES == 64);
static_assert(crypto_sign_PUBLICKEYBYTES == 32);
static_assert(crypto_sign_SECRETKEYBYTES == 64);
static_assert(crypto_sign_SEEDBYTES == 32);

// libsodium must be initialised once before its random source is used. If that
// fails the process has no safe source of keys and cannot go on; there is
// nothing a caller could do about it, so the process ends here.
void ensure_sodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) std::abort();
}

const unsigned char* message_bytes(std::string_view message) {
  return reinterpret_cast<const unsigned char*>(message.data());
}

}  // namespace

// ---------------------------------------------------------------------------
// Signature

std::string Signature::to_hex() const {
  std::string out;
  append_hex(out);
  return out;
}

void Signature::append_hex(std::string& out) const {
  out.reserve(out.size() + 2 * bytes_.size());
  for (const std::uint8_t byte : bytes_) varnholt::text::append_hex_byte(out, byte);
}

std::expected<Signature, error::CoreError> Signature::from_hex(std::string_view text) {
  Bytes bytes{};
  if (text.size() != 2 * bytes.size()) {
    return std::unexpected(error::Validation{"ed25519 signature must be 128 hex characters, got " +
                                             std::to_string(text.size())});
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    // A pair that splits a character is reported before a bad digit.
    const auto pair = text.substr(2 * i, 2);
    if (!varnholt::text::is_valid_utf8(pair)) {
      return std::unexpected(error::Validation{"signature is not ASCII"});
    }
    const int high_value = varnholt::text::hex_value(pair[0]);
    const int low_value = varnholt::text::hex_value(pair[1]);
    if (high_value < 0 || low_value < 0) {
      return std::unexpected(error::Validation{"invalid hex in signature: " + error::quoted(pair)});
    }
    bytes[i] = static_cast<std::uint8_t>(high_value * 16 + low_value);
  }
  return Signature(bytes);
}

// ---------------------------------------------------------------------------
// VerifyingKey

std::expected<void, error::CoreError> VerifyingKey::verify_bytes(std::string_view message,
                                                                 const Signature& signature) const {
  ensure_sodium();
  // libsodium rejects an S that is not below the group order, small-order R
  // and public keys, and non-canonical public key encodings.
  if (crypto_sign_verify_detached(signature.bytes().data(), message_bytes(message), message.size(),
                                  bytes_.data()) != 0) {
    return std::unexpected(error::SignatureVerification{});
  }
  return {};
}

// ---------------------------------------------------------------------------
// SigningKey

SigningKey::SigningKey(const Seed& seed, const std::array<std::uint8_t, 64>& secret,
                       const VerifyingKey& verifying) noexcept
    : seed_(seed), secret_(secret), verifying_(verifying) {}

SigningKey SigningKey::generate() {
  ensure_sodium();
  Seed seed;
  randombytes_buf(seed.data(), seed.size());
  SigningKey key = from_bytes(seed);
  sodium_memzero(seed.data(), seed.size());
  return key;
}

SigningKey SigningKey::from_bytes(const Seed& seed) {
  ensure_sodium();
  VerifyingKey::Bytes public_key;
  std::array<std::uint8_t, 64> secret;
  crypto_sign_seed_keypair(public_key.data(), secret.data(), seed.data());
  SigningKey key(seed, secret, VerifyingKey(public_key));
  sodium_memzero(secret.data(), secret.size());
  return key;
}

SigningKey::SigningKey(const SigningKey& other) = default;

SigningKey& SigningKey::operator=(const SigningKey& other) = default;

SigningKey::~SigningKey() {
  sodium_memzero(seed_.data(), seed_.size());
  sodium_memzero(secret_.data(), secret_.size());
}

Signature SigningKey::sign(std::string_view message) const {
  ensure_sodium();
  Signature::Bytes bytes;
  // Cannot fail: the secret key was made by crypto_sign_seed_keypair.
  crypto_sign_detached(bytes.data(), nullptr, message_bytes(message), message.size(),
                       secret_.data());
  return Signature(bytes);
}

}  // namespace varnholt::crypto
