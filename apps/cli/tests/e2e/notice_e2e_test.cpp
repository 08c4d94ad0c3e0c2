// What a person at a terminal is told beyond the results: a state file whose
// seed others may read, a wait for another run's lock, and help that fits
// the terminal. Scripts and pipes get none of it, and the results and
// statuses stay as they are.

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "process.hpp"

namespace corvane::e2e {
namespace {

class Notices : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(run({"init"}).status, 0); }
  RunResult run(const std::vector<std::string>& args, RunOptions options = {}) {
    return run_corvanectl(dir_.path(), args, options);
  }
  static RunOptions on_terminal() {
    RunOptions options;
    options.stderr_terminal = true;
    return options;
  }
  TempDir dir_;
};

const std::string kWarning =
    "warning: corvane.json holds the bridge's signing seed and others may read or write it; "
    "run: chmod 600 corvane.json\n";

TEST_F(Notices, AnExposedSeedIsPointedOutOnATerminalOnly) {
  const auto path = dir_ / "corvane.json";
  struct Case {
    mode_t mode;
    bool warned;
  };
  for (const Case c : {Case{0600, false}, Case{0640, false}, Case{0660, false}, Case{0644, true},
                       Case{0602, true}}) {
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    const RunResult piped = run({"list"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "") << "a script sees nothing new";
    const RunResult shown = run({"list"}, on_terminal());
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, piped.out) << "the result is the same";
    EXPECT_EQ(shown.err, c.warned ? kWarning : "") << std::oct << c.mode;
  }
  // A failing command keeps its status and message; the warning comes first.
  const RunResult failed = run(
      {"approve", "0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0", "--workflow-ref", "w"}, on_terminal());
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err,
            kWarning + "error: unknown connector 0f1e2d3c-4b5a-4978-8796-a5b4c3d2e1f0\n");
}

TEST_F(Notices, AWaitForTheLockIsSaidOnATerminalOnly) {
  const auto path = dir_ / "corvane.json";
  for (const bool terminal : {false, true}) {
    // Close-on-exec: the run under test must not inherit the lock.
    const int holder = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    std::thread release([holder] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1800));
      ::close(holder);
    });
    const RunResult result = run({"route", "alert"}, terminal ? on_terminal() : RunOptions{});
    release.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "0 delivery(ies) queued\n");
    if (terminal) {
      EXPECT_EQ(result.err.rfind("waiting for the lock on corvane.json (held by process " +
                                     std::to_string(::getpid()) + ") ...\n",
                                 0),
                0U)
          << result.err;
    } else {
      EXPECT_EQ(result.err, "");
    }
  }
}

TEST_F(Notices, HelpFitsAnEightyColumnTerminalAndNamesTheManual) {
  RunOptions narrow;
  narrow.stdout_terminal = true;
  narrow.terminal_columns = 80;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"install", "--help"}}) {
    const RunResult piped = run(args);
    const RunResult shown = run(args, narrow);
    EXPECT_EQ(shown.status, 0);
    std::istringstream lines(shown.out);
    bool longer = false;
    for (std::string line; std::getline(lines, line);) {
      // Characters, not bytes: the help holds an em dash.
      std::size_t width = 0;
      for (const char c : line) width += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U ? 1 : 0;
      EXPECT_LE(width, 80U) << line;
      longer = longer || width > 80;
    }
    EXPECT_FALSE(longer);
    const bool program = args.front() == "--help";
    EXPECT_EQ(shown.out.ends_with("\nThe manual: man corvanectl\n"), program);
    // On a pipe the help is as it always was, one line per option.
    EXPECT_EQ(piped.out.find("man corvanectl"), std::string::npos);
    if (!program) {
      EXPECT_NE(piped.out.find("pseudonymous_identifier | encrypted_object_reference"),
                std::string::npos);
    }
  }
}

}  // namespace
}  // namespace corvane::e2e
