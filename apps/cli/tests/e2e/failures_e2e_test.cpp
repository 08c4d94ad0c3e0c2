// Commands that fail after the state file was read, on bridges of every size
// around the point where the signature checks move to threads of their own
// (32 connectors): each ends with its message and status, and leaves the file
// as it was (or, when only the printing failed, as it was saved).

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "process.hpp"

namespace corvane::e2e {
namespace {

constexpr std::size_t kDeliveries = 3;

// A state file with `connectors` connectors and three deliveries, made once
// per size for the whole suite.
const std::string& state_of_size(std::size_t connectors) {
  static TempDir made;
  static std::map<std::size_t, std::string> states;
  auto found = states.find(connectors);
  if (found == states.end()) {
    const auto path = made / fmt::format("{}.json", connectors);
    const std::string command =
        fmt::format("'{}' {} {} > '{}'", GEN_STATE_PATH, connectors, kDeliveries, path.string());
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    found = states.emplace(connectors, read_file(path)).first;
  }
  return found->second;
}

// `text` with the `index`-th delivery's event type no longer a JSON value.
std::string break_delivery(std::string text, std::size_t index) {
  static const std::string kEventType = "\"event_type\": \"alert\"";
  std::size_t at = std::string::npos;
  for (std::size_t i = 0; i <= index; ++i) {
    at = text.find(kEventType, at == std::string::npos ? 0 : at + 1);
    EXPECT_NE(at, std::string::npos);
    if (at == std::string::npos) return text;
  }
  text.replace(at, kEventType.size(), "\"event_type\": alert");
  return text;
}

enum class Failure {
  UnknownClass,
  UnknownConnector,
  BrokenFirstDelivery,
  BrokenMiddleDelivery,
  BrokenLastDelivery,
  FullOutputOnRoute,
  FullOutputOnList,
};

std::string name_of(Failure failure) {
  switch (failure) {
    case Failure::UnknownClass:
      return "UnknownClass";
    case Failure::UnknownConnector:
      return "UnknownConnector";
    case Failure::BrokenFirstDelivery:
      return "BrokenFirstDelivery";
    case Failure::BrokenMiddleDelivery:
      return "BrokenMiddleDelivery";
    case Failure::BrokenLastDelivery:
      return "BrokenLastDelivery";
    case Failure::FullOutputOnRoute:
      return "FullOutputOnRoute";
    case Failure::FullOutputOnList:
      return "FullOutputOnList";
  }
  return "?";
}

class FailureAfterLoad : public ::testing::TestWithParam<std::tuple<Failure, std::size_t>> {
 protected:
  TempDir dir_;
};

TEST_P(FailureAfterLoad, EndsWithItsMessageAndKeepsTheFile) {
  const auto [failure, connectors] = GetParam();
  std::string text = state_of_size(connectors);
  if (failure == Failure::BrokenFirstDelivery) text = break_delivery(text, 0);
  if (failure == Failure::BrokenMiddleDelivery) text = break_delivery(text, kDeliveries / 2);
  if (failure == Failure::BrokenLastDelivery) text = break_delivery(text, kDeliveries - 1);
  const auto path = dir_ / "corvane.json";
  write_file(path, text);

  std::vector<std::string> args{"route", "alert", "--class", "security_metadata"};
  RunOptions options;
  std::string message;
  bool saved = false;
  switch (failure) {
    case Failure::UnknownClass:
      args = {"route", "alert", "--class", "securty_metadata"};
      message = "unknown data class 'securty_metadata'";
      break;
    case Failure::UnknownConnector:
      args = {"approve", "0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0", "--workflow-ref", "w"};
      message = "unknown connector 0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0";
      break;
    case Failure::BrokenFirstDelivery:
    case Failure::BrokenMiddleDelivery:
    case Failure::BrokenLastDelivery: {
      // Every command reads the whole file: the route reports what a listing
      // does.
      const RunResult listed = run_corvanectl(dir_.path(), {"list"});
      ASSERT_EQ(listed.status, 1);
      ASSERT_NE(listed.err.find(" at line "), std::string::npos) << listed.err;
      message = listed.err.substr(7, listed.err.size() - 8);
      break;
    }
    case Failure::FullOutputOnRoute:
      options.stdout_full = true;
      message =
          "the change was saved, but its result could not be printed: No space left on device "
          "(os error 28)";
      saved = true;
      break;
    case Failure::FullOutputOnList:
      options.stdout_full = true;
      args = {"list"};
      message = "No space left on device (os error 28)";
      break;
  }

  const RunResult result = run_corvanectl(dir_.path(), args, options);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "error: " + message + "\n");
  if (!saved) {
    EXPECT_EQ(read_file(path), text) << "a failed command leaves the file as it was";
  } else {
    const RunResult after = run_corvanectl(dir_.path(), {"--json", "deliveries"});
    ASSERT_EQ(after.status, 0) << after.err;
    std::size_t count = 0;
    for (std::size_t at = after.out.find("\"delivery_id\""); at != std::string::npos;
         at = after.out.find("\"delivery_id\"", at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, kDeliveries + connectors) << "the route was saved before printing failed";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FailureAfterLoad,
    ::testing::Combine(::testing::Values(Failure::UnknownClass, Failure::UnknownConnector,
                                         Failure::BrokenFirstDelivery,
                                         Failure::BrokenMiddleDelivery, Failure::BrokenLastDelivery,
                                         Failure::FullOutputOnRoute, Failure::FullOutputOnList),
                       ::testing::Values(0U, 1U, 31U, 32U, 33U, 2000U)),
    [](const ::testing::TestParamInfo<std::tuple<Failure, std::size_t>>& param_info) {
      return name_of(std::get<0>(param_info.param)) + "_" +
             std::to_string(std::get<1>(param_info.param));
    });

}  // namespace
}  // namespace corvane::e2e
