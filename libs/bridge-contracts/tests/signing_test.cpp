#include <gtest/gtest.h>

#include <functional>

#include "corvane/contracts/records.hpp"

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

TEST(ManifestSigning, AnyChangeToASignedMemberBreaksVerification) {
  const auto key = key_from(1);
  const auto signed_connector =
      InstalledConnector::sign(sample_manifest(), key, kInstalled).value();
  const std::vector<std::function<void(ConnectorManifest&)>> edits = {
      [](ConnectorManifest& m) { m.name = "alertz"; },
      [](ConnectorManifest& m) { m.contract_version = 2; },
      [](ConnectorManifest& m) { m.version = 2; },
      [](ConnectorManifest& m) { m.allowed_event_types.insert("extra"); },
      [](ConnectorManifest& m) { m.allowed_classes.insert(DataClass::RedactedError); },
      [](ConnectorManifest& m) {
        m.kind = kind::SignedWebhookOutbound{"cfg://other", "vault://secrets/hook"};
      },
      [](ConnectorManifest& m) {
        m.kind = kind::TicketingRest{"cfg://endpoints/alerts", "vault://secrets/hook"};
      },
      [](ConnectorManifest& m) { m.tenant_id = TenantId(Uuid()); },
      [](ConnectorManifest& m) { m.workspace_id = WorkspaceId(Uuid()); },
      [](ConnectorManifest& m) { m.connector_id = ConnectorId(Uuid()); },
  };
  for (std::size_t i = 0; i < edits.size(); ++i) {
    auto tampered = signed_connector;
    edits[i](tampered.manifest);
    const auto verified = tampered.verify(key.verifying_key());
    ASSERT_FALSE(verified) << "edit " << i;
    EXPECT_EQ(verified.error(), "connector manifest signature invalid or manifest tampered");
  }
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
