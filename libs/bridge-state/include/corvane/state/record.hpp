#pragma once

#include <array>
#include <cstdint>

#include "corvane/router/router.hpp"
#include "varnholt/contracts/uuid.hpp"

namespace corvane::state {

// The whole state of a bridge, as kept in the state file.
struct CliState {
  varnholt::contracts::TenantId tenant_id;
  // The seed the bridge's signing key is derived from on every run. It is the
  // bridge's private key: never printed, never logged.
  std::array<std::uint8_t, 32> approval_seed{};
  router::Router router;

  friend bool operator==(const CliState&, const CliState&) = default;
};

}  // namespace corvane::state
