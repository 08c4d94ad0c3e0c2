#pragma once

// JSON forms of the bridge records and enumerations.
//
// Three forms exist:
// - written in stored order (members in declaration order) through a
//   varnholt::json::Writer, pretty for the state file or compact for output;
// - general JSON values (nlohmann::json, members ordered by key), from which
//   the canonical bytes of a manifest are computed and --json output is made;
// - read from the state file by the rules of varnholt::json::Reader.

#include <nlohmann/json.hpp>

#include "corvane/contracts/records.hpp"
#include "varnholt/json/reader.hpp"
#include "varnholt/json/writer.hpp"

namespace corvane::contracts {

void write(varnholt::json::Writer& writer, const ConnectorKind& kind);
void write(varnholt::json::Writer& writer, const DeliveryStatus& status);
void write(varnholt::json::Writer& writer, const ConnectorManifest& manifest);
void write(varnholt::json::Writer& writer, const InstalledConnector& connector);
void write(varnholt::json::Writer& writer, const Delivery& delivery);

[[nodiscard]] nlohmann::json to_json_value(const ConnectorKind& kind);
[[nodiscard]] nlohmann::json to_json_value(const DeliveryStatus& status);
void to_json(nlohmann::json& out, const ConnectorManifest& manifest);
void to_json(nlohmann::json& out, const InstalledConnector& connector);
void to_json(nlohmann::json& out, const Delivery& delivery);

// A UUID in any of its four text forms; its faults read "UUID parsing failed: ...".
[[nodiscard]] varnholt::json::Decoded<varnholt::contracts::Uuid> read_uuid(
    varnholt::json::Reader& reader);
// A UUID given as a member name.
[[nodiscard]] varnholt::json::Decoded<varnholt::contracts::Uuid> parse_uuid_text(
    std::string_view text);
// A timestamp string; its faults have no position of their own.
[[nodiscard]] varnholt::json::Decoded<Timestamp> read_timestamp(varnholt::json::Reader& reader);

[[nodiscard]] varnholt::json::Decoded<void> read(varnholt::json::Reader& reader,
                                                 ConnectorManifest& out);
[[nodiscard]] varnholt::json::Decoded<void> read(varnholt::json::Reader& reader,
                                                 InstalledConnector& out);
[[nodiscard]] varnholt::json::Decoded<void> read(varnholt::json::Reader& reader, Delivery& out);

}  // namespace corvane::contracts
