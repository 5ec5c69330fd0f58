// The transmit queue and the writer thread against the simulated driver:
// blocks, back-pressure, purges, the half-duplex RTS timing, write faults.
#include <algorithm>

#include "CommTestSupport.h"
#include "NotifyWindow.h"

namespace {

std::string Bytes(size_t n) {
  std::string data(n, '\0');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>(i * 7 + 1);
  return data;
}

}  // namespace

class CommTransTest : public CommTest {
 protected:
  // Opens COM1 at `rate` with blocks of at most `blockSize` bytes.
  void OpenAt(int32_t rate, int32_t blockSize, TCommFlowCtrls flow = cfcNone) {
    ApplyProgramSettings(*comm);
    comm->SetBitRate(rate);
    comm->SetBufLenTrans(blockSize);
    comm->SetFlowCtrl(flow);
    comm->Open();
    sim.ClearRecords();
  }
  bool WaitTransmitted(size_t n, DWORD timeoutMs = 3000) {
    return PumpUntil([&] { return sim.Transmitted().size() >= n && comm->PendingBytes() == 0; }, timeoutMs);
  }
  std::vector<DWORD> WriteSizes() const {
    std::vector<DWORD> sizes;
    for (const TSimWrite& w : sim.Writes()) sizes.push_back(w.Asked);
    return sizes;
  }
};

TEST_F(CommTransTest, DataIsCutIntoBlocksOfBufLenTransWrittenInOrder) {
  OpenAt(115200, 2048);
  const std::string data = Bytes(5000);
  ASSERT_TRUE(comm->SendData(data.data(), 5000));
  const int32_t pending = comm->PendingBytes();
  EXPECT_LE(pending, 5000);
  ASSERT_TRUE(WaitTransmitted(5000));
  EXPECT_EQ(sim.Transmitted(), data);
  EXPECT_EQ(WriteSizes(), (std::vector<DWORD>{2048, 2048, 904}));
  EXPECT_EQ(comm->PendingBytes(), 0);
  EXPECT_EQ(comm->PendingBlocks(), 0);
  // The writer thread, never the caller, writes to the port.
  for (const TSimCall& call : sim.Calls("WriteFile")) EXPECT_NE(call.ThreadId, FUiThread);
}

TEST_F(CommTransTest, NothingToSendOrNoPort) {
  const char byte = 'x';
  EXPECT_TRUE(comm->SendData(&byte, 0));
  EXPECT_FALSE(comm->SendData(&byte, 1));
  OpenAt(115200, 2048);
  EXPECT_TRUE(comm->SendData(&byte, 0));
  EXPECT_TRUE(comm->SendData(nullptr, 0));
  EXPECT_FALSE(comm->SendData(nullptr, 1));
  EXPECT_TRUE(sim.Calls("PostThreadMessageA").empty());
  EXPECT_TRUE(sim.Calls("GlobalAlloc").empty());
}

TEST_F(CommTransTest, BackPressureHoldsAt32BlocksAndKeepsTheUserInterfaceServiced) {
  OpenAt(1200, 1);  // one byte per block, about 8 ms each
  // A timer of the user interface samples the queue while SendData waits.
  int ticks = 0;
  int mostPending = 0;
  HWND timerWnd = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_TIMER) {
      ++ticks;
      mostPending = std::max(mostPending, comm->PendingBlocks());
    } else {
      m.Result = DefWindowProcW(nullptr, m.Msg, m.WParam, m.LParam);
    }
  });
  SetTimer(timerWnd, 1, 5, nullptr);
  const std::string data = Bytes(40);
  ASSERT_TRUE(comm->SendData(data.data(), 40));
  KillTimer(timerWnd, 1);
  DeallocateHWnd(timerWnd);
  // SendData waited for the writer, servicing the user interface meanwhile.
  EXPECT_GE(ticks, 2);
  EXPECT_GE(mostPending, 31);
  EXPECT_LE(mostPending, 32);
  EXPECT_LE(comm->PendingBlocks(), 32);
  ASSERT_TRUE(WaitTransmitted(40));
  EXPECT_EQ(sim.Transmitted(), data);
}

TEST_F(CommTransTest, AHandlerThatClosesThePortEndsTheBackPressureWait) {
  OpenAt(1200, 1);
  PostedProbe probe([&] { comm->Close(); });
  probe.Post();
  const std::string data = Bytes(40);
  EXPECT_FALSE(comm->SendData(data.data(), 40));
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  const size_t sent = sim.Transmitted().size();
  EXPECT_LT(sent, 40u);
  PumpFor(50);
  EXPECT_EQ(sim.Transmitted().size(), sent);
}

TEST_F(CommTransTest, APortReopenedInsideTheWaitGetsNoneOfTheRest) {
  OpenAt(1200, 1);
  bool reopened = false;
  PostedProbe probe([&] {
    if (reopened) return;
    reopened = true;
    comm->Close();
    comm->Open();
  });
  probe.Post();
  const std::string data = Bytes(40);
  EXPECT_FALSE(comm->SendData(data.data(), 40));
  EXPECT_TRUE(reopened);
  PumpFor(50);
  EXPECT_EQ(comm->PendingBlocks(), 0);
}

TEST_F(CommTransTest, PurgeSendWithNothingPendingPurgesOnce) {
  OpenAt(115200, 2048);
  comm->PurgeSend();
  const auto purges = sim.Calls("PurgeComm");
  ASSERT_EQ(purges.size(), 1u);
  EXPECT_EQ(purges[0].Arg, static_cast<DWORD>(PURGE_TXABORT | PURGE_TXCLEAR));
  // The abort flag is clear again: the next data is written.
  ASSERT_TRUE(comm->SendString("ok"));
  EXPECT_TRUE(WaitTransmitted(2));
}

TEST_F(CommTransTest, PurgeSendAbortsALongWriteAndReleasesEveryBlock) {
  for (bool purgeAborts : {true, false}) {
    SCOPED_TRACE(purgeAborts ? "the purge aborts the write" : "the purge only clears (Wine)");
    sim.SetPurgeAbortsIo(purgeAborts);
    OpenAt(300, 100);  // 100 bytes take over 3 s at 300 bit/s
    const std::string data = Bytes(300);
    ASSERT_TRUE(comm->SendData(data.data(), 300));
    ASSERT_TRUE(PumpUntil([&] { return sim.Port(1).PendingWrites == 1; }, 2000));
    const double start = NowMs();
    comm->PurgeSend();
    EXPECT_LT(NowMs() - start, 1000.0);
    EXPECT_EQ(comm->PendingBytes(), 0);
    EXPECT_EQ(comm->PendingBlocks(), 0);
    const auto writes = sim.Writes();
    ASSERT_EQ(writes.size(), 1u);  // the two blocks behind it never reached the port
    EXPECT_EQ(writes[0].Error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_LT(writes[0].Sent.size(), 100u);

    comm->SetBitRate(115200);
    const size_t before = sim.Transmitted().size();
    ASSERT_TRUE(comm->SendString("next"));
    ASSERT_TRUE(PumpUntil([&] { return sim.Transmitted().size() == before + 4; }, 2000));
    EXPECT_EQ(sim.Transmitted().substr(before), "next");
    comm->Close();
  }
}

TEST_F(CommTransTest, AfterCloseNoQueuedBlockIsWritten) {
  OpenAt(300, 10);
  const std::string data = Bytes(50);
  ASSERT_TRUE(comm->SendData(data.data(), 50));
  ASSERT_TRUE(PumpUntil([&] { return sim.Port(1).PendingWrites == 1; }, 2000));
  comm->Close();
  EXPECT_EQ(sim.Writes().size(), 1u);
  EXPECT_EQ(comm->PendingBytes(), 0);
  EXPECT_EQ(comm->PendingBlocks(), 0);
}

// The half-duplex modes switch RTS once around each burst: 50 ms and one
// character time before its first write, one character time after its last.
struct HalfDuplexCase {
  TCommFlowCtrls mode;
  bool activeLevel;  // RTS while sending
};

void PrintTo(const HalfDuplexCase& c, std::ostream* os) { *os << (c.mode == cfcHalfHigh ? "HalfHigh" : "HalfLow"); }

class CommHalfDuplexTest : public CommTransTest, public ::testing::WithParamInterface<HalfDuplexCase> {};

TEST_P(CommHalfDuplexTest, RtsFramesEachBurst) {
  const HalfDuplexCase c = GetParam();
  sim.SetFastPauses(false);
  OpenAt(110, 1, c.mode);  // a character time of 91 ms, and so much on the line per byte
  EXPECT_EQ(sim.Port(1).Rts, !c.activeLevel);  // the line state at rest

  const double sendAt = sim.NowMs();
  ASSERT_TRUE(comm->SendData("abc", 3));
  ASSERT_TRUE(WaitTransmitted(3, 5000));
  PumpUntil([&] { return sim.Lines().size() >= 2; }, 2000);
  std::vector<TSimLine> lines = sim.Lines();
  ASSERT_EQ(lines.size(), 2u);
  const auto writes = sim.Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_TRUE(lines[0].FromEscape);
  EXPECT_EQ(lines[0].Line, 'R');
  EXPECT_EQ(lines[0].High, c.activeLevel);
  EXPECT_EQ(lines[1].High, !c.activeLevel);
  EXPECT_GE(lines[0].Ms - sendAt, 45.0);
  EXPECT_GE(writes[0].SubmitMs - lines[0].Ms, 88.0);
  EXPECT_GE(lines[1].Ms - writes[2].EndMs, 88.0);
  EXPECT_LT(lines[0].Ms - sendAt, 1000.0);
  EXPECT_LT(writes[0].SubmitMs - lines[0].Ms, 1000.0);
  EXPECT_LT(lines[1].Ms - writes[2].EndMs, 1000.0);

  // Once the queue ran empty, the next data is a new burst.
  const double againAt = sim.NowMs();
  ASSERT_TRUE(comm->SendData("d", 1));
  ASSERT_TRUE(PumpUntil([&] { return sim.Lines().size() >= 4; }, 5000));
  lines = sim.Lines();
  EXPECT_EQ(lines[2].High, c.activeLevel);
  EXPECT_EQ(lines[3].High, !c.activeLevel);
  EXPECT_GE(lines[2].Ms - againAt, 45.0);
}

INSTANTIATE_TEST_SUITE_P(Modes, CommHalfDuplexTest,
                         ::testing::Values(HalfDuplexCase{cfcHalfHigh, true}, HalfDuplexCase{cfcHalfLow, false}),
                         [](const ::testing::TestParamInfo<HalfDuplexCase>& info) {
                           return std::string(info.param.mode == cfcHalfHigh ? "HalfHigh" : "HalfLow");
                         });

TEST_F(CommTransTest, OtherModesNeitherSwitchRtsNorPause) {
  for (TCommFlowCtrls mode : {cfcRtsCts, cfcDtrDsr, cfcXonXoff, cfcNone}) {
    SCOPED_TRACE(static_cast<int>(mode));
    OpenAt(115200, 2, mode);
    ASSERT_TRUE(comm->SendData("abcdef", 6));
    ASSERT_TRUE(WaitTransmitted(6));
    EXPECT_TRUE(sim.Calls("EscapeCommFunction").empty());
    for (const TSimCall& pause : sim.Calls("Sleep")) EXPECT_NE(pause.Arg, 50u);
    comm->Close();
  }
}

TEST_F(CommTransTest, AWriteThatFailsAtOnceDropsOnlyItsBlock) {
  OpenAt(115200, 2);
  EventLog log;
  log.Attach(*comm);
  sim.FailNextWrites(1, ERROR_GEN_FAILURE);
  ASSERT_TRUE(comm->SendData("abcdef", 6));
  ASSERT_TRUE(PumpUntil([&] { return sim.Transmitted() == "cdef" && comm->PendingBytes() == 0; }, 2000));
  EXPECT_TRUE(log.Events.empty());  // no line error was pending
  EXPECT_EQ(sim.Calls("WriteFile").size(), 3u);

  // With a line error pending, the writer's report reaches OnError on the
  // user-interface thread.
  sim.SetErrors(1, CE_FRAME | CE_RXOVER);
  sim.FailNextWrites(1, ERROR_GEN_FAILURE);
  ASSERT_TRUE(comm->SendData("gh", 2));
  ASSERT_TRUE(PumpUntil([&] { return !log.Events.empty(); }, 2000));
  EXPECT_EQ(log.Events, std::vector<std::string>{"error 8"});
  EXPECT_EQ(log.Threads[0], FUiThread);
}

TEST_F(CommTransTest, AFailedOverlappedWriteIsRetriedWithTheRest) {
  OpenAt(115200, 100);
  EventLog log;
  log.Attach(*comm);
  sim.SetErrors(1, CE_OVERRUN);
  sim.CompleteNextWriteWith(3, ERROR_GEN_FAILURE);
  ASSERT_TRUE(comm->SendData("0123456789", 10));
  ASSERT_TRUE(WaitTransmitted(10));
  EXPECT_EQ(sim.Transmitted(), "0123456789");
  EXPECT_EQ(WriteSizes(), (std::vector<DWORD>{10, 7}));
  PumpUntil([&] { return !log.Events.empty(); }, 1000);
  EXPECT_EQ(log.Events, std::vector<std::string>{"error 2"});

  // A failure that sent nothing gives the block up.
  sim.ClearRecords();
  sim.CompleteNextWriteWith(0, ERROR_GEN_FAILURE);
  ASSERT_TRUE(comm->SendData("abc", 3));
  ASSERT_TRUE(PumpUntil([&] { return comm->PendingBytes() == 0; }, 1000));
  EXPECT_EQ(WriteSizes(), std::vector<DWORD>{3});
}

TEST_F(CommTransTest, AWriteThatEndsShortButSuccessfullyIsNotContinued) {
  OpenAt(115200, 100);
  sim.CompleteNextWriteWith(4, 0);
  ASSERT_TRUE(comm->SendData("0123456789", 10));
  ASSERT_TRUE(comm->SendData("ab", 2));
  ASSERT_TRUE(PumpUntil([&] { return comm->PendingBytes() == 0 && sim.Writes().size() == 2; }, 2000));
  EXPECT_EQ(sim.Transmitted(), "0123ab");

  // The same when the write time-out ends a slow write, whether the
  // system reports that as a success (Windows) or as ERROR_TIMEOUT (Wine).
  comm->SetBitRate(300);
  comm->SetTimeOutTrans(60);
  for (bool asError : {false, true}) {
    SCOPED_TRACE(asError ? "time-out as an error" : "time-out as success");
    sim.ReportTimeOutsAsErrors(asError);
    sim.ClearRecords();
    ASSERT_TRUE(comm->SendData("0123456789", 10));
    ASSERT_TRUE(PumpUntil([&] { return comm->PendingBytes() == 0; }, 3000));
    EXPECT_EQ(sim.Writes().size(), 1u);
    EXPECT_LT(sim.Transmitted().size(), 10u);
    EXPECT_TRUE(sim.Calls("ClearCommError").empty());  // nothing reported
  }
}

TEST_F(CommTransTest, AFailedPostReleasesTheBlockAndReportsFailure) {
  OpenAt(115200, 4);
  sim.FailNextPosts(1);
  EXPECT_FALSE(comm->SendData("abcdefgh", 8));
  EXPECT_EQ(comm->PendingBytes(), 0);
  EXPECT_EQ(comm->PendingBlocks(), 0);
  EXPECT_EQ(sim.Calls("PostThreadMessageA").size(), 1u);  // the second piece was not tried
  EXPECT_TRUE(comm->SendData("wxyz", 4));
  ASSERT_TRUE(WaitTransmitted(4));
  EXPECT_EQ(sim.Transmitted(), "wxyz");
}

TEST_F(CommTransTest, APieceWithoutMemoryIsDroppedSilently) {
  OpenAt(115200, 2);
  sim.FailNextAllocs(1);
  EXPECT_TRUE(comm->SendData("abcd", 4));
  ASSERT_TRUE(PumpUntil([&] { return sim.Transmitted() == "cd" && comm->PendingBytes() == 0; }, 2000));
}

TEST_F(CommTransTest, ARefusedBufLenTransNeverMakesSendDataLoop) {
  OpenAt(115200, 2048);
  EXPECT_THROW(comm->SetBufLenTrans(0), ECommError);
  EXPECT_FALSE(comm->SendString("abc"));
  EXPECT_THROW(comm->SetBufLenTrans(-4), ECommError);
  EXPECT_FALSE(comm->SendString("abc"));
  EXPECT_TRUE(sim.Calls("PostThreadMessageA").empty());
}

TEST_F(CommTransTest, AWriterLineErrorDuringPurgeSendDoesNotDeadlock) {
  OpenAt(300, 100);
  EventLog log;
  log.Attach(*comm);
  const std::string data = Bytes(200);
  ASSERT_TRUE(comm->SendData(data.data(), 200));
  ASSERT_TRUE(PumpUntil([&] { return sim.Port(1).PendingWrites == 1; }, 2000));
  // The aborted write makes the writer report the pending error with a
  // synchronous send while PurgeSend waits for it.
  sim.SetErrors(1, CE_RXPARITY);
  comm->PurgeSend();
  EXPECT_EQ(comm->PendingBytes(), 0);
  EXPECT_EQ(log.Events, std::vector<std::string>{"error 4"});
  EXPECT_EQ(log.Threads.at(0), FUiThread);
}
