// The whole-buffer reader the state file was read with before reading was
// streamed, kept as the reference the streaming reader is fuzzed against: for
// any input both must give the same verdict, the same message and the same
// records. Only the fuzz targets use it.

#include "decode.hpp"

#include "reader.hpp"

namespace corvane::fuzz::reference {

using namespace corvane::contracts;
using corvane::router::RetryPolicy;
using corvane::router::Router;
using corvane::state::CliState;
using varnholt::contracts::Uuid;

// Tag values, in the order of the variants' alternatives.
constexpr std::array<std::string_view, 6> kConnectorKindNames = {
    "signed_webhook_outbound", "signed_webhook_inbound", "smtp_notification",
    "object_reference_store",  "ticketing_rest",         "local_file_drop"};
constexpr std::array<std::string_view, 4> kDeliveryStatusNames = {"queued", "delivered", "refused",
                                                                  "dead_lettered"};

// --- reading -----------------------------------------------------------------------

Decoded<Uuid> parse_uuid_text(std::string_view text) {
  auto uuid = Uuid::parse(text);
  if (!uuid) return fail("UUID parsing failed: " + uuid.error());
  return *uuid;
}

Decoded<Uuid> read_uuid(Reader& reader) {
  return read_string_as(reader, "a formatted UUID string", parse_uuid_text);
}

Decoded<Timestamp> read_timestamp(Reader& reader) {
  auto text = read_string(reader);
  if (!text) return std::unexpected(std::move(text.error()));
  auto time = Timestamp::from_str(*text);
  if (!time) return fail(time.error().message());
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
  auto text = read_string(reader);
  if (!text) return std::unexpected(std::move(text.error()));
  out = std::move(*text);
  return {};
}

// Reads one member of a tagged variant's body into `Member` of `Variant`.
template <typename Variant, std::string Variant::*Member>
Decoded<void> content_text(const Content& content, Variant& out) {
  auto text = content_to_string(content);
  if (!text) return std::unexpected(std::move(text.error()));
  out.*Member = std::move(*text);
  return {};
}

template <typename Variant, std::uint32_t Variant::*Member>
Decoded<void> content_u32(const Content& content, Variant& out) {
  auto value = content_to_unsigned(content, 0xFFFFFFFFu, "u32");
  if (!value) return std::unexpected(std::move(value.error()));
  out.*Member = static_cast<std::uint32_t>(*value);
  return {};
}

template <typename Variant, Timestamp Variant::*Member>
Decoded<void> content_timestamp(const Content& content, Variant& out) {
  auto text = content_to_string(content);
  if (!text) return std::unexpected(std::move(text.error()));
  auto time = Timestamp::from_str(*text);
  if (!time) return fail(time.error().message());
  out.*Member = *time;
  return {};
}

Decoded<void> content_reason(const Content& content, delivery_status::Refused& out) {
  auto variant = content_to_plain_enum(content, kRefusalReasonNames);
  if (!variant) return std::unexpected(std::move(variant.error()));
  out.reason = static_cast<RefusalReason>(*variant);
  return {};
}

template <typename Variant, typename Sum, std::size_t N>
Decoded<void> read_body(const Tagged& tagged, Sum& out, std::string_view expecting,
                        const ContentField<Variant> (&fields)[N]) {
  Variant body;
  if (auto read = read_variant_body(tagged, body, expecting, fields); !read) return read;
  out = std::move(body);
  return {};
}

Decoded<void> read_kind(Reader& reader, ConnectorKind& out) {
  auto tagged =
      read_tagged(reader, "connector", "internally tagged enum ConnectorKind", kConnectorKindNames);
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
  auto tagged =
      read_tagged(reader, "status", "internally tagged enum DeliveryStatus", kDeliveryStatusNames);
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
  auto variant = read_plain_enum(reader, names);
  if (!variant) return std::unexpected(std::move(variant.error()));
  out = static_cast<Enum>(*variant);
  return {};
}

// A set read from an array; repeated elements are dropped.
template <typename Element, typename ReadElement>
Decoded<void> read_set(Reader& reader, std::set<Element>& out, ReadElement read_element) {
  out.clear();
  return read_container(reader, "a sequence", Brackets::Array, [&](bool) {
    return for_each_element(reader, [&](Reader& r) -> Decoded<void> {
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
         auto v = read_unsigned(r, 0xFFFF, "u16");
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
         auto v = read_unsigned(r, ~std::uint64_t{0}, "u64");
         if (!v) return std::unexpected(std::move(v.error()));
         m.version = *v;
         return {};
       }},
  };
  return read_record(reader, out, "struct ConnectorManifest", fields);
}

Decoded<void> read(Reader& reader, InstalledConnector& out) {
  static constexpr Field<InstalledConnector> fields[] = {
      {"manifest", [](Reader& r, InstalledConnector& c) { return read(r, c.manifest); }},
      {"signature",
       [](Reader& r, InstalledConnector& c) -> Decoded<void> {
         auto signature = read_string_as(
             r, "a string", [](std::string_view text) -> Decoded<varnholt::crypto::Signature> {
               auto parsed = varnholt::crypto::Signature::from_hex(text);
               if (!parsed) return fail(parsed.error().message());
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
         auto ref = read_optional_string(r);
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
  return read_record(reader, out, "struct InstalledConnector", fields);
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
  return read_record(reader, out, "struct Delivery", fields);
}

Decoded<void> read(Reader& reader, RetryPolicy& out) {
  static constexpr Field<RetryPolicy> fields[] = {
      {"max_attempts",
       [](Reader& r, RetryPolicy& p) -> Decoded<void> {
         auto v = read_unsigned(r, 0xFFFFFFFFu, "u32");
         if (!v) return std::unexpected(std::move(v.error()));
         p.max_attempts = static_cast<std::uint32_t>(*v);
         return {};
       }},
      {"base_delay_seconds",
       [](Reader& r, RetryPolicy& p) -> Decoded<void> {
         auto v = read_signed(r, "i64");
         if (!v) return std::unexpected(std::move(v.error()));
         p.base_delay_seconds = *v;
         return {};
       }},
      {"max_delay_seconds",
       [](Reader& r, RetryPolicy& p) -> Decoded<void> {
         auto v = read_signed(r, "i64");
         if (!v) return std::unexpected(std::move(v.error()));
         p.max_delay_seconds = *v;
         return {};
       }},
  };
  return read_record(reader, out, "struct RetryPolicy", fields);
}

namespace {

// The connector map: member names are connector identifiers; a repeated
// identifier replaces the earlier entry.
Decoded<void> read_connectors(Reader& reader, Router& out) {
  out.connectors.clear();
  return read_container(reader, "a map", Brackets::Object, [&](bool) {
    return for_each_member(reader, [&](Reader& r, std::string_view key) -> Decoded<void> {
      auto id = parse_uuid_text(key);
      if (!id) return std::unexpected(std::move(id.error()));
      if (auto colon = r.parse_object_colon(); !colon) return colon;
      contracts::InstalledConnector connector;
      if (auto done = reference::read(r, connector); !done) return done;
      out.connectors.insert_or_assign(ConnectorId(*id), std::move(connector));
      return {};
    });
  });
}

Decoded<void> read_deliveries(Reader& reader, Router& out) {
  out.deliveries.clear();
  return read_container(reader, "a sequence", Brackets::Array, [&](bool) {
    return for_each_element(reader,
                            [&](Reader& r) { return read(r, out.deliveries.emplace_back()); });
  });
}

}  // namespace

Decoded<void> read(Reader& reader, Router& out) {
  static constexpr Field<Router> fields[] = {
      {"connectors", read_connectors},
      {"deliveries", read_deliveries},
      {"policy", [](Reader& r, Router& router) { return read(r, router.policy); }},
  };
  return read_record(reader, out, "struct Router", fields);
}

namespace {

constexpr std::string_view kSeedExpected = "an array of length 32";

// Exactly 32 numbers: fewer is an invalid length, more are trailing characters.
Decoded<void> read_seed(Reader& reader, CliState& state) {
  return read_container(reader, kSeedExpected, Brackets::Array, [&](bool) {
    bool first = true;
    for (std::size_t i = 0; i < state.approval_seed.size(); ++i) {
      auto more = reader.has_next_element(first);
      if (!more) return Decoded<void>(std::unexpected(std::move(more.error())));
      if (!*more) return Decoded<void>(fail(invalid_length(i, kSeedExpected)));
      auto byte = read_unsigned(reader, 0xFF, "u8");
      if (!byte) return Decoded<void>(std::unexpected(std::move(byte.error())));
      state.approval_seed[i] = static_cast<std::uint8_t>(*byte);
    }
    return Decoded<void>();
  });
}

}  // namespace

std::expected<CliState, std::string> decode_state(std::string_view bytes) {
  static constexpr Field<CliState> fields[] = {
      {"tenant_id",
       [](Reader& r, CliState& s) -> Decoded<void> {
         auto uuid = read_uuid(r);
         if (!uuid) return std::unexpected(std::move(uuid.error()));
         s.tenant_id = varnholt::contracts::TenantId(*uuid);
         return {};
       }},
      {"approval_seed", read_seed},
      {"router", [](Reader& r, CliState& s) { return read(r, s.router); }},
  };
  Reader reader(bytes);
  CliState state;
  auto read = read_record(reader, state, "struct CliState", fields);
  if (read) read = reader.end();
  if (!read) return std::unexpected(read.error().describe(bytes));
  return state;
}

}  // namespace corvane::fuzz::reference
