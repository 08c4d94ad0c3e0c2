#include "corvane/files/signal_cleanup.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <utility>

namespace corvane::files {

namespace {

constexpr std::array<int, 4> kCleanupSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The one temporary file this process may hold, as the signal handler sees
// it: a directory descriptor and a name in a fixed buffer, so that removing
// it needs nothing but unlinkat.
struct PendingTemporary {
  volatile std::sig_atomic_t active = 0;
  int directory = -1;
  std::array<char, 64> name{};
};
PendingTemporary g_pending;
std::array<struct sigaction, kCleanupSignals.size()> g_previous{};
unsigned long g_registration = 0;  // the id of the registration in force, 0 when none
unsigned long g_last_id = 0;

extern "C" void remove_temporary_and_die(int signal_number) {
  if (g_pending.active != 0) ::unlinkat(g_pending.directory, g_pending.name.data(), 0);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

SignalCleanup::SignalCleanup(int directory, std::string_view name) noexcept {
  if (name.size() >= g_pending.name.size()) return;
  const bool replacing = g_registration != 0;
  g_pending.active = 0;
  std::copy(name.begin(), name.end(), g_pending.name.begin());
  g_pending.name[name.size()] = '\0';
  g_pending.directory = directory;
  g_pending.active = 1;
  id_ = ++g_last_id;
  g_registration = id_;
  // The handlers are in place already for the registration replaced.
  if (replacing) return;
  for (std::size_t i = 0; i < kCleanupSignals.size(); ++i) {
    struct sigaction current {};
    ::sigaction(kCleanupSignals[i], nullptr, &current);
    g_previous[i] = current;
    // A signal the process ignores does not end it, so nothing is left behind.
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_temporary_and_die;
    sigemptyset(&action.sa_mask);
    ::sigaction(kCleanupSignals[i], &action, nullptr);
  }
}

SignalCleanup::SignalCleanup(SignalCleanup&& other) noexcept : id_(std::exchange(other.id_, 0)) {}

SignalCleanup& SignalCleanup::operator=(SignalCleanup&& other) noexcept {
  if (this != &other) {
    release();
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

bool SignalCleanup::active() const noexcept {
  return id_ != 0 && id_ == g_registration;
}

void SignalCleanup::release() noexcept {
  if (!active()) {
    id_ = 0;
    return;
  }
  id_ = 0;
  g_registration = 0;
  g_pending.active = 0;
  for (std::size_t i = 0; i < kCleanupSignals.size(); ++i) {
    ::sigaction(kCleanupSignals[i], &g_previous[i], nullptr);
  }
}

}  // namespace corvane::files
