#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace varnholt::contracts {

// A 16-byte UUID. Ordered by its bytes compared as unsigned values from the
// first, which is also the order of its lower-case hyphenated text.
class Uuid {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  constexpr Uuid() noexcept = default;
  constexpr explicit Uuid(const Bytes& bytes) noexcept : bytes_(bytes) {}

  // A random (version 4, RFC 4122 variant) UUID from the OS random source.
  [[nodiscard]] static Uuid new_v4();

  // Parses the four usual text forms: 32 hex digits, 36-character hyphenated
  // 8-4-4-4-12, the hyphenated form in braces (38), and "urn:uuid:" followed by
  // the hyphenated form (45); hex digits of either case. On failure returns the
  // description of the fault, one of
  //   "invalid character: found `c` at N"
  //   "invalid group count: expected 5, found N"
  //   "invalid group length in group G: expected E, found N"
  //   "invalid length: found N"
  [[nodiscard]] static std::expected<Uuid, std::string> parse(std::string_view text);

  // The UUID `text` names when it is exactly what `append_to` writes: 36
  // lower-case characters in the 8-4-4-4-12 grouping; nothing otherwise.
  [[nodiscard]] static std::optional<Uuid> from_written(std::string_view text) noexcept;

  // 36 lower-case characters, 8-4-4-4-12.
  [[nodiscard]] std::string to_string() const;
  // Appends the 36-character form to `out` without any other allocation.
  void append_to(std::string& out) const;
  // Writes the 36-character form to `out`.
  void write_to(char* out) const noexcept;

  [[nodiscard]] constexpr const Bytes& bytes() const noexcept { return bytes_; }

  friend constexpr auto operator<=>(const Uuid&, const Uuid&) noexcept = default;
  friend constexpr bool operator==(const Uuid&, const Uuid&) noexcept = default;

 private:
  Bytes bytes_{};
};

// A typed identifier: a UUID that cannot be mixed up with another kind of
// identifier. `Tag` is an empty struct naming the kind.
template <typename Tag>
class Id {
 public:
  constexpr Id() noexcept = default;
  constexpr explicit Id(const Uuid& uuid) noexcept : uuid_(uuid) {}

  // A fresh random (version 4) identifier.
  [[nodiscard]] static Id new_v4() { return Id(Uuid::new_v4()); }

  [[nodiscard]] constexpr const Uuid& uuid() const noexcept { return uuid_; }
  [[nodiscard]] std::string to_string() const { return uuid_.to_string(); }

  friend constexpr auto operator<=>(const Id&, const Id&) noexcept = default;
  friend constexpr bool operator==(const Id&, const Id&) noexcept = default;

 private:
  Uuid uuid_{};
};

struct TenantTag {};
struct WorkspaceTag {};
using TenantId = Id<TenantTag>;
using WorkspaceId = Id<WorkspaceTag>;

}  // namespace varnholt::contracts
