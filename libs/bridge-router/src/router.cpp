#include "corvane/router/router.hpp"

#include <algorithm>

namespace corvane::router {

using contracts::ConnectorStatus;
using contracts::Delivery;
using contracts::DeliveryId;
using contracts::RefusalReason;

namespace {

// Below this many connectors the checks are made right away: starting threads
// would cost more than it saves.
constexpr std::size_t kConnectorsPerThread = 32;

}  // namespace

SignatureChecks::SignatureChecks(const Connectors& connectors,
                                 const varnholt::crypto::VerifyingKey& key)
    : key_(key), valid_(connectors.size(), 0) {
  connectors_.reserve(connectors.size());
  for (const auto& [id, connector] : connectors) connectors_.push_back(&connector);
  const std::size_t cores = std::max(1U, std::thread::hardware_concurrency());
  const std::size_t threads = std::min(cores, connectors_.size() / kConnectorsPerThread);
  if (threads == 0) {
    work();
    return;
  }
  workers_.reserve(threads);
  try {
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  } catch (const std::system_error&) {
    // No more threads to be had: the ones running, or this one, do it all.
    if (workers_.empty()) work();
  }
}

SignatureChecks::~SignatureChecks() {
  wait();
}

void SignatureChecks::work() noexcept {
  for (std::size_t i = next_++; i < connectors_.size(); i = next_++) {
    valid_[i] = connectors_[i]->verify(key_).has_value() ? 1 : 0;
  }
}

void SignatureChecks::wait() noexcept {
  for (auto& worker : workers_) worker.join();
  workers_.clear();
}

bool SignatureChecks::valid(std::size_t position) {
  wait();
  return valid_.at(position) != 0;
}

Verdict Router::admit(const contracts::InstalledConnector& connector,
                      const contracts::BridgeEvent& event,
                      const varnholt::crypto::VerifyingKey& key) {
  return admit(connector, event, connector.verify(key).has_value());
}

Verdict Router::admit(const contracts::InstalledConnector& connector,
                      const contracts::BridgeEvent& event, bool signature_valid) {
  if (!signature_valid) return RefusalReason::ManifestSignatureInvalid;
  if (connector.status != ConnectorStatus::Approved) return RefusalReason::ConnectorNotApproved;
  const auto& manifest = connector.manifest;
  if (manifest.tenant_id != event.tenant_id) return RefusalReason::TenantMismatch;
  if (!manifest.allowed_event_types.contains(event.event_type)) {
    return RefusalReason::EventTypeNotAllowed;
  }
  const bool classes_allowed = std::ranges::all_of(event.fields, [&](const auto& field) {
    return manifest.allowed_classes.contains(field.second);
  });
  if (!classes_allowed) return RefusalReason::DataClassNotAllowed;
  return std::nullopt;
}

std::size_t Router::route(const contracts::BridgeEvent& event,
                          const varnholt::crypto::VerifyingKey& key, Timestamp now) {
  SignatureChecks checks(connectors, key);
  return route(event, checks, now);
}

std::size_t Router::route(const contracts::BridgeEvent& event, SignatureChecks& checks,
                          Timestamp now) {
  // Every verdict is known before the log grows.
  std::vector<std::pair<ConnectorId, Verdict>> verdicts;
  verdicts.reserve(connectors.size());
  std::size_t position = 0;
  for (const auto& [id, connector] : connectors) {
    verdicts.emplace_back(connector.manifest.connector_id,
                          admit(connector, event, checks.valid(position++)));
  }
  const auto first_attempt =
      now.saturating_add_seconds(std::min(policy.base_delay_seconds, policy.max_delay_seconds));
  std::size_t queued = 0;
  deliveries.reserve(deliveries.size() + verdicts.size());
  for (const auto& [connector_id, verdict] : verdicts) {
    contracts::DeliveryStatus status;
    if (verdict) {
      status = contracts::delivery_status::Refused{*verdict};
    } else {
      status = contracts::delivery_status::Queued{1, first_attempt};
      ++queued;
    }
    deliveries.push_back(
        Delivery{DeliveryId::new_v4(), connector_id, event.event_type, std::move(status), now});
  }
  return queued;
}

std::expected<ConnectorId, std::string> install_connector(
    Router& router, const contracts::TenantId& tenant, std::string name, std::string endpoint_ref,
    std::string secret_ref, const std::vector<std::string>& events,
    const std::set<contracts::DataClass>& classes, const varnholt::crypto::SigningKey& key,
    Timestamp now) {
  contracts::ConnectorManifest manifest;
  manifest.contract_version = 1;
  manifest.connector_id = ConnectorId::new_v4();
  manifest.tenant_id = tenant;
  manifest.workspace_id = contracts::WorkspaceId::new_v4();
  manifest.name = std::move(name);
  manifest.kind =
      contracts::kind::SignedWebhookOutbound{std::move(endpoint_ref), std::move(secret_ref)};
  manifest.allowed_classes = classes;
  manifest.allowed_event_types = std::set<std::string>(events.begin(), events.end());
  manifest.version = 1;
  const auto id = manifest.connector_id;
  auto connector = contracts::InstalledConnector::sign(std::move(manifest), key, now);
  if (!connector) return std::unexpected(std::move(connector.error()));
  router.connectors.insert_or_assign(id, std::move(*connector));
  return id;
}

std::expected<void, std::string> approve_connector(Router& router, const ConnectorId& connector,
                                                   std::string workflow_ref,
                                                   const varnholt::crypto::VerifyingKey& key) {
  const auto found = router.connectors.find(connector);
  if (found == router.connectors.end()) {
    return std::unexpected("unknown connector " + connector.to_string());
  }
  if (auto verified = found->second.verify(key); !verified) return verified;
  found->second.status = ConnectorStatus::Approved;
  found->second.approval_workflow_ref = std::move(workflow_ref);
  return {};
}

}  // namespace corvane::router
