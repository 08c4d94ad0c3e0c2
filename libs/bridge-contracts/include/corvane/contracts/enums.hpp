#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "varnholt/contracts/time.hpp"

namespace corvane::contracts {

using varnholt::contracts::Timestamp;

// A class of data an event may carry and a connector may be allowed to
// receive. Declaration order is also the order of a set of classes.
enum class DataClass : std::uint8_t {
  OperationalMetadata,
  SecurityMetadata,
  PseudonymousIdentifier,
  EncryptedObjectReference,
  RedactedError,
};
// The names of the data classes, in declaration order: how the state file
// stores them and how the command line names them.
inline constexpr std::array<std::string_view, 5> kDataClassNames = {
    "operational_metadata", "security_metadata", "pseudonymous_identifier",
    "encrypted_object_reference", "redacted_error"};
static_assert(kDataClassNames.size() == static_cast<std::size_t>(DataClass::RedactedError) + 1);

// Approval state of an installed connector.
enum class ConnectorStatus : std::uint8_t { PendingApproval, Approved, Suspended, Revoked };
inline constexpr std::array<std::string_view, 4> kConnectorStatusNames = {
    "pending_approval", "approved", "suspended", "revoked"};
// How listings show a status.
inline constexpr std::array<std::string_view, 4> kConnectorStatusDisplay = {
    "PendingApproval", "Approved", "Suspended", "Revoked"};
static_assert(kConnectorStatusNames.size() ==
              static_cast<std::size_t>(ConnectorStatus::Revoked) + 1);
static_assert(kConnectorStatusDisplay.size() == kConnectorStatusNames.size());

// Why a delivery was refused.
enum class RefusalReason : std::uint8_t {
  ConnectorNotApproved,
  EventTypeNotAllowed,
  DataClassNotAllowed,
  TenantMismatch,
  ManifestSignatureInvalid,
};
inline constexpr std::array<std::string_view, 5> kRefusalReasonNames = {
    "connector_not_approved", "event_type_not_allowed", "data_class_not_allowed", "tenant_mismatch",
    "manifest_signature_invalid"};
static_assert(kRefusalReasonNames.size() ==
              static_cast<std::size_t>(RefusalReason::ManifestSignatureInvalid) + 1);

// What a connector is, with the opaque references that kind needs. The
// references name things held elsewhere (endpoints, secrets, keys, servers,
// buckets, directories); they are stored, never resolved.
namespace kind {
struct SignedWebhookOutbound {
  std::string endpoint_reference;
  std::string signing_secret;
  friend bool operator==(const SignedWebhookOutbound&, const SignedWebhookOutbound&) = default;
};
struct SignedWebhookInbound {
  std::string verifying_key_reference;
  friend bool operator==(const SignedWebhookInbound&, const SignedWebhookInbound&) = default;
};
struct SmtpNotification {
  std::string server_reference;
  std::string credential;
  friend bool operator==(const SmtpNotification&, const SmtpNotification&) = default;
};
struct ObjectReferenceStore {
  std::string bucket_reference;
  std::string credential;
  friend bool operator==(const ObjectReferenceStore&, const ObjectReferenceStore&) = default;
};
struct TicketingRest {
  std::string endpoint_reference;
  std::string credential;
  friend bool operator==(const TicketingRest&, const TicketingRest&) = default;
};
struct LocalFileDrop {
  std::string directory_reference;
  friend bool operator==(const LocalFileDrop&, const LocalFileDrop&) = default;
};
}  // namespace kind
using ConnectorKind =
    std::variant<kind::SignedWebhookOutbound, kind::SignedWebhookInbound, kind::SmtpNotification,
                 kind::ObjectReferenceStore, kind::TicketingRest, kind::LocalFileDrop>;

// State of one delivery.
namespace delivery_status {
struct Queued {
  std::uint32_t attempt = 0;
  Timestamp next_attempt_at;
  friend bool operator==(const Queued&, const Queued&) = default;
};
struct Delivered {
  Timestamp at;
  friend bool operator==(const Delivered&, const Delivered&) = default;
};
struct Refused {
  RefusalReason reason = RefusalReason::ConnectorNotApproved;
  friend bool operator==(const Refused&, const Refused&) = default;
};
struct DeadLettered {
  std::uint32_t attempts = 0;
  std::string last_error_class;
  friend bool operator==(const DeadLettered&, const DeadLettered&) = default;
};
}  // namespace delivery_status
using DeliveryStatus = std::variant<delivery_status::Queued, delivery_status::Delivered,
                                    delivery_status::Refused, delivery_status::DeadLettered>;

[[nodiscard]] constexpr std::string_view name(DataClass value) {
  return kDataClassNames[static_cast<std::size_t>(value)];
}
[[nodiscard]] constexpr std::string_view name(ConnectorStatus value) {
  return kConnectorStatusNames[static_cast<std::size_t>(value)];
}
// "PendingApproval", "Approved", ...: how listings show a status.
[[nodiscard]] constexpr std::string_view display(ConnectorStatus value) {
  return kConnectorStatusDisplay[static_cast<std::size_t>(value)];
}
[[nodiscard]] constexpr std::string_view name(RefusalReason value) {
  return kRefusalReasonNames[static_cast<std::size_t>(value)];
}

// The data class named exactly (case-sensitive, no trimming) by `text`.
[[nodiscard]] std::optional<DataClass> data_class_from_name(std::string_view text);

}  // namespace corvane::contracts
