#include "board_protocol.h"

#include <gtest/gtest.h>

#include <cctype>
#include <stdexcept>
#include <variant>

#include "protocol_fakes.h"

namespace zefa {
namespace {

using test::Bytes;
using test::Concat;
using test::FakeIdList;
using test::Hex;
using test::RecordingBox;
using test::Repeat;
using test::ScriptedPort;

const std::string ReadFrame = "fe 7e";
const std::string WriteFrame5 = "ff 5a 05 5e";

TEST(AppendChecksum, AddsTheSumModulo128) {
  const struct {
    std::string request;
    std::string frame;
  } cases[] = {
      {"fe", "fe 7e"},
      {"ff 5a 00", "ff 5a 00 59"},
      {"ff 5a 05", "ff 5a 05 5e"},
      {"ff 5a 1f", "ff 5a 1f 78"},
      {"ff 5a ff", "ff 5a ff 58"},
      {"80 80", "80 80 00"},     // bytes add as unsigned values
      {"ff ff ff", "ff ff ff 7d"},
      {"", "00"},
  };
  for (const auto& c : cases) {
    std::string request = Bytes(c.request);
    AppendChecksum(request);
    EXPECT_EQ(Hex(request), c.frame) << c.request;
  }
}

TEST(Frames, ReadRequestIsAlwaysFe7e) {
  ScriptedPort port({"05 05"});
  int32_t attempts = MaxAttempts;
  int32_t id = -1;
  ReadId(port, attempts, id);
  EXPECT_EQ(port.SentPerAttempt(), std::vector<std::string>{ReadFrame});
}

TEST(Frames, WriteRequestCarriesTheLowByteOfTheId) {
  const struct {
    int32_t id;
    std::string frame;
  } cases[] = {
      {0, "ff 5a 00 59"},  // the 0x00 goes on the line like any other byte
      {5, "ff 5a 05 5e"},
      {31, "ff 5a 1f 78"},
      {0x105, "ff 5a 05 5e"},
      {-1, "ff 5a ff 58"},
  };
  for (const auto& c : cases) {
    ScriptedPort port({"00 06"});
    int32_t attempts = MaxAttempts;
    int32_t id = c.id;
    WriteId(port, attempts, id);
    EXPECT_EQ(port.SentPerAttempt(), std::vector<std::string>{c.frame}) << c.id;
  }
}

TEST(Transact, EachAttemptPurgesSendsAndReadsSingleBytes) {
  ScriptedPort port({"05", "05 05"});
  std::string answer;
  int32_t attempts = MaxAttempts;
  int32_t received = -7;
  Transact(port, Bytes(ReadFrame), answer, 2, attempts, received);

  const std::vector<std::string> calls = {
      "purge", "send fe 7e", "recv 05", "recv timeout",
      "purge", "send fe 7e", "recv 05", "recv 05",
  };
  EXPECT_EQ(port.Calls(), calls);
  EXPECT_EQ(Hex(answer), "05 05");
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(received, 2);
}

TEST(Transact, AnswerAndLengthDescribeTheLastAttempt) {
  ScriptedPort port({"05", "07"});
  std::string answer = "stale";
  int32_t attempts = 2;
  int32_t received = -7;
  Transact(port, Bytes(ReadFrame), answer, 2, attempts, received);
  EXPECT_EQ(Hex(answer), "07");
  EXPECT_EQ(received, 1);
  EXPECT_EQ(attempts, 2);
}

TEST(Transact, ALimitBelowOneMakesExactlyOneAttempt) {
  for (int32_t limit : {0, -5}) {
    ScriptedPort silent;
    std::string answer;
    int32_t attempts = limit;
    int32_t received = -7;
    Transact(silent, Bytes(ReadFrame), answer, 2, attempts, received);
    EXPECT_EQ(attempts, 1) << limit;
    EXPECT_EQ(received, 0) << limit;
  }
}

TEST(Transact, PortClosedWhileWaitingEndsTheAttemptAndTheRestFailAtOnce) {
  ScriptedPort port(Repeat("05 05", 10));
  port.OnWait = [&port] { port.Open = false; };
  std::string answer;
  int32_t attempts = MaxAttempts;
  int32_t received = -7;
  Transact(port, Bytes(ReadFrame), answer, 2, attempts, received);
  EXPECT_EQ(attempts, MaxAttempts);
  EXPECT_EQ(received, 0);
  EXPECT_EQ(port.SentPerAttempt(), Concat({ReadFrame}, Repeat("", 9)));
}

TEST(ReadAndWriteId, JudgeTheAnswerAndKeepTheIdWhenIncomplete) {
  const struct {
    bool write;
    std::vector<std::string> answers;
    bool result;
    int32_t id;
  } cases[] = {
      {false, {"05 05"}, true, 5},
      {false, {"ff ff"}, true, 255},  // byte 0 is unsigned
      {false, {"05 06"}, false, 5},
      {false, {"05"}, false, 99},
      {true, {"05 06"}, true, 5},
      {true, {"ff 06"}, true, 255},
      {true, {"05 15"}, false, 5},
      {true, {"05"}, false, 99},
  };
  for (const auto& c : cases) {
    ScriptedPort port(c.answers);
    int32_t attempts = 1;
    int32_t id = 99;
    const bool result = c.write ? WriteId(port, attempts, id) : ReadId(port, attempts, id);
    EXPECT_EQ(result, c.result) << c.answers[0];
    EXPECT_EQ(id, c.id) << c.answers[0];
  }
}

// One press of a button against a scripted board. The procedure run is the
// one whose outcome type the case expects.
struct ProcedureCase {
  const char* name;
  bool portOpen;
  int32_t selected;
  std::vector<std::string> answers;
  std::variant<ReadOutcome, WriteOutcome> outcome;
  std::string text;
  uint8_t kind;
  int32_t selectedAfter;
  std::vector<std::string> sentPerAttempt;
};

const std::string CommFailed = "通信に失敗しました";
const std::string ReadDone = "読み取り完了";
const std::string SetAgain = "再設定を行ってください";
const std::string WriteDone = "書込に成功しました";
const std::string WriteBad = "書込に失敗しました";

const ProcedureCase ProcedureCases[] = {
    {"read valid answer", true, 9, {"05 05"}, ReadOutcome::Completed, ReadDone, 1, 5, {ReadFrame}},
    {"read ID 0", true, 9, {"00 00"}, ReadOutcome::Completed, ReadDone, 1, 0, {ReadFrame}},
    {"read ID 31", true, 9, {"1f 1f"}, ReadOutcome::Completed, ReadDone, 1, 31, {ReadFrame}},
    {"read two differing bytes", true, 9, {"05 06"}, ReadOutcome::CommunicationFailed, CommFailed, 3, 9,
     {ReadFrame}},
    {"read ID 32", true, 9, {"20 20"}, ReadOutcome::SetAgain, SetAgain, 3, 9, {ReadFrame}},
    {"read ID 255", true, 9, {"ff ff"}, ReadOutcome::SetAgain, SetAgain, 3, 9, {ReadFrame}},
    {"read one byte only", true, 9, Repeat("05", 10), ReadOutcome::CommunicationFailed, CommFailed, 3, 9,
     Repeat(ReadFrame, 10)},
    {"read silence", true, 9, {}, ReadOutcome::CommunicationFailed, CommFailed, 3, 9,
     Repeat(ReadFrame, 10)},
    {"read answered on the tenth attempt", true, 9, Concat(Repeat("", 9), {"07 07"}),
     ReadOutcome::Completed, ReadDone, 1, 7, Repeat(ReadFrame, 10)},
    {"read answered on the eleventh attempt", true, 9, Concat(Repeat("", 10), {"07 07"}),
     ReadOutcome::CommunicationFailed, CommFailed, 3, 9, Repeat(ReadFrame, 10)},
    {"read three bytes", true, 9, {"05 05 07"}, ReadOutcome::Completed, ReadDone, 1, 5, {ReadFrame}},
    {"read closed port", false, 9, {"05 05"}, ReadOutcome::CommunicationFailed, CommFailed, 3, 9,
     Repeat("", 10)},

    {"write acknowledged three times", true, 5, Repeat("05 06", 3), WriteOutcome::Succeeded, WriteDone, 1,
     5, Repeat(WriteFrame5, 3)},
    {"write ID 0", true, 0, Repeat("00 06", 3), WriteOutcome::Succeeded, WriteDone, 1, 0,
     Repeat("ff 5a 00 59", 3)},
    {"write ID 31", true, 31, Repeat("1f 06", 3), WriteOutcome::Succeeded, WriteDone, 1, 31,
     Repeat("ff 5a 1f 78", 3)},
    {"write refused", true, 5, Repeat("05 15", 3), WriteOutcome::CommunicationFailed, CommFailed, 3, 5,
     {WriteFrame5}},
    {"write refused on the second pass", true, 5, {"05 06", "05 15"}, WriteOutcome::CommunicationFailed,
     CommFailed, 3, 5, Repeat(WriteFrame5, 2)},
    {"write third answer with another ID", true, 5, {"05 06", "05 06", "06 06"}, WriteOutcome::WriteFailed,
     WriteBad, 3, 5, Repeat(WriteFrame5, 3)},
    {"write first two answers with other IDs", true, 5, {"01 06", "02 06", "05 06"},
     WriteOutcome::Succeeded, WriteDone, 1, 5, Repeat(WriteFrame5, 3)},
    {"write silence", true, 5, {}, WriteOutcome::CommunicationFailed, CommFailed, 3, 5,
     Repeat(WriteFrame5, 10)},
    {"write one byte only on the third pass", true, 5, Concat({"05 06", "05 06"}, Repeat("05", 10)),
     WriteOutcome::CommunicationFailed, CommFailed, 3, 5, Repeat(WriteFrame5, 12)},
    {"write first pass answered on its tenth attempt", true, 5,
     Concat(Repeat("", 9), Repeat("05 06", 3)), WriteOutcome::Succeeded, WriteDone, 1, 5,
     Repeat(WriteFrame5, 12)},
    {"write three-byte answer, rest purged", true, 5, {"05 06 41", "05 06", "05 06"},
     WriteOutcome::Succeeded, WriteDone, 1, 5, Repeat(WriteFrame5, 3)},
    {"write closed port", false, 5, Repeat("05 06", 3), WriteOutcome::CommunicationFailed, CommFailed, 3, 5,
     Repeat("", 10)},
};

void PrintTo(const ProcedureCase& c, std::ostream* os) { *os << c.name; }

class ProcedureTable : public testing::TestWithParam<ProcedureCase> {};

TEST_P(ProcedureTable, ReportsTheOutcomeInExactlyOneBox) {
  const ProcedureCase& c = GetParam();
  ScriptedPort port(c.answers);
  port.Open = c.portOpen;
  FakeIdList idList(c.selected);
  RecordingBox box;

  std::variant<ReadOutcome, WriteOutcome> outcome;
  if (std::holds_alternative<ReadOutcome>(c.outcome)) {
    outcome = ReadProcedure(port, idList, box, 0);
  } else {
    outcome = WriteProcedure(port, idList, box, 0);
  }

  EXPECT_EQ(outcome, c.outcome);
  ASSERT_EQ(box.Shown.size(), 1u);
  EXPECT_EQ(box.Shown[0].text, c.text);
  EXPECT_EQ(box.Shown[0].kind, c.kind);
  EXPECT_EQ(box.Shown[0].buttons, 2);
  EXPECT_EQ(box.Shown[0].messageNo, 0);
  EXPECT_EQ(box.Shown[0].language, 0);
  EXPECT_EQ(idList.ItemIndex(), c.selectedAfter);
  EXPECT_EQ(port.SentPerAttempt(), c.sentPerAttempt);
}

INSTANTIATE_TEST_SUITE_P(Answers, ProcedureTable, testing::ValuesIn(ProcedureCases),
                         [](const testing::TestParamInfo<ProcedureCase>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name.push_back(*p);
                           }
                           return name;
                         });

TEST(Procedures, PassTheLanguageOnAndKeepTheTextsJapanese) {
  ScriptedPort port({"05 05"});
  FakeIdList idList(0);
  RecordingBox box;
  ReadProcedure(port, idList, box, 1);
  ASSERT_EQ(box.Shown.size(), 1u);
  EXPECT_EQ(box.Shown[0].language, 1);
  EXPECT_EQ(box.Shown[0].text, ReadDone);
}

TEST(Procedures, OutcomeTextsAndKindsMatchWhatIsShown) {
  EXPECT_EQ(OutcomeText(ReadOutcome::CommunicationFailed), CommFailed);
  EXPECT_EQ(OutcomeText(WriteOutcome::CommunicationFailed), CommFailed);
  EXPECT_EQ(OutcomeText(WriteOutcome::WriteFailed), WriteBad);
  EXPECT_EQ(OutcomeKind(ReadOutcome::SetAgain), 3);
  EXPECT_EQ(OutcomeKind(WriteOutcome::Succeeded), 1);
}

// The user changes the ID list while a write pass waits for its answer.
TEST(WriteProcedure, ReadsTheSelectionAfreshAtEveryPassAndAtTheComparison) {
  const struct {
    const char* name;
    int changeAtReceive;  // 1-based count of ReceiveData calls
    std::vector<std::string> answers;
    WriteOutcome outcome;
    std::vector<std::string> sent;
  } cases[] = {
      // Changed during pass 1: pass 2 writes 7, the board answers 7.
      {"before the last pass", 3, {"05 06", "05 06", "07 06"}, WriteOutcome::Succeeded,
       {WriteFrame5, WriteFrame5, "ff 5a 07 60"}},
      // Changed during pass 2: 5 was written and answered, 7 is compared.
      {"during the last pass", 5, Repeat("05 06", 3), WriteOutcome::WriteFailed, Repeat(WriteFrame5, 3)},
  };
  for (const auto& c : cases) {
    ScriptedPort port(c.answers);
    FakeIdList idList(5);
    RecordingBox box;
    int receives = 0;
    port.OnWait = [&] {
      if (++receives == c.changeAtReceive) idList.SetItemIndex(7);
    };
    EXPECT_EQ(WriteProcedure(port, idList, box, 0), c.outcome) << c.name;
    EXPECT_EQ(port.SentPerAttempt(), c.sent) << c.name;
    EXPECT_EQ(idList.ItemIndex(), 7) << c.name;
  }
}

// A second press arrives from inside a wait of the first, as the user
// interface is serviced while a byte is awaited.
TEST(BoardExchange, APressDuringAnExchangeStartsNothing) {
  for (bool otherIsWrite : {true, false}) {
    BoardExchange exchange;
    ScriptedPort port({"05 05", "05 06", "05 06", "05 06"});
    FakeIdList idList(9);
    RecordingBox box;
    std::vector<bool> ignored;
    port.OnWait = [&] {
      if (otherIsWrite) {
        ignored.push_back(!exchange.Write(port, idList, box, 0).has_value());
      } else {
        ignored.push_back(!exchange.Read(port, idList, box, 0).has_value());
      }
    };

    const auto outcome = exchange.Read(port, idList, box, 0);

    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, ReadOutcome::Completed);
    EXPECT_EQ(ignored, std::vector<bool>(2, true));
    EXPECT_EQ(port.SentPerAttempt(), std::vector<std::string>{ReadFrame});
    ASSERT_EQ(box.Shown.size(), 1u);
    EXPECT_EQ(box.Shown[0].text, ReadDone);
    EXPECT_EQ(idList.ItemIndex(), 5);
    EXPECT_FALSE(exchange.Busy());
  }
}

TEST(BoardExchange, APressWhileTheOutcomeBoxIsOpenStartsNothing) {
  BoardExchange exchange;
  ScriptedPort port(Repeat("05 06", 6));
  FakeIdList idList(5);
  RecordingBox box;
  std::vector<bool> ignored;
  box.OnShow = [&] {
    if (ignored.empty()) ignored.push_back(!exchange.Write(port, idList, box, 0).has_value());
  };
  EXPECT_EQ(exchange.Write(port, idList, box, 0), WriteOutcome::Succeeded);
  EXPECT_EQ(ignored, std::vector<bool>{true});
  EXPECT_EQ(port.SentPerAttempt().size(), 3u);
  EXPECT_EQ(box.Shown.size(), 1u);
}

TEST(BoardExchange, IsFreeAgainHoweverTheProcedureEnded) {
  BoardExchange exchange;
  FakeIdList idList(0);
  RecordingBox box;
  {
    ScriptedPort failing;
    failing.OnWait = [] { throw std::runtime_error("port gone"); };
    EXPECT_THROW(exchange.Read(failing, idList, box, 0), std::runtime_error);
  }
  EXPECT_FALSE(exchange.Busy());

  ScriptedPort port({"05 05"});
  EXPECT_EQ(exchange.Read(port, idList, box, 0), ReadOutcome::Completed);
  EXPECT_FALSE(exchange.Busy());
}

}  // namespace
}  // namespace zefa
