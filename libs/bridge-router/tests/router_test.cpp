#include "corvane/router/router.hpp"

#include <gtest/gtest.h>

namespace corvane::router {
namespace {

using contracts::BridgeEvent;
using contracts::ConnectorStatus;
using contracts::DataClass;
using contracts::RefusalReason;
using contracts::TenantId;
using varnholt::contracts::Uuid;
using varnholt::crypto::SigningKey;
namespace status = contracts::delivery_status;

const Timestamp kNow = Timestamp::from_str("2026-12-07T08:46:16Z").value();

SigningKey test_key(std::uint8_t fill) {
  SigningKey::Seed seed{};
  seed.fill(fill);
  return SigningKey::from_bytes(seed);
}

class RouterTest : public ::testing::Test {
 protected:
  ConnectorId install(std::vector<std::string> events, std::set<DataClass> classes,
                      bool approve = true) {
    auto id =
        install_connector(router_, tenant_, "c", "e", "s", events, classes, key_, kNow).value();
    if (approve) {
      EXPECT_TRUE(approve_connector(router_, id, "wf", key_.verifying_key()));
    }
    return id;
  }

  BridgeEvent event(std::string type, std::vector<DataClass> classes = {}) {
    BridgeEvent e{std::move(type), kNow, tenant_, {}};
    for (std::size_t i = 0; i < classes.size(); ++i)
      e.fields.emplace("f" + std::to_string(i), classes[i]);
    return e;
  }

  Verdict verdict(const ConnectorId& id, const BridgeEvent& e) {
    return Router::admit(router_.connectors.at(id), e, key_.verifying_key());
  }

  SigningKey key_ = test_key(3);
  TenantId tenant_ = TenantId::new_v4();
  Router router_;
};

TEST_F(RouterTest, InstallBuildsASignedPendingManifestFromTheArguments) {
  const auto id =
      install({"b", "a", "b"}, {DataClass::RedactedError, DataClass::OperationalMetadata}, false);
  const auto& connector = router_.connectors.at(id);
  const auto& manifest = connector.manifest;
  EXPECT_EQ(manifest.connector_id, id);
  EXPECT_EQ(manifest.tenant_id, tenant_);
  EXPECT_NE(manifest.workspace_id.uuid(), id.uuid());
  EXPECT_EQ(manifest.contract_version, 1);
  EXPECT_EQ(manifest.version, 1u);
  EXPECT_EQ(manifest.allowed_event_types, (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(connector.status, ConnectorStatus::PendingApproval);
  EXPECT_EQ(connector.installed_at, kNow);
  EXPECT_TRUE(connector.verify(key_.verifying_key()));
  EXPECT_EQ(id.uuid().bytes()[6] >> 4, 4) << "version 4 identifiers";
}

TEST_F(RouterTest, ApproveChecksTheSignatureAndReplacesTheReference) {
  const auto id = install({"a"}, {}, false);
  router_.connectors.at(id).status = ConnectorStatus::Revoked;
  ASSERT_TRUE(approve_connector(router_, id, "wf-1", key_.verifying_key()));
  ASSERT_TRUE(approve_connector(router_, id, "", key_.verifying_key()));
  EXPECT_EQ(router_.connectors.at(id).status, ConnectorStatus::Approved);
  EXPECT_EQ(router_.connectors.at(id).approval_workflow_ref, "");

  const auto unknown = ConnectorId(Uuid());
  EXPECT_EQ(approve_connector(router_, unknown, "wf", key_.verifying_key()).error(),
            "unknown connector 00000000-0000-0000-0000-000000000000");

  router_.connectors.at(id).manifest.allowed_event_types.insert("b");
  router_.connectors.at(id).status = ConnectorStatus::Suspended;
  const auto before = router_;
  EXPECT_EQ(approve_connector(router_, id, "wf-2", key_.verifying_key()).error(),
            "connector manifest signature invalid or manifest tampered");
  EXPECT_EQ(router_, before);
}

TEST_F(RouterTest, AdmitChecksSignatureBeforeEverythingElse) {
  const auto pending = install({"alert"}, {}, false);
  EXPECT_EQ(verdict(pending, event("alert")), RefusalReason::ConnectorNotApproved);
  router_.connectors.at(pending).manifest.allowed_event_types.insert("x");
  EXPECT_EQ(verdict(pending, event("alert")), RefusalReason::ManifestSignatureInvalid);
}

TEST_F(RouterTest, AdmitChecksTenantEventTypeThenClasses) {
  const auto id = install({"alert"}, {DataClass::SecurityMetadata});
  EXPECT_EQ(verdict(id, event("alert")), std::nullopt);
  EXPECT_EQ(verdict(id, event("Alert")), RefusalReason::EventTypeNotAllowed);
  EXPECT_EQ(verdict(id, event("alert", {DataClass::SecurityMetadata})), std::nullopt);
  EXPECT_EQ(verdict(id, event("alert", {DataClass::SecurityMetadata, DataClass::RedactedError})),
            RefusalReason::DataClassNotAllowed);
  auto foreign = event("Alert", {DataClass::RedactedError});
  foreign.tenant_id = TenantId::new_v4();
  EXPECT_EQ(verdict(id, foreign), RefusalReason::TenantMismatch);
}

TEST_F(RouterTest, AnEventWithoutFieldsPassesAnEmptyClassSet) {
  const auto id = install({"alert"}, {});
  EXPECT_EQ(verdict(id, event("alert")), std::nullopt);
  EXPECT_EQ(verdict(id, event("alert", {DataClass::OperationalMetadata})),
            RefusalReason::DataClassNotAllowed);
  const auto none = install({}, {});
  EXPECT_EQ(verdict(none, event("alert")), RefusalReason::EventTypeNotAllowed);
}

TEST_F(RouterTest, RouteAppendsOneDeliveryPerConnectorInIdentifierOrder) {
  const auto queued = install({"alert"}, {});
  const auto pending = install({"alert"}, {}, false);
  const auto other = install({"other"}, {});
  ASSERT_EQ(router_.route(event("alert"), key_.verifying_key(), kNow), 1u);
  ASSERT_EQ(router_.deliveries.size(), 3u);
  std::vector<ConnectorId> expected_order = {queued, pending, other};
  std::sort(expected_order.begin(), expected_order.end());
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& delivery = router_.deliveries[i];
    EXPECT_EQ(delivery.connector_id, expected_order[i]);
    EXPECT_EQ(delivery.event_type, "alert");
    EXPECT_EQ(delivery.created_at, kNow);
    if (delivery.connector_id == queued) {
      EXPECT_EQ(delivery.status,
                contracts::DeliveryStatus(status::Queued{1, kNow.saturating_add_seconds(30)}));
    } else {
      const auto reason = delivery.connector_id == pending ? RefusalReason::ConnectorNotApproved
                                                           : RefusalReason::EventTypeNotAllowed;
      EXPECT_EQ(delivery.status, contracts::DeliveryStatus(status::Refused{reason}));
    }
  }
  EXPECT_NE(router_.deliveries[0].delivery_id, router_.deliveries[1].delivery_id);
}

TEST_F(RouterTest, FirstAttemptIsTheSmallerDelayLater) {
  install({"alert"}, {});
  const auto first_attempt = [&](std::int64_t base, std::int64_t max) {
    router_.policy = RetryPolicy{7, base, max};
    router_.route(event("alert"), key_.verifying_key(), kNow);
    return std::get<status::Queued>(router_.deliveries.back().status).next_attempt_at.to_rfc3339();
  };
  EXPECT_EQ(first_attempt(600, 60), "2026-12-07T08:47:16Z");
  EXPECT_EQ(first_attempt(-5, 3600), "2026-12-07T08:46:11Z");
  EXPECT_EQ(first_attempt(INT64_MAX, INT64_MAX), "9999-12-31T23:59:59.999999999Z");
  EXPECT_EQ(first_attempt(INT64_MIN, 0), "0000-01-01T00:00:00Z");
}

TEST_F(RouterTest, ConnectorsStoredUnderAnotherKeyAreJudgedInKeyOrderAndNamedByTheirManifest) {
  const auto id = install({"alert"}, {});
  auto connector = router_.connectors.at(id);
  router_.connectors.clear();
  const auto key = ConnectorId(Uuid());
  router_.connectors.emplace(key, connector);
  router_.route(event("alert"), key_.verifying_key(), kNow);
  EXPECT_EQ(router_.deliveries.back().connector_id, id);
}

// The checks run inline below 32 connectors and on threads from there on;
// every size must give each connector's own verdict, in the map's order,
// whether the results are asked for or the checks are dropped unasked.
class SignatureChecksAtSize : public RouterTest,
                              public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SignatureChecksAtSize, GiveEachConnectorsOwnVerdict) {
  const std::size_t count = GetParam();
  for (std::size_t i = 0; i < count; ++i) install({"alert"}, {});
  // Every fifth manifest is edited after signing.
  std::size_t position = 0;
  for (auto& [id, connector] : router_.connectors) {
    if (position++ % 5 == 2) connector.manifest.name += " (edited)";
  }
  { SignatureChecks unasked(router_.connectors, key_.verifying_key()); }
  SignatureChecks checks(router_.connectors, key_.verifying_key());
  position = 0;
  for (const auto& [id, connector] : router_.connectors) {
    EXPECT_EQ(checks.valid(position), connector.verify(key_.verifying_key()).has_value())
        << position;
    EXPECT_EQ(checks.valid(position), position % 5 != 2) << position;
    ++position;
  }
  const std::size_t queued = router_.route(event("alert"), checks, kNow);
  EXPECT_EQ(queued, count - (count + 2) / 5);
}

INSTANTIATE_TEST_SUITE_P(AroundTheThreadThreshold, SignatureChecksAtSize,
                         ::testing::Values(0U, 1U, 31U, 32U, 33U, 64U, 200U));

}  // namespace
}  // namespace corvane::router
