#pragma once

// States for the tests of the state library: a fresh one with its exact
// text, and one with every connector kind, status and delivery state.

#include <string>
#include <vector>

#include "corvane/state/record.hpp"

namespace corvane::state {

inline CliState fresh_state() {
  CliState state;
  state.tenant_id = varnholt::contracts::TenantId(
      varnholt::contracts::Uuid::parse("5f0c8a3e-1d2b-4c6a-9e7f-0a1b2c3d4e5f").value());
  for (std::size_t i = 0; i < 32; ++i) state.approval_seed[i] = static_cast<std::uint8_t>(i + 1);
  return state;
}

inline std::string fresh_layout() {
  std::string seed;
  for (int i = 1; i <= 32; ++i) seed += "    " + std::to_string(i) + (i < 32 ? ",\n" : "\n");
  return "{\n  \"tenant_id\": \"5f0c8a3e-1d2b-4c6a-9e7f-0a1b2c3d4e5f\",\n  \"approval_seed\": [\n" +
         seed +
         "  ],\n  \"router\": {\n    \"connectors\": {},\n    \"deliveries\": [],\n    \"policy\": "
         "{\n"
         "      \"max_attempts\": 5,\n      \"base_delay_seconds\": 30,\n"
         "      \"max_delay_seconds\": 3600\n    }\n  }\n}";
}

// A state with every kind of connector, every status and every delivery state.
inline CliState rich_state() {
  auto state = fresh_state();
  const auto key = varnholt::crypto::SigningKey::from_bytes(state.approval_seed);
  const auto now = varnholt::contracts::Timestamp::from_str("2026-12-01T10:00:00Z").value();
  std::vector<contracts::ConnectorId> ids;
  for (int i = 0; i < 6; ++i) {
    auto id = router::install_connector(
                  state.router, state.tenant_id, "c\t\"" + std::to_string(i), "cfg://e",
                  "vault://s", {"b", "a"},
                  {contracts::DataClass::RedactedError, contracts::DataClass::OperationalMetadata},
                  key, now)
                  .value();
    ids.push_back(id);
  }
  auto& connectors = state.router.connectors;
  connectors.at(ids[1]).manifest.kind = contracts::kind::SignedWebhookInbound{"kms://k"};
  connectors.at(ids[2]).manifest.kind = contracts::kind::SmtpNotification{"smtp://r", "v://c"};
  connectors.at(ids[3]).manifest.kind = contracts::kind::ObjectReferenceStore{"s3://b", "v://c"};
  connectors.at(ids[4]).manifest.kind = contracts::kind::TicketingRest{"cfg://j", "v://c"};
  connectors.at(ids[5]).manifest.kind = contracts::kind::LocalFileDrop{"/var/drop"};
  connectors.at(ids[1]).status = contracts::ConnectorStatus::Approved;
  connectors.at(ids[1]).approval_workflow_ref = "wf-1";
  connectors.at(ids[2]).status = contracts::ConnectorStatus::Suspended;
  connectors.at(ids[3]).status = contracts::ConnectorStatus::Revoked;
  namespace ds = contracts::delivery_status;
  const contracts::DeliveryStatus statuses[] = {
      ds::Queued{1, now.saturating_add_seconds(30)}, ds::Delivered{now},
      ds::Refused{contracts::RefusalReason::TenantMismatch}, ds::DeadLettered{5, "http_5xx"}};
  for (const auto& status : statuses) {
    state.router.deliveries.push_back(
        {contracts::DeliveryId::new_v4(), ids[0], "\xC3\xBCnicode", status, now});
  }
  state.router.policy = {7, -45, 600};
  return state;
}

}  // namespace corvane::state
