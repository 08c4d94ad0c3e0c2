#include "corvane/contracts/json.hpp"

#include <nlohmann/json.hpp>

#include "varnholt/json/value_builder.hpp"

namespace corvane::contracts {

varnholt::json::Decoded<varnholt::contracts::Uuid> parse_uuid_text(std::string_view text) {
  // Almost every identifier is in the form it is written in.
  if (const auto written = varnholt::contracts::Uuid::from_written(text)) return *written;
  auto uuid = varnholt::contracts::Uuid::parse(text);
  if (!uuid) return varnholt::json::fail("UUID parsing failed: " + uuid.error());
  return *uuid;
}

void to_json(nlohmann::json& out, const ConnectorManifest& manifest) {
  varnholt::json::ValueBuilder builder(out);
  varnholt::json::write_value(builder, manifest);
}

}  // namespace corvane::contracts

namespace varnholt::json {

Decoded<void> Codec<contracts::Uuid>::read(Reader& reader, contracts::Uuid& out) {
  auto uuid =
      read_string_as(reader, "a formatted UUID string", corvane::contracts::parse_uuid_text);
  if (!uuid) return std::unexpected(std::move(uuid.error()));
  out = *uuid;
  return {};
}

namespace {

Decoded<void> timestamp_from_text(std::string_view text, contracts::Timestamp& out) {
  // Almost every timestamp is in the form it is written in.
  if (const auto written = contracts::Timestamp::from_written(text)) {
    out = *written;
    return {};
  }
  auto time = contracts::Timestamp::from_str(text);
  if (!time) return fail(time.error().message());
  out = *time;
  return {};
}

}  // namespace

Decoded<void> Codec<contracts::Timestamp>::read(Reader& reader, contracts::Timestamp& out) {
  auto text = read_string(reader);
  if (!text) return std::unexpected(std::move(text.error()));
  return timestamp_from_text(*text, out);
}

Decoded<void> Codec<contracts::Timestamp>::read_content(const Content& content,
                                                        contracts::Timestamp& out) {
  auto text = content_to_string(content);
  if (!text) return std::unexpected(std::move(text.error()));
  return timestamp_from_text(*text, out);
}

Decoded<void> Codec<crypto::Signature>::read(Reader& reader, crypto::Signature& out) {
  auto signature =
      read_string_as(reader, "a string", [](std::string_view text) -> Decoded<crypto::Signature> {
        auto parsed = crypto::Signature::from_hex(text);
        if (!parsed) return fail(parsed.error().message());
        return *parsed;
      });
  if (!signature) return std::unexpected(std::move(signature.error()));
  out = *signature;
  return {};
}

}  // namespace varnholt::json
