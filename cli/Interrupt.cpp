#include "Interrupt.h"

#include <atomic>

namespace zefa::cli {
namespace {

// Only lock-free atomics may be touched from a signal handler.
static_assert(std::atomic<int>::is_always_lock_free, "atomic int must be lock-free");
std::atomic<int> RequestedSignal{0};

}  // namespace

void RequestInterrupt(int signal) noexcept {
  int none = 0;
  RequestedSignal.compare_exchange_strong(none, signal);  // the first one counts
}

bool Interrupted() noexcept {
  return RequestedSignal.load() != 0;
}

int InterruptSignal() noexcept {
  return RequestedSignal.load();
}

int InterruptedExitStatus(int signal) noexcept {
#ifdef _WIN32
  (void)signal;
  return static_cast<int>(0xC000013AU);  // STATUS_CONTROL_C_EXIT, as %ERRORLEVEL% shows it
#else
  return 128 + signal;
#endif
}

}  // namespace zefa::cli
