#include "corvane/files/signal_cleanup.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>

#include "scratch_dir.hpp"

namespace corvane::files {
namespace {

class SignalCleanupTest : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    write_file(path(kName), "a copy of the state");
    directory_ = ::open(dir_.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(directory_, 0);
  }
  void TearDown() override {
    ::close(directory_);
    ScratchDir::TearDown();
  }

  // Runs `body` in a child process and says how it ended: the signal that
  // ended it, or 0 when it exited by itself.
  static int signal_ending(const std::function<void()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
      const struct rlimit no_core {};
      ::setrlimit(RLIMIT_CORE, &no_core);
      body();
      ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

  static constexpr const char* kName = ".corvane-0123456789abcdef-AbC123";
  int directory_ = -1;
};

class EndingSignal : public SignalCleanupTest, public ::testing::WithParamInterface<int> {};

TEST_P(EndingSignal, RemovesTheRegisteredFileAndStillEndsTheProcess) {
  const int signal_number = GetParam();
  EXPECT_EQ(signal_ending([&] {
              const SignalCleanup cleanup(directory_, kName);
              if (!cleanup.active()) ::_exit(1);
              ::raise(signal_number);
            }),
            signal_number);
  EXPECT_FALSE(std::filesystem::exists(path(kName)));
}

INSTANTIATE_TEST_SUITE_P(SignalCleanup, EndingSignal,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT),
                         [](const auto& param_info) {
                           return std::string(sigabbrev_np(param_info.param));
                         });

TEST_F(SignalCleanupTest, AReleasedRegistrationLeavesTheFile) {
  EXPECT_EQ(signal_ending([&] {
              SignalCleanup cleanup(directory_, kName);
              cleanup.release();
              if (cleanup.active()) ::_exit(1);
              ::raise(SIGTERM);
            }),
            SIGTERM);
  EXPECT_TRUE(std::filesystem::exists(path(kName)));
}

TEST_F(SignalCleanupTest, AMovedRegistrationStaysInForceUntilItsNewOwnerEnds) {
  EXPECT_EQ(signal_ending([&] {
              SignalCleanup moved;
              {
                SignalCleanup cleanup(directory_, kName);
                moved = std::move(cleanup);
              }
              if (!moved.active()) ::_exit(1);
              ::raise(SIGTERM);
            }),
            SIGTERM);
  EXPECT_FALSE(std::filesystem::exists(path(kName)));
}

TEST_F(SignalCleanupTest, ASignalTheProcessIgnoresStaysIgnoredAndLeavesTheFile) {
  EXPECT_EQ(signal_ending([&] {
              ::signal(SIGTERM, SIG_IGN);
              const SignalCleanup cleanup(directory_, kName);
              ::raise(SIGTERM);
            }),
            0);
  EXPECT_TRUE(std::filesystem::exists(path(kName)));
}

TEST_F(SignalCleanupTest, TheNewestRegistrationIsTheOneRemoved) {
  write_file(path("other"), "");
  EXPECT_EQ(signal_ending([&] {
              SignalCleanup first(directory_, "other");
              const SignalCleanup second(directory_, kName);
              if (first.active() || !second.active()) ::_exit(1);
              first.release();  // changes nothing: it was replaced
              ::raise(SIGTERM);
            }),
            SIGTERM);
  EXPECT_FALSE(std::filesystem::exists(path(kName)));
  EXPECT_TRUE(std::filesystem::exists(path("other")));
}

volatile sig_atomic_t g_cleanup_hangups = 0;
extern "C" void count_hangup_after_cleanup(int /*signal*/) {
  g_cleanup_hangups = g_cleanup_hangups + 1;
}

TEST_F(SignalCleanupTest, ThePreviousHandlerComesBackWhenTheRegistrationEnds) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = count_hangup_after_cleanup;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGHUP, &action, &previous), 0);
  g_cleanup_hangups = 0;
  { const SignalCleanup cleanup(directory_, kName); }
  ::raise(SIGHUP);
  EXPECT_EQ(g_cleanup_hangups, 1);
  EXPECT_TRUE(std::filesystem::exists(path(kName)));
  ::sigaction(SIGHUP, &previous, nullptr);
}

TEST_F(SignalCleanupTest, ANameTooLongForTheHandlersBufferIsNotRegistered) {
  const SignalCleanup cleanup(directory_, std::string(64, 'n'));
  EXPECT_FALSE(cleanup.active());
}

}  // namespace
}  // namespace corvane::files
