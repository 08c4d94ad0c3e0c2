#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "varnholt/error/core_error.hpp"

// Ed25519 (RFC 8032, pure: no context, no pre-hashing) over libsodium.
namespace varnholt::crypto {

// 64 bytes: the encoding of R followed by S.
class Signature {
 public:
  using Bytes = std::array<std::uint8_t, 64>;

  constexpr Signature() noexcept = default;
  constexpr explicit Signature(const Bytes& bytes) noexcept : bytes_(bytes) {}

  // 128 lower-case hex digits.
  [[nodiscard]] std::string to_hex() const;
  void append_hex(std::string& out) const;

  // Reads 128 hex digits of either case. Checks, in this order: the byte
  // length is 128 ("ed25519 signature must be 128 hex characters, got N");
  // then per pair of bytes: the pair is UTF-8 on its own ("signature is not
  // ASCII"), the pair is two hex digits ("invalid hex in signature: {quoted
  // pair}"). Every failure is a Validation error.
  [[nodiscard]] static std::expected<Signature, error::CoreError> from_hex(std::string_view text);

  [[nodiscard]] constexpr const Bytes& bytes() const noexcept { return bytes_; }
  friend bool operator==(const Signature&, const Signature&) = default;

 private:
  Bytes bytes_{};
};

// The 32-byte public key.
class VerifyingKey {
 public:
  using Bytes = std::array<std::uint8_t, 32>;

  constexpr explicit VerifyingKey(const Bytes& bytes) noexcept : bytes_(bytes) {}

  // Ed25519 verification of `signature` over `message` (non-canonical S and
  // small-order points rejected). Fails with SignatureVerification.
  [[nodiscard]] std::expected<void, error::CoreError> verify_bytes(
      std::string_view message, const Signature& signature) const;

  [[nodiscard]] constexpr const Bytes& bytes() const noexcept { return bytes_; }
  friend bool operator==(const VerifyingKey&, const VerifyingKey&) = default;

 private:
  Bytes bytes_;
};

// An Ed25519 key pair made from a 32-byte seed (the RFC 8032 private key).
// The secret half is wiped from memory when the key goes away.
class SigningKey {
 public:
  using Seed = std::array<std::uint8_t, 32>;

  // A key from 32 fresh bytes of the OS random source.
  [[nodiscard]] static SigningKey generate();
  // The key pair of `seed`; every 32-byte value is a valid seed.
  [[nodiscard]] static SigningKey from_bytes(const Seed& seed);

  SigningKey(const SigningKey& other);
  SigningKey& operator=(const SigningKey& other);
  ~SigningKey();

  // Deterministic Ed25519 signature of `message`.
  [[nodiscard]] Signature sign(std::string_view message) const;

  [[nodiscard]] const Seed& seed() const noexcept { return seed_; }
  [[nodiscard]] const VerifyingKey& verifying_key() const noexcept { return verifying_; }

 private:
  SigningKey(const Seed& seed, const std::array<std::uint8_t, 64>& secret,
             const VerifyingKey& verifying) noexcept;

  Seed seed_;
  std::array<std::uint8_t, 64> secret_;  // libsodium's expanded form: seed || public key
  VerifyingKey verifying_;
};

}  // namespace varnholt::crypto
