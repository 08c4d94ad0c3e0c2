#include "corvane/contracts/json.hpp"

#include <type_traits>

namespace corvane::contracts {

using varnholt::contracts::Uuid;
using varnholt::json::Content;
using varnholt::json::ContentField;
using varnholt::json::Decoded;
using varnholt::json::Field;
using varnholt::json::Reader;
using varnholt::json::Writer;

namespace {

void write_uuid(Writer& writer, const Uuid& uuid) {
  std::string buffer;
  buffer.reserve(36);
  uuid.append_to(buffer);
  writer.raw_string(buffer);
}

void write_timestamp(Writer& writer, const Timestamp& time) {
  std::string buffer;
  time.append_rfc3339(buffer);
  writer.raw_string(buffer);
}

void write_member(Writer& writer, std::string_view key, std::string_view text) {
  writer.key(key);
  writer.string(text);
}

}  // namespace

// --- writing in stored order -----------------------------------------------------

void write(Writer& writer, const ConnectorKind& kind) {
  writer.begin_object();
  write_member(writer, "connector", kind_name(kind));
  std::visit(
      [&](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, kind::SignedWebhookOutbound>) {
          write_member(writer, "endpoint_reference", k.endpoint_reference);
          write_member(writer, "signing_secret", k.signing_secret);
        } else if constexpr (std::is_same_v<K, kind::SignedWebhookInbound>) {
          write_member(writer, "verifying_key_reference", k.verifying_key_reference);
        } else if constexpr (std::is_same_v<K, kind::SmtpNotification>) {
          write_member(writer, "server_reference", k.server_reference);
          write_member(writer, "credential", k.credential);
        } else if constexpr (std::is_same_v<K, kind::ObjectReferenceStore>) {
          write_member(writer, "bucket_reference", k.bucket_reference);
          write_member(writer, "credential", k.credential);
        } else if constexpr (std::is_same_v<K, kind::TicketingRest>) {
          write_member(writer, "endpoint_reference", k.endpoint_reference);
          write_member(writer, "credential", k.credential);
        } else {
          static_assert(std::is_same_v<K, kind::LocalFileDrop>);
          write_member(writer, "directory_reference", k.directory_reference);
        }
      },
      kind);
  writer.end_object();
}

void write(Writer& writer, const DeliveryStatus& status) {
  writer.begin_object();
  write_member(writer, "status", status_name(status));
  std::visit(
      [&](const auto& s) {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, delivery_status::Queued>) {
          writer.key("attempt");
          writer.unsigned_number(s.attempt);
          writer.key("next_attempt_at");
          write_timestamp(writer, s.next_attempt_at);
        } else if constexpr (std::is_same_v<S, delivery_status::Delivered>) {
          writer.key("at");
          write_timestamp(writer, s.at);
        } else if constexpr (std::is_same_v<S, delivery_status::Refused>) {
          write_member(writer, "reason", name(s.reason));
        } else {
          static_assert(std::is_same_v<S, delivery_status::DeadLettered>);
          writer.key("attempts");
          writer.unsigned_number(s.attempts);
          write_member(writer, "last_error_class", s.last_error_class);
        }
      },
      status);
  writer.end_object();
}

void write(Writer& writer, const ConnectorManifest& manifest) {
  writer.begin_object();
  writer.key("contract_version");
  writer.unsigned_number(manifest.contract_version);
  writer.key("connector_id");
  write_uuid(writer, manifest.connector_id.uuid());
  writer.key("tenant_id");
  write_uuid(writer, manifest.tenant_id.uuid());
  writer.key("workspace_id");
  write_uuid(writer, manifest.workspace_id.uuid());
  write_member(writer, "name", manifest.name);
  writer.key("kind");
  write(writer, manifest.kind);
  writer.key("allowed_classes");
  writer.begin_array();
  for (const DataClass c : manifest.allowed_classes) writer.string(name(c));
  writer.end_array();
  writer.key("allowed_event_types");
  writer.begin_array();
  for (const auto& event_type : manifest.allowed_event_types) writer.string(event_type);
  writer.end_array();
  writer.key("version");
  writer.unsigned_number(manifest.version);
  writer.end_object();
}

void write(Writer& writer, const InstalledConnector& connector) {
  writer.begin_object();
  writer.key("manifest");
  write(writer, connector.manifest);
  writer.key("signature");
  std::string hex;
  connector.signature.append_hex(hex);
  writer.raw_string(hex);
  write_member(writer, "status", name(connector.status));
  writer.key("approval_workflow_ref");
  if (connector.approval_workflow_ref) {
    writer.string(*connector.approval_workflow_ref);
  } else {
    writer.null();
  }
  writer.key("installed_at");
  write_timestamp(writer, connector.installed_at);
  writer.end_object();
}

void write(Writer& writer, const Delivery& delivery) {
  writer.begin_object();
  writer.key("delivery_id");
  write_uuid(writer, delivery.delivery_id.uuid());
  writer.key("connector_id");
  write_uuid(writer, delivery.connector_id.uuid());
  write_member(writer, "event_type", delivery.event_type);
  writer.key("status");
  write(writer, delivery.status);
  writer.key("created_at");
  write_timestamp(writer, delivery.created_at);
  writer.end_object();
}

// --- general JSON values ---------------------------------------------------------

nlohmann::json to_json_value(const ConnectorKind& kind) {
  nlohmann::json out = nlohmann::json::object();
  out["connector"] = kind_name(kind);
  std::visit(
      [&](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, kind::SignedWebhookOutbound>) {
          out["endpoint_reference"] = k.endpoint_reference;
          out["signing_secret"] = k.signing_secret;
        } else if constexpr (std::is_same_v<K, kind::SignedWebhookInbound>) {
          out["verifying_key_reference"] = k.verifying_key_reference;
        } else if constexpr (std::is_same_v<K, kind::SmtpNotification>) {
          out["server_reference"] = k.server_reference;
          out["credential"] = k.credential;
        } else if constexpr (std::is_same_v<K, kind::ObjectReferenceStore>) {
          out["bucket_reference"] = k.bucket_reference;
          out["credential"] = k.credential;
        } else if constexpr (std::is_same_v<K, kind::TicketingRest>) {
          out["endpoint_reference"] = k.endpoint_reference;
          out["credential"] = k.credential;
        } else {
          out["directory_reference"] = k.directory_reference;
        }
      },
      kind);
  return out;
}

nlohmann::json to_json_value(const DeliveryStatus& status) {
  nlohmann::json out = nlohmann::json::object();
  out["status"] = status_name(status);
  std::visit(
      [&](const auto& s) {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, delivery_status::Queued>) {
          out["attempt"] = s.attempt;
          out["next_attempt_at"] = s.next_attempt_at.to_rfc3339();
        } else if constexpr (std::is_same_v<S, delivery_status::Delivered>) {
          out["at"] = s.at.to_rfc3339();
        } else if constexpr (std::is_same_v<S, delivery_status::Refused>) {
          out["reason"] = name(s.reason);
        } else {
          out["attempts"] = s.attempts;
          out["last_error_class"] = s.last_error_class;
        }
      },
      status);
  return out;
}

void to_json(nlohmann::json& out, const ConnectorManifest& manifest) {
  out = nlohmann::json::object();
  out["contract_version"] = manifest.contract_version;
  out["connector_id"] = manifest.connector_id.to_string();
  out["tenant_id"] = manifest.tenant_id.to_string();
  out["workspace_id"] = manifest.workspace_id.to_string();
  out["name"] = manifest.name;
  out["kind"] = to_json_value(manifest.kind);
  auto& classes = out["allowed_classes"] = nlohmann::json::array();
  for (const DataClass c : manifest.allowed_classes) classes.push_back(name(c));
  auto& events = out["allowed_event_types"] = nlohmann::json::array();
  for (const auto& event_type : manifest.allowed_event_types) events.push_back(event_type);
  out["version"] = manifest.version;
}

void to_json(nlohmann::json& out, const InstalledConnector& connector) {
  out = nlohmann::json::object();
  to_json(out["manifest"], connector.manifest);
  out["signature"] = connector.signature.to_hex();
  out["status"] = name(connector.status);
  out["approval_workflow_ref"] = connector.approval_workflow_ref
                                     ? nlohmann::json(*connector.approval_workflow_ref)
                                     : nlohmann::json(nullptr);
  out["installed_at"] = connector.installed_at.to_rfc3339();
}

void to_json(nlohmann::json& out, const Delivery& delivery) {
  out = nlohmann::json::object();
  out["delivery_id"] = delivery.delivery_id.to_string();
  out["connector_id"] = delivery.connector_id.to_string();
  out["event_type"] = delivery.event_type;
  out["status"] = to_json_value(delivery.status);
  out["created_at"] = delivery.created_at.to_rfc3339();
}

// --- reading -----------------------------------------------------------------------

Decoded<Uuid> parse_uuid_text(std::string_view text) {
  auto uuid = Uuid::parse(text);
  if (!uuid) return varnholt::json::fail("UUID parsing failed: " + uuid.error());
  return *uuid;
}

Decoded<Uuid> read_uuid(Reader& reader) {
  return varnholt::json::read_string_as(reader, "a formatted UUID string", parse_uuid_text);
}

Decoded<Timestamp> read_timestamp(Reader& reader) {
  auto text = varnholt::json::read_string(reader);
  if (!text) return std::unexpected(std::move(text.error()));
  auto time = Timestamp::from_str(*text);
  if (!time) return varnholt::json::fail(time.error().message());
  return *time;
}

namespace {

template <typename Tag>
Decoded<void> read_id(Reader& reader, varnholt::contracts::Id<Tag>& out) {
  auto uuid = read_uuid(reader);
  if (!uuid) return std::unexpected(std::move(uuid.error()));
  out = varnholt::contracts::Id<Tag>(*uuid);
  return {};
}

Decoded<void> read_text(Reader& reader, std::string& out) {
  auto text = varnholt::json::read_string(reader);
  if (!text) return std::unexpected(std::move(text.error()));
  out = std::move(*text);
  return {};
}

// Reads one member of a tagged variant's body into `Member` of `Variant`.
template <typename Variant, std::string Variant::*Member>
Decoded<void> content_text(const Content& content, Variant& out) {
  auto text = varnholt::json::content_to_string(content);
  if (!text) return std::unexpected(std::move(text.error()));
  out.*Member = std::move(*text);
  return {};
}

template <typename Variant, std::uint32_t Variant::*Member>
Decoded<void> content_u32(const Content& content, Variant& out) {
  auto value = varnholt::json::content_to_unsigned(content, 0xFFFFFFFFu, "u32");
  if (!value) return std::unexpected(std::move(value.error()));
  out.*Member = static_cast<std::uint32_t>(*value);
  return {};
}

template <typename Variant, Timestamp Variant::*Member>
Decoded<void> content_timestamp(const Content& content, Variant& out) {
  auto text = varnholt::json::content_to_string(content);
  if (!text) return std::unexpected(std::move(text.error()));
  auto time = Timestamp::from_str(*text);
  if (!time) return varnholt::json::fail(time.error().message());
  out.*Member = *time;
  return {};
}

Decoded<void> content_reason(const Content& content, delivery_status::Refused& out) {
  auto variant = varnholt::json::content_to_plain_enum(content, kRefusalReasonNames);
  if (!variant) return std::unexpected(std::move(variant.error()));
  out.reason = static_cast<RefusalReason>(*variant);
  return {};
}

template <typename Variant, typename Sum, std::size_t N>
Decoded<void> read_body(const varnholt::json::Tagged& tagged, Sum& out, std::string_view expecting,
                        const ContentField<Variant> (&fields)[N]) {
  Variant body;
  if (auto read = varnholt::json::read_variant_body(tagged, body, expecting, fields); !read)
    return read;
  out = std::move(body);
  return {};
}

Decoded<void> read_kind(Reader& reader, ConnectorKind& out) {
  auto tagged = varnholt::json::read_tagged(
      reader, "connector", "internally tagged enum ConnectorKind", kConnectorKindNames);
  if (!tagged) return std::unexpected(std::move(tagged.error()));
  using namespace kind;
  switch (tagged->variant) {
    case 0: {
      static constexpr ContentField<SignedWebhookOutbound> fields[] = {
          {"endpoint_reference",
           content_text<SignedWebhookOutbound, &SignedWebhookOutbound::endpoint_reference>},
          {"signing_secret",
           content_text<SignedWebhookOutbound, &SignedWebhookOutbound::signing_secret>}};
      return read_body(*tagged, out, "struct variant ConnectorKind::SignedWebhookOutbound", fields);
    }
    case 1: {
      static constexpr ContentField<SignedWebhookInbound> fields[] = {
          {"verifying_key_reference",
           content_text<SignedWebhookInbound, &SignedWebhookInbound::verifying_key_reference>}};
      return read_body(*tagged, out, "struct variant ConnectorKind::SignedWebhookInbound", fields);
    }
    case 2: {
      static constexpr ContentField<SmtpNotification> fields[] = {
          {"server_reference", content_text<SmtpNotification, &SmtpNotification::server_reference>},
          {"credential", content_text<SmtpNotification, &SmtpNotification::credential>}};
      return read_body(*tagged, out, "struct variant ConnectorKind::SmtpNotification", fields);
    }
    case 3: {
      static constexpr ContentField<ObjectReferenceStore> fields[] = {
          {"bucket_reference",
           content_text<ObjectReferenceStore, &ObjectReferenceStore::bucket_reference>},
          {"credential", content_text<ObjectReferenceStore, &ObjectReferenceStore::credential>}};
      return read_body(*tagged, out, "struct variant ConnectorKind::ObjectReferenceStore", fields);
    }
    case 4: {
      static constexpr ContentField<TicketingRest> fields[] = {
          {"endpoint_reference", content_text<TicketingRest, &TicketingRest::endpoint_reference>},
          {"credential", content_text<TicketingRest, &TicketingRest::credential>}};
      return read_body(*tagged, out, "struct variant ConnectorKind::TicketingRest", fields);
    }
    default: {
      static constexpr ContentField<LocalFileDrop> fields[] = {
          {"directory_reference",
           content_text<LocalFileDrop, &LocalFileDrop::directory_reference>}};
      return read_body(*tagged, out, "struct variant ConnectorKind::LocalFileDrop", fields);
    }
  }
}

Decoded<void> read_delivery_status(Reader& reader, DeliveryStatus& out) {
  auto tagged = varnholt::json::read_tagged(
      reader, "status", "internally tagged enum DeliveryStatus", kDeliveryStatusNames);
  if (!tagged) return std::unexpected(std::move(tagged.error()));
  using namespace delivery_status;
  switch (tagged->variant) {
    case 0: {
      static constexpr ContentField<Queued> fields[] = {
          {"attempt", content_u32<Queued, &Queued::attempt>},
          {"next_attempt_at", content_timestamp<Queued, &Queued::next_attempt_at>}};
      return read_body(*tagged, out, "struct variant DeliveryStatus::Queued", fields);
    }
    case 1: {
      static constexpr ContentField<Delivered> fields[] = {
          {"at", content_timestamp<Delivered, &Delivered::at>}};
      return read_body(*tagged, out, "struct variant DeliveryStatus::Delivered", fields);
    }
    case 2: {
      static constexpr ContentField<Refused> fields[] = {{"reason", content_reason}};
      return read_body(*tagged, out, "struct variant DeliveryStatus::Refused", fields);
    }
    default: {
      static constexpr ContentField<DeadLettered> fields[] = {
          {"attempts", content_u32<DeadLettered, &DeadLettered::attempts>},
          {"last_error_class", content_text<DeadLettered, &DeadLettered::last_error_class>}};
      return read_body(*tagged, out, "struct variant DeliveryStatus::DeadLettered", fields);
    }
  }
}

template <typename Enum, std::size_t N>
Decoded<void> read_enum(Reader& reader, Enum& out, const std::array<std::string_view, N>& names) {
  auto variant = varnholt::json::read_plain_enum(reader, names);
  if (!variant) return std::unexpected(std::move(variant.error()));
  out = static_cast<Enum>(*variant);
  return {};
}

// A set read from an array; repeated elements are dropped.
template <typename Element, typename ReadElement>
Decoded<void> read_set(Reader& reader, std::set<Element>& out, ReadElement read_element) {
  out.clear();
  return varnholt::json::read_container(
      reader, "a sequence", varnholt::json::Brackets::Array, [&](bool) {
        return varnholt::json::for_each_element(reader, [&](Reader& r) -> Decoded<void> {
          Element element{};
          if (auto read = read_element(r, element); !read) return read;
          out.insert(std::move(element));
          return {};
        });
      });
}

Decoded<void> read_data_class(Reader& reader, DataClass& out) {
  return read_enum(reader, out, kDataClassNames);
}

}  // namespace

Decoded<void> read(Reader& reader, ConnectorManifest& out) {
  static constexpr Field<ConnectorManifest> fields[] = {
      {"contract_version",
       [](Reader& r, ConnectorManifest& m) -> Decoded<void> {
         auto v = varnholt::json::read_unsigned(r, 0xFFFF, "u16");
         if (!v) return std::unexpected(std::move(v.error()));
         m.contract_version = static_cast<std::uint16_t>(*v);
         return {};
       }},
      {"connector_id", [](Reader& r, ConnectorManifest& m) { return read_id(r, m.connector_id); }},
      {"tenant_id", [](Reader& r, ConnectorManifest& m) { return read_id(r, m.tenant_id); }},
      {"workspace_id", [](Reader& r, ConnectorManifest& m) { return read_id(r, m.workspace_id); }},
      {"name", [](Reader& r, ConnectorManifest& m) { return read_text(r, m.name); }},
      {"kind", [](Reader& r, ConnectorManifest& m) { return read_kind(r, m.kind); }},
      {"allowed_classes",
       [](Reader& r, ConnectorManifest& m) {
         return read_set(r, m.allowed_classes, read_data_class);
       }},
      {"allowed_event_types",
       [](Reader& r, ConnectorManifest& m) {
         return read_set(r, m.allowed_event_types, read_text);
       }},
      {"version",
       [](Reader& r, ConnectorManifest& m) -> Decoded<void> {
         auto v = varnholt::json::read_unsigned(r, ~std::uint64_t{0}, "u64");
         if (!v) return std::unexpected(std::move(v.error()));
         m.version = *v;
         return {};
       }},
  };
  return varnholt::json::read_record(reader, out, "struct ConnectorManifest", fields);
}

Decoded<void> read(Reader& reader, InstalledConnector& out) {
  static constexpr Field<InstalledConnector> fields[] = {
      {"manifest", [](Reader& r, InstalledConnector& c) { return read(r, c.manifest); }},
      {"signature",
       [](Reader& r, InstalledConnector& c) -> Decoded<void> {
         auto signature = varnholt::json::read_string_as(
             r, "a string", [](std::string_view text) -> Decoded<varnholt::crypto::Signature> {
               auto parsed = varnholt::crypto::Signature::from_hex(text);
               if (!parsed) return varnholt::json::fail(parsed.error().message());
               return *parsed;
             });
         if (!signature) return std::unexpected(std::move(signature.error()));
         c.signature = *signature;
         return {};
       }},
      {"status",
       [](Reader& r, InstalledConnector& c) {
         return read_enum(r, c.status, kConnectorStatusNames);
       }},
      {"approval_workflow_ref",
       [](Reader& r, InstalledConnector& c) -> Decoded<void> {
         auto ref = varnholt::json::read_optional_string(r);
         if (!ref) return std::unexpected(std::move(ref.error()));
         c.approval_workflow_ref = std::move(*ref);
         return {};
       },
       true},
      {"installed_at",
       [](Reader& r, InstalledConnector& c) -> Decoded<void> {
         auto time = read_timestamp(r);
         if (!time) return std::unexpected(std::move(time.error()));
         c.installed_at = *time;
         return {};
       }},
  };
  return varnholt::json::read_record(reader, out, "struct InstalledConnector", fields);
}

Decoded<void> read(Reader& reader, Delivery& out) {
  static constexpr Field<Delivery> fields[] = {
      {"delivery_id", [](Reader& r, Delivery& d) { return read_id(r, d.delivery_id); }},
      {"connector_id", [](Reader& r, Delivery& d) { return read_id(r, d.connector_id); }},
      {"event_type", [](Reader& r, Delivery& d) { return read_text(r, d.event_type); }},
      {"status", [](Reader& r, Delivery& d) { return read_delivery_status(r, d.status); }},
      {"created_at",
       [](Reader& r, Delivery& d) -> Decoded<void> {
         auto time = read_timestamp(r);
         if (!time) return std::unexpected(std::move(time.error()));
         d.created_at = *time;
         return {};
       }},
  };
  return varnholt::json::read_record(reader, out, "struct Delivery", fields);
}

}  // namespace corvane::contracts
