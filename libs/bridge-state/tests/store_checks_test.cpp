// A store that checks signatures while it reads: the checks run on threads
// from 32 connectors on, over connectors the store owns, and must end before
// those connectors do, however reading ends.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "corvane/state/codec.hpp"
#include "corvane/state/store.hpp"
#include "state_samples.hpp"

namespace corvane::state {
namespace {

namespace fs = std::filesystem;

// A state with `connectors` connectors, every third one edited after it was
// signed, and three deliveries.
CliState state_with(std::size_t connectors) {
  auto state = fresh_state();
  const auto key = varnholt::crypto::SigningKey::from_bytes(state.approval_seed);
  const auto now = varnholt::contracts::Timestamp::from_str("2026-12-01T10:00:00Z").value();
  for (std::size_t i = 0; i < connectors; ++i) {
    EXPECT_TRUE(router::install_connector(state.router, state.tenant_id, "c", "e", "s", {"alert"},
                                          {}, key, now));
  }
  std::size_t position = 0;
  for (auto& [id, connector] : state.router.connectors) {
    if (position++ % 3 == 0) connector.manifest.name = "edited";
  }
  for (int i = 0; i < 3; ++i) {
    state.router.deliveries.push_back(
        {contracts::DeliveryId::new_v4(), contracts::ConnectorId::new_v4(), "alert",
         contracts::delivery_status::Refused{contracts::RefusalReason::TenantMismatch}, now});
  }
  return state;
}

class StoreChecks : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/corvane-checks-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ / "corvane.json";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }

  fs::path dir_;
  fs::path path_;
};

TEST_P(StoreChecks, GiveEveryConnectorsVerdictOnceRead) {
  const CliState state = state_with(GetParam());
  write(encode_state(state));
  auto store = Store::open(path_, Access::Change, Checks::Signatures);
  ASSERT_TRUE(store) << store.error();
  ASSERT_NE(store->signature_checks(), nullptr);
  for (std::size_t position = 0; position < GetParam(); ++position) {
    EXPECT_EQ(store->signature_checks()->valid(position), position % 3 != 0) << position;
  }
}

TEST_P(StoreChecks, EndWithTheStoreWhenTheLogCannotBeRead) {
  // The connectors are read, so the checks run, before the log fails.
  std::string text = encode_state(state_with(GetParam()));
  const auto last = text.rfind("\"event_type\": \"alert\"");
  ASSERT_NE(last, std::string::npos);
  text.replace(last, 21, "\"event_type\": alert");
  write(text);
  for (const Access access : {Access::Read, Access::Change}) {
    const auto store = Store::open(path_, access, Checks::Signatures);
    ASSERT_FALSE(store);
    EXPECT_NE(store.error().find("at line"), std::string::npos) << store.error();
  }
}

TEST_P(StoreChecks, StartAfterTheLogWhenTheConnectorsComeLast) {
  // Members in another order: the connectors, and so the checks, come after
  // the log.
  const CliState state = state_with(GetParam());
  std::string text = encode_state(state);
  const auto connectors = text.find("\n    \"connectors\": ");
  const auto deliveries = text.find("\n    \"deliveries\": ");
  ASSERT_LT(connectors, deliveries);
  const std::string moved = text.substr(connectors, deliveries - connectors);
  text.erase(connectors, deliveries - connectors);
  const auto policy = text.find(",\n    \"policy\": ");
  text.insert(policy, "," + moved.substr(0, moved.size() - 1));
  write(text);
  auto store = Store::open(path_, Access::Read, Checks::Signatures);
  ASSERT_TRUE(store) << store.error() << "\n" << text.substr(0, 2000);
  EXPECT_EQ(store->state().router.connectors.size(), GetParam());
  ASSERT_NE(store->signature_checks(), nullptr);
  if (GetParam() > 0) {
    EXPECT_FALSE(store->signature_checks()->valid(0));
  }
}

INSTANTIATE_TEST_SUITE_P(AroundTheThreadThreshold, StoreChecks,
                         ::testing::Values(0U, 1U, 31U, 32U, 33U, 64U));

}  // namespace
}  // namespace corvane::state
