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

// One thread's report is being handled, and its handler runs a nested
// message loop (as a message box does); inside that loop the other thread's
// report is handled, and that handler closes the port, purges or sends.
// The thread waiting outside can't be answered the usual way until the
// outer handler returns, yet nothing may wait for it for ever, and once the
// outer handler has returned each report of the port's threads waits for
// its handler again: no answer went astray.
enum class InnerAction { Close, CloseAndOpen, PurgeSend, SendBeyondTheBlockLimit };

struct NestedReportCase {
  const char* name;
  bool writerOutside;  // else the receive thread's report is the outer one
  InnerAction inner;
};

void PrintTo(const NestedReportCase& c, std::ostream* os) { *os << c.name; }

class CommNestedReportTest : public CommTest, public ::testing::WithParamInterface<NestedReportCase> {
 protected:
  void SetUp() override {
    CommTest::SetUp();
    ApplyProgramSettings(*comm);
    comm->SetBufLenTrans(1);
    comm->Open();
  }

  // The writer's write fails at once with a framing error pending.
  void MakeTheWriterReport() {
    sim.SetErrors(1, CE_FRAME);
    sim.FailNextWrites(1, ERROR_GEN_FAILURE);
    EXPECT_TRUE(comm->SendString("w"));
  }
  void MakeTheReceiveThreadReport() { sim.Receive(1, "r"); }

  void ExpectTheWriterToWaitForItsHandler() {
    int32_t blocksInHandler = -1;
    comm->SetOnReceive(nullptr);
    comm->SetOnError([&](TObject*, int32_t) {
      Sleep(50);  // time for a writer that did not wait to finish its block
      blocksInHandler = comm->PendingBlocks();
    });
    MakeTheWriterReport();
    EXPECT_TRUE(PumpUntil([&] { return blocksInHandler >= 0 && comm->PendingBlocks() == 0; }, 5000));
    EXPECT_EQ(blocksInHandler, 1);
    comm->SetOnError(nullptr);
  }

  void ExpectTheReceiveThreadToWaitForItsHandler() {
    size_t waitsBefore = 0, waitsAfter = 0;
    bool ran = false;
    comm->SetOnError(nullptr);
    comm->SetOnReceive([&](TObject*, int32_t) {
      waitsBefore = sim.Calls("WaitCommEvent").size();
      Sleep(50);  // time for a thread that did not wait to wait on the line again
      waitsAfter = sim.Calls("WaitCommEvent").size();
      ran = true;
    });
    MakeTheReceiveThreadReport();
    EXPECT_TRUE(PumpUntil([&] { return ran; }, 5000));
    EXPECT_EQ(waitsAfter, waitsBefore);
    comm->SetOnReceive(nullptr);
    comm->PurgeReceive();
  }

  const std::string FData = std::string(40, 'd');  // more blocks than SendData lets wait
  bool FSent = false;
  int32_t FPendingAfterPurge = -1;

  void RunInner(InnerAction action) {
    switch (action) {
      case InnerAction::Close: comm->Close(); break;
      case InnerAction::CloseAndOpen:
        comm->Close();
        comm->Open();
        break;
      case InnerAction::PurgeSend:
        comm->PurgeSend();
        FPendingAfterPurge = comm->PendingBytes();
        break;
      case InnerAction::SendBeyondTheBlockLimit: FSent = comm->SendString(FData); break;
    }
  }
};

TEST_P(CommNestedReportTest, NoWaitHangsOnTheThreadWaitingOutside) {
  const NestedReportCase c = GetParam();
  Watchdog watchdog(20000, c.name);
  int outerRuns = 0, innerRuns = 0;
  bool outerRunning = false, innerRanInsideOuter = false;
  auto outer = [&] {
    if (outerRuns++ > 0) return;
    outerRunning = true;
    if (c.writerOutside) {
      MakeTheReceiveThreadReport();
    } else {
      MakeTheWriterReport();
    }
    PumpUntil([&] { return innerRuns > 0; }, 5000);  // the message box's loop
    outerRunning = false;
  };
  auto inner = [&] {
    if (innerRuns++ > 0) return;
    innerRanInsideOuter = outerRunning;
    RunInner(c.inner);
  };
  comm->SetOnError([&](TObject*, int32_t) { c.writerOutside ? outer() : inner(); });
  comm->SetOnReceive([&](TObject*, int32_t) { c.writerOutside ? inner() : outer(); });

  if (c.writerOutside) {
    MakeTheWriterReport();
  } else {
    MakeTheReceiveThreadReport();
  }
  ASSERT_TRUE(PumpUntil([&] { return outerRuns > 0 && !outerRunning; }, 10000));
  EXPECT_EQ(innerRuns, 1);
  EXPECT_TRUE(innerRanInsideOuter);

  switch (c.inner) {
    case InnerAction::Close:
      EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
      EXPECT_EQ(comm->TransThread(), nullptr);
      EXPECT_FALSE(sim.Port(1).Open);
      comm->Open();
      break;
    case InnerAction::CloseAndOpen:
      EXPECT_TRUE(sim.Port(1).Open);
      EXPECT_EQ(sim.Calls("CreateFileA").size(), 2u);
      break;
    case InnerAction::PurgeSend: EXPECT_EQ(FPendingAfterPurge, 0); break;
    case InnerAction::SendBeyondTheBlockLimit:
      EXPECT_TRUE(FSent);
      EXPECT_TRUE(PumpUntil([&] { return sim.Transmitted() == FData; }, 5000)) << sim.Transmitted().size();
      break;
  }
  ExpectTheWriterToWaitForItsHandler();
  ExpectTheReceiveThreadToWaitForItsHandler();
}

INSTANTIATE_TEST_SUITE_P(
    Nested, CommNestedReportTest,
    ::testing::Values(NestedReportCase{"WriterOutsideCloseInside", true, InnerAction::Close},
                      NestedReportCase{"ReceiverOutsideCloseInside", false, InnerAction::Close},
                      NestedReportCase{"WriterOutsideCloseAndOpenInside", true, InnerAction::CloseAndOpen},
                      NestedReportCase{"ReceiverOutsideCloseAndOpenInside", false, InnerAction::CloseAndOpen},
                      NestedReportCase{"WriterOutsidePurgeSendInside", true, InnerAction::PurgeSend},
                      NestedReportCase{"WriterOutsideSendDataWaitsInside", true,
                                       InnerAction::SendBeyondTheBlockLimit}),
    [](const ::testing::TestParamInfo<NestedReportCase>& info) { return std::string(info.param.name); });

// A driver that never completes an I/O, not even once it is cancelled: the
// component gives each such I/O a bounded time, then goes on and leaves the
// driver what it may still write into.
struct StuckCase {
  const char* what;
  char kind;  // 'W' write, 'R' read, 'E' event wait
};

class CommStuckIoTest : public CommTest, public ::testing::WithParamInterface<StuckCase> {
 protected:
  // Cancelling gives the driver 1 s; every call stays well within
  // this, also on a loaded machine, and a hang fails the test at once.
  static constexpr double kBoundMs = 8000.0;
};

TEST_P(CommStuckIoTest, CloseAndDestructionReturnAndNothingTheDriverHoldsIsFreed) {
  const StuckCase& c = GetParam();
  sim.SetFastPauses(false);
  Watchdog watchdog(60000, c.what);
  const int threadsBefore = ProcessThreadCount();
  if (c.kind == 'E') sim.SetStuckIo(true);  // the first wait of the receive-event thread
  OpenProgramPort();
  if (c.kind == 'W') {
    sim.SetStuckIo(true);
    ASSERT_TRUE(comm->SendString("held"));
  }
  if (c.kind == 'R') {
    sim.SetStuckIo(true);
    char byte = '-';
    const double start = NowMs();
    // The read time-out (30 ms) never ends it: given up as failed.
    EXPECT_EQ(comm->ReceiveData(&byte, 1), -1);
    EXPECT_LT(NowMs() - start, kBoundMs);
    EXPECT_EQ(byte, '-');
  }
  ASSERT_TRUE(PumpUntil([&] { return !sim.StuckIo().empty(); }, 5000));
  ASSERT_EQ(sim.StuckIo().at(0).Kind, c.kind);

  if (c.kind == 'W') {
    double start = NowMs();
    comm->PurgeSend();
    const double purgeMs = NowMs() - start;
    std::printf("[ figure   ] PurgeSend of a write that never completes: %.0f ms\n", purgeMs);
    EXPECT_LT(purgeMs, kBoundMs);
    EXPECT_EQ(comm->PendingBytes(), 0);
    EXPECT_EQ(comm->PendingBlocks(), 0);
  }
  if (c.kind != 'E') {
    // The port goes on working with new records once the driver does.
    sim.SetStuckIo(false);
    sim.SetResponder([](const std::string& sent) { return sent == "ping" ? std::string("P") : ""; });
    comm->PurgeReceive();
    ASSERT_TRUE(comm->SendString("ping"));
    char answer = 0;
    comm->SetTimeOutReceive(2000);
    EXPECT_EQ(comm->ReceiveData(&answer, 1), 1);
    EXPECT_EQ(answer, 'P');
  }

  const double start = NowMs();
  comm->Close();
  const double closeMs = NowMs() - start;
  std::printf("[ figure   ] Close after a %s: %.0f ms\n", c.what, closeMs);
  EXPECT_LT(closeMs, kBoundMs);
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ProcessThreadCount(), threadsBefore);
  const double destroyStart = NowMs();
  comm.reset();
  EXPECT_LT(NowMs() - destroyStart, kBoundMs);

  // Whatever the driver was lent is still there for it, and it may finish
  // at last without harm.
  EXPECT_TRUE(sim.StuckIoIntact());
  sim.CompleteStuckIo();
}

TEST_F(CommTest, DestroyingAnOpenPortWhoseDriverHoldsEverythingReturns) {
  sim.SetFastPauses(false);
  Watchdog watchdog(60000, "destruction with stuck I/O");
  sim.SetStuckIo(true);
  OpenProgramPort();
  ASSERT_TRUE(comm->SendString("held"));
  ASSERT_TRUE(PumpUntil([&] { return sim.StuckIo().size() >= 2; }, 5000));  // the wait and the write
  const double start = NowMs();
  comm.reset();  // Close inside
  const double destroyMs = NowMs() - start;
  std::printf("[ figure   ] destruction, event wait and write never complete: %.0f ms\n", destroyMs);
  EXPECT_LT(destroyMs, 8000.0);
  EXPECT_TRUE(sim.StuckIoIntact());
  sim.CompleteStuckIo();
}

INSTANTIATE_TEST_SUITE_P(Driver, CommStuckIoTest,
                         ::testing::Values(StuckCase{"write that never completes", 'W'},
                                           StuckCase{"read that never completes", 'R'},
                                           StuckCase{"wait for line events that never completes", 'E'}),
                         [](const ::testing::TestParamInfo<StuckCase>& info) {
                           switch (info.param.kind) {
                             case 'W': return std::string("Write");
                             case 'R': return std::string("Read");
                             default: return std::string("EventWait");
                           }
                         });
