#include "corvane/router/json.hpp"

#include "corvane/contracts/json.hpp"

namespace corvane::router {

using varnholt::json::Decoded;
using varnholt::json::Field;
using varnholt::json::Reader;
using varnholt::json::Writer;

void write(Writer& writer, const RetryPolicy& policy) {
  writer.begin_object();
  writer.key("max_attempts");
  writer.unsigned_number(policy.max_attempts);
  writer.key("base_delay_seconds");
  writer.signed_number(policy.base_delay_seconds);
  writer.key("max_delay_seconds");
  writer.signed_number(policy.max_delay_seconds);
  writer.end_object();
}

void write(Writer& writer, const Router& router) {
  writer.begin_object();
  writer.key("connectors");
  writer.begin_object();
  std::string key;
  for (const auto& [id, connector] : router.connectors) {
    key.clear();
    id.uuid().append_to(key);
    writer.key(key);
    contracts::write(writer, connector);
  }
  writer.end_object();
  writer.key("deliveries");
  writer.begin_array();
  for (const auto& delivery : router.deliveries) contracts::write(writer, delivery);
  writer.end_array();
  writer.key("policy");
  write(writer, router.policy);
  writer.end_object();
}

Decoded<void> read(Reader& reader, RetryPolicy& out) {
  static constexpr Field<RetryPolicy> fields[] = {
      {"max_attempts",
       [](Reader& r, RetryPolicy& p) -> Decoded<void> {
         auto v = varnholt::json::read_unsigned(r, 0xFFFFFFFFu, "u32");
         if (!v) return std::unexpected(std::move(v.error()));
         p.max_attempts = static_cast<std::uint32_t>(*v);
         return {};
       }},
      {"base_delay_seconds",
       [](Reader& r, RetryPolicy& p) -> Decoded<void> {
         auto v = varnholt::json::read_signed(r, "i64");
         if (!v) return std::unexpected(std::move(v.error()));
         p.base_delay_seconds = *v;
         return {};
       }},
      {"max_delay_seconds",
       [](Reader& r, RetryPolicy& p) -> Decoded<void> {
         auto v = varnholt::json::read_signed(r, "i64");
         if (!v) return std::unexpected(std::move(v.error()));
         p.max_delay_seconds = *v;
         return {};
       }},
  };
  return varnholt::json::read_record(reader, out, "struct RetryPolicy", fields);
}

namespace {

// The connector map: member names are connector identifiers; a repeated
// identifier replaces the earlier entry.
Decoded<void> read_connectors(Reader& reader, Router& out) {
  out.connectors.clear();
  return varnholt::json::read_container(
      reader, "a map", varnholt::json::Brackets::Object, [&](bool) {
        return varnholt::json::for_each_member(
            reader, [&](Reader& r, std::string_view key) -> Decoded<void> {
              auto id = contracts::parse_uuid_text(key);
              if (!id) return std::unexpected(std::move(id.error()));
              if (auto colon = r.parse_object_colon(); !colon) return colon;
              contracts::InstalledConnector connector;
              if (auto read = contracts::read(r, connector); !read) return read;
              out.connectors.insert_or_assign(ConnectorId(*id), std::move(connector));
              return {};
            });
      });
}

Decoded<void> read_deliveries(Reader& reader, Router& out) {
  out.deliveries.clear();
  return varnholt::json::read_container(
      reader, "a sequence", varnholt::json::Brackets::Array, [&](bool) {
        return varnholt::json::for_each_element(
            reader, [&](Reader& r) { return contracts::read(r, out.deliveries.emplace_back()); });
      });
}

}  // namespace

Decoded<void> read(Reader& reader, Router& out) {
  static constexpr Field<Router> fields[] = {
      {"connectors", read_connectors},
      {"deliveries", read_deliveries},
      {"policy", [](Reader& r, Router& router) { return read(r, router.policy); }},
  };
  return varnholt::json::read_record(reader, out, "struct Router", fields);
}

}  // namespace corvane::router
