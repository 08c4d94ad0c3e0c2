#pragma once

// JSON forms of the bridge records and enumerations.
//
// Three forms exist:
// - written in stored order (members in declaration order) through a
//   json_text::Writer, pretty for the state file or compact for output;
// - general JSON values (nlohmann::json, members ordered by key), from which
//   the canonical bytes of a manifest are computed and --json output is made;
// - read from the state file by the rules of json_text::Reader.

#include <nlohmann/json.hpp>

#include "corvane/contracts/records.hpp"
#include "json_text/reader.hpp"
#include "json_text/writer.hpp"

namespace corvane::contracts {

void write(json_text::Writer& writer, const ConnectorKind& kind);
void write(json_text::Writer& writer, const DeliveryStatus& status);
void write(json_text::Writer& writer, const ConnectorManifest& manifest);
void write(json_text::Writer& writer, const InstalledConnector& connector);
void write(json_text::Writer& writer, const Delivery& delivery);

[[nodiscard]] nlohmann::json to_json_value(const ConnectorKind& kind);
[[nodiscard]] nlohmann::json to_json_value(const DeliveryStatus& status);
void to_json(nlohmann::json& out, const ConnectorManifest& manifest);
void to_json(nlohmann::json& out, const InstalledConnector& connector);
void to_json(nlohmann::json& out, const Delivery& delivery);

// A UUID in any of its four text forms; its faults read "UUID parsing failed: ...".
[[nodiscard]] json_text::Decoded<varnholt::contracts::Uuid> read_uuid(json_text::Reader& reader);
// A UUID given as a member name.
[[nodiscard]] json_text::Decoded<varnholt::contracts::Uuid> parse_uuid_text(std::string_view text);
// A timestamp string; its faults have no position of their own.
[[nodiscard]] json_text::Decoded<Timestamp> read_timestamp(json_text::Reader& reader);

[[nodiscard]] json_text::Decoded<void> read(json_text::Reader& reader, ConnectorManifest& out);
[[nodiscard]] json_text::Decoded<void> read(json_text::Reader& reader, InstalledConnector& out);
[[nodiscard]] json_text::Decoded<void> read(json_text::Reader& reader, Delivery& out);

}  // namespace corvane::contracts
