// A request to stop (Ctrl+C, SIGTERM), raised asynchronously by a signal or
// console handler and seen by the exchange with the board, which then sends
// nothing more and stops waiting, so that the port is put back in order.
#pragma once

namespace zefa::cli {

// signal: not 0. Safe to call from a signal handler or another thread.
void RequestInterrupt(int signal) noexcept;
bool Interrupted() noexcept;
// The signal (or console event) of the request; 0 when there was none.
int InterruptSignal() noexcept;

// The status that a run cut short by the signal ends with, as the calling
// shell sees it: 128 + the signal on POSIX (130 for SIGINT), the status of
// a program stopped by Ctrl+C on Windows.
int InterruptedExitStatus(int signal) noexcept;

}  // namespace zefa::cli
