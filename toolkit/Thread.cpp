#include "Thread.h"

#include <string>

TThread::TThread(TThreadStarter starter)
    : FHandle(nullptr), FThreadID(0), FStarted(false), FTerminated(false), FFreeOnTerminate(false) {
  if (starter == nullptr) starter = ::CreateThread;
  FHandle = starter(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &FThreadID);
  if (FHandle == nullptr) {
    throw EThread("スレッドを生成できませんでした (" + std::to_string(GetLastError()) + ")");
  }
}

TThread::~TThread() {
  if (FHandle == nullptr) return;
  if (GetCurrentThreadId() != FThreadID) {
    // The run is ours to wait for, and it must not free this object again.
    FFreeOnTerminate.store(false);
    Terminate();
    if (!FStarted) {
      FStarted = true;
      ResumeThread(FHandle);
    }
    WaitForSingleObject(FHandle, INFINITE);
  }
  CloseHandle(FHandle);
}

void TThread::Resume() {
  if (FStarted) return;
  FStarted = true;
  ResumeThread(FHandle);
}

void TThread::WaitFor() {
  if (FStarted) WaitForSingleObject(FHandle, INFINITE);
}

DWORD WINAPI TThread::ThreadProc(LPVOID param) {
  auto* self = static_cast<TThread*>(param);
  if (!self->Terminated()) {
    // No exception may leave a thread's entry.
    try {
      self->Execute();
    } catch (...) {
      self->FFatalException = std::current_exception();
    }
  }
  if (self->FreeOnTerminate()) delete self;
  return 0;
}
