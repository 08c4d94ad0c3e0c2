#pragma once

// The JSON forms of the bridge records and enumerations, each described once
// (see varnholt/json/record.hpp). The descriptions drive the state file's
// pretty layout, compact and --json output, the general JSON value that a
// manifest's canonical bytes are computed from, and reading.

#include <array>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "corvane/contracts/records.hpp"
#include "varnholt/json/record.hpp"

namespace corvane::contracts {

// A UUID given as a member name or string value; its faults read "UUID
// parsing failed: ...".
[[nodiscard]] varnholt::json::Decoded<varnholt::contracts::Uuid> parse_uuid_text(
    std::string_view text);

// The general JSON value of a manifest: its nine members, ordered by key.
void to_json(nlohmann::json& out, const ConnectorManifest& manifest);

}  // namespace corvane::contracts

namespace varnholt::json {

// --- values ----------------------------------------------------------------------------

// Identifiers: 36 lower-case characters; read in any of the four UUID forms.
template <>
struct Codec<contracts::Uuid> {
  template <typename Sink>
  static void write(Sink& sink, const contracts::Uuid& uuid) {
    std::array<char, 36> text{};
    uuid.write_to(text.data());
    sink.raw_string(std::string_view(text.data(), text.size()));
  }
  static Decoded<void> read(Reader& reader, contracts::Uuid& out);
  static void append_key(std::string& out, const contracts::Uuid& uuid) { uuid.append_to(out); }
  static Decoded<contracts::Uuid> parse_key(std::string_view text) {
    return corvane::contracts::parse_uuid_text(text);
  }
};

template <typename Tag>
struct Codec<contracts::Id<Tag>> {
  template <typename Sink>
  static void write(Sink& sink, const contracts::Id<Tag>& id) {
    Codec<contracts::Uuid>::write(sink, id.uuid());
  }
  static Decoded<void> read(Reader& reader, contracts::Id<Tag>& out) {
    contracts::Uuid uuid;
    if (auto read = Codec<contracts::Uuid>::read(reader, uuid); !read) return read;
    out = contracts::Id<Tag>(uuid);
    return {};
  }
  static void append_key(std::string& out, const contracts::Id<Tag>& id) {
    id.uuid().append_to(out);
  }
  static Decoded<contracts::Id<Tag>> parse_key(std::string_view text) {
    auto uuid = corvane::contracts::parse_uuid_text(text);
    if (!uuid) return std::unexpected(std::move(uuid.error()));
    return contracts::Id<Tag>(*uuid);
  }
};

// RFC 3339 text. A text that is not a timestamp has no position of its own:
// the enclosing record places it.
template <>
struct Codec<contracts::Timestamp> {
  template <typename Sink>
  static void write(Sink& sink, const contracts::Timestamp& time) {
    std::array<char, contracts::Timestamp::kMaxTextLength> text{};
    sink.raw_string(std::string_view(text.data(), time.write_rfc3339(text.data())));
  }
  static Decoded<void> read(Reader& reader, contracts::Timestamp& out);
  static Decoded<void> read_content(const Content& content, contracts::Timestamp& out);
};

// 128 hex digits.
template <>
struct Codec<crypto::Signature> {
  template <typename Sink>
  static void write(Sink& sink, const crypto::Signature& signature) {
    std::string text;
    signature.append_hex(text);
    sink.raw_string(text);
  }
  static Decoded<void> read(Reader& reader, crypto::Signature& out);
};

// --- enumerations ----------------------------------------------------------------------

template <>
struct Describe<corvane::contracts::DataClass> {
  static constexpr auto& names = corvane::contracts::kDataClassNames;
};
template <>
struct Describe<corvane::contracts::ConnectorStatus> {
  static constexpr auto& names = corvane::contracts::kConnectorStatusNames;
};
template <>
struct Describe<corvane::contracts::RefusalReason> {
  static constexpr auto& names = corvane::contracts::kRefusalReasonNames;
};

// --- connector kinds -----------------------------------------------------------------

namespace kinds = corvane::contracts::kind;

template <>
struct Describe<kinds::SignedWebhookOutbound> {
  using T = kinds::SignedWebhookOutbound;
  static constexpr std::tuple members{Member{"endpoint_reference", &T::endpoint_reference},
                                      Member{"signing_secret", &T::signing_secret}};
};
template <>
struct Describe<kinds::SignedWebhookInbound> {
  using T = kinds::SignedWebhookInbound;
  static constexpr std::tuple members{
      Member{"verifying_key_reference", &T::verifying_key_reference}};
};
template <>
struct Describe<kinds::SmtpNotification> {
  using T = kinds::SmtpNotification;
  static constexpr std::tuple members{Member{"server_reference", &T::server_reference},
                                      Member{"credential", &T::credential}};
};
template <>
struct Describe<kinds::ObjectReferenceStore> {
  using T = kinds::ObjectReferenceStore;
  static constexpr std::tuple members{Member{"bucket_reference", &T::bucket_reference},
                                      Member{"credential", &T::credential}};
};
template <>
struct Describe<kinds::TicketingRest> {
  using T = kinds::TicketingRest;
  static constexpr std::tuple members{Member{"endpoint_reference", &T::endpoint_reference},
                                      Member{"credential", &T::credential}};
};
template <>
struct Describe<kinds::LocalFileDrop> {
  using T = kinds::LocalFileDrop;
  static constexpr std::tuple members{Member{"directory_reference", &T::directory_reference}};
};

template <>
struct Describe<corvane::contracts::ConnectorKind> {
  static constexpr std::string_view tag = "connector";
  static constexpr std::string_view expecting = "internally tagged enum ConnectorKind";
  static constexpr std::tuple alternatives{
      Alternative<kinds::SignedWebhookOutbound>{
          "signed_webhook_outbound", "struct variant ConnectorKind::SignedWebhookOutbound"},
      Alternative<kinds::SignedWebhookInbound>{
          "signed_webhook_inbound", "struct variant ConnectorKind::SignedWebhookInbound"},
      Alternative<kinds::SmtpNotification>{"smtp_notification",
                                           "struct variant ConnectorKind::SmtpNotification"},
      Alternative<kinds::ObjectReferenceStore>{
          "object_reference_store", "struct variant ConnectorKind::ObjectReferenceStore"},
      Alternative<kinds::TicketingRest>{"ticketing_rest",
                                        "struct variant ConnectorKind::TicketingRest"},
      Alternative<kinds::LocalFileDrop>{"local_file_drop",
                                        "struct variant ConnectorKind::LocalFileDrop"}};
};

// --- delivery states -------------------------------------------------------------------

namespace states = corvane::contracts::delivery_status;

template <>
struct Describe<states::Queued> {
  using T = states::Queued;
  static constexpr std::tuple members{Member{"attempt", &T::attempt},
                                      Member{"next_attempt_at", &T::next_attempt_at}};
};
template <>
struct Describe<states::Delivered> {
  using T = states::Delivered;
  static constexpr std::tuple members{Member{"at", &T::at}};
};
template <>
struct Describe<states::Refused> {
  using T = states::Refused;
  static constexpr std::tuple members{Member{"reason", &T::reason}};
};
template <>
struct Describe<states::DeadLettered> {
  using T = states::DeadLettered;
  static constexpr std::tuple members{Member{"attempts", &T::attempts},
                                      Member{"last_error_class", &T::last_error_class}};
};

template <>
struct Describe<corvane::contracts::DeliveryStatus> {
  static constexpr std::string_view tag = "status";
  static constexpr std::string_view expecting = "internally tagged enum DeliveryStatus";
  static constexpr std::tuple alternatives{
      Alternative<states::Queued>{"queued", "struct variant DeliveryStatus::Queued"},
      Alternative<states::Delivered>{"delivered", "struct variant DeliveryStatus::Delivered"},
      Alternative<states::Refused>{"refused", "struct variant DeliveryStatus::Refused"},
      Alternative<states::DeadLettered>{"dead_lettered",
                                        "struct variant DeliveryStatus::DeadLettered"}};
};

// --- records -----------------------------------------------------------------------------

// Every member of a manifest is part of its signed message: this list is also
// the general value that canonical bytes are computed from.
template <>
struct Describe<corvane::contracts::ConnectorManifest> {
  using T = corvane::contracts::ConnectorManifest;
  static constexpr std::string_view expecting = "struct ConnectorManifest";
  static constexpr std::tuple members{Member{"contract_version", &T::contract_version},
                                      Member{"connector_id", &T::connector_id},
                                      Member{"tenant_id", &T::tenant_id},
                                      Member{"workspace_id", &T::workspace_id},
                                      Member{"name", &T::name},
                                      Member{"kind", &T::kind},
                                      Member{"allowed_classes", &T::allowed_classes},
                                      Member{"allowed_event_types", &T::allowed_event_types},
                                      Member{"version", &T::version}};
};

template <>
struct Describe<corvane::contracts::InstalledConnector> {
  using T = corvane::contracts::InstalledConnector;
  static constexpr std::string_view expecting = "struct InstalledConnector";
  static constexpr std::tuple members{
      Member{"manifest", &T::manifest}, Member{"signature", &T::signature},
      Member{"status", &T::status},
      Member{"approval_workflow_ref", &T::approval_workflow_ref, Presence::Optional},
      Member{"installed_at", &T::installed_at}};
};

template <>
struct Describe<corvane::contracts::Delivery> {
  using T = corvane::contracts::Delivery;
  static constexpr std::string_view expecting = "struct Delivery";
  static constexpr std::tuple members{
      Member{"delivery_id", &T::delivery_id}, Member{"connector_id", &T::connector_id},
      Member{"event_type", &T::event_type}, Member{"status", &T::status},
      Member{"created_at", &T::created_at}};
};

}  // namespace varnholt::json

namespace corvane::contracts {

// The kind's tag value, e.g. "signed_webhook_outbound".
[[nodiscard]] inline std::string_view kind_name(const ConnectorKind& kind) {
  return varnholt::json::Codec<ConnectorKind>::kTagValues[kind.index()];
}

}  // namespace corvane::contracts
