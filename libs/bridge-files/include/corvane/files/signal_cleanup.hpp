#pragma once

// A temporary file that holds a copy of a state file must not outlive a run
// ended by a signal: while it is registered here, SIGINT, SIGTERM, SIGHUP and
// SIGQUIT remove it before they end the process.

#include <string_view>

namespace corvane::files {

// Registers one temporary file for removal by the ending signals while alive.
// A process has one such file at a time: a registration replaces any other,
// whose release then changes nothing.
// The signals' own handlers come back when it ends; a signal the process
// ignores stays ignored (it ends nothing, so nothing is left behind).
class SignalCleanup {
 public:
  SignalCleanup() noexcept = default;
  // Registers the file `name` in the directory open as `directory` (the
  // descriptor must stay open while registered). A name longer than 63
  // bytes is not registered.
  SignalCleanup(int directory, std::string_view name) noexcept;
  SignalCleanup(SignalCleanup&& other) noexcept;
  SignalCleanup& operator=(SignalCleanup&& other) noexcept;
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;
  ~SignalCleanup() { release(); }

  // True while this is the registration the signals act on.
  [[nodiscard]] bool active() const noexcept;
  // Ends the registration; the file stays.
  void release() noexcept;

 private:
  unsigned long id_ = 0;  // 0: none
};

}  // namespace corvane::files
