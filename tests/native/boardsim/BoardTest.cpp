// The simulated board without I/O: bytes in and mode changes, log events
// and answers out.
#include "Board.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace boardsim {
namespace {

using ::testing::ElementsAreArray;

// One step of a case: bytes arriving in one piece, or new modes (as the
// control file gives them).
struct Step {
  Bytes In;
  const char* NewModes = nullptr;
};

Step Feed(Bytes bytes) { return {std::move(bytes), nullptr}; }
Step SetTo(const char* modes) { return {{}, modes}; }

struct Case {
  const char* Name;
  uint8_t Id;
  const char* Modes;
  std::vector<Step> Steps;
  std::vector<std::string> Events;  // with "wait N" before a delayed "tx"
  uint8_t IdAfter;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.Name; }

Modes Parse(const char* text) {
  Modes modes;
  std::string error;
  EXPECT_TRUE(ApplyModeText(text, modes, error)) << error;
  return modes;
}

// Drives the parser and the board as the simulator does.
std::vector<std::string> Drive(Board& board, const std::vector<Step>& steps) {
  FrameParser parser;
  Events events;
  for (const Step& step : steps) {
    if (step.NewModes != nullptr) {
      board.SetModes(Parse(step.NewModes));
      continue;
    }
    parser.Append(step.In.data(), step.In.size());
    while (std::optional<Frame> frame = parser.Next(events)) {
      const Reply reply = board.Handle(*frame, events);
      if (reply.Answer.empty()) continue;
      if (reply.DelayMs != 0) events.push_back("wait " + std::to_string(reply.DelayMs));
      events.push_back(TxEvent(reply.Answer));
    }
  }
  return events;
}

class BoardCase : public ::testing::TestWithParam<Case> {};

TEST_P(BoardCase, AnswersAndLogs) {
  const Case& c = GetParam();
  Board board(c.Id);
  board.SetModes(Parse(c.Modes));
  EXPECT_THAT(Drive(board, c.Steps), ElementsAreArray(c.Events));
  EXPECT_EQ(board.Id(), c.IdAfter);
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) { return info.param.Name; }

const Bytes kRead = {0xFE, 0x7E};
Bytes Write(uint8_t id) {
  return {0xFF, 0x5A, id, static_cast<uint8_t>((0xFF + 0x5A + id) % 128)};
}

// clang-format off
const Case kFrames[] = {
    {"Read", 7, "", {Feed(kRead)},
     {"rx read fe 7e", "tx 07 07"}, 7},
    {"WriteSetsIdThenReadReportsIt", 7, "", {Feed(Write(5)), Feed(kRead)},
     {"rx write ff 5a 05 5e", "tx 05 06", "rx read fe 7e", "tx 05 05"}, 5},
    {"WriteIdZeroAndThirtyOne", 7, "", {Feed(Write(0)), Feed(Write(31))},
     {"rx write ff 5a 00 59", "tx 00 06", "rx write ff 5a 1f 78", "tx 1f 06"}, 31},
    // Any byte is taken as the ID, also beyond 31: a later read shows it.
    {"WriteIdAbove31", 7, "", {Feed(Write(200))},
     {"rx write ff 5a c8 21", "tx c8 06"}, 200},
    {"ReadWithWrongCheckByte", 7, "", {Feed({0xFE, 0x11})},
     {"rx bad fe 11", "rx noise 11"}, 7},
    {"WriteWithWrongCheckByteLeavesId", 7, "", {Feed({0xFF, 0x5A, 0x03, 0x00})},
     {"rx bad ff 5a 03 00", "rx noise 5a", "rx noise 03", "rx noise 00"}, 7},
    {"WriteWithWrongSecondByte", 7, "", {Feed({0xFF, 0x12})},
     {"rx bad ff 12", "rx noise 12"}, 7},
    {"UnknownFirstByte", 7, "", {Feed({0x41})},
     {"rx noise 41"}, 7},
    {"NoiseBeforeRead", 7, "", {Feed({0x41, 0x00, 0xFE, 0x7E})},
     {"rx noise 41", "rx noise 00", "rx read fe 7e", "tx 07 07"}, 7},
    {"FeNoiseBeforeRead", 7, "", {Feed({0xFE, 0xFE, 0x7E})},
     {"rx bad fe fe", "rx read fe 7e", "tx 07 07"}, 7},
    {"FfNoiseBeforeRead", 7, "", {Feed({0xFF, 0xFE, 0x7E})},
     {"rx bad ff fe", "rx read fe 7e", "tx 07 07"}, 7},
    {"FfNoiseBeforeWrite", 7, "", {Feed({0xFF, 0xFF, 0x5A, 0x03, 0x5C})},
     {"rx bad ff ff", "rx write ff 5a 03 5c", "tx 03 06"}, 3},
    // The stale start of a write must not swallow the read behind it.
    {"WriteHeadBeforeRead", 7, "", {Feed({0xFF, 0x5A, 0xFE, 0x7E})},
     {"rx bad ff 5a fe 7e", "rx noise 5a", "rx read fe 7e", "tx 07 07"}, 7},
    {"WriteHeadBeforeWrite", 7, "", {Feed({0xFF, 0x5A}), Feed(Write(4))},
     {"rx bad ff 5a ff 5a", "rx noise 5a", "rx write ff 5a 04 5d", "tx 04 06"}, 4},
    {"RequestsSplitAcrossReads", 7, "", {Feed({0xFF}), Feed({0x5A, 0x03}), Feed({0x5C, 0xFE}), Feed({0x7E})},
     {"rx write ff 5a 03 5c", "tx 03 06", "rx read fe 7e", "tx 03 03"}, 3},
    {"IncompleteRequestWaits", 7, "", {Feed({0xFF, 0x5A, 0x03})},
     {}, 7},
    {"TwoRequestsInOneRead", 7, "", {Feed({0xFE, 0x7E, 0xFE, 0x7E})},
     {"rx read fe 7e", "tx 07 07", "rx read fe 7e", "tx 07 07"}, 7},
};

const Case kModes[] = {
    {"SilentAnswersNothingAndKeepsId", 7, "silent", {Feed(kRead), Feed(Write(3))},
     {"rx read fe 7e", "drop read (silent)", "rx write ff 5a 03 5c", "drop write (silent)"}, 7},
    {"OneByte", 7, "one-byte", {Feed(kRead), Feed(Write(3))},
     {"rx read fe 7e", "tx 07", "rx write ff 5a 03 5c", "tx 03"}, 3},
    {"FromAttemptAnswersThirdThenStartsAgain", 7, "from-attempt=3",
     {Feed(kRead), Feed(kRead), Feed(kRead), Feed(kRead)},
     {"rx read fe 7e", "drop read (from-attempt 1/3)", "rx read fe 7e", "drop read (from-attempt 2/3)",
      "rx read fe 7e", "tx 07 07", "rx read fe 7e", "drop read (from-attempt 1/3)"}, 7},
    {"FromAttemptTenOnTheTenth", 7, "from-attempt=10",
     {Feed(kRead), Feed(kRead), Feed(kRead), Feed(kRead), Feed(kRead),
      Feed(kRead), Feed(kRead), Feed(kRead), Feed(kRead), Feed(kRead)},
     {"rx read fe 7e", "drop read (from-attempt 1/10)", "rx read fe 7e", "drop read (from-attempt 2/10)",
      "rx read fe 7e", "drop read (from-attempt 3/10)", "rx read fe 7e", "drop read (from-attempt 4/10)",
      "rx read fe 7e", "drop read (from-attempt 5/10)", "rx read fe 7e", "drop read (from-attempt 6/10)",
      "rx read fe 7e", "drop read (from-attempt 7/10)", "rx read fe 7e", "drop read (from-attempt 8/10)",
      "rx read fe 7e", "drop read (from-attempt 9/10)", "rx read fe 7e", "tx 07 07"}, 7},
    // Unanswered writes have no effect; a different request starts a new run.
    {"FromAttemptRunEndsWithOtherRequest", 7, "from-attempt=2",
     {Feed(Write(3)), Feed(Write(4)), Feed(Write(4))},
     {"rx write ff 5a 03 5c", "drop write (from-attempt 1/2)", "rx write ff 5a 04 5d",
      "drop write (from-attempt 1/2)", "rx write ff 5a 04 5d", "tx 04 06"}, 4},
    {"FromAttemptRunSurvivesNoise", 7, "from-attempt=2", {Feed(kRead), Feed({0x41}), Feed(kRead)},
     {"rx read fe 7e", "drop read (from-attempt 1/2)", "rx noise 41", "rx read fe 7e", "tx 07 07"}, 7},
    {"RefuseWritesKeepsId", 7, "refuse-writes", {Feed(Write(3)), Feed(kRead)},
     {"rx write ff 5a 03 5c", "tx 07 15", "rx read fe 7e", "tx 07 07"}, 7},
    {"ReadMismatch", 7, "read-mismatch", {Feed(kRead)},
     {"rx read fe 7e", "tx 07 08"}, 7},
    {"ReadMismatchWrapsAt255", 255, "read-mismatch", {Feed(kRead)},
     {"rx read fe 7e", "tx ff 00"}, 255},
    {"ExtraAfterEveryAnswer", 7, "extra=2", {Feed(kRead), Feed(Write(3))},
     {"rx read fe 7e", "tx 07 07 55 55", "rx write ff 5a 03 5c", "tx 03 06 55 55"}, 3},
    {"ReportId32", 7, "report-id=32", {Feed(kRead)},
     {"rx read fe 7e", "tx 20 20"}, 7},
    // Writes still work and answer the real ID.
    {"ReportId255WithWrite", 7, "report-id=255", {Feed(Write(3)), Feed(kRead)},
     {"rx write ff 5a 03 5c", "tx 03 06", "rx read fe 7e", "tx ff ff"}, 3},
    {"WriteEchoAlways", 7, "write-echo=9", {Feed(Write(3)), Feed(Write(3))},
     {"rx write ff 5a 03 5c", "tx 09 06", "rx write ff 5a 03 5c", "tx 09 06"}, 3},
    {"WriteEchoOnThirdPassOfEachRun", 7, "write-echo=9 write-echo-pass=3",
     {Feed(Write(3)), Feed(Write(3)), Feed(Write(3)), Feed(Write(3)), Feed(Write(3)), Feed(Write(3))},
     {"rx write ff 5a 03 5c", "tx 03 06", "rx write ff 5a 03 5c", "tx 03 06",
      "rx write ff 5a 03 5c", "tx 09 06", "rx write ff 5a 03 5c", "tx 03 06",
      "rx write ff 5a 03 5c", "tx 03 06", "rx write ff 5a 03 5c", "tx 09 06"}, 3},
    {"WriteEchoFirstPass", 7, "write-echo=9 write-echo-pass=1", {Feed(Write(3)), Feed(Write(3))},
     {"rx write ff 5a 03 5c", "tx 09 06", "rx write ff 5a 03 5c", "tx 03 06"}, 3},
    {"ReadRestartsWritePasses", 7, "write-echo=9 write-echo-pass=2",
     {Feed(Write(3)), Feed(kRead), Feed(Write(3)), Feed(Write(3))},
     {"rx write ff 5a 03 5c", "tx 03 06", "rx read fe 7e", "tx 03 03",
      "rx write ff 5a 03 5c", "tx 03 06", "rx write ff 5a 03 5c", "tx 09 06"}, 3},
    // Only answered writes are passes.
    {"UnansweredWritesAreNoPasses", 7, "write-echo=9 write-echo-pass=2 from-attempt=2",
     {Feed(Write(3)), Feed(Write(3)), Feed(Write(3)), Feed(Write(3))},
     {"rx write ff 5a 03 5c", "drop write (from-attempt 1/2)", "rx write ff 5a 03 5c", "tx 03 06",
      "rx write ff 5a 03 5c", "drop write (from-attempt 1/2)", "rx write ff 5a 03 5c", "tx 09 06"}, 3},
    {"Delay", 7, "delay=50", {Feed(kRead)},
     {"rx read fe 7e", "wait 50", "tx 07 07"}, 7},
    // Unanswered requests have no effect.
    {"AnswersStopAfterTheFirstN", 7, "answers=1", {Feed(Write(3)), Feed(Write(4)), Feed(kRead)},
     {"rx write ff 5a 03 5c", "tx 03 06", "rx write ff 5a 04 5d", "drop write (answers 1)", "rx read fe 7e",
      "drop read (answers 1)"}, 3},
    {"SecondBoardAnswersAfterTheFirst", 7, "second-board=9", {Feed(kRead), Feed(Write(3)), Feed(kRead)},
     {"rx read fe 7e", "tx 07 07 09 09", "rx write ff 5a 03 5c", "tx 03 06 03 06", "rx read fe 7e",
      "tx 03 03 03 03"}, 3},
    {"IdMode", 7, "id=12", {Feed(kRead)},
     {"rx read fe 7e", "tx 0c 0c"}, 12},
};

const Case kCombinations[] = {
    {"DelayWithFromAttempt", 7, "delay=50 from-attempt=2", {Feed(kRead), Feed(kRead)},
     {"rx read fe 7e", "drop read (from-attempt 1/2)", "rx read fe 7e", "wait 50", "tx 07 07"}, 7},
    {"OneByteThenExtra", 7, "one-byte extra=1", {Feed(kRead)},
     {"rx read fe 7e", "tx 07 55"}, 7},
    {"ReadMismatchOfReportedId", 7, "report-id=32 read-mismatch", {Feed(kRead)},
     {"rx read fe 7e", "tx 20 21"}, 7},
    {"SilentCountsNoAttempts", 7, "silent from-attempt=2", {Feed(kRead), Feed(kRead)},
     {"rx read fe 7e", "drop read (silent)", "rx read fe 7e", "drop read (silent)"}, 7},
    {"RefusedWriteWithExtraAndDelay", 7, "refuse-writes extra=1 delay=20", {Feed(Write(3))},
     {"rx write ff 5a 03 5c", "wait 20", "tx 07 15 55"}, 7},
};

// A change of modes replaces them all and starts every count again.
const Case kModeChanges[] = {
    {"ChangeRestartsFromAttempt", 7, "from-attempt=3",
     {Feed(kRead), Feed(kRead), SetTo("from-attempt=3"), Feed(kRead), Feed(kRead), Feed(kRead)},
     {"rx read fe 7e", "drop read (from-attempt 1/3)", "rx read fe 7e", "drop read (from-attempt 2/3)",
      "rx read fe 7e", "drop read (from-attempt 1/3)", "rx read fe 7e", "drop read (from-attempt 2/3)",
      "rx read fe 7e", "tx 07 07"}, 7},
    {"ChangeRestartsWritePasses", 7, "write-echo=9 write-echo-pass=3",
     {Feed(Write(3)), Feed(Write(3)), SetTo("write-echo=9 write-echo-pass=3"), Feed(Write(3)),
      Feed(Write(3)), Feed(Write(3))},
     {"rx write ff 5a 03 5c", "tx 03 06", "rx write ff 5a 03 5c", "tx 03 06",
      "rx write ff 5a 03 5c", "tx 03 06", "rx write ff 5a 03 5c", "tx 03 06",
      "rx write ff 5a 03 5c", "tx 09 06"}, 3},
    {"ChangeReplacesEveryMode", 7, "silent extra=1", {Feed(kRead), SetTo("read-mismatch"), Feed(kRead)},
     {"rx read fe 7e", "drop read (silent)", "rx read fe 7e", "tx 07 08"}, 7},
    {"ChangeToNormal", 7, "silent", {SetTo(""), Feed(kRead)},
     {"rx read fe 7e", "tx 07 07"}, 7},
    // The ID is the board's: it survives a change without id=.
    {"ChangeKeepsWrittenId", 7, "", {Feed(Write(3)), SetTo("extra=1"), Feed(kRead)},
     {"rx write ff 5a 03 5c", "tx 03 06", "rx read fe 7e", "tx 03 03 55"}, 3},
    {"ChangeSetsId", 7, "", {SetTo("id=20"), Feed(kRead)},
     {"rx read fe 7e", "tx 14 14"}, 20},
};

// Boards connected and removed: each has its own ID, a removed one hears
// nothing.
const Case kBoardChanges[] = {
    {"SecondBoardStartsWithTheFactoryIdAndKeepsItsOwn", 0, "",
     {Feed(Write(5)), SetTo("board=2"), Feed(kRead), Feed(Write(6)), SetTo("board=1"), Feed(kRead)},
     {"rx write ff 5a 05 5e", "tx 05 06", "rx read fe 7e", "tx 00 00", "rx write ff 5a 06 5f", "tx 06 06",
      "rx read fe 7e", "tx 05 05"}, 5},
    {"IdSetsTheBoardOnTheLine", 7, "", {SetTo("board=2 id=9"), Feed(kRead), SetTo("board=1"), Feed(kRead)},
     {"rx read fe 7e", "tx 09 09", "rx read fe 7e", "tx 07 07"}, 7},
    {"RemovedHearsNothing", 7, "removed", {Feed(Write(3)), Feed(kRead)},
     {"rx write ff 5a 03 5c", "drop write (removed)", "rx read fe 7e", "drop read (removed)"}, 7},
    {"RemovedBoardComesBackWithItsId", 7, "", {Feed(Write(3)), SetTo("removed"), Feed(kRead), SetTo(""), Feed(kRead)},
     {"rx write ff 5a 03 5c", "tx 03 06", "rx read fe 7e", "drop read (removed)", "rx read fe 7e", "tx 03 03"}, 3},
    {"UnpluggedAfterItsFirstWrite", 7, "unplug-after-writes=1", {Feed(kRead), Feed(Write(3)), Feed(Write(3)), Feed(kRead)},
     {"rx read fe 7e", "tx 07 07", "rx write ff 5a 03 5c", "tx 03 06", "rx write ff 5a 03 5c",
      "drop write (removed)", "rx read fe 7e", "drop read (removed)"}, 3},
    // Only answered writes count towards the unplugging.
    {"UnplugCountsAnsweredWrites", 7, "unplug-after-writes=1 from-attempt=2",
     {Feed(Write(3)), Feed(Write(3)), Feed(Write(4))},
     {"rx write ff 5a 03 5c", "drop write (from-attempt 1/2)", "rx write ff 5a 03 5c", "tx 03 06",
      "rx write ff 5a 04 5d", "drop write (removed)"}, 3},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Frames, BoardCase, ::testing::ValuesIn(kFrames), CaseName);
INSTANTIATE_TEST_SUITE_P(Modes, BoardCase, ::testing::ValuesIn(kModes), CaseName);
INSTANTIATE_TEST_SUITE_P(Combinations, BoardCase, ::testing::ValuesIn(kCombinations), CaseName);
INSTANTIATE_TEST_SUITE_P(ModeChanges, BoardCase, ::testing::ValuesIn(kModeChanges), CaseName);
INSTANTIATE_TEST_SUITE_P(BoardChanges, BoardCase, ::testing::ValuesIn(kBoardChanges), CaseName);

TEST(Board, ListsEveryBoardThatWasOnTheLineWithItsId) {
  Board board(0);
  Drive(board, {Feed(Write(4)), SetTo("board=3"), Feed(Write(6)), SetTo("removed board=2"), SetTo("board=3")});
  EXPECT_EQ(board.BoardIds(), (std::map<int, uint8_t>{{1, 4}, {2, 0}, {3, 6}}));
}

// Every write request that a correct client can send is one frame, for
// every ID byte, with any noise byte before it.
TEST(FrameParser, FindsEveryWriteBehindAnyNoiseByte) {
  for (int noise = 0; noise < 256; ++noise) {
    for (int id = 0; id < 256; ++id) {
      FrameParser parser;
      Bytes in = {static_cast<uint8_t>(noise)};
      const Bytes write = Write(static_cast<uint8_t>(id));
      in.insert(in.end(), write.begin(), write.end());
      parser.Append(in.data(), in.size());
      Events events;
      const std::optional<Frame> frame = parser.Next(events);
      ASSERT_TRUE(frame) << "noise " << noise << " id " << id;
      EXPECT_EQ(frame->Raw, write) << "noise " << noise << " id " << id;
      EXPECT_EQ(parser.Buffered(), 0u);
    }
  }
}

// Long noise is consumed without the buffer growing with it.
TEST(FrameParser, LongNoiseThenRequest) {
  FrameParser parser;
  const Bytes noise(100000, 0x41);
  Events events;
  parser.Append(noise.data(), noise.size());
  EXPECT_FALSE(parser.Next(events));
  EXPECT_EQ(events.size(), noise.size());
  EXPECT_EQ(parser.Buffered(), 0u);
  parser.Append(kRead.data(), kRead.size());
  EXPECT_TRUE(parser.Next(events));
}

TEST(CheckByte, IsSumModulo128) {
  EXPECT_EQ(CheckByte({0xFE}), 0x7E);
  EXPECT_EQ(CheckByte({0xFF, 0x5A, 0x00}), 0x59);
  EXPECT_EQ(CheckByte({0xFF, 0x5A, 0x1F}), 0x78);
  EXPECT_EQ(CheckByte({0xFF, 0x5A, 0xFF}), 0x58);
}

}  // namespace
}  // namespace boardsim
