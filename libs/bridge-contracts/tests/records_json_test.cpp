#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "corvane/contracts/json.hpp"
#include "varnholt/json/writer.hpp"

namespace corvane::contracts {
namespace {

using varnholt::json::Reader;
using varnholt::json::Writer;

template <typename Record>
std::string decode(std::string_view input, Record* out = nullptr) {
  Reader reader(input);
  Record record{};
  auto result = varnholt::json::read_value(reader, record);
  if (result) result = reader.end();
  if (!result) return result.error().describe();
  if (out) *out = record;
  return "ok";
}

template <typename Record>
std::string compact(const Record& record) {
  std::string out;
  Writer writer(out, Writer::Layout::Compact);
  varnholt::json::write_value(writer, record);
  return out;
}

constexpr std::string_view kDeliveryHead =
    R"({"delivery_id":"d0000000-0000-4000-8000-000000000001","connector_id":"1a2b3c4d-0000-4000-8000-00000000000a","event_type":"alert","status":)";

std::string delivery_with_status(std::string_view status) {
  return std::string(kDeliveryHead) + std::string(status) +
         R"(,"created_at":"2026-12-06T09:00:00Z"})";
}

TEST(DeliveryJson, EveryStatusRoundTripsInStoredOrder) {
  for (const auto* status :
       {R"({"status":"queued","attempt":1,"next_attempt_at":"2026-12-06T09:00:30Z"})",
        R"({"status":"delivered","at":"2026-12-06T09:01:00Z"})",
        R"({"status":"refused","reason":"manifest_signature_invalid"})",
        R"({"status":"dead_lettered","attempts":4294967295,"last_error_class":"http \"5xx\""})"}) {
    Delivery delivery;
    const auto text = delivery_with_status(status);
    ASSERT_EQ(decode(text, &delivery), "ok") << status;
    EXPECT_EQ(compact(delivery), text);
  }
}

TEST(DeliveryJson, StatusMembersMayComeInAnyOrderAndUnknownOnesAreDropped) {
  Delivery delivery;
  ASSERT_EQ(
      decode(
          delivery_with_status(
              R"({"next_attempt_at":"2026-12-06T09:00:30Z","reason":"tenant_mismatch","attempt":2,"status":"queued"})"),
          &delivery),
      "ok");
  EXPECT_EQ(compact(delivery.status),
            R"({"status":"queued","attempt":2,"next_attempt_at":"2026-12-06T09:00:30Z"})");
  ASSERT_EQ(decode(delivery_with_status(R"(["refused", {"tenant_mismatch": null}])"), &delivery),
            "ok");
  EXPECT_EQ(compact(delivery.status), R"({"status":"refused","reason":"tenant_mismatch"})");
}

TEST(DeliveryJson, FaultsInsideAStatusArePlacedAfterTheDelivery) {
  // The status object is read whole first, so its own faults are known only
  // once it is closed; the delivery then closes itself if it can.
  const auto at_end = [](std::string_view status) {
    const auto text = std::string(kDeliveryHead) + std::string(status) + "}";
    return decode<Delivery>(text);
  };
  EXPECT_EQ(at_end(R"({"status":"queued","attempt":1})"),
            "missing field `next_attempt_at` at line 1 column 170");
  EXPECT_EQ(at_end(R"({"status":"queued","attempt":-1,"next_attempt_at":"x"})"),
            "invalid value: integer `-1`, expected u32 at line 1 column 193");
  EXPECT_EQ(at_end(R"(["dead_lettered", 1])"),
            "invalid length 1, expected struct variant DeliveryStatus::DeadLettered with 2 "
            "elements at line 1 column 159");
  EXPECT_EQ(at_end(R"(["delivered", "2026-12-06T09:00:00Z", 1])"),
            "invalid length 2, expected 1 element in sequence at line 1 column 179");
  EXPECT_EQ(
      at_end(R"({"status":"refused","reason":"nope"})"),
      "unknown variant `nope`, expected one of `connector_not_approved`, `event_type_not_allowed`, "
      "`data_class_not_allowed`, `tenant_mismatch`, `manifest_signature_invalid` at line 1 column "
      "175");
  EXPECT_EQ(at_end(R"({"status":"refused","reason":1})"),
            "invalid type: integer `1`, expected string or map at line 1 column 170");
  EXPECT_EQ(
      at_end(R"({"status":"delivered","at":"2024-13-01T00:00:00Z"})"),
      "validation failed: invalid RFC 3339 timestamp \"2024-13-01T00:00:00Z\": month must be in "
      "the range 1..=12 at line 1 column 189");
}

constexpr std::string_view kManifest = R"({
  "contract_version": 1,
  "connector_id": "1A2B3C4D-0000-4000-8000-00000000000A",
  "tenant_id": "{5f0c8a3e-1d2b-4c6a-9e7f-0a1b2c3d4e5f}",
  "workspace_id": "urn:uuid:aa2b3c4d-1111-4111-8111-00000000000a",
  "name": "caf\u00e9",
  "kind": {"directory_reference": "/var/drop", "connector": "local_file_drop", "extra": [1]},
  "allowed_classes": ["redacted_error", "operational_metadata", "redacted_error"],
  "allowed_event_types": ["b", "a", "ab", "a"],
  "version": 18446744073709551615
})";

TEST(ManifestJson, ReadsAlternativeFormsAndWritesTheCanonicalLayout) {
  ConnectorManifest manifest;
  ASSERT_EQ(decode(kManifest, &manifest), "ok");
  EXPECT_EQ(compact(manifest),
            R"({"contract_version":1,"connector_id":"1a2b3c4d-0000-4000-8000-00000000000a",)"
            R"("tenant_id":"5f0c8a3e-1d2b-4c6a-9e7f-0a1b2c3d4e5f",)"
            R"("workspace_id":"aa2b3c4d-1111-4111-8111-00000000000a","name":"café",)"
            R"("kind":{"connector":"local_file_drop","directory_reference":"/var/drop"},)"
            R"("allowed_classes":["operational_metadata","redacted_error"],)"
            R"("allowed_event_types":["a","ab","b"],"version":18446744073709551615})");
}

TEST(ManifestJson, GeneralValueHasItsMembersInKeyOrder) {
  ConnectorManifest manifest;
  ASSERT_EQ(decode(kManifest, &manifest), "ok");
  nlohmann::json value;
  to_json(value, manifest);
  std::vector<std::string> keys;
  for (const auto& [key, member] : value.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"allowed_classes", "allowed_event_types",
                                            "connector_id", "contract_version", "kind", "name",
                                            "tenant_id", "version", "workspace_id"}));
}

TEST(ManifestJson, FieldFaultsNameTheirFieldAndPosition) {
  const auto with = [](std::string_view from, std::string_view to) {
    std::string text(kManifest);
    text.replace(text.find(from), from.size(), to);
    return decode<ConnectorManifest>(text);
  };
  EXPECT_EQ(with(R"("contract_version": 1)", R"("contract_version": 65536)"),
            "invalid value: integer `65536`, expected u16 at line 2 column 27");
  EXPECT_EQ(with("1A2B3C4D-0000-4000-8000-00000000000A", "1a2b3c4d-0000-4000-8000"),
            "UUID parsing failed: invalid group count: expected 5, found 4 at line 3 column 43");
  EXPECT_EQ(with(R"("redacted_error", "operational)", R"("Redacted_Error", "operational)"),
            "unknown variant `Redacted_Error`, expected one of `operational_metadata`, "
            "`security_metadata`, `pseudonymous_identifier`, `encrypted_object_reference`, "
            "`redacted_error` at line 8 column 38");
  EXPECT_EQ(with(R"("allowed_classes": [)", R"("allowed_classes": [5, )"),
            "expected value at line 8 column 23");
  EXPECT_EQ(with(R"("connector": "local_file_drop")", R"("connector": "ftp")"),
            "unknown variant `ftp`, expected one of `signed_webhook_outbound`, "
            "`signed_webhook_inbound`, `smtp_notification`, `object_reference_store`, "
            "`ticketing_rest`, `local_file_drop` at line 7 column 65");
  EXPECT_EQ(with(R"("directory_reference": "/var/drop", )", ""),
            "missing field `directory_reference` at line 7 column 56");
  EXPECT_EQ(
      with(R"("version": 18446744073709551615)", R"("version": 18446744073709551616)"),
      "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 10 column 33");
}

TEST(InstalledConnectorJson, ArrayFormCountsTheOptionalMember) {
  const std::string connector =
      "[" + std::string(kManifest) + R"(, ")" + std::string(128, '0') + R"(", "approved"])";
  EXPECT_EQ(
      decode<InstalledConnector>(connector),
      "invalid length 3, expected struct InstalledConnector with 5 elements at line 11 column "
      "146");
}

TEST(InstalledConnectorJson, MissingWorkflowReferenceReadsAsNone) {
  const std::string text =
      R"({"manifest": )" + std::string(kManifest) + R"(, "signature": ")" + std::string(128, 'A') +
      R"(", "status": {"revoked": null}, "installed_at": "2024-01-01T05:00:00+05:00"})";
  InstalledConnector connector;
  ASSERT_EQ(decode(text, &connector), "ok");
  EXPECT_FALSE(connector.approval_workflow_ref);
  EXPECT_EQ(connector.status, ConnectorStatus::Revoked);
  const auto written = compact(connector);
  EXPECT_NE(
      written.find(
          R"("status":"revoked","approval_workflow_ref":null,"installed_at":"2024-01-01T00:00:00Z")"),
      std::string::npos);
  EXPECT_NE(written.find(std::string(128, 'a')), std::string::npos);
}

TEST(InstalledConnectorJson, SignatureFaultsAreReportedRightAfterTheText) {
  const std::string text = R"({"manifest": )" + std::string(kManifest) +
                           R"(, "signature": "zz", "status": "approved", "installed_at": "x"})";
  EXPECT_EQ(decode<InstalledConnector>(text),
            "validation failed: ed25519 signature must be 128 hex characters, got 2 at line 11 "
            "column 20");
}

TEST(DataClassNames, MatchExactly) {
  EXPECT_EQ(data_class_from_name("redacted_error"), DataClass::RedactedError);
  EXPECT_FALSE(data_class_from_name("Redacted_Error"));
  EXPECT_FALSE(data_class_from_name(" redacted_error"));
  EXPECT_FALSE(data_class_from_name(""));
}

}  // namespace
}  // namespace corvane::contracts
