#pragma once

// Holding back the signals that end a run (SIGINT, SIGTERM, SIGHUP, SIGQUIT)
// while a change reaches the state file and is reported.

#include <signal.h>

namespace corvane::files {

// Holds nothing until `hold`; from then the four signals wait, until the
// hold is destroyed (the previous mask comes back, and a signal that arrived
// meanwhile is delivered then) or, after `keep`, until the process exits.
class SignalHold {
 public:
  SignalHold() noexcept = default;
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;
  ~SignalHold();

  // Blocks the four signals; holding twice is holding once.
  void hold() noexcept;
  // Leaves them blocked when this hold is destroyed.
  void keep() noexcept { kept_ = true; }
  [[nodiscard]] bool held() const noexcept { return held_; }

 private:
  bool held_ = false;
  bool kept_ = false;
  sigset_t previous_{};
};

}  // namespace corvane::files
