// Shared pieces of the component's tests: the application object that the
// component's waits service, message pumping with a deadline, and a
// fixture with a simulated driver and one component on COM1.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Application.h"
#include "CommX.h"
#include "SimSerial.h"

// Dispatches messages (sent and posted) until pred holds or timeoutMs
// passes; returns pred's last value.
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs);
void PumpFor(DWORD ms);
double NowMs();

// Threads of this process (Toolhelp) and its open handles.
int ProcessThreadCount();
DWORD OpenHandleCount();

// The line settings the program uses for the board.
void ApplyProgramSettings(TCommX& comm);

// Posts a message to a hidden window of this thread and says whether it was
// handled: proves that a wait kept the user interface serviced.
class PostedProbe {
 public:
  // onHandled runs for each handled post (on this thread).
  explicit PostedProbe(std::function<void()> onHandled = nullptr);
  ~PostedProbe();
  void Post();
  HWND Window() const { return FWnd; }
  int Handled() const { return FHandled; }

 private:
  std::function<void()> FOnHandled;
  int FHandled = 0;
  HWND FWnd;
};

// Ends the process with a failure unless the scope is left within
// timeoutMs: a deadlock then fails its test at once instead of hanging it.
class Watchdog {
 public:
  Watchdog(DWORD timeoutMs, std::string what);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static DWORD WINAPI Watch(LPVOID self);
  DWORD FTimeoutMs;
  std::string FWhat;
  HANDLE FLeft;
  HANDLE FThread;
};

// Records the component's events with the thread they ran on.
struct EventLog {
  void Attach(TCommX& comm);
  std::vector<std::string> Events;
  std::vector<DWORD> Threads;
};

class CommTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Opens COM1 with the program's settings.
  void OpenProgramPort();
  std::vector<TSimCall> CallsSince(size_t first, const std::string& name) const;

  DWORD FUiThread = GetCurrentThreadId();
  TSimSerial sim;
  std::unique_ptr<TCommX> comm;
};
