// The thread class and the hidden notification window.
#include <atomic>

#include "CommTestSupport.h"
#include "NotifyWindow.h"
#include "Thread.h"

namespace {

class TProbeThread : public TThread {
 public:
  explicit TProbeThread(std::atomic<int>& runs, TThreadStarter starter = nullptr)
      : TThread(starter), FRuns(runs) {}
  DWORD RanOn = 0;

 protected:
  void Execute() override {
    RanOn = GetCurrentThreadId();
    ++FRuns;
    while (!Terminated()) Sleep(1);
  }

 private:
  std::atomic<int>& FRuns;
};

class TSelfFreeingThread : public TThread {
 public:
  explicit TSelfFreeingThread(std::atomic<bool>& destroyed) : FDestroyed(destroyed) {}
  ~TSelfFreeingThread() override { FDestroyed = true; }

 protected:
  void Execute() override { SetFreeOnTerminate(true); }

 private:
  std::atomic<bool>& FDestroyed;
};

HANDLE WINAPI FailingStarter(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

}  // namespace

TEST(ThreadTest, RunsOnlyOnceResumedOnItsOwnThread) {
  std::atomic<int> runs{0};
  TProbeThread thread(runs);
  Sleep(30);
  EXPECT_EQ(runs, 0);
  thread.Resume();
  ASSERT_TRUE(PumpUntil([&] { return runs == 1; }, 2000));
  thread.Terminate();
  thread.WaitFor();
  EXPECT_EQ(thread.RanOn, thread.ThreadID());
  EXPECT_NE(thread.ThreadID(), GetCurrentThreadId());
}

TEST(ThreadTest, TerminationBeforeTheRunSkipsExecute) {
  std::atomic<int> runs{0};
  {
    TProbeThread thread(runs);
    thread.Terminate();
    thread.Resume();
    thread.WaitFor();
  }
  {
    TProbeThread never(runs);  // destroyed without ever being resumed
  }
  EXPECT_EQ(runs, 0);
}

TEST(ThreadTest, FreeOnTerminateReleasesTheObjectWhenTheRunEnds) {
  std::atomic<bool> destroyed{false};
  const int threads = ProcessThreadCount();
  auto* thread = new TSelfFreeingThread(destroyed);
  thread->Resume();
  EXPECT_TRUE(PumpUntil([&] { return destroyed.load(); }, 2000));
  EXPECT_TRUE(PumpUntil([&] { return ProcessThreadCount() == threads; }, 2000));
}

TEST(ThreadTest, CreationFailureRaises) {
  std::atomic<int> runs{0};
  EXPECT_THROW(TProbeThread(runs, FailingStarter), EThread);
}

TEST(NotifyWindowTest, MessagesFromAnotherThreadRunOnTheOwningThread) {
  DWORD handledOn = 0;
  LPARAM seen = 0;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_APP) {
      handledOn = GetCurrentThreadId();
      seen = m.LParam;
      m.Result = 42;
    } else {
      m.Result = DefWindowProcW(nullptr, m.Msg, m.WParam, m.LParam);
    }
  });
  ASSERT_NE(wnd, nullptr);
  std::atomic<LRESULT> result{0};
  HANDLE sender = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* args = static_cast<std::pair<HWND, std::atomic<LRESULT>*>*>(p);
        args->second->store(SendMessageW(args->first, WM_APP, 0, 1234));
        return 0;
      },
      new std::pair<HWND, std::atomic<LRESULT>*>(wnd, &result), 0, nullptr);
  EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(sender, 0) == WAIT_OBJECT_0; }, 2000));
  CloseHandle(sender);
  EXPECT_EQ(handledOn, GetCurrentThreadId());
  EXPECT_EQ(seen, 1234);
  EXPECT_EQ(result.load(), 42);
  DeallocateHWnd(wnd);
  EXPECT_FALSE(IsWindow(wnd));
}

TEST(NotifyWindowTest, AnExceptionInTheMethodGoesToTheApplicationsHandler) {
  HWND wnd = AllocateHWnd([](TMessage& m) {
    if (m.Msg == WM_APP) throw Exception("テスト例外");
    m.Result = DefWindowProcW(nullptr, m.Msg, m.WParam, m.LParam);
  });
  // The handler shows a message box: a watcher reads and closes it.
  struct Watch {
    std::wstring text;
    std::atomic<bool> done{false};
  } watch;
  HANDLE watcher = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* w = static_cast<Watch*>(p);
        for (int i = 0; i < 5000 && !w->done; ++i) {
          HWND box = FindWindowW(L"#32770", nullptr);
          if (box != nullptr) {
            wchar_t text[256] = {};
            // The box may not have its text yet.
            if (GetDlgItemTextW(box, 0xFFFF, text, 256) > 0) {
              w->text = text;
              PostMessageW(box, WM_COMMAND, IDOK, 0);
              w->done = true;
            }
          }
          Sleep(2);
        }
        return 0;
      },
      &watch, 0, nullptr);
  SendMessageW(wnd, WM_APP, 0, 0);  // returns once the box was closed
  watch.done = true;
  WaitForSingleObject(watcher, 10000);
  CloseHandle(watcher);
  EXPECT_EQ(watch.text, L"テスト例外");
  DeallocateHWnd(wnd);
}
