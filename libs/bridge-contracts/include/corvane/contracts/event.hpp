#pragma once

#include <set>
#include <string>
#include <utility>

#include "corvane/contracts/records.hpp"

namespace corvane::contracts {

// The event being routed; built for one route command and never stored.
struct BridgeEvent {
  std::string event_type;
  Timestamp occurred_at;
  TenantId tenant_id;
  // (field name, class) pairs, ordered by name then class: "f0", "f1", ...
  std::set<std::pair<std::string, DataClass>> fields;
};

}  // namespace corvane::contracts
