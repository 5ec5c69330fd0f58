// Shutdown and re-entrancy: Close and Destroy wait for the component's
// threads without deadlocking against their synchronous reports, handlers
// may close the port, and nothing leaks over many cycles.
#include <cstdio>

#include "CommTestSupport.h"
#include "NotifyWindow.h"

TEST_F(CommTest, DestroyRightAfterOpenWithBlocksPendingLeaksNothing) {
  auto cycle = [this] {
    auto c = std::make_unique<TCommX>(nullptr);
    ApplyProgramSettings(*c);
    c->SetBitRate(1200);
    c->SetBufLenTrans(8);
    c->Open();
    ASSERT_TRUE(c->SendString("0123456789abcdefghij"));
  };
  comm.reset();
  // GoogleTest starts a thread of its own the first time a thread uses its
  // per-thread state (as a trace does): before the count, not during it.
  SCOPED_TRACE("200 cycles");
  // The first cycles make what the system keeps for the process; let it
  // settle before counting.
  cycle();
  cycle();
  PumpFor(200);
  const DWORD handles = OpenHandleCount();
  const int threads = ProcessThreadCount();
  ASSERT_GT(handles, 0u);
  ASSERT_GT(threads, 0);
  for (int i = 0; i < 200; ++i) cycle();
  // Let a thread of the system's own that happens to be starting or ending
  // settle; a leak of the component's would stay.
  PumpUntil([&] { return ProcessThreadCount() == threads && OpenHandleCount() == handles; }, 2000);
  EXPECT_EQ(OpenHandleCount(), handles);
  EXPECT_EQ(ProcessThreadCount(), threads);
  EXPECT_FALSE(sim.Port(1).Open);
  EXPECT_EQ(sim.Calls("CreateFileA").size(), 202u);
  EXPECT_EQ(sim.Calls("CloseHandle").size(), 202u);
}

TEST_F(CommTest, AReceiveHandlerMayCloseThePort) {
  OpenProgramPort();
  int received = 0;
  comm->SetOnReceive([&](TObject* sender, int32_t) {
    ++received;
    EXPECT_EQ(sender, comm.get());
    comm->Close();  // the receive thread waits in its send meanwhile
  });
  sim.Receive(1, "A");
  ASSERT_TRUE(PumpUntil([&] { return comm->Handle() == INVALID_HANDLE_VALUE; }, 5000));
  EXPECT_EQ(received, 1);
  EXPECT_EQ(comm->ReceiveThread(), nullptr);
  EXPECT_FALSE(sim.Port(1).Open);
}

TEST_F(CommTest, AnErrorHandlerCalledByTheWriterMayCloseThePort) {
  OpenProgramPort();
  int errors = 0;
  comm->SetOnError([&](TObject*, int32_t) {
    ++errors;
    comm->Close();  // the writer waits in its report meanwhile
  });
  sim.SetErrors(1, CE_FRAME);
  sim.FailNextWrites(1, ERROR_GEN_FAILURE);
  ASSERT_TRUE(comm->SendString("abc"));
  ASSERT_TRUE(PumpUntil([&] { return comm->Handle() == INVALID_HANDLE_VALUE; }, 5000));
  EXPECT_EQ(errors, 1);
  EXPECT_FALSE(sim.Port(1).Open);
}

TEST_F(CommTest, CloseHandlesSentMessagesButNoPostedInputAndIgnoresANestedClose) {
  sim.SetFastPauses(false);
  OpenProgramPort();
  comm->SetBitRate(300);
  comm->SetBufLenTrans(50);
  ASSERT_TRUE(comm->SendString(std::string(200, 'x')));
  ASSERT_TRUE(PumpUntil([&] { return sim.Port(1).PendingWrites == 1; }, 2000));

  // Another thread sends to a window of ours while Close waits; its handler
  // closes again.
  int nestedCloses = 0;
  bool duringClose = false;
  HWND target = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_APP + 9) {
      ++nestedCloses;
      duringClose = comm->Handle() != INVALID_HANDLE_VALUE;
      comm->Close();
    } else {
      m.Result = DefWindowProcW(nullptr, m.Msg, m.WParam, m.LParam);
    }
  });
  PostedProbe posted;
  posted.Post();
  HANDLE sender = CreateThread(
      nullptr, 0,
      [](LPVOID wnd) -> DWORD {
        Sleep(5);
        SendMessageW(static_cast<HWND>(wnd), WM_APP + 9, 0, 0);
        return 0;
      },
      target, 0, nullptr);
  comm->Close();
  EXPECT_EQ(nestedCloses, 1);
  EXPECT_TRUE(duringClose);
  EXPECT_EQ(WaitForSingleObject(sender, 5000), WAIT_OBJECT_0);
  CloseHandle(sender);
  EXPECT_EQ(posted.Handled(), 0);  // no user input ran inside Close
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(sim.Calls("CloseHandle").size(), 1u);
  PumpFor(10);
  EXPECT_EQ(posted.Handled(), 1);
  DeallocateHWnd(target);
}

TEST_F(CommTest, CloseOfAnOpenPortTakesItsPausesAndWaitsForBothThreads) {
  sim.SetFastPauses(false);
  OpenProgramPort();
  ASSERT_TRUE(comm->SendString("abc"));
  const int threads = ProcessThreadCount();
  const double start = NowMs();
  comm->Close();
  const double took = NowMs() - start;
  EXPECT_GE(took, 295.0);
  EXPECT_LT(took, 3000.0);
  // Both threads have ended by the time Close returns.
  EXPECT_EQ(ProcessThreadCount(), threads - 2);
  std::printf("Close of an open port: %.0f ms\n", took);
}
