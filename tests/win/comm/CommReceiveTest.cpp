// The receive path against the simulated driver: reads under the time-out,
// re-entrant handlers inside the wait, the events and their order, failing
// error reads and a removed adapter.
#include <algorithm>

#include "CommInternal.h"
#include "CommTestSupport.h"

class CommReceiveTest : public CommTest {
 protected:
  void SetUp() override {
    CommTest::SetUp();
    OpenProgramPort();
    sim.ClearRecords();
  }
};

TEST_F(CommReceiveTest, NoReadWithoutAPortOrABuffer) {
  char byte = 0;
  EXPECT_EQ(comm->ReceiveData(nullptr, 1), -1);
  comm->Close();
  EXPECT_EQ(comm->ReceiveData(&byte, 1), -1);
  EXPECT_EQ(comm->ReceiveCount(), 0);
  EXPECT_TRUE(sim.Calls("ReadFile").empty());
}

TEST_F(CommReceiveTest, AWaitingByteIsReadAtOnce) {
  // A time-out far above the bound: a read that waited for it shows.
  comm->SetTimeOutReceive(2000);
  sim.Receive(1, "\x07\x09");
  char byte = 0;
  const double start = NowMs();
  EXPECT_EQ(comm->ReceiveData(&byte, 1), 1);
  EXPECT_EQ(byte, 0x07);
  EXPECT_EQ(comm->ReceiveCount(), 1);
  EXPECT_EQ(comm->ReceiveData(&byte, 1), 1);
  EXPECT_EQ(byte, 0x09);
  EXPECT_LT(NowMs() - start, 1000.0);
}

TEST_F(CommReceiveTest, NothingReceivedReturnsZeroAfterTheTimeOutWithTheUserInterfaceServiced) {
  PostedProbe probe;
  probe.Post();
  char byte = 0x55;
  const double start = NowMs();
  EXPECT_EQ(comm->ReceiveData(&byte, 1), 0);
  const double took = NowMs() - start;
  EXPECT_GE(took, 28.0);
  EXPECT_LT(took, 500.0);
  EXPECT_EQ(probe.Handled(), 1);
  EXPECT_EQ(byte, 0x55);
}

TEST_F(CommReceiveTest, ATimeOutReportedAsAnErrorStillReadsAsNothingReceived) {
  EventLog log;
  log.Attach(*comm);
  sim.SetErrors(1, CE_FRAME);
  sim.ReportTimeOutsAsErrors(true);
  char byte = 0;
  EXPECT_EQ(comm->ReceiveData(&byte, 1), 0);
  EXPECT_TRUE(log.Events.empty());  // not a failed read: no line-error report
}

TEST_F(CommReceiveTest, AByteArrivingDuringTheWaitEndsIt) {
  comm->SetTimeOutReceive(2000);
  PostedProbe probe([&] { sim.Receive(1, "Q"); });
  probe.Post();
  char byte = 0;
  const double start = NowMs();
  EXPECT_EQ(comm->ReceiveData(&byte, 1), 1);
  EXPECT_EQ(byte, 'Q');
  EXPECT_LT(NowMs() - start, 1000.0);
}

// A read that completed while a handler ran for longer than the read is
// given (a window dragged, a box shown) is collected, not given up.
TEST_F(CommReceiveTest, AReadThatCompletedDuringALongHandlerIsCollected) {
  comm->SetTimeOutReceive(30);
  PostedProbe probe([&] {
    sim.Receive(1, "Q");
    Sleep(30 + kCancelledIoBoundMs + 500);
  });
  probe.Post();
  char byte = 0;
  EXPECT_EQ(comm->ReceiveData(&byte, 1), 1);
  EXPECT_EQ(byte, 'Q');
  EXPECT_TRUE(sim.Calls("CancelIoEx").empty());
}

TEST_F(CommReceiveTest, AHandlerThatClosesThePortEndsTheRead) {
  for (bool reopen : {false, true}) {
    SCOPED_TRACE(reopen ? "closed and opened again" : "closed");
    comm->SetTimeOutReceive(2000);
    PostedProbe probe([&] {
      comm->Close();
      if (reopen) comm->Open();
    });
    probe.Post();
    sim.ClearRecords();
    char buffer[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(comm->ReceiveData(buffer, 4), -1);
    EXPECT_EQ(comm->Handle() != INVALID_HANDLE_VALUE, reopen);
    // The read was ended before the port was released, and no read of the
    // new session was started for this call.
    const auto calls = sim.Calls();
    size_t cancel = calls.size(), close = calls.size();
    for (size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].Name == "CancelIoEx" && cancel == calls.size()) cancel = i;
      if (calls[i].Name == "CloseHandle") close = i;
    }
    EXPECT_LT(cancel, close);
    EXPECT_EQ(sim.Calls("ReadFile").size(), 1u);
    sim.Receive(1, "late");
    PumpFor(20);
    EXPECT_EQ(std::string(buffer, 4), "----");
    if (!reopen) comm->Open();
    comm->PurgeReceive();
  }
}

TEST_F(CommReceiveTest, APurgeInsideTheWaitEndsTheReadAndReportsLineErrors) {
  comm->SetTimeOutReceive(2000);
  for (bool purgeAborts : {true, false}) {
    SCOPED_TRACE(purgeAborts ? "the purge aborts the read" : "the purge only clears (Wine)");
    sim.SetPurgeAbortsIo(purgeAborts);
    EventLog log;
    log.Attach(*comm);
    sim.SetErrors(1, CE_RXPARITY);
    PostedProbe probe([&] { comm->PurgeReceive(); });
    probe.Post();
    char byte = 0;
    const double start = NowMs();
    EXPECT_EQ(comm->ReceiveData(&byte, 1), -1);
    EXPECT_LT(NowMs() - start, 1000.0);
    EXPECT_EQ(log.Events, std::vector<std::string>{"error 4"});
    EXPECT_EQ(log.Threads.at(0), FUiThread);
  }
}

TEST_F(CommReceiveTest, ANestedReadTakesTheRecordOverAndTheOuterReadReturnsMinusOne) {
  comm->SetTimeOutReceive(2000);
  struct Case {
    const char* what;
    bool purgeFirst;
  };
  for (const Case& c : {Case{"purge then read, as the board protocol does", true}, Case{"read alone", false}}) {
    SCOPED_TRACE(c.what);
    char inner = 0;
    int32_t innerResult = -2;
    // The byte comes while the inner read waits.
    PostedProbe arrival([&] { sim.Receive(1, "I"); });
    PostedProbe probe([&] {
      if (c.purgeFirst) comm->PurgeReceive();
      arrival.Post();
      innerResult = comm->ReceiveData(&inner, 1);
    });
    probe.Post();
    char outer = '-';
    EXPECT_EQ(comm->ReceiveData(&outer, 1), -1);
    EXPECT_EQ(innerResult, 1);
    EXPECT_EQ(inner, 'I');
    EXPECT_EQ(outer, '-');
    const TSimPortState port = sim.Port(1);
    EXPECT_EQ(port.MostPendingReads, 1);  // never two reads on the one record
    EXPECT_EQ(port.PendingReads, 0);
    // Nothing can complete into the outer buffer any more.
    sim.Receive(1, "Z");
    PumpFor(20);
    EXPECT_EQ(outer, '-');
    comm->PurgeReceive();
  }
}

TEST_F(CommReceiveTest, EventsRunOnTheUserInterfaceThreadInTheOrderErrorBreakReceive) {
  for (DWORD emptyWakeMs : {0u, 1u}) {
    SCOPED_TRACE(emptyWakeMs == 0 ? "waits end on events only" : "waits also end empty, as under Wine");
    sim.SetEmptyWakeUps(emptyWakeMs);
    // Long enough for the pause after empty wake-ups to reach its bound.
    PumpFor(300);
    EventLog log;
    log.Attach(*comm);
    sim.Receive(1, "AB", CE_RXPARITY, true);
    ASSERT_TRUE(PumpUntil([&] { return log.Events.size() >= 3; }, 2000));
    EXPECT_EQ(log.Events, (std::vector<std::string>{"error 4", "break", "receive 2"}));
    for (DWORD thread : log.Threads) EXPECT_EQ(thread, FUiThread);

    log.Events.clear();
    comm->PurgeReceive();
    sim.Receive(1, "C", CE_FRAME | CE_OVERRUN | CE_RXOVER);
    ASSERT_TRUE(PumpUntil([&] { return log.Events.size() >= 2; }, 2000));
    EXPECT_EQ(log.Events, (std::vector<std::string>{"error 10", "receive 1"}));
    comm->PurgeReceive();
  }
}

// Under Wine a pending WaitCommEvent ends every few ms with no event; the
// thread pauses after each such wake-up, longer while they keep coming.
class CommEmptyWakeUpTest : public CommReceiveTest {
 protected:
  // The receive-event thread's pauses (its only limited waits on an
  // object while no I/O is being given up), in the order they began.
  std::vector<DWORD> Pauses() const {
    std::vector<DWORD> pauses;
    for (const TSimCall& call : sim.Calls("WaitForSingleObject")) pauses.push_back(call.Arg);
    return pauses;
  }
};

TEST_F(CommEmptyWakeUpTest, EmptyWakeUpsInARowLengthenThePauseUpToItsBoundAndAnEventResetsIt) {
  sim.SetEmptyWakeUps(1);
  ASSERT_TRUE(PumpUntil([&] { return Pauses().size() >= 9; }, 5000));
  std::vector<DWORD> grown = Pauses();
  grown.resize(9);
  EXPECT_EQ(grown, (std::vector<DWORD>{4, 8, 16, 32, 64, 100, 100, 100, 100}));
  // Every pause came after a wake-up of its own (the first wait began
  // before the records were cleared).
  EXPECT_GE(sim.Calls("WaitCommEvent").size(), 8u);

  // The receive handler runs while the thread waits for it, so whatever the
  // thread does after this event is recorded afresh.
  comm->SetOnReceive([&](TObject*, int32_t) { sim.ClearRecords(); });
  sim.Receive(1, "A");
  ASSERT_TRUE(PumpUntil([&] { return Pauses().size() >= 3; }, 5000));
  std::vector<DWORD> after = Pauses();
  after.resize(3);
  EXPECT_EQ(after, (std::vector<DWORD>{4, 8, 16}));
  comm->SetOnReceive(nullptr);
  comm->PurgeReceive();
}

TEST_F(CommEmptyWakeUpTest, NoPauseWhileWaitsEndOnEventsOnly) {
  // As on Windows: a wait ends with an event, and each event is reported
  // with no pause after it.
  EventLog log;
  log.Attach(*comm);
  for (int i = 0; i < 5; ++i) {
    sim.Receive(1, "x");
    ASSERT_TRUE(PumpUntil([&] { return log.Events.size() == static_cast<size_t>(i + 1); }, 2000));
    comm->PurgeReceive();
  }
  EXPECT_TRUE(Pauses().empty());
}

TEST_F(CommEmptyWakeUpTest, CloseDuringAPauseEndsTheThreadThroughItsEvent) {
  sim.SetFastPauses(false);
  // A pause that only the thread's event can end.
  sim.HoldTimedWaits(true);
  sim.SetEmptyWakeUps(1);
  ASSERT_TRUE(PumpUntil([&] { return !Pauses().empty(); }, 5000));
  const int threads = ProcessThreadCount();
  {
    Watchdog watchdog(20000, "Close during a pause");
    comm->Close();
  }
  const std::vector<TSimCall> waits = sim.Calls("WaitForSingleObject");
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_EQ(waits[0].Result, WAIT_OBJECT_0);
  EXPECT_EQ(ProcessThreadCount(), threads - 2);
  sim.HoldTimedWaits(false);
}

TEST_F(CommEmptyWakeUpTest, AnEmptyWakeUpStillReportsLineErrors) {
  sim.SetEmptyWakeUps(1);
  EventLog log;
  log.Attach(*comm);
  PumpFor(300);
  sim.SetErrors(1, CE_FRAME);  // held by the driver, no event signalled
  ASSERT_TRUE(PumpUntil([&] { return !log.Events.empty(); }, 2000));
  EXPECT_EQ(log.Events, std::vector<std::string>{"error 8"});
}

TEST_F(CommReceiveTest, OverrunOfTheQueueOrTheBreakBitAloneIsNoLineError) {
  EventLog log;
  log.Attach(*comm);
  sim.SetErrors(1, CE_RXOVER | CE_BREAK);
  sim.Receive(1, "A");
  ASSERT_TRUE(PumpUntil([&] { return !log.Events.empty(); }, 2000));
  PumpFor(20);
  EXPECT_EQ(log.Events, std::vector<std::string>{"receive 1"});
}

TEST_F(CommReceiveTest, NoReceiveEventWhenTheBytesWereReadMeanwhile) {
  EventLog log;
  log.Attach(*comm);
  sim.Receive(1, "A");
  // The notification waits for this thread, which reads the byte first.
  Sleep(50);
  char byte = 0;
  EXPECT_EQ(comm->ReceiveData(&byte, 1), 1);
  PumpFor(50);
  EXPECT_TRUE(log.Events.empty());
}

TEST_F(CommReceiveTest, NoEventAfterClose) {
  sim.SetFastPauses(false);
  EventLog log;
  log.Attach(*comm);
  sim.Receive(1, "A", CE_FRAME, true);
  Sleep(50);  // the notifications are on their way
  const int threads = ProcessThreadCount();
  comm->Close();
  PumpFor(50);
  EXPECT_TRUE(log.Events.empty());
  EXPECT_EQ(ProcessThreadCount(), threads - 2);
}

TEST_F(CommReceiveTest, AFailingErrorReadReportsNothing) {
  EventLog log;
  log.Attach(*comm);
  sim.FailClearCommError(true);
  sim.Receive(1, "A", CE_FRAME);
  PumpFor(100);
  EXPECT_TRUE(log.Events.empty());
  EXPECT_EQ(comm->ReceiveCount(), 0);
}

TEST_F(CommReceiveTest, ARemovedAdapterMakesNothingSpinOrHang) {
  comm->SetTimeOutReceive(2000);
  EventLog log;
  log.Attach(*comm);
  PostedProbe probe([&] { sim.RemoveAdapter(1); });
  probe.Post();
  char byte = 0;
  EXPECT_EQ(comm->ReceiveData(&byte, 1), -1);  // the pending read was ended
  EXPECT_EQ(comm->ReceiveData(&byte, 1), -1);  // and the next one fails at once
  EXPECT_FALSE(comm->SendString("x"));

  sim.ClearRecords();
  PumpFor(200);
  EXPECT_LE(sim.Calls("WaitCommEvent").size(), 1u);
  EXPECT_LE(sim.Calls("WriteFile").size(), 1u);
  EXPECT_TRUE(log.Events.empty());

  const double start = NowMs();
  comm->Close();
  EXPECT_LT(NowMs() - start, 2000.0);
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);

  sim.ReattachAdapter(1);
  comm->Open();
  sim.Receive(1, "R");
  EXPECT_EQ(comm->ReceiveData(&byte, 1), 1);
  EXPECT_TRUE(comm->SendString("ok"));
}

TEST_F(CommReceiveTest, ARequestAndItsAnswer) {
  // A device that answers a read request with its ID twice.
  sim.SetResponder([](const std::string& sent) { return sent == "\xFE\x7E" ? std::string("\x07\x07") : ""; });
  comm->PurgeReceive();
  ASSERT_TRUE(comm->SendString("\xFE\x7E"));
  char answer[2] = {};
  ASSERT_EQ(comm->ReceiveData(&answer[0], 1), 1);
  ASSERT_EQ(comm->ReceiveData(&answer[1], 1), 1);
  EXPECT_EQ(std::string(answer, 2), "\x07\x07");
}

// The component's waits on the user-interface thread, seen through the
// simulated driver: what ended each one, while something happens on another
// thread. The waits are held far beyond their limit, so that only their
// object or a message ends them.
class CommUiWaitTest : public CommReceiveTest {
 protected:
  static constexpr DWORD kHoldMs = 2000;

  void SetUp() override {
    CommReceiveTest::SetUp();
    sim.HoldUiWaits(kHoldMs);
  }
  void TearDown() override {
    sim.HoldUiWaits(0);
    CommReceiveTest::TearDown();
  }

  // This thread's waits, as what ended each.
  std::vector<DWORD> UiWaitEnds() const {
    std::vector<DWORD> ends;
    for (const TSimCall& call : sim.Calls("MsgWaitForMultipleObjectsEx")) {
      if (call.ThreadId == FUiThread) ends.push_back(call.Result);
    }
    return ends;
  }

  // Runs `action` on a thread of its own once a wait of this thread has
  // been running for steadyMs (a wait that a message already queued ends
  // at once does not count); joined by the destructor.
  class DuringTheWait {
   public:
    DuringTheWait(const TSimSerial& sim, DWORD uiThread, DWORD steadyMs, std::function<void()> action)
        : FSim(sim), FUiThread(uiThread), FSteadyMs(steadyMs), FAction(std::move(action)),
          FThread(CreateThread(nullptr, 0, &DuringTheWait::Run, this, 0, nullptr)) {}
    ~DuringTheWait() { Join(); }
    DuringTheWait(const DuringTheWait&) = delete;
    DuringTheWait& operator=(const DuringTheWait&) = delete;
    // True when the action ran.
    bool Join() {
      if (FThread != nullptr) {
        EXPECT_EQ(WaitForSingleObject(FThread, 10000), WAIT_OBJECT_0);
        CloseHandle(FThread);
        FThread = nullptr;
      }
      return FActed;
    }

   private:
    static DWORD WINAPI Run(LPVOID self) {
      auto& during = *static_cast<DuringTheWait*>(self);
      const double end = during.FSim.NowMs() + 5000;
      while (during.FSim.NowMs() < end) {
        for (const TSimCall& call : during.FSim.Calls("MsgWaitForMultipleObjectsEx")) {
          if (call.ThreadId == during.FUiThread && call.Result == kWaitRunning &&
              during.FSim.NowMs() - call.Ms >= during.FSteadyMs) {
            during.FAction();
            during.FActed = true;
            return 0;
          }
        }
        Sleep(1);
      }
      return 0;
    }
    const TSimSerial& FSim;
    DWORD FUiThread;
    DWORD FSteadyMs;
    std::function<void()> FAction;
    bool FActed = false;
    HANDLE FThread;
  };
};

// A read that completes, or a block the writer finished, ends the wait
// through its event: nothing waits out the limit.
TEST_F(CommUiWaitTest, TheWorkBeingDoneEndsTheWaitThroughItsObject) {
  {
    SCOPED_TRACE("a read that completes");
    comm->SetTimeOutReceive(3000);
    DuringTheWait arrival(sim, FUiThread, 20, [&] { sim.Receive(1, "Q"); });
    char byte = 0;
    EXPECT_EQ(comm->ReceiveData(&byte, 1), 1);
    EXPECT_EQ(byte, 'Q');
    EXPECT_TRUE(arrival.Join());
    const std::vector<DWORD> ends = UiWaitEnds();
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends.back(), WAIT_OBJECT_0);  // the read's event, not the receive report nor the limit
    EXPECT_EQ(std::count(ends.begin(), ends.end(), WAIT_TIMEOUT), 0);
  }
  {
    SCOPED_TRACE("back-pressure: the writer finishing a block");
    comm->SetBitRate(1200);  // about 8 ms a byte
    comm->SetBufLenTrans(1);
    sim.ClearRecords();
    const std::string data(40, 'x');
    ASSERT_TRUE(comm->SendData(data.data(), 40));
    const std::vector<DWORD> ends = UiWaitEnds();
    EXPECT_GE(std::count(ends.begin(), ends.end(), WAIT_OBJECT_0), 1);
    EXPECT_EQ(std::count(ends.begin(), ends.end(), WAIT_TIMEOUT), 0);
    ASSERT_TRUE(PumpUntil([&] { return sim.Transmitted().size() == 40; }, 3000));
  }
}

// A message for the user interface that another thread sends or posts while
// a read waits is handled inside that read: its handler here brings the byte
// that ends the read, which would otherwise wait out its time-out.
TEST_F(CommUiWaitTest, AMessageArrivingDuringAReadIsHandledWithinTheRead) {
  comm->SetTimeOutReceive(3000);
  for (bool sent : {false, true}) {
    SCOPED_TRACE(sent ? "sent from another thread" : "posted from another thread");
    sim.ClearRecords();
    DWORD handledOn = 0;
    PostedProbe probe([&] {
      handledOn = GetCurrentThreadId();
      sim.Receive(1, "Q");
    });
    LRESULT delivered = 0;
    DuringTheWait message(sim, FUiThread, 20, [&] {
      if (sent) {
        DWORD_PTR result = 0;
        delivered = SendMessageTimeoutW(probe.Window(), WM_APP + 7, 0, 0, SMTO_NORMAL, 5000, &result);
      } else {
        delivered = PostMessageW(probe.Window(), WM_APP + 7, 0, 0);
      }
    });
    char byte = 0;
    EXPECT_EQ(comm->ReceiveData(&byte, 1), 1);
    EXPECT_EQ(probe.Handled(), 1);
    EXPECT_EQ(byte, 'Q');
    EXPECT_EQ(handledOn, FUiThread);
    EXPECT_TRUE(message.Join());
    EXPECT_NE(delivered, 0);
    // The message itself woke the wait that it came in.
    const std::vector<DWORD> ends = UiWaitEnds();
    EXPECT_NE(std::find(ends.begin(), ends.end(), kWaitMessage), ends.end());
    EXPECT_EQ(std::count(ends.begin(), ends.end(), WAIT_TIMEOUT), 0);
    comm->PurgeReceive();
  }
}

// As with a posted message, a handler that another thread's sent message
// runs inside the wait may close the port or read for itself; the waiting
// call then fails and nothing can complete into its buffer.
TEST_F(CommUiWaitTest, AHandlerRunByASentMessageEndsTheWaitingRead) {
  comm->SetTimeOutReceive(3000);
  enum class THandler { Close, CloseAndReopen, NestedRead };
  struct Case {
    const char* what;
    THandler handler;
  };
  for (const Case& c : {Case{"closes the port", THandler::Close},
                        Case{"closes and opens the port again", THandler::CloseAndReopen},
                        Case{"reads for itself", THandler::NestedRead}}) {
    SCOPED_TRACE(c.what);
    if (comm->Handle() == INVALID_HANDLE_VALUE) comm->Open();
    sim.ClearRecords();
    char inner = 0;
    int32_t innerResult = -2;
    PostedProbe innerArrival([&] { sim.Receive(1, "I"); });
    PostedProbe probe([&] {
      switch (c.handler) {
        case THandler::Close: comm->Close(); break;
        case THandler::CloseAndReopen:
          comm->Close();
          comm->Open();
          break;
        case THandler::NestedRead:
          innerArrival.Post();
          innerResult = comm->ReceiveData(&inner, 1);
          break;
      }
    });
    LRESULT delivered = 0;
    DuringTheWait message(sim, FUiThread, 20, [&] {
      DWORD_PTR result = 0;
      delivered = SendMessageTimeoutW(probe.Window(), WM_APP + 7, 0, 0, SMTO_NORMAL, 10000, &result);
    });
    char outer[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(comm->ReceiveData(outer, 4), -1);
    EXPECT_TRUE(message.Join());
    EXPECT_NE(delivered, 0);
    EXPECT_EQ(probe.Handled(), 1);
    EXPECT_EQ(comm->Handle() != INVALID_HANDLE_VALUE, c.handler != THandler::Close);
    if (c.handler == THandler::NestedRead) {
      EXPECT_EQ(innerResult, 1);
      EXPECT_EQ(inner, 'I');
    }
    EXPECT_EQ(sim.Port(1).MostPendingReads, 1);
    if (comm->Handle() != INVALID_HANDLE_VALUE) {
      sim.Receive(1, "late");
      PumpFor(20);
      comm->PurgeReceive();
    }
    EXPECT_EQ(std::string(outer, 4), "----");
  }
}

// The same for SendData's back-pressure wait: a sent message whose handler
// closes the port ends it, and none of the rest is queued or written, also
// not to the port opened again.
TEST_F(CommUiWaitTest, AHandlerRunByASentMessageThatClosesThePortEndsTheBackPressureWait) {
  for (bool reopen : {false, true}) {
    SCOPED_TRACE(reopen ? "closed and opened again" : "closed");
    if (comm->Handle() == INVALID_HANDLE_VALUE) comm->Open();
    comm->SetBitRate(300);  // about 33 ms a byte
    comm->SetBufLenTrans(1);
    sim.ClearRecords();
    PostedProbe probe([&] {
      comm->Close();
      if (reopen) comm->Open();
    });
    LRESULT delivered = 0;
    DuringTheWait message(sim, FUiThread, 0, [&] {
      DWORD_PTR result = 0;
      delivered = SendMessageTimeoutW(probe.Window(), WM_APP + 7, 0, 0, SMTO_NORMAL, 10000, &result);
    });
    const std::string data(40, 'x');
    EXPECT_FALSE(comm->SendData(data.data(), 40));
    EXPECT_TRUE(message.Join());
    EXPECT_NE(delivered, 0);
    EXPECT_EQ(comm->Handle() != INVALID_HANDLE_VALUE, reopen);
    EXPECT_EQ(comm->PendingBlocks(), 0);
    const size_t sent = sim.Transmitted().size();
    EXPECT_LT(sent, 40u);
    PumpFor(100);
    EXPECT_EQ(sim.Transmitted().size(), sent);
  }
}
