// A thread object in the manner of the toolkit: created suspended, started
// with Resume, asked to end with Terminate (a flag that Execute polls), and
// optionally released by its own thread when Execute returns.
#pragma once

#include <windows.h>

#include <atomic>
#include <exception>

#include "Component.h"
#include "Exception.h"

// Raised when the operating system cannot create the thread.
class EThread : public Exception {
 public:
  using Exception::Exception;
};

class TThread : public TObject {
 public:
  // The signature of CreateThread. A caller may pass its own (a test seam);
  // null means the system's CreateThread.
  using TThreadStarter = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                         DWORD, LPDWORD);

  // The system thread is always created suspended: a derived class is not
  // constructed yet when this constructor runs. Raises EThread on failure.
  explicit TThread(TThreadStarter starter = nullptr);
  // From another thread: requests termination, runs a thread that was never
  // resumed (Execute is then skipped) and waits for the end of the run.
  // From the thread itself (FreeOnTerminate): only releases the handle.
  ~TThread() override;

  // Starts a suspended thread; does nothing once it has been started.
  void Resume();
  // Sets the termination request that Execute is expected to poll.
  void Terminate() { FTerminated.store(true); }
  bool Terminated() const { return FTerminated.load(); }

  DWORD ThreadID() const { return FThreadID; }
  HANDLE Handle() const { return FHandle; }

  // When set as the run ends, the thread deletes its own object. Callers
  // must then not touch the object once the run can end.
  bool FreeOnTerminate() const { return FFreeOnTerminate.load(); }
  void SetFreeOnTerminate(bool value) { FFreeOnTerminate.store(value); }

  // Waits for the end of a started thread that does not free itself.
  void WaitFor();
  // The exception that escaped Execute, if any (never rethrown on its own).
  std::exception_ptr FatalException() const { return FFatalException; }

 protected:
  virtual void Execute() = 0;

 private:
  static DWORD WINAPI ThreadProc(LPVOID param);

  HANDLE FHandle;
  DWORD FThreadID;
  bool FStarted;  // UI side only: Resume was called
  std::atomic<bool> FTerminated;
  std::atomic<bool> FFreeOnTerminate;
  std::exception_ptr FFatalException;  // written by the thread before it ends
};
