#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <set>
#include <string>

#include "corvane/contracts/enums.hpp"
#include "varnholt/contracts/uuid.hpp"
#include "varnholt/crypto/sign.hpp"

namespace corvane::contracts {

using varnholt::contracts::TenantId;
using varnholt::contracts::WorkspaceId;

struct ConnectorTag {};
struct DeliveryTag {};
struct RouteTag {};
using ConnectorId = varnholt::contracts::Id<ConnectorTag>;
using DeliveryId = varnholt::contracts::Id<DeliveryTag>;
using RouteId = varnholt::contracts::Id<RouteTag>;

// The signed description of a connector. Every member is part of the signed
// message, so changing any of them invalidates the signature.
struct ConnectorManifest {
  std::uint16_t contract_version = 0;
  ConnectorId connector_id;
  TenantId tenant_id;
  WorkspaceId workspace_id;
  std::string name;
  ConnectorKind kind;
  std::set<DataClass> allowed_classes;        // declaration order of DataClass
  std::set<std::string> allowed_event_types;  // byte-wise order
  std::uint64_t version = 0;

  friend bool operator==(const ConnectorManifest&, const ConnectorManifest&) = default;
};

// An installed connector: its manifest, the bridge's signature over the
// manifest's canonical bytes, and its approval state.
struct InstalledConnector {
  ConnectorManifest manifest;
  varnholt::crypto::Signature signature;
  ConnectorStatus status = ConnectorStatus::PendingApproval;
  std::optional<std::string> approval_workflow_ref;
  Timestamp installed_at;

  // Signs `manifest` with the bridge key: a new connector pending approval,
  // without a workflow reference. Fails with the canonical-form error's text.
  [[nodiscard]] static std::expected<InstalledConnector, std::string> sign(
      ConnectorManifest manifest, const varnholt::crypto::SigningKey& key, Timestamp installed_at);

  // Recomputes the manifest's canonical bytes and checks the stored signature.
  // Whatever fails underneath, the text is "connector manifest signature
  // invalid or manifest tampered".
  [[nodiscard]] std::expected<void, std::string> verify(
      const varnholt::crypto::VerifyingKey& key) const;

  friend bool operator==(const InstalledConnector&, const InstalledConnector&) = default;
};

inline constexpr std::string_view kTamperedManifest =
    "connector manifest signature invalid or manifest tampered";

// One routed event for one connector.
struct Delivery {
  DeliveryId delivery_id;
  ConnectorId connector_id;
  std::string event_type;
  DeliveryStatus status;
  Timestamp created_at;

  friend bool operator==(const Delivery&, const Delivery&) = default;
};

}  // namespace corvane::contracts
