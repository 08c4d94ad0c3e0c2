#include <gtest/gtest.h>

#include <iterator>
#include <set>

#include <nlohmann/json.hpp>

#include "corvane/contracts/json.hpp"
#include "corvane/contracts/records.hpp"
#include "varnholt/json/writer.hpp"

namespace corvane::contracts {
namespace {

using varnholt::contracts::Uuid;
using varnholt::crypto::SigningKey;

SigningKey key_from(std::uint8_t first) {
  SigningKey::Seed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(first + i);
  return SigningKey::from_bytes(seed);
}

ConnectorManifest sample_manifest() {
  ConnectorManifest manifest;
  manifest.contract_version = 1;
  manifest.connector_id =
      ConnectorId(Uuid({0x1a, 0x2b, 0x3c, 0x4d, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 0x0a}));
  manifest.tenant_id = TenantId(Uuid({0x5f, 0x0c, 0x8a, 0x3e, 0x1d, 0x2b, 0x4c, 0x6a, 0x9e, 0x7f,
                                      0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f}));
  manifest.workspace_id = WorkspaceId(
      Uuid({0xaa, 0x2b, 0x3c, 0x4d, 0x11, 0x11, 0x41, 0x11, 0x81, 0x11, 0, 0, 0, 0, 0, 0x0a}));
  manifest.name = "alerts";
  manifest.kind = kind::SignedWebhookOutbound{"cfg://endpoints/alerts", "vault://secrets/hook"};
  manifest.allowed_classes = {DataClass::SecurityMetadata};
  manifest.allowed_event_types = {"alert", "user.created"};
  manifest.version = 1;
  return manifest;
}

const Timestamp kInstalled = Timestamp::from_str("2026-12-01T10:00:00Z").value();

TEST(ManifestSigning, IsDeterministicAndStartsPendingApproval) {
  const auto key = key_from(1);
  const auto first = InstalledConnector::sign(sample_manifest(), key, kInstalled).value();
  const auto second = InstalledConnector::sign(sample_manifest(), key, kInstalled).value();
  EXPECT_EQ(first.signature, second.signature);
  EXPECT_EQ(first.status, ConnectorStatus::PendingApproval);
  EXPECT_FALSE(first.approval_workflow_ref);
  EXPECT_EQ(first.installed_at, kInstalled);
  EXPECT_TRUE(first.verify(key.verifying_key()));
}

// Changes one value inside `value` so that it still reads as the same kind of
// member: a number grows, an identifier gets another last digit, a data class
// becomes another, any other text gets longer, and in a container the first
// element or the first member after the tag is changed.
void change(nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    value = value.get<std::uint64_t>() + 1;
  } else if (value.is_string()) {
    auto text = value.get<std::string>();
    if (Uuid::parse(text)) {
      text.back() = text.back() == '0' ? '1' : '0';
    } else if (data_class_from_name(text)) {
      text = text == "redacted_error" ? "operational_metadata" : "redacted_error";
    } else {
      text += "x";
    }
    value = text;
  } else if (value.is_array()) {
    change(value.front());
  } else if (value.is_object()) {
    change(std::next(value.begin()).value());  // members in key order; the tag sorts first
  }
}

TEST(ManifestSigning, EveryStoredMemberOfTheManifestIsSigned) {
  const auto key = key_from(1);
  const auto connector = InstalledConnector::sign(sample_manifest(), key, kInstalled).value();
  std::string stored;
  varnholt::json::Writer writer(stored, varnholt::json::Writer::Layout::Pretty);
  varnholt::json::write_value(writer, connector);
  const auto file = nlohmann::json::parse(stored);

  std::set<std::string> members;
  for (const auto& [name, value] : file["manifest"].items()) {
    members.insert(name);
    auto tampered = file;
    change(tampered["manifest"][name]);
    InstalledConnector read;
    const std::string text = tampered.dump();
    varnholt::json::Reader reader(text);
    ASSERT_TRUE(varnholt::json::read_value(reader, read)) << name;
    ASSERT_NE(read.manifest, connector.manifest) << name << " was not changed";
    const auto verified = read.verify(key.verifying_key());
    ASSERT_FALSE(verified) << "changing " << name << " keeps the signature valid";
    EXPECT_EQ(verified.error(), "connector manifest signature invalid or manifest tampered");
  }
  const auto names = varnholt::json::member_names<ConnectorManifest>();
  EXPECT_EQ(members, std::set<std::string>(names.begin(), names.end()));
}

TEST(ManifestSigning, MembersOutsideTheManifestAreNotSigned) {
  const auto key = key_from(1);
  auto connector = InstalledConnector::sign(sample_manifest(), key, kInstalled).value();
  connector.status = ConnectorStatus::Revoked;
  connector.approval_workflow_ref = "wf-9";
  connector.installed_at = Timestamp::from_str("2020-01-01T00:00:00Z").value();
  EXPECT_TRUE(connector.verify(key.verifying_key()));
}

TEST(ManifestSigning, AnotherSeedDoesNotVerify) {
  const auto connector =
      InstalledConnector::sign(sample_manifest(), key_from(1), kInstalled).value();
  EXPECT_FALSE(connector.verify(key_from(2).verifying_key()));
}

TEST(ManifestSigning, TextsThatNormaliseAlikeVerifyAlike) {
  const auto key = key_from(7);
  auto manifest = sample_manifest();
  manifest.name = "caf\xC3\xA9";  // precomposed e acute
  auto connector = InstalledConnector::sign(manifest, key, kInstalled).value();
  connector.manifest.name = "cafe\xCC\x81";  // e followed by a combining acute
  EXPECT_TRUE(connector.verify(key.verifying_key()));
  connector.manifest.name = "caf\xC3\xAB";  // e diaeresis: another text
  EXPECT_FALSE(connector.verify(key.verifying_key()));
}

}  // namespace
}  // namespace corvane::contracts
