#include "corvane/cli/state.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace corvane::cli {
namespace {

using contracts::ConnectorId;
using contracts::DataClass;
using varnholt::contracts::Uuid;

CliState fresh_state() {
  CliState state;
  state.tenant_id =
      varnholt::contracts::TenantId(Uuid::parse("5f0c8a3e-1d2b-4c6a-9e7f-0a1b2c3d4e5f").value());
  for (std::size_t i = 0; i < 32; ++i) state.approval_seed[i] = static_cast<std::uint8_t>(i + 1);
  return state;
}

std::string fresh_layout() {
  std::string seed;
  for (int i = 1; i <= 32; ++i) seed += "    " + std::to_string(i) + (i < 32 ? ",\n" : "\n");
  return "{\n  \"tenant_id\": \"5f0c8a3e-1d2b-4c6a-9e7f-0a1b2c3d4e5f\",\n  \"approval_seed\": [\n" +
         seed +
         "  ],\n  \"router\": {\n    \"connectors\": {},\n    \"deliveries\": [],\n    \"policy\": "
         "{\n"
         "      \"max_attempts\": 5,\n      \"base_delay_seconds\": 30,\n"
         "      \"max_delay_seconds\": 3600\n    }\n  }\n}";
}

// A state with every kind of connector, every status and every delivery state.
CliState rich_state() {
  auto state = fresh_state();
  const auto key = varnholt::crypto::SigningKey::from_bytes(state.approval_seed);
  const auto now = varnholt::contracts::Timestamp::from_str("2026-12-01T10:00:00Z").value();
  std::vector<ConnectorId> ids;
  for (int i = 0; i < 6; ++i) {
    auto id = router::install_connector(state.router, state.tenant_id, "c\t\"" + std::to_string(i),
                                        "cfg://e", "vault://s", {"b", "a"},
                                        {DataClass::RedactedError, DataClass::OperationalMetadata},
                                        key, now)
                  .value();
    ids.push_back(id);
  }
  auto& connectors = state.router.connectors;
  connectors.at(ids[1]).manifest.kind = contracts::kind::SignedWebhookInbound{"kms://k"};
  connectors.at(ids[2]).manifest.kind = contracts::kind::SmtpNotification{"smtp://r", "v://c"};
  connectors.at(ids[3]).manifest.kind = contracts::kind::ObjectReferenceStore{"s3://b", "v://c"};
  connectors.at(ids[4]).manifest.kind = contracts::kind::TicketingRest{"cfg://j", "v://c"};
  connectors.at(ids[5]).manifest.kind = contracts::kind::LocalFileDrop{"/var/drop"};
  connectors.at(ids[1]).status = contracts::ConnectorStatus::Approved;
  connectors.at(ids[1]).approval_workflow_ref = "wf-1";
  connectors.at(ids[2]).status = contracts::ConnectorStatus::Suspended;
  connectors.at(ids[3]).status = contracts::ConnectorStatus::Revoked;
  namespace ds = contracts::delivery_status;
  const contracts::DeliveryStatus statuses[] = {
      ds::Queued{1, now.saturating_add_seconds(30)}, ds::Delivered{now},
      ds::Refused{contracts::RefusalReason::TenantMismatch}, ds::DeadLettered{5, "http_5xx"}};
  for (const auto& status : statuses) {
    state.router.deliveries.push_back(
        {contracts::DeliveryId::new_v4(), ids[0], "\xC3\xBCnicode", status, now});
  }
  state.router.policy = {7, -45, 600};
  return state;
}

TEST(StateText, FreshStateHasTheExactLayout) {
  EXPECT_EQ(encode_state(fresh_state()), fresh_layout());
}

TEST(StateText, WrittenStateReadsBackAndWritesBackByteForByte) {
  const auto state = rich_state();
  const auto text = encode_state(state);
  const auto decoded = decode_state(text);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(*decoded, state);
  EXPECT_EQ(encode_state(*decoded), text);
}

TEST(StateText, OtherFormsReadAndAreRewrittenInTheCanonicalLayout) {
  const std::string seed =
      "[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,"
      "27,28,29,30,31,32]";
  const std::string text =
      "\t{\"unknown\": {\"a\": [1, {}]},\r\n \"router\": {\"policy\": [5, 30, 3600],"
      " \"deliveries\": [], \"x\": null, \"connectors\": {}},"
      " \"approval_seed\": " +
      seed + ", \"tenant_id\": \"5F0C8A3E1D2B4C6A9E7F0A1B2C3D4E5F\"} \n";
  const auto decoded = decode_state(text);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(encode_state(*decoded), fresh_layout());
}

TEST(StateText, EveryTruncationOfAValidFileIsAnErrorNeverACrash) {
  const auto text = encode_state(rich_state());
  for (std::size_t length = 0; length + 1 < text.size(); ++length) {
    const auto decoded = decode_state(std::string_view(text).substr(0, length));
    ASSERT_FALSE(decoded) << "prefix of " << length << " bytes decoded";
    EXPECT_NE(decoded.error().find(" at line "), std::string::npos) << decoded.error();
  }
}

TEST(StateText, SeedMustHoldExactly32Bytes) {
  const auto text = fresh_layout();
  const auto with = [&](std::string_view from, std::string_view to) {
    return decode_state(std::string(text).replace(text.find(from), from.size(), to)).error();
  };
  EXPECT_EQ(with(",\n    32", ""),
            "invalid length 31, expected an array of length 32 at line 35 column 3");
  EXPECT_EQ(with("    32", "    32,\n    33"), "trailing characters at line 36 column 5");
  EXPECT_EQ(with("    32", "    256"),
            "invalid value: integer `256`, expected u8 at line 35 column 7");
}

class StateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/corvane-state-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(StateFileTest, SavedStateLoadsBack) {
  const auto path = dir_ / "corvane.json";
  EXPECT_FALSE(state_exists(path));
  const auto state = rich_state();
  ASSERT_TRUE(save_state(path, state));
  EXPECT_TRUE(state_exists(path));
  EXPECT_EQ(load_state(path).value(), state);
}

TEST_F(StateFileTest, FailuresCarryTheSystemDescription) {
  EXPECT_EQ(load_state("/nonexistent-dir/x.json").error(),
            "/nonexistent-dir/x.json: No such file or directory (os error 2) (run init first)");
  EXPECT_EQ(load_state(dir_).error(),
            dir_.string() + ": Is a directory (os error 21) (run init first)");
  EXPECT_EQ(save_state(dir_ / "missing" / "x.json", fresh_state()).error(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(
      load_state(std::string("a\0b", 3)).error(),
      std::string("a\0b", 3) + ": file name contained an unexpected NUL byte (run init first)");
  EXPECT_TRUE(state_exists(dir_)) << "any kind of entry exists";
  EXPECT_FALSE(state_exists(dir_ / "missing" / "x"));
}

TEST_F(StateFileTest, EmptyFileIsADecodingError) {
  const auto path = dir_ / "empty.json";
  std::ofstream(path) << "  \n ";
  EXPECT_EQ(load_state(path).error(), "EOF while parsing a value at line 2 column 1");
}

TEST_F(StateFileTest, ALockHeldByAnotherRunIsWaitedForThenGivenUp) {
  const auto path = dir_ / "corvane.json";
  ASSERT_TRUE(save_state(path, fresh_state()));
  const int holder = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const auto waited = StateLock::acquire(path, std::chrono::milliseconds(100));
  ASSERT_FALSE(waited);
  EXPECT_EQ(waited.error(),
            path.string() + " is locked by another corvanectl run; gave up after 0 seconds");
  ::close(holder);
  EXPECT_TRUE(StateLock::acquire(path, std::chrono::milliseconds(100)));
}

TEST_F(StateFileTest, ALockOnAFileThatWasReplacedMeanwhileIsTakenAgain) {
  // A run waiting for the lock while another replaces the file must end up
  // holding the lock of the new file, or the two would overlap.
  const auto path = dir_ / "corvane.json";
  ASSERT_TRUE(save_state(path, fresh_state()));
  const int old_file = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(old_file, LOCK_EX), 0);
  std::thread replacer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(save_state(path, fresh_state()));  // renames a new file into place
    ::close(old_file);                             // and lets the waiter in
  });
  auto lock = StateLock::acquire(path, std::chrono::seconds(5));
  replacer.join();
  ASSERT_TRUE(lock);
  const int probe = ::open(path.c_str(), O_RDONLY);
  EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0) << "the lock is on the file the path names now";
  ::close(probe);
}

TEST_F(StateFileTest, NoLockIsTakenOnAMissingFileSoReadingCanReportIt) {
  EXPECT_TRUE(StateLock::acquire(dir_ / "missing.json", std::chrono::milliseconds(10)));
}

TEST(DisplayPath, ShowsBytesThatAreNotUtf8AsReplacementCharacters) {
  EXPECT_EQ(display_path("st\xff"
                         "ate.json"),
            "st\xEF\xBF\xBD"
            "ate.json");
  EXPECT_EQ(display_path("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(display_path("\xE2\x82"), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace corvane::cli
