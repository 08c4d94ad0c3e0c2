// End-to-end tests of the subcommands: the real binary in a temporary
// directory, checking stdout, stderr, exit status and the state file's bytes.

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "process.hpp"

namespace corvane::e2e {
namespace {

const std::string kUuid = "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}";

class Bridge : public ::testing::Test {
 protected:
  RunResult run(std::vector<std::string> args) { return run_corvanectl(dir_.path(), args); }

  // Runs a command that must succeed and returns its stdout without the line feed.
  std::string ok(std::vector<std::string> args) {
    const auto result = run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(!result.out.empty() && result.out.back() == '\n');
    return result.out.empty() ? "" : result.out.substr(0, result.out.size() - 1);
  }

  // Runs a command that must fail with `message`, print nothing and leave the
  // state file as it was.
  void fails(std::vector<std::string> args, const std::string& message) {
    const auto before = exists() ? state() : "";
    const auto result = run(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "error: " + message + "\n");
    if (!before.empty()) {
      EXPECT_EQ(state(), before);
    }
  }

  std::string install(const std::string& name, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--json",  "install",      name,       "--endpoint-ref",
                                     "cfg://e", "--secret-ref", "vault://s"};
    args.insert(args.end(), extra.begin(), extra.end());
    return nlohmann::json::parse(ok(args))["connector"].get<std::string>();
  }

  bool exists() const { return std::filesystem::exists(dir_ / "corvane.json"); }
  std::string state() const { return read_file(dir_ / "corvane.json"); }
  void edit(const std::string& from, const std::string& to) {
    auto text = state();
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    write_file(dir_ / "corvane.json", text);
  }
  nlohmann::json deliveries() { return nlohmann::json::parse(ok({"deliveries", "--json"})); }

  TempDir dir_;
};

TEST_F(Bridge, InitCreatesAFreshStateOnce) {
  const auto line = ok({"init"});
  EXPECT_TRUE(std::regex_match(line, std::regex("bridge initialised for tenant " + kUuid)));
  const auto text = state();
  EXPECT_EQ(text.find("{\n  \"tenant_id\": \"" + line.substr(30) + "\",\n  \"approval_seed\": [\n"),
            0u);
  EXPECT_NE(
      text.find("  \"router\": {\n    \"connectors\": {},\n    \"deliveries\": [],\n"
                "    \"policy\": {\n      \"max_attempts\": 5,\n      \"base_delay_seconds\": 30,\n"
                "      \"max_delay_seconds\": 3600\n    }\n  }\n}"),
      std::string::npos);
  EXPECT_EQ(text.back(), '}');
  fails({"init"}, "corvane.json already exists");
  fails({"init", "--state", "."}, ". already exists");

  const auto json = ok({"--state", "other.json", "init", "--json"});
  EXPECT_TRUE(std::regex_match(json, std::regex("\\{\"tenant\":\"" + kUuid + "\"\\}")));
}

TEST_F(Bridge, ReadingCommandsNeedAState) {
  fails({"list"}, "corvane.json: No such file or directory (os error 2) (run init first)");
  fails({"deliveries", "--json", "--state", "a/b.json"},
        "a/b.json: No such file or directory (os error 2) (run init first)");
  fails({"init", "--state", "a/b.json"}, "No such file or directory (os error 2)");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "a"));
}

TEST_F(Bridge, EmptyBridgeListsNothing) {
  ok({"init"});
  const auto before = state();
  EXPECT_EQ(run({"list"}).out, "\n");
  EXPECT_EQ(run({"list", "--json"}).out, "[]\n");
  EXPECT_EQ(run({"deliveries"}).out, "\n");
  EXPECT_EQ(run({"--json", "deliveries"}).out, "[]\n");
  EXPECT_EQ(state(), before) << "reading commands never write";
}

TEST_F(Bridge, InstallApproveRouteWalkThrough) {
  ok({"init"});
  const auto text = ok({"install", "alerts-webhook", "--endpoint-ref", "cfg://e", "--secret-ref",
                        "vault://s", "--event", "alert", "--class=security_metadata", "--class",
                        "operational_metadata", "--class", "security_metadata"});
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      text, match,
      std::regex("connector (" + kUuid +
                 ") installed \u2014 PENDING APPROVAL \\(receives nothing yet\\)")));
  const std::string id = match[1];
  EXPECT_EQ(ok({"list"}), id + "  alerts-webhook    PendingApproval  2 class(es), 1 event type(s)");
  EXPECT_NE(state().find("\"allowed_classes\": [\n            \"operational_metadata\",\n"
                         "            \"security_metadata\"\n          ]"),
            std::string::npos);

  EXPECT_EQ(ok({"route", "alert"}), "0 delivery(ies) queued");
  EXPECT_EQ(ok({"approve", id, "--workflow-ref", "wf-7"}),
            "connector " + id + " approved via wf-7");
  EXPECT_EQ(ok({"--json", "route", "alert", "--class", "security_metadata"}), "{\"queued\":1}");
  EXPECT_EQ(ok({"route", "alert", "--class", "redacted_error"}), "0 delivery(ies) queued");

  const auto log = deliveries();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0]["status"],
            (nlohmann::json{{"status", "refused"}, {"reason", "connector_not_approved"}}));
  EXPECT_EQ(log[1]["status"]["status"], "queued");
  EXPECT_EQ(log[1]["status"]["attempt"], 1);
  EXPECT_EQ(log[2]["status"]["reason"], "data_class_not_allowed");
  // --json output has its keys in ascending order at every level.
  const auto json = ok({"deliveries", "--json"});
  EXPECT_NE(json.find("{\"connector_id\":\"" + id + "\",\"created_at\":"), std::string::npos);
  EXPECT_NE(json.find("\"status\":{\"attempt\":1,\"next_attempt_at\":"), std::string::npos);
  // The text listing shows the status in stored order.
  const auto lines = ok({"deliveries"});
  EXPECT_NE(lines.find("  alert  {\"status\":\"queued\",\"attempt\":1,\"next_attempt_at\":\""),
            std::string::npos);
  EXPECT_EQ(ok({"list", "--json"}),
            "[{\"classes\":2,\"connector\":\"" + id +
                "\",\"events\":1,\"kind\":\"signed_webhook_outbound\",\"name\":\"alerts-webhook\","
                "\"status\":\"Approved\"}]");
}

TEST_F(Bridge, FailedCommandsLeaveTheFileAlone) {
  ok({"init"});
  const auto id = install("a", {"--event", "x"});
  fails({"install", "b", "--endpoint-ref", "e", "--secret-ref", "s", "--class",
         "Operational_Metadata"},
        "unknown data class 'Operational_Metadata'");
  fails({"route", "x", "--class", "redacted_error", "--class", " redacted_error"},
        "unknown data class ' redacted_error'");
  fails({"approve", "FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF", "--workflow-ref", "w", "--json"},
        "unknown connector ffffffff-ffff-4fff-bfff-ffffffffffff");
  edit("\"x\"", "\"y\"");
  fails({"approve", "{" + id + "}", "--workflow-ref", "w"},
        "connector manifest signature invalid or manifest tampered");
}

TEST_F(Bridge, RoutingJudgesConnectorsInIdentifierOrder) {
  ok({"init"});
  std::vector<std::string> ids;
  for (int i = 0; i < 5; ++i) {
    ids.push_back(install("c" + std::to_string(i), {"--event", "e"}));
    ok({"approve", ids.back(), "--workflow-ref", "w"});
  }
  EXPECT_EQ(ok({"route", "e"}), "5 delivery(ies) queued");
  std::sort(ids.begin(), ids.end());
  const auto log = deliveries();
  for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(log[i]["connector_id"], ids[i]);
  const auto listed = ok({"list"});
  for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
    EXPECT_LT(listed.find(ids[i]), listed.find(ids[i + 1]));
  }
}

TEST_F(Bridge, TamperingIsARefusalNotAnError) {
  ok({"init"});
  const auto renamed = install("renamed", {"--event", "e"});
  const auto retyped = install("retyped", {"--event", "e"});
  for (const auto& id : {renamed, retyped}) ok({"approve", id, "--workflow-ref", "w"});
  edit("\"renamed\"", "\"renamee\"");
  // Add an event type to the second connector's manifest only.
  auto text = state();
  const auto events = text.find("\"allowed_event_types\"", text.find("\"retyped\""));
  text.insert(text.find("\"e\"", events) + 3, ",\n            \"f\"");
  write_file(dir_ / "corvane.json", text);
  EXPECT_EQ(ok({"route", "e"}), "0 delivery(ies) queued");
  for (const auto& delivery : deliveries()) {
    EXPECT_EQ(delivery["status"]["reason"], "manifest_signature_invalid");
  }
}

TEST_F(Bridge, ANewSeedOrTenantRefusesEveryConnector) {
  ok({"init"});
  const auto id = install("c", {"--event", "e"});
  ok({"approve", id, "--workflow-ref", "w"});
  const auto original = state();

  const auto tenant_at = original.find("\"tenant_id\": \"") + 14;
  edit(original.substr(tenant_at, 36), "00000000-0000-4000-8000-000000000000");
  ok({"route", "e"});
  EXPECT_EQ(deliveries().back()["status"]["reason"], "tenant_mismatch");

  write_file(dir_ / "corvane.json", original);
  const auto seed_at = original.find("\"approval_seed\": [\n    ") + 23;
  const auto seed_end = original.find(',', seed_at);
  const auto first = original.substr(seed_at, seed_end - seed_at);
  edit("\"approval_seed\": [\n    " + first + ",",
       "\"approval_seed\": [\n    " + std::to_string((std::stoi(first) + 1) % 256) + ",");
  ok({"route", "e"});
  EXPECT_EQ(deliveries().back()["status"]["reason"], "manifest_signature_invalid");
}

TEST_F(Bridge, RetryPolicyEditsSetTheFirstAttempt) {
  ok({"init"});
  ok({"approve", install("c", {"--event", "e"}), "--workflow-ref", "w"});
  const auto first_attempt_delay = [&](const std::string& base, const std::string& max) {
    auto text = state();
    text = std::regex_replace(text, std::regex("\"base_delay_seconds\": -?\\d+"),
                              "\"base_delay_seconds\": " + base);
    text = std::regex_replace(text, std::regex("\"max_delay_seconds\": -?\\d+"),
                              "\"max_delay_seconds\": " + max);
    write_file(dir_ / "corvane.json", text);
    ok({"route", "e"});
    const auto last = deliveries().back();
    const auto created = last["created_at"].get<std::string>();
    const auto next = last["status"]["next_attempt_at"].get<std::string>();
    const auto seconds = [](const std::string& t) {
      return std::stoi(t.substr(11, 2)) * 3600 + std::stoi(t.substr(14, 2)) * 60 +
             std::stoi(t.substr(17, 2));
    };
    return (seconds(next) - seconds(created) + 86400 * 2) % 86400;
  };
  EXPECT_EQ(first_attempt_delay("600", "60"), 60);
  EXPECT_EQ(first_attempt_delay("-5", "3600"), 86400 - 5);
  EXPECT_EQ(first_attempt_delay("30", "3600"), 30);
}

TEST_F(Bridge, EveryKindStatusAndDeliveryStateIsListedAndWrittenBackUnchanged) {
  ok({"init"});
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"signed_webhook_outbound", ""},
      {"signed_webhook_inbound", "\"verifying_key_reference\": \"kms://k\""},
      {"smtp_notification", "\"server_reference\": \"smtp://r\", \"credential\": \"v://c\""},
      {"object_reference_store", "\"credential\": \"v://c\", \"bucket_reference\": \"s3://b\""},
      {"ticketing_rest", "\"endpoint_reference\": \"cfg://t\", \"credential\": \"v://c\""},
      {"local_file_drop", "\"directory_reference\": \"/var/drop\""}};
  for (std::size_t i = 0; i < kinds.size(); ++i)
    install("kind-" + std::to_string(i), {"--event", "e"});
  ok({"route", "e"});
  // Rewrite kinds, statuses and delivery states by hand, in other layouts.
  auto text = state();
  for (std::size_t i = 1; i < kinds.size(); ++i) {
    const auto at = text.find("\"connector\": \"signed_webhook_outbound\"",
                              text.find("\"kind-" + std::to_string(i) + "\""));
    const auto end = text.find('}', at);
    text.replace(at, end - at, "\"connector\": \"" + kinds[i].first + "\", " + kinds[i].second);
  }
  const std::vector<std::string> statuses = {"\"approved\"", "{\"suspended\": null}",
                                             "\"revoked\""};
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    const auto at =
        text.find("\"pending_approval\"", text.find("\"kind-" + std::to_string(i + 1) + "\""));
    text.replace(at, 18, statuses[i]);
  }
  const std::vector<std::string> states = {
      R"(["delivered", "2026-12-06T09:01:00+01:00"])",
      R"({"last_error_class": "http \"5xx\"", "status": "dead_lettered", "attempts": 5})",
      R"({"status": "queued", "attempt": 4294967295, "next_attempt_at": "2026-12-06T09:00:30.5Z"})"};
  std::size_t from = 0;
  for (const auto& replacement : states) {
    const auto at = text.find("\"status\": {\n          \"status\": \"refused\"", from);
    const auto end = text.find("}", at) + 1;
    text.replace(at, end - at, "\"status\": " + replacement);
    from = at + 1;
  }
  write_file(dir_ / "corvane.json", text);

  const auto listed = ok({"list"});
  for (const char* shown : {"PendingApproval", "Approved", "Suspended", "Revoked"}) {
    EXPECT_NE(listed.find(std::string("  ") + shown + "  "), std::string::npos) << shown;
  }
  const auto summaries = nlohmann::json::parse(ok({"list", "--json"}));
  std::set<std::string> kinds_listed;
  for (const auto& summary : summaries) kinds_listed.insert(summary["kind"].get<std::string>());
  EXPECT_EQ(kinds_listed.size(), 6u);
  const auto lines = ok({"deliveries"});
  EXPECT_NE(lines.find(R"({"status":"delivered","at":"2026-12-06T08:01:00Z"})"), std::string::npos);
  EXPECT_NE(
      lines.find(R"({"status":"dead_lettered","attempts":5,"last_error_class":"http \"5xx\""})"),
      std::string::npos);
  EXPECT_NE(
      lines.find(
          R"({"status":"queued","attempt":4294967295,"next_attempt_at":"2026-12-06T09:00:30Z"})"),
      std::string::npos);

  // A writing command keeps everything it does not change, in the canonical layout.
  ok({"route", "none"});
  const auto rewritten = state();
  ok({"route", "none"});
  const auto again = state();
  const auto log_end = rewritten.rfind("\n    ],\n    \"policy\"");
  EXPECT_EQ(again.substr(0, log_end), rewritten.substr(0, log_end));
  EXPECT_EQ(again.substr(again.rfind("\n    ],\n    \"policy\"")), rewritten.substr(log_end));
  EXPECT_NE(rewritten.find("\"status\": \"suspended\""), std::string::npos);
  EXPECT_NE(rewritten.find(
                "\"connector\": \"object_reference_store\",\n            \"bucket_reference\""),
            std::string::npos);
}

}  // namespace
}  // namespace corvane::e2e
