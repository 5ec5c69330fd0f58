// The port choice: the calls it makes on the port, in order, and the one
// message box it shows, for OFF, a port that opens, and a failure at every
// step.
#include "port_choice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "message_tables.h"
#include "protocol_fakes.h"

namespace zefa {
namespace {

// A serial port component that records every call and fails the one named
// in failAt, with the kind of exception given.
class RecordingPort : public PortSetup {
 public:
  enum class Failure { StdException, BadAlloc, UnknownType };

  std::vector<std::string> calls;
  std::string failAt;
  Failure failure = Failure::StdException;
  bool open = false;
  int32_t portNo = 0;

  void Close() override {
    Record("Close");
    open = false;
  }
  void SetBitRate(int32_t value) override { Record("BitRate " + std::to_string(value)); }
  void SetBufLenReceive(int32_t value) override { Record("BufLenReceive " + std::to_string(value)); }
  void SetBufLenTrans(int32_t value) override { Record("BufLenTrans " + std::to_string(value)); }
  void SetCharSize(int32_t value) override { Record("CharSize " + std::to_string(value)); }
  void SetNoFlowControl() override { Record("FlowCtrl cfcNone"); }
  void SetNoParity() override { Record("ParityBit cpbNone"); }
  void SetPortNo(int32_t value) override {
    portNo = value;  // a refused write still stores its value
    Record("PortNo " + std::to_string(value));
  }
  void SetOneStopBit() override { Record("StopBit csb1"); }
  void SetTimeOutReceive(int32_t value) override { Record("TimeOutReceive " + std::to_string(value)); }
  void SetTimeOutTrans(int32_t value) override { Record("TimeOutTrans " + std::to_string(value)); }
  void Open() override {
    Record("Open");
    // As the component: there is no COM port with a number below 1.
    if (portNo < 1) throw std::runtime_error("ポートをオープンできませんでした");
    open = true;
  }
  void SetDtr(bool value) override { Record(value ? "Dtr on" : "Dtr off"); }
  void PurgeReceive() override { Record("PurgeReceive"); }
  void PurgeSend() override { Record("PurgeSend"); }
  int32_t PortNo() const override { return portNo; }

 private:
  void Record(const std::string& call) {
    calls.push_back(call);
    if (call != failAt) return;
    failAt.clear();  // once: the Close after a failure must work
    switch (failure) {
      case Failure::StdException:
        throw std::runtime_error("refused");
      case Failure::BadAlloc:
        throw std::bad_alloc();
      case Failure::UnknownType:
        throw 42;
    }
  }
};

using test::RecordingBox;

const std::vector<std::string> kOpenCom3 = {
    "Close",         "BitRate 115200",     "BufLenReceive 2048", "BufLenTrans 2048",
    "CharSize 8",    "FlowCtrl cfcNone",   "ParityBit cpbNone",  "PortNo 3",
    "StopBit csb1",  "TimeOutReceive 30",  "TimeOutTrans 3000",  "Open",
    "Dtr on",        "Dtr off",            "PurgeReceive",       "PurgeSend",
};

void ExpectOneBox(const RecordingBox& box, uint8_t kind, const std::string& text, int32_t language = 0) {
  ASSERT_EQ(1u, box.Shown.size());
  EXPECT_EQ(kind, box.Shown[0].kind);
  EXPECT_EQ(2, box.Shown[0].buttons);
  EXPECT_EQ(0, box.Shown[0].messageNo);
  EXPECT_EQ(language, box.Shown[0].language);
  EXPECT_EQ(text, box.Shown[0].text);
}

TEST(PortChoice, OffClosesThePortAndSaysSo) {
  RecordingPort port;
  port.open = true;
  RecordingBox box;
  ApplyPortChoice(port, 0, box, 0);
  EXPECT_EQ(std::vector<std::string>{"Close"}, port.calls);
  EXPECT_FALSE(port.open);
  ExpectOneBox(box, KindInformation, "シリアルポートを閉じました");
}

TEST(PortChoice, APortIsOpenedWithTheLineSettingsInOrder) {
  RecordingPort port;
  RecordingBox box;
  ApplyPortChoice(port, 3, box, 0);
  EXPECT_EQ(kOpenCom3, port.calls);
  EXPECT_TRUE(port.open);
  ExpectOneBox(box, KindInformation, "COM3 設定完了");
}

TEST(PortChoice, TheSamePortAgainIsClosedAndOpenedAgain) {
  RecordingPort port;
  RecordingBox first;
  ApplyPortChoice(port, 3, first, 0);
  port.calls.clear();
  RecordingBox again;
  ApplyPortChoice(port, 3, again, 0);
  EXPECT_EQ(kOpenCom3, port.calls);
  EXPECT_TRUE(port.open);
  ExpectOneBox(again, KindInformation, "COM3 設定完了");
}

TEST(PortChoice, TheWindowLanguageChoosesTheTexts) {
  RecordingPort port;
  RecordingBox opened;
  ApplyPortChoice(port, 3, opened, 1);
  ExpectOneBox(opened, KindInformation, PortSetUpText(3, 1), 1);
  RecordingBox closed;
  ApplyPortChoice(port, 0, closed, 1);
  ExpectOneBox(closed, KindInformation, PortClosedText(1), 1);
}

struct FailureCase {
  const char* failAt;
  RecordingPort::Failure failure;
  // The text names the component's port number: before the new one is set,
  // that is still the port in use before (COM5 here).
  const char* text;
};

class PortChoiceFailure : public ::testing::TestWithParam<FailureCase> {};

// Whichever step fails, with whatever exception: one warning, the port
// closed at the end, nothing raised further.
TEST_P(PortChoiceFailure, WarnsAndLeavesThePortClosed) {
  RecordingPort port;
  port.open = true;
  port.portNo = 5;
  port.failAt = GetParam().failAt;
  port.failure = GetParam().failure;
  RecordingBox box;
  ASSERT_NO_THROW(ApplyPortChoice(port, 3, box, 0));

  ExpectOneBox(box, KindWarning, GetParam().text);
  EXPECT_FALSE(port.open);
  ASSERT_FALSE(port.calls.empty());
  EXPECT_EQ("Close", port.calls.back());
  // Nothing after the failing step but that Close.
  const auto failed = std::find(port.calls.begin(), port.calls.end(), GetParam().failAt);
  ASSERT_NE(port.calls.end(), failed);
  EXPECT_EQ(port.calls.end() - 2, failed);
}

using F = RecordingPort::Failure;
INSTANTIATE_TEST_SUITE_P(EveryStep, PortChoiceFailure,
                         ::testing::Values(FailureCase{"Close", F::StdException, "COM5は使用できません"},
                                           FailureCase{"BitRate 115200", F::StdException, "COM5は使用できません"},
                                           FailureCase{"CharSize 8", F::StdException, "COM5は使用できません"},
                                           FailureCase{"PortNo 3", F::StdException, "COM3は使用できません"},
                                           FailureCase{"TimeOutTrans 3000", F::StdException, "COM3は使用できません"},
                                           FailureCase{"Open", F::StdException, "COM3は使用できません"},
                                           FailureCase{"Open", F::BadAlloc, "COM3は使用できません"},
                                           FailureCase{"Open", F::UnknownType, "COM3は使用できません"},
                                           FailureCase{"Dtr on", F::StdException, "COM3は使用できません"},
                                           FailureCase{"PurgeSend", F::UnknownType, "COM3は使用できません"}));

TEST(PortChoice, AFailedSuccessBoxStillEndsInTheWarning) {
  RecordingPort port;
  RecordingBox box;
  box.OnShow = [&box] {
    if (box.Shown.size() == 1) throw std::runtime_error("no box");
  };
  ApplyPortChoice(port, 3, box, 0);
  ASSERT_EQ(2u, box.Shown.size());
  EXPECT_EQ("COM3 設定完了", box.Shown[0].text);
  EXPECT_EQ(KindWarning, box.Shown[1].kind);
  EXPECT_EQ("COM3は使用できません", box.Shown[1].text);
  EXPECT_FALSE(port.open);
}

TEST(PortChoice, NoSelectionTriesPortMinusOneAndFails) {
  RecordingPort port;
  RecordingBox box;
  ApplyPortChoice(port, -1, box, 0);
  EXPECT_NE(port.calls.end(), std::find(port.calls.begin(), port.calls.end(), "PortNo -1"));
  ExpectOneBox(box, KindWarning, "COM-1は使用できません");
  EXPECT_FALSE(port.open);
}

}  // namespace
}  // namespace zefa
