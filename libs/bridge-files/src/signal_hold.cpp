#include "corvane/files/signal_hold.hpp"

#include <pthread.h>

#include <initializer_list>

namespace corvane::files {

void SignalHold::hold() noexcept {
  if (held_) return;
  sigset_t blocked;
  sigemptyset(&blocked);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, s);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  held_ = true;
}

SignalHold::~SignalHold() {
  if (held_ && !kept_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace corvane::files
