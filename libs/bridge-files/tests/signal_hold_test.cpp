#include "corvane/files/signal_hold.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <initializer_list>

namespace corvane::files {
namespace {

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

}  // namespace
}  // namespace corvane::files
