// Writes a valid, signed state file of a chosen size, for benchmarks, crash
// tests and fuzzing corpora:
//   gen_state CONNECTORS DELIVERIES [SEED_BYTE [EVENT_TYPES]] > corvane.json
// Every third connector stays pending, the rest are approved; the deliveries
// cycle through the four delivery states. The same arguments give the same
// seed and tenant, but fresh identifiers. Each connector allows EVENT_TYPES
// event types (at least 3, the default): "alert", "user.created" and
// "event-<i % 10>", then namespaced ones shared by every hundredth connector
// ("ns<i % 100>:type-<k>"), for completion benchmarks.

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/state/codec.hpp"
#include "corvane/state/store.hpp"

namespace {

bool parse_count(std::string_view text, std::size_t& out) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), out);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvane;
  std::size_t connectors = 0;
  std::size_t deliveries = 0;
  std::size_t seed_byte = 7;
  std::size_t event_types = 3;
  if (argc < 3 || argc > 5 || !parse_count(argv[1], connectors) ||
      !parse_count(argv[2], deliveries) || (argc >= 4 && !parse_count(argv[3], seed_byte)) ||
      (argc == 5 && (!parse_count(argv[4], event_types) || event_types < 3))) {
    std::fprintf(stderr, "usage: gen_state CONNECTORS DELIVERIES [SEED_BYTE [EVENT_TYPES]]\n");
    return 2;
  }
  state::CliState state;
  state.approval_seed.fill(static_cast<std::uint8_t>(seed_byte));
  state.tenant_id = varnholt::contracts::TenantId(
      varnholt::contracts::Uuid({0x5f, 0x0c, 0x8a, 0x3e, 0x1d, 0x2b, 0x4c, 0x6a, 0x9e, 0x7f, 0x0a,
                                 0x1b, 0x2c, 0x3d, 0x4e, static_cast<std::uint8_t>(seed_byte)}));
  const auto key = varnholt::crypto::SigningKey::from_bytes(state.approval_seed);
  const auto now =
      varnholt::contracts::Timestamp::from_unix_seconds(1796460376);  // 2026-12-05T08:46:16Z

  std::vector<contracts::ConnectorId> ids;
  for (std::size_t i = 0; i < connectors; ++i) {
    std::vector<std::string> types = {"alert", "user.created", "event-" + std::to_string(i % 10)};
    for (std::size_t k = types.size(); k < event_types; ++k) {
      types.push_back("ns" + std::to_string(i % 100) + ":type-" + std::to_string(k));
    }
    auto id = router::install_connector(
        state.router, state.tenant_id, "connector-" + std::to_string(i),
        "cfg://endpoints/" + std::to_string(i), "vault://secrets/" + std::to_string(i), types,
        {contracts::DataClass::OperationalMetadata, contracts::DataClass::SecurityMetadata}, key,
        now);
    if (!id) {
      std::fprintf(stderr, "gen_state: %s\n", id.error().c_str());
      return 1;
    }
    if (i % 3 != 0) (void)router::approve_connector(state.router, *id, "wf-1", key.verifying_key());
    ids.push_back(*id);
  }
  namespace ds = contracts::delivery_status;
  for (std::size_t i = 0; i < deliveries; ++i) {
    contracts::DeliveryStatus status;
    switch (i % 4) {
      case 0:
        status = ds::Queued{1, now.saturating_add_seconds(30)};
        break;
      case 1:
        status = ds::Delivered{now.saturating_add_seconds(60)};
        break;
      case 2:
        status = ds::Refused{contracts::RefusalReason::ConnectorNotApproved};
        break;
      default:
        status = ds::DeadLettered{5, "http_5xx"};
        break;
    }
    const auto connector = ids.empty() ? contracts::ConnectorId::new_v4() : ids[i % ids.size()];
    state.router.deliveries.push_back(
        {contracts::DeliveryId::new_v4(), connector, "alert", std::move(status), now});
  }
  const auto text = state::encode_state(state);
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
