// Replays every seed and every saved crashing input of each fuzz target
// through the target in an ordinary build, so that a fixed fault stays fixed
// without libFuzzer (and under ASan and UBSan in the sanitized build).

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "targets.hpp"

namespace corvane::fuzz {

// Test names show the target, not the bytes of the table entry.
void PrintTo(const NamedTarget& target, std::ostream* out) {
  *out << target.name;
}

namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = CORVANE_FUZZ_DIR;

// The regular files directly in `dir`, by name; none when it does not exist.
std::vector<fs::path> files_in(const fs::path& dir) {
  std::vector<fs::path> files;
  if (!fs::is_directory(dir)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string read_bytes(const fs::path& path) {
  std::string bytes(static_cast<std::size_t>(fs::file_size(path)), '\0');
  std::ifstream in(path, std::ios::binary);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// Ends the process when one input takes longer than `budget`, as libFuzzer's
// -timeout does: a parser that hangs or turns quadratic on an input fails
// instead of stalling the suite. Every seed takes milliseconds, even under
// the sanitizers.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::milliseconds budget)
      : thread_([this, budget] {
          std::unique_lock lock(mutex_);
          if (!done_changed_.wait_for(lock, budget, [this] { return done_; })) {
            fuzz_failure("replay",
                         "the input took longer than " + std::to_string(budget.count()) + " ms");
          }
        }) {}
  ~Watchdog() {
    {
      const std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the members it uses exist
};

constexpr std::chrono::milliseconds kInputBudget{2000};

class FuzzReplay : public testing::TestWithParam<NamedTarget> {};

TEST_P(FuzzReplay, EverySeedAndRegressionPasses) {
  const auto& target = GetParam();
  const auto seeds = files_in(kFuzzDir / "corpus" / target.corpus);
  // A target without seeds means the corpus was moved or renamed, and the test
  // would prove nothing.
  ASSERT_FALSE(seeds.empty()) << "no seeds in " << (kFuzzDir / "corpus" / target.corpus);
  auto inputs = seeds;
  const auto regressions = files_in(kFuzzDir / "regressions" / target.name);
  inputs.insert(inputs.end(), regressions.begin(), regressions.end());
  for (const auto& path : inputs) {
    SCOPED_TRACE(path.string());
    const std::string bytes = read_bytes(path);
    set_current_input(path.string());
    // A broken property, a sanitizer report or an input over its time budget
    // aborts the whole test binary with the file's name; a normal return is 0
    // by libFuzzer's convention.
    const Watchdog watchdog(kInputBudget);
    EXPECT_EQ(target.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
  }
  set_current_input({});
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(kTargets),
                         [](const testing::TestParamInfo<NamedTarget>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace corvane::fuzz
