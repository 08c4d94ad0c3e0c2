#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "corvane/contracts/event.hpp"
#include "corvane/contracts/records.hpp"
#include "varnholt/crypto/sign.hpp"

namespace corvane::router {

using contracts::ConnectorId;
using contracts::Timestamp;

// Retry and back-off parameters. Routing uses only the two delays; the first
// attempt of a queued delivery is min(base, max) seconds after it was made.
struct RetryPolicy {
  std::uint32_t max_attempts = 5;
  std::int64_t base_delay_seconds = 30;
  std::int64_t max_delay_seconds = 3600;

  friend bool operator==(const RetryPolicy&, const RetryPolicy&) = default;
};

// The verdict of one connector for one event: no value means allowed.
using Verdict = std::optional<contracts::RefusalReason>;

using Connectors = std::map<ConnectorId, contracts::InstalledConnector>;

// The signature checks of a set of connectors, made in the background and
// spread over the processor's cores: one Ed25519 verification per connector
// is most of the work of routing. The connectors must stay where they are
// (a std::map keeps its elements in place) until every result was asked for.
class SignatureChecks {
 public:
  // Starts checking every connector of `connectors` against `key`.
  SignatureChecks(const Connectors& connectors, const varnholt::crypto::VerifyingKey& key);
  SignatureChecks(const SignatureChecks&) = delete;
  SignatureChecks& operator=(const SignatureChecks&) = delete;
  ~SignatureChecks();

  // Whether the signature of the connector at `position` (in the map's
  // order) is valid; waits for the checks to end.
  [[nodiscard]] bool valid(std::size_t position);

 private:
  void work() noexcept;
  void wait() noexcept;

  std::vector<const contracts::InstalledConnector*> connectors_;
  varnholt::crypto::VerifyingKey key_;
  std::vector<unsigned char> valid_;
  std::atomic<std::size_t> next_{0};
  std::vector<std::thread> workers_;
};

// The installed connectors (ordered by identifier), the delivery log (in the
// order of appending) and the retry policy.
struct Router {
  Connectors connectors;
  std::vector<contracts::Delivery> deliveries;
  RetryPolicy policy;

  // Whether `connector` may receive `event`. Checks, in order: the manifest's
  // signature, approval, tenant, event type, data classes; the first that
  // fails gives the reason. A tampered manifest is thus reported as such even
  // when the connector is not approved.
  [[nodiscard]] static Verdict admit(const contracts::InstalledConnector& connector,
                                     const contracts::BridgeEvent& event,
                                     const varnholt::crypto::VerifyingKey& key);
  // The same, with the signature checked already.
  [[nodiscard]] static Verdict admit(const contracts::InstalledConnector& connector,
                                     const contracts::BridgeEvent& event, bool signature_valid);

  // Judges `event` for every connector in identifier order, then appends one
  // delivery per connector: queued for the first attempt, or refused with the
  // reason. Returns how many were queued.
  std::size_t route(const contracts::BridgeEvent& event, const varnholt::crypto::VerifyingKey& key,
                    Timestamp now);
  // The same, with the signatures of `connectors` checked by `checks`.
  std::size_t route(const contracts::BridgeEvent& event, SignatureChecks& checks, Timestamp now);

  friend bool operator==(const Router&, const Router&) = default;
};

// Installs an outbound signed webhook connector, signed with the bridge key and
// pending approval. Returns its new identifier, or the signing error's text.
// On failure the router is unchanged.
[[nodiscard]] std::expected<ConnectorId, std::string> install_connector(
    Router& router, const contracts::TenantId& tenant, std::string name, std::string endpoint_ref,
    std::string secret_ref, const std::vector<std::string>& events,
    const std::set<contracts::DataClass>& classes, const varnholt::crypto::SigningKey& key,
    Timestamp now);

// Approves an installed connector against a workflow reference, whatever its
// status was, after checking its signature. Fails with "unknown connector {id}"
// or the tampered-manifest text; on failure the router is unchanged.
[[nodiscard]] std::expected<void, std::string> approve_connector(
    Router& router, const ConnectorId& connector, std::string workflow_ref,
    const varnholt::crypto::VerifyingKey& key);

}  // namespace corvane::router
