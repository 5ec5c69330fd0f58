// Settings and lifecycle against the simulated driver: defaults, what Open
// sends, each refusal and the state it leaves, the limits on PortNo,
// BitRate and BufLenTrans, Close and reopening.
#include <cstring>
#include <sstream>

#include "CommTestSupport.h"

namespace {

uint32_t FlagWord(const DCB& dcb) {
  uint32_t flags;
  std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + 8, sizeof(flags));
  return flags;
}

void SetFlagWord(DCB& dcb, uint32_t flags) {
  std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + 8, &flags, sizeof(flags));
}

int Code(char c) { return static_cast<unsigned char>(c); }

// Every member of a line state, so that a mismatch names what differs.
std::string Describe(const DCB& d) {
  std::ostringstream out;
  out << "length " << d.DCBlength << ", rate " << d.BaudRate << ", flags 0x" << std::hex << FlagWord(d)
      << std::dec << ", reserved " << d.wReserved << ", XonLim " << d.XonLim << ", XoffLim " << d.XoffLim
      << ", size " << Code(d.ByteSize) << ", parity " << Code(d.Parity) << ", stop " << Code(d.StopBits)
      << ", Xon " << Code(d.XonChar) << ", Xoff " << Code(d.XoffChar) << ", error " << Code(d.ErrorChar)
      << ", eof " << Code(d.EofChar) << ", evt " << Code(d.EvtChar) << ", reserved1 " << d.wReserved1;
  return out.str();
}

// What Close did on the user-interface thread, as "Name Arg", from its
// first line change on. The writer's wake-up repeats while Close waits for
// the thread to end: a run of them counts once.
std::vector<std::string> CloseSequence(const std::vector<TSimCall>& calls, DWORD uiThread) {
  std::vector<std::string> sequence;
  bool started = false;
  for (const TSimCall& call : calls) {
    if (call.ThreadId != uiThread) continue;
    started = started || call.Name == "EscapeCommFunction";
    if (!started) continue;
    // The waits for the threads' end are not calls on the port.
    if (call.Name == "MsgWaitForMultipleObjectsEx") continue;
    std::string entry = call.Name + " " + std::to_string(call.Arg);
    if (call.Name == "PostThreadMessageA" && !sequence.empty() && sequence.back() == entry) continue;
    sequence.push_back(std::move(entry));
  }
  return sequence;
}

std::vector<std::string> Names(const std::vector<TSimCall>& calls) {
  std::vector<std::string> names;
  for (const TSimCall& call : calls) {
    if (call.Name != "Sleep" && call.Name != "GlobalAlloc") names.push_back(call.Name);
  }
  return names;
}

std::string OpenError(TCommX& comm) {
  try {
    comm.Open();
  } catch (const ECommError& e) {
    return e.Message();
  }
  return "";
}

}  // namespace

TEST(CommDefaults, CreateGivesAClosedComponentWithTheDefaults) {
  TCommX comm(nullptr);
  EXPECT_EQ(comm.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(comm.TransThread(), nullptr);
  EXPECT_EQ(comm.ReceiveThread(), nullptr);
  EXPECT_EQ(comm.PortNo(), 1);
  EXPECT_EQ(comm.BitRate(), 9600);
  EXPECT_EQ(comm.CharSize(), 8);
  EXPECT_EQ(comm.ParityBit(), cpbNone);
  EXPECT_EQ(comm.StopBit(), csb1);
  EXPECT_EQ(comm.FlowCtrl(), cfcRtsCts);
  EXPECT_EQ(comm.TimeOutTrans(), 3000);
  EXPECT_EQ(comm.TimeOutReceive(), 3000);
  EXPECT_EQ(comm.XonChar(), 0x11);
  EXPECT_EQ(comm.XoffChar(), 0x13);
  EXPECT_EQ(comm.BufLenTrans(), 2048);
  EXPECT_EQ(comm.BufLenReceive(), 2048);
  EXPECT_FALSE(comm.OnReceive());
  EXPECT_FALSE(comm.OnBreak());
  EXPECT_FALSE(comm.OnError());
  EXPECT_EQ(comm.PendingBytes(), 0);
  EXPECT_EQ(comm.PendingBlocks(), 0);
  static_assert(sizeof(TCommParityBits) == 1 && sizeof(TCommStopBits) == 1 && sizeof(TCommFlowCtrls) == 1,
                "one byte each");
}

TEST_F(CommTest, OpenSendsEverySettingInOrder) {
  sim.SetFastPauses(false);
  comm->SetPortNo(1);
  comm->SetXonChar(0x01);
  comm->SetXoffChar(0x02);
  const double start = NowMs();
  OpenProgramPort();
  EXPECT_GE(NowMs() - start, 95.0);

  const std::vector<std::string> expected = {
      "CreateFileA",  "SetupComm",    "PurgeComm",    "PurgeComm",       "GetCommState", "SetCommState",
      "SetCommState", "SetCommState", "SetCommState", "SetCommState",    "SetCommTimeouts",
      "SetCommState", "SetCommState", "SetCommMask",  "CreateThread",    "CreateThread"};
  std::vector<std::string> names = Names(sim.Calls());
  names.resize(std::min(names.size(), expected.size()));
  EXPECT_EQ(names, expected);

  const auto opens = sim.Calls("CreateFileA");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].Text, "\\\\.\\COM1");
  EXPECT_EQ(opens[0].Arg, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
  const auto purges = sim.Calls("PurgeComm");
  EXPECT_EQ(purges[0].Arg, 0x5u);
  EXPECT_EQ(purges[1].Arg, 0xAu);
  EXPECT_EQ(sim.Calls("SetCommMask").at(0).Arg, 0xC1u);

  const TSimPortState port = sim.Port(1);
  EXPECT_EQ(port.InQueueSize, 2048u);
  EXPECT_EQ(port.OutQueueSize, 2048u);
  EXPECT_EQ(port.TimeOuts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(port.TimeOuts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(port.TimeOuts.ReadTotalTimeoutConstant, 30u);
  EXPECT_EQ(port.TimeOuts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(port.TimeOuts.WriteTotalTimeoutConstant, 3000u);
  EXPECT_EQ(port.Dcb.BaudRate, 115200u);
  EXPECT_EQ(port.Dcb.ByteSize, 8);
  EXPECT_EQ(port.Dcb.Parity, NOPARITY);
  EXPECT_EQ(port.Dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(FlagWord(port.Dcb), 0x1013u);
  EXPECT_EQ(port.Dcb.XonLim, 512);
  EXPECT_EQ(port.Dcb.XoffLim, 512);
  EXPECT_EQ(port.Dcb.XonChar, 0x01);
  EXPECT_EQ(port.Dcb.XoffChar, 0x02);
  // What the component never sets keeps the driver's values.
  EXPECT_EQ(port.Dcb.ErrorChar, '?');
  EXPECT_EQ(port.Dcb.EofChar, 0x1A);
  EXPECT_EQ(port.Dcb.EvtChar, 0x0D);
  EXPECT_EQ(port.Dcb.DCBlength, sizeof(DCB));

  EXPECT_NE(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_NE(comm->TransThread(), nullptr);
  EXPECT_NE(comm->ReceiveThread(), nullptr);
  EXPECT_EQ(comm->TransThread()->CharTime(), 1);
}

TEST_F(CommTest, WritesWhileClosedOnlyStoreTheirValues) {
  const size_t before = sim.Calls().size();
  comm->SetPortNo(123456789);
  comm->SetBitRate(0);
  comm->SetCharSize(-3);
  comm->SetParityBit(static_cast<TCommParityBits>(9));
  comm->SetStopBit(static_cast<TCommStopBits>(9));
  comm->SetFlowCtrl(static_cast<TCommFlowCtrls>(200));
  comm->SetTimeOutTrans(-1);
  comm->SetTimeOutReceive(-1);
  comm->SetXonChar(0x55);
  comm->SetXoffChar(0x55);
  comm->SetBufLenTrans(0);
  comm->SetBufLenReceive(-5);
  comm->SetRts(true);
  comm->SetDtr(true);
  comm->PurgeReceive();
  comm->PurgeSend();
  comm->Close();
  EXPECT_EQ(sim.Calls().size(), before);
  EXPECT_EQ(comm->PortNo(), 123456789);
  EXPECT_EQ(comm->BitRate(), 0);
  EXPECT_EQ(comm->CharSize(), -3);
  EXPECT_EQ(comm->ParityBit(), 9);
  EXPECT_EQ(comm->StopBit(), 9);
  EXPECT_EQ(comm->FlowCtrl(), 200);
  EXPECT_EQ(comm->TimeOutTrans(), -1);
  EXPECT_EQ(comm->XonChar(), 0x55);
  EXPECT_EQ(comm->BufLenTrans(), 0);
  EXPECT_EQ(comm->BufLenReceive(), -5);
}

TEST_F(CommTest, FlowControlSetsTheWholeFlagWordAndTheXonXoffLimits) {
  OpenProgramPort();
  struct Case {
    int ordinal;
    uint32_t flags;
  };
  const Case cases[] = {{cfcRtsCts, 0x2017}, {cfcDtrDsr, 0x102B}, {cfcXonXoff, 0x1313}, {cfcHalfHigh, 0x0013},
                        {cfcHalfLow, 0x1013}, {cfcNone, 0x1013},  {6, 0x1013},          {255, 0x1013}};
  for (const Case& c : cases) {
    comm->SetFlowCtrl(static_cast<TCommFlowCtrls>(c.ordinal));
    EXPECT_EQ(FlagWord(sim.Dcbs().back().Dcb), c.flags) << "FlowCtrl ordinal " << c.ordinal;
  }
  struct Limit {
    int32_t bufLenReceive;
    WORD limit;
  };
  for (const Limit& l : {Limit{2048, 512}, Limit{2050, 512}, Limit{3, 0}, Limit{100000, 25000}}) {
    comm->SetBufLenReceive(l.bufLenReceive);
    const DCB dcb = sim.Dcbs().back().Dcb;
    EXPECT_EQ(dcb.XonLim, l.limit) << l.bufLenReceive;
    EXPECT_EQ(dcb.XoffLim, l.limit) << l.bufLenReceive;
    EXPECT_EQ(sim.Port(1).InQueueSize, static_cast<DWORD>(l.bufLenReceive));
  }
}

TEST_F(CommTest, ParityAndStopBitsMapToTheDriverValuesAndIgnoreOtherOrdinals) {
  OpenProgramPort();
  for (int p = 0; p < 3; ++p) {
    comm->SetParityBit(static_cast<TCommParityBits>(p));
    EXPECT_EQ(sim.Dcbs().back().Dcb.Parity, p);
  }
  for (int s = 0; s < 3; ++s) {
    comm->SetStopBit(static_cast<TCommStopBits>(s));
    EXPECT_EQ(sim.Dcbs().back().Dcb.StopBits, s);
  }
  const size_t sent = sim.Dcbs().size();
  comm->SetParityBit(static_cast<TCommParityBits>(3));
  comm->SetStopBit(static_cast<TCommStopBits>(7));
  EXPECT_EQ(sim.Dcbs().size(), sent);
  EXPECT_EQ(comm->ParityBit(), 3);
  EXPECT_EQ(comm->StopBit(), 7);

  // Open treats them the same way: two line states fewer, no error.
  comm->Close();
  sim.ClearRecords();
  comm->Open();
  EXPECT_EQ(sim.Dcbs().size(), 5u);
}

TEST_F(CommTest, OpenSendsTheLineSettingsOneAtATimeInTheirOrder) {
  // Values that all differ from what the driver reports, so that each of
  // the line states shows which settings it already holds.
  ApplyProgramSettings(*comm);
  comm->SetBitRate(19200);
  comm->SetCharSize(7);
  comm->SetParityBit(cpbEven);
  comm->SetStopBit(csb2);
  comm->SetFlowCtrl(cfcXonXoff);
  comm->SetBufLenReceive(4000);
  comm->SetXonChar(0x01);
  comm->SetXoffChar(0x02);
  comm->Open();

  DCB state = TSimSerial::DriverDefaultDcb();
  ASSERT_NE(state.XonLim, 1000);
  ASSERT_NE(state.XoffLim, 1000);
  std::vector<std::string> expected;
  state.BaudRate = 19200;
  expected.push_back(Describe(state));
  state.ByteSize = 7;
  expected.push_back(Describe(state));
  state.Parity = EVENPARITY;
  expected.push_back(Describe(state));
  state.StopBits = TWOSTOPBITS;
  expected.push_back(Describe(state));
  SetFlagWord(state, 0x1313);
  state.XonLim = 1000;
  state.XoffLim = 1000;
  expected.push_back(Describe(state));
  state.XonChar = 0x01;
  expected.push_back(Describe(state));
  state.XoffChar = 0x02;
  expected.push_back(Describe(state));

  const std::vector<TSimDcb> sent = sim.Dcbs();
  ASSERT_EQ(sent.size(), expected.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(Describe(sent[i].Dcb), expected[i]) << "line state " << i + 1;
    EXPECT_TRUE(sent[i].Accepted) << "line state " << i + 1;
  }
}

// Each refusal of the driver raises its own message, during Open (the port
// is closed again) and in a write while open (the port stays open); the
// refused value stays in the property.
struct Refusal {
  const char* what;
  std::function<void(TSimSerial&)> refuse;
  std::function<void(TCommX&)> write;
  std::function<bool(TCommX&)> stored;
  const char* message;
};

void PrintTo(const Refusal& refusal, std::ostream* os) { *os << refusal.what; }

class CommRefusalTest : public CommTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(CommRefusalTest, DuringOpenTheComponentIsClosedAgain) {
  const Refusal& r = GetParam();
  ApplyProgramSettings(*comm);
  r.write(*comm);
  r.refuse(sim);
  const int threads = ProcessThreadCount();
  EXPECT_EQ(OpenError(*comm), r.message);
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(comm->TransThread(), nullptr);
  EXPECT_FALSE(sim.Port(1).Open);
  EXPECT_EQ(ProcessThreadCount(), threads);
  EXPECT_TRUE(r.stored(*comm));
  EXPECT_EQ(sim.Calls("CloseHandle").size(), 1u);
  // Close ran before any thread existed: PurgeSend purged once and did not
  // wait for a writer.
  EXPECT_EQ(CloseSequence(sim.Calls(), FUiThread),
            (std::vector<std::string>{"EscapeCommFunction 6", "EscapeCommFunction 4", "PurgeComm 5", "PurgeComm 10",
                                      "Sleep 100", "CloseHandle 0", "Sleep 200"}));
}

TEST_P(CommRefusalTest, DuringAWriteThePortStaysOpen) {
  const Refusal& r = GetParam();
  OpenProgramPort();
  r.refuse(sim);
  try {
    r.write(*comm);
    ADD_FAILURE() << "no exception";
  } catch (const ECommError& e) {
    EXPECT_EQ(e.Message(), r.message);
  }
  EXPECT_NE(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_NE(comm->TransThread(), nullptr);
  EXPECT_TRUE(sim.Port(1).Open);
  EXPECT_TRUE(r.stored(*comm));
}

INSTANTIATE_TEST_SUITE_P(
    EveryMessage, CommRefusalTest,
    ::testing::Values(
        Refusal{"BitRate", [](TSimSerial& s) { s.RefuseDcbWhen([](const DCB& d) { return d.BaudRate == 1234; }); },
                [](TCommX& c) { c.SetBitRate(1234); }, [](TCommX& c) { return c.BitRate() == 1234; },
                "通信速度の設定でエラーが発生しました"},
        Refusal{"CharSize", [](TSimSerial& s) { s.RefuseDcbWhen([](const DCB& d) { return d.ByteSize == 7; }); },
                [](TCommX& c) { c.SetCharSize(7); }, [](TCommX& c) { return c.CharSize() == 7; },
                "通信ビット数の設定でエラーが発生しました"},
        Refusal{"ParityBit",
                [](TSimSerial& s) { s.RefuseDcbWhen([](const DCB& d) { return d.Parity == EVENPARITY; }); },
                [](TCommX& c) { c.SetParityBit(cpbEven); }, [](TCommX& c) { return c.ParityBit() == cpbEven; },
                "通信パリティチェックの設定でエラーが発生しました"},
        Refusal{"StopBit",
                [](TSimSerial& s) { s.RefuseDcbWhen([](const DCB& d) { return d.StopBits == TWOSTOPBITS; }); },
                [](TCommX& c) { c.SetStopBit(csb2); }, [](TCommX& c) { return c.StopBit() == csb2; },
                "通信ストップビット数の設定でエラーが発生しました"},
        Refusal{"FlowCtrl",
                [](TSimSerial& s) { s.RefuseDcbWhen([](const DCB& d) { return FlagWord(d) == 0x1313; }); },
                [](TCommX& c) { c.SetFlowCtrl(cfcXonXoff); }, [](TCommX& c) { return c.FlowCtrl() == cfcXonXoff; },
                "通信フロー制御の設定で失敗しました"},
        Refusal{"BufLenReceiveLimits",
                [](TSimSerial& s) { s.RefuseDcbWhen([](const DCB& d) { return d.XonLim == 250; }); },
                [](TCommX& c) { c.SetBufLenReceive(1000); }, [](TCommX& c) { return c.BufLenReceive() == 1000; },
                "通信フロー制御の設定で失敗しました"},
        Refusal{"TimeOutReceive",
                [](TSimSerial& s) {
                  s.RefuseTimeOutsWhen([](const COMMTIMEOUTS& t) { return t.ReadTotalTimeoutConstant == 77; });
                },
                [](TCommX& c) { c.SetTimeOutReceive(77); }, [](TCommX& c) { return c.TimeOutReceive() == 77; },
                "通信タイムアウト時間の設定で失敗しました"},
        Refusal{"TimeOutTrans",
                [](TSimSerial& s) {
                  s.RefuseTimeOutsWhen([](const COMMTIMEOUTS& t) { return t.WriteTotalTimeoutConstant == 5; });
                },
                [](TCommX& c) { c.SetTimeOutTrans(5); }, [](TCommX& c) { return c.TimeOutTrans() == 5; },
                "通信タイムアウト時間の設定で失敗しました"},
        Refusal{"XonChar", [](TSimSerial& s) { s.RefuseDcbWhen([](const DCB& d) { return d.XonChar == 0x05; }); },
                [](TCommX& c) { c.SetXonChar(0x05); }, [](TCommX& c) { return c.XonChar() == 0x05; },
                "Ｘｏｎ文字の設定でエラーが発生しました"},
        Refusal{"XoffChar", [](TSimSerial& s) { s.RefuseDcbWhen([](const DCB& d) { return d.XoffChar == 0x06; }); },
                [](TCommX& c) { c.SetXoffChar(0x06); }, [](TCommX& c) { return c.XoffChar() == 0x06; },
                "Ｘｏｆｆ文字の設定でエラーが発生しました"},
        Refusal{"BufLenTrans",
                [](TSimSerial& s) { s.RefuseSetupCommWhen([](DWORD, DWORD out) { return out == 999; }); },
                [](TCommX& c) { c.SetBufLenTrans(999); }, [](TCommX& c) { return c.BufLenTrans() == 999; },
                "通信用ポートのバッファを準備できませんでした"},
        Refusal{"BufLenReceive",
                [](TSimSerial& s) { s.RefuseSetupCommWhen([](DWORD in, DWORD) { return in == 999; }); },
                [](TCommX& c) { c.SetBufLenReceive(999); }, [](TCommX& c) { return c.BufLenReceive() == 999; },
                "通信用ポートのバッファを準備できませんでした"},
        // Values the component refuses itself, before any system call.
        Refusal{"BitRateBelow10", [](TSimSerial&) {}, [](TCommX& c) { c.SetBitRate(9); },
                [](TCommX& c) { return c.BitRate() == 9; }, "通信速度の設定でエラーが発生しました"},
        Refusal{"BitRateNegative", [](TSimSerial&) {}, [](TCommX& c) { c.SetBitRate(-9600); },
                [](TCommX& c) { return c.BitRate() == -9600; }, "通信速度の設定でエラーが発生しました"},
        Refusal{"BufLenTransZero", [](TSimSerial&) {}, [](TCommX& c) { c.SetBufLenTrans(0); },
                [](TCommX& c) { return c.BufLenTrans() == 0; }, "通信用ポートのバッファを準備できませんでした"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.what); });

TEST_F(CommTest, ARefusedValueStaysInTheDcbUntilItIsReplaced) {
  OpenProgramPort();
  sim.RefuseDcbWhen([](const DCB& d) { return d.BaudRate == 1234; });
  EXPECT_THROW(comm->SetBitRate(1234), ECommError);
  // The next line setting sends the refused rate again.
  try {
    comm->SetCharSize(7);
    ADD_FAILURE() << "no exception";
  } catch (const ECommError& e) {
    EXPECT_EQ(e.Message(), "通信ビット数の設定でエラーが発生しました");
  }
  EXPECT_EQ(sim.Dcbs().back().Dcb.BaudRate, 1234u);
  EXPECT_EQ(sim.Dcbs().back().Dcb.ByteSize, 7);
  comm->SetBitRate(9600);
  comm->SetCharSize(7);
  EXPECT_EQ(sim.Port(1).Dcb.BaudRate, 9600u);
  EXPECT_EQ(sim.Port(1).Dcb.ByteSize, 7);
}

TEST_F(CommTest, BufLenReceiveRefusedBySetupCommSkipsTheFlowControlStep) {
  OpenProgramPort();
  sim.RefuseSetupCommWhen([](DWORD in, DWORD) { return in == 999; });
  const size_t dcbs = sim.Dcbs().size();
  EXPECT_THROW(comm->SetBufLenReceive(999), ECommError);
  EXPECT_EQ(sim.Dcbs().size(), dcbs);
}

TEST_F(CommTest, OpenFailsWithoutTouchingAnythingElse) {
  struct Case {
    const char* what;
    int32_t portNo;
    bool held;
    bool createFileCalled;
  };
  const Case cases[] = {{"no such device", 9, false, true},
                        {"held by another program", 1, true, true},
                        {"nine digits", 123456789, false, false},
                        {"nine characters with the sign", -12345678, false, false},
                        {"eight digits", 12345678, false, true},
                        {"eight characters with the sign", -1234567, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim.HoldPort(1, c.held);
    sim.ClearRecords();
    comm->SetPortNo(c.portNo);
    EXPECT_EQ(OpenError(*comm), "ポートをオープンできませんでした");
    EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(comm->TransThread(), nullptr);
    const auto calls = sim.Calls();
    if (c.createFileCalled) {
      ASSERT_EQ(Names(calls), std::vector<std::string>{"CreateFileA"});
      EXPECT_EQ(calls[0].Text, "\\\\.\\COM" + std::to_string(c.portNo));
    } else {
      EXPECT_TRUE(calls.empty());
    }
  }
  sim.HoldPort(1, false);
}

TEST_F(CommTest, OpenOnAnOpenPortRaisesAndLeavesItAlone) {
  OpenProgramPort();
  const HANDLE handle = comm->Handle();
  const TCommTransThread* writer = comm->TransThread();
  const TCommReceiveThread* receiver = comm->ReceiveThread();
  sim.ClearRecords();
  EXPECT_EQ(OpenError(*comm), "ポートは、すでにオープンされています");
  for (const TSimCall& call : sim.Calls()) EXPECT_NE(call.ThreadId, FUiThread) << call.Name;
  EXPECT_EQ(comm->Handle(), handle);
  EXPECT_EQ(comm->TransThread(), writer);
  EXPECT_EQ(comm->ReceiveThread(), receiver);
}

TEST_F(CommTest, AThreadThatCannotBeCreatedClosesThePortAgain) {
  const int threads = ProcessThreadCount();
  sim.FailThreadCreation(1);
  ApplyProgramSettings(*comm);
  EXPECT_EQ(OpenError(*comm), "送信用スレッドを生成できませんでした");
  EXPECT_FALSE(sim.Port(1).Open);
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);

  sim.FailThreadCreation(2);
  EXPECT_EQ(OpenError(*comm), "受信用スレッドを生成できませんでした");
  EXPECT_FALSE(sim.Port(1).Open);
  EXPECT_EQ(comm->TransThread(), nullptr);
  EXPECT_EQ(comm->ReceiveThread(), nullptr);
  // The writer that did start has ended.
  EXPECT_EQ(ProcessThreadCount(), threads);

  comm->Open();
  EXPECT_NE(comm->ReceiveThread(), nullptr);
}

TEST_F(CommTest, CharTimeFollowsTheBitRate) {
  struct Case {
    int32_t rate;
    int32_t charTime;
  };
  OpenProgramPort();
  for (const Case& c : {Case{115200, 1}, Case{19200, 1}, Case{9600, 2}, Case{4800, 3}, Case{2400, 5},
                        Case{1200, 9}, Case{300, 34}, Case{110, 91}, Case{10, 1001}}) {
    comm->SetBitRate(c.rate);
    EXPECT_EQ(comm->TransThread()->CharTime(), c.charTime) << c.rate;
  }
  // A refused rate leaves the character time as it was.
  EXPECT_THROW(comm->SetBitRate(0), ECommError);
  EXPECT_EQ(comm->TransThread()->CharTime(), 1001);

  comm->Close();
  comm->SetBitRate(300);
  comm->Open();
  EXPECT_EQ(comm->TransThread()->CharTime(), 34);
}

TEST_F(CommTest, CloseReleasesEverythingAndAReopenStartsAfresh) {
  sim.SetFastPauses(false);
  OpenProgramPort();
  const int threadsOpen = ProcessThreadCount();
  sim.ClearRecords();
  const double start = NowMs();
  comm->Close();
  const double took = NowMs() - start;
  EXPECT_GE(took, 295.0);
  EXPECT_LT(took, 3000.0);
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(comm->TransThread(), nullptr);
  EXPECT_EQ(comm->ReceiveThread(), nullptr);
  EXPECT_FALSE(sim.Port(1).Open);
  EXPECT_EQ(ProcessThreadCount(), threadsOpen - 2);

  // DTR and RTS dropped, the transmit purge (which also cancels the
  // writer's write), the receive purge, the pause, the writer's wake-up
  // (the receive thread's is an event of its own), the port released once
  // both threads have ended, the last pause.
  EXPECT_EQ(CloseSequence(sim.Calls(), FUiThread),
            (std::vector<std::string>{"EscapeCommFunction 6", "EscapeCommFunction 4", "PurgeComm 5", "CancelIoEx 0",
                                      "PurgeComm 10", "Sleep 100", "PostThreadMessageA 1281", "CloseHandle 0",
                                      "Sleep 200"}));

  // Two more Closes of the closed port: no call, no pause.
  const size_t before = sim.Calls().size();
  comm->Close();
  comm->Close();
  EXPECT_EQ(sim.Calls().size(), before);

  sim.ClearRecords();
  comm->Open();
  EXPECT_EQ(sim.Calls("CreateThread").size(), 2u);
  EXPECT_EQ(ProcessThreadCount(), threadsOpen);
  EXPECT_NE(comm->TransThread(), nullptr);
  EXPECT_NE(comm->ReceiveThread(), nullptr);
  EXPECT_EQ(comm->PendingBytes(), 0);
  EXPECT_EQ(comm->PendingBlocks(), 0);
}

TEST_F(CommTest, WritingPortNoWhileOpenMovesToTheNewPort) {
  sim.SetFastPauses(false);
  OpenProgramPort();
  const double start = NowMs();
  comm->SetPortNo(2);
  EXPECT_GE(NowMs() - start, 395.0);
  EXPECT_FALSE(sim.Port(1).Open);
  EXPECT_TRUE(sim.Port(2).Open);
  EXPECT_EQ(sim.Port(2).Dcb.BaudRate, 115200u);

  try {
    comm->SetPortNo(7);
    ADD_FAILURE() << "no exception";
  } catch (const ECommError& e) {
    EXPECT_EQ(e.Message(), "ポートをオープンできませんでした");
  }
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(sim.Port(2).Open);
  EXPECT_EQ(comm->PortNo(), 7);
}

TEST_F(CommTest, DestroyClosesAnOpenPort) {
  OpenProgramPort();
  const int threadsOpen = ProcessThreadCount();
  comm.reset();
  EXPECT_FALSE(sim.Port(1).Open);
  EXPECT_EQ(ProcessThreadCount(), threadsOpen - 2);
  EXPECT_EQ(sim.Calls("Sleep").back().Arg, 200u);
}

TEST_F(CommTest, SendStringAndTheModemLines) {
  EXPECT_TRUE(comm->SendString(""));
  EXPECT_FALSE(comm->SendString(std::string("\xFE\x7E", 2)));
  OpenProgramPort();
  EXPECT_TRUE(comm->SendString(""));
  sim.ClearRecords();
  comm->SetRts(true);
  comm->SetRts(false);
  comm->SetDtr(true);
  comm->SetDtr(false);
  const auto escapes = sim.Calls("EscapeCommFunction");
  ASSERT_EQ(escapes.size(), 4u);
  EXPECT_EQ(escapes[0].Arg, static_cast<DWORD>(SETRTS));
  EXPECT_EQ(escapes[1].Arg, static_cast<DWORD>(CLRRTS));
  EXPECT_EQ(escapes[2].Arg, static_cast<DWORD>(SETDTR));
  EXPECT_EQ(escapes[3].Arg, static_cast<DWORD>(CLRDTR));
  // A failing line function reports nothing.
  sim.FailEscape(true);
  comm->SetDtr(true);
  // Every byte counts, zero bytes included.
  const std::string frame("\xFF\x5A\x00\x5C", 4);
  EXPECT_TRUE(comm->SendString(frame));
  EXPECT_TRUE(PumpUntil([&] { return sim.Transmitted() == frame; }, 2000));
}
