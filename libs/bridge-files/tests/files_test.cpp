#include "corvane/files/files.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>

namespace corvane::files {
namespace {

TEST(Describe, NamesTheSystemsTextAndNumberOrTheLayersOwnText) {
  EXPECT_EQ(describe(std::error_code(ENOENT, std::generic_category())),
            "No such file or directory (os error 2)");
  EXPECT_EQ(describe(Errc::write_returned_zero), "failed to write whole buffer");
  EXPECT_EQ(describe(Errc::nul_in_path), "file name contained an unexpected NUL byte");
}

volatile sig_atomic_t g_hangups = 0;
extern "C" void count_hangup(int /*signal*/) {
  g_hangups = g_hangups + 1;
}

bool blocked(int signal_number) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal_number) == 1;
}

TEST(SignalHold, HoldsTheEndingSignalsUntilDestroyedOrForEverOnceKept) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = count_hangup;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGHUP, &action, &previous), 0);
  g_hangups = 0;
  {
    SignalHold hold;
    EXPECT_FALSE(hold.held());
    EXPECT_FALSE(blocked(SIGHUP));
    hold.hold();
    hold.hold();
    EXPECT_TRUE(hold.held());
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) EXPECT_TRUE(blocked(s)) << s;
    ::raise(SIGHUP);
    EXPECT_EQ(g_hangups, 0) << "held back";
  }
  EXPECT_EQ(g_hangups, 1) << "delivered once the hold ends";
  EXPECT_FALSE(blocked(SIGHUP));
  {
    SignalHold hold;
    hold.hold();
    hold.keep();
  }
  EXPECT_TRUE(blocked(SIGHUP)) << "kept until the process exits";
  sigset_t mask;
  sigemptyset(&mask);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&mask, s);
  pthread_sigmask(SIG_UNBLOCK, &mask, nullptr);
  ::sigaction(SIGHUP, &previous, nullptr);
}

class TempFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/corvane-files-XXXXXX";
    fd_ = ::mkstemp(pattern);
    ASSERT_GE(fd_, 0);
    path_ = pattern;
    ASSERT_EQ(::write(fd_, "0123456789", 10), 10);
  }
  void TearDown() override {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  int fd_ = -1;
  std::string path_;
};

TEST_F(TempFile, AChangeRightAfterTheSettledLookShowsEvenInTheSameClockTick) {
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(::pwrite(fd_, "abcdefghij", 10, 0), 10);
    auto settled = settled_stat(System::real(), fd_);
    ASSERT_TRUE(settled);
    struct stat same {};
    ASSERT_EQ(::fstat(fd_, &same), 0);
    EXPECT_TRUE(unchanged(*settled, same));
    ASSERT_EQ(::pwrite(fd_, "0123456789", 10, 0), 10);  // same size, other bytes
    struct stat now {};
    ASSERT_EQ(::fstat(fd_, &now), 0);
    ASSERT_FALSE(unchanged(*settled, now)) << "round " << round;
  }
}

TEST_F(TempFile, TheLockHolderIsFoundAndAWaiterHearsOfItOnce) {
  struct stat info {};
  ASSERT_EQ(::fstat(fd_, &info), 0);
  EXPECT_EQ(lock_holder(System::real(), info), std::nullopt);
  ASSERT_EQ(::flock(fd_, LOCK_EX), 0);
  EXPECT_EQ(lock_holder(System::real(), info), std::optional<pid_t>(::getpid()));
  int heard = 0;
  auto lock = Lock::acquire(System::real(), path_, std::chrono::milliseconds(1300),
                            [&](std::optional<pid_t> holder) {
                              ++heard;
                              EXPECT_EQ(holder, std::optional<pid_t>(::getpid()));
                            });
  EXPECT_EQ(lock.error(), Errc::locked);
  EXPECT_EQ(heard, 1);
  ASSERT_EQ(::flock(fd_, LOCK_UN), 0);
  EXPECT_TRUE(Lock::acquire(System::real(), path_, std::chrono::milliseconds(100)));
}

}  // namespace
}  // namespace corvane::files
