#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "varnholt/error/core_error.hpp"

namespace varnholt::contracts {

// A UTC instant. Values made here have whole seconds, except the end of the
// range that saturating arithmetic reaches, 9999-12-31T23:59:59.999999999Z.
// The range is 0000-01-01T00:00:00Z to that instant: earlier instants have no
// RFC 3339 text and so could never be read back from a state file.
class Timestamp {
 public:
  // Seconds since 1970-01-01T00:00:00Z of the first and last whole second of the range.
  static constexpr std::int64_t kMinUnixSeconds = -62167219200;  // 0000-01-01T00:00:00Z
  static constexpr std::int64_t kMaxUnixSeconds = 253402300799;  // 9999-12-31T23:59:59Z

  // 1970-01-01T00:00:00Z.
  constexpr Timestamp() noexcept = default;

  // The wall clock in UTC, truncated to the whole second (clamped to the range).
  [[nodiscard]] static Timestamp now();

  // The instant `unix_seconds` after 1970-01-01T00:00:00Z, clamped to the range.
  [[nodiscard]] static Timestamp from_unix_seconds(std::int64_t unix_seconds) noexcept;

  // Strict RFC 3339 date-time ("2024-01-01T00:00:00Z", optional fraction,
  // "Z" or a numeric offset; "T" and "Z" of either case). The fraction is
  // dropped, an offset is converted to UTC. Fails with the Validation error
  // "invalid RFC 3339 timestamp {quoted text}: {what failed}".
  [[nodiscard]] static std::expected<Timestamp, error::CoreError> from_str(std::string_view text);

  // The instant `text` names when it is exactly what `to_rfc3339` writes for
  // a whole second ("YYYY-MM-DDTHH:MM:SSZ", upper-case T and Z); nothing for
  // any other text, even one `from_str` accepts. For reading text that is
  // almost always in that form without the general parser's cost.
  [[nodiscard]] static std::optional<Timestamp> from_written(std::string_view text) noexcept;

  // "YYYY-MM-DDTHH:MM:SSZ", with ".fraction" (trailing zeros removed) only
  // when the value carries nanoseconds.
  [[nodiscard]] std::string to_rfc3339() const;
  void append_rfc3339(std::string& out) const;
  // The most `write_rfc3339` writes.
  static constexpr std::size_t kMaxTextLength = 35;
  // Writes the RFC 3339 text to `out` (room for kMaxTextLength characters)
  // and returns its length.
  std::size_t write_rfc3339(char* out) const noexcept;

  // The instant `seconds` later (earlier when negative), clamped to the range:
  // past the end gives 9999-12-31T23:59:59.999999999Z, before the start
  // 0000-01-01T00:00:00Z.
  [[nodiscard]] Timestamp saturating_add_seconds(std::int64_t seconds) const noexcept;

  [[nodiscard]] constexpr std::int64_t unix_seconds() const noexcept { return seconds_; }
  [[nodiscard]] constexpr std::uint32_t nanosecond() const noexcept { return nanos_; }

  friend constexpr auto operator<=>(const Timestamp&, const Timestamp&) noexcept = default;
  friend constexpr bool operator==(const Timestamp&, const Timestamp&) noexcept = default;

 private:
  constexpr Timestamp(std::int64_t seconds, std::uint32_t nanos) noexcept
      : seconds_(seconds), nanos_(nanos) {}

  std::int64_t seconds_ = 0;
  std::uint32_t nanos_ = 0;
};

}  // namespace varnholt::contracts
