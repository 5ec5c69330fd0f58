// The station over a scripted line and a scripted clock: boards come and go
// at set times, each request is recorded with the time it was sent, and no
// case depends on how fast the machine is.
#include "Station.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zefa::cli {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds ByteTimeout{30};
constexpr milliseconds ByteTime{1};

enum class Answers { Sound, Mismatch, RefuseWrites };

// From `from` on, board `number` is on the line (0: none).
struct Segment {
  milliseconds from;
  int number;
  Answers answers = Answers::Sound;
};

struct Request {
  milliseconds at;
  int board;  // the board on the line then, 0 for none
  std::string bytes;
};

class ScriptedClock : public StationClock {
 public:
  TimePoint Now() override { return FNow; }
  void SleepUntil(TimePoint then) override {
    if (then > FNow) FNow = then;
  }
  void Advance(milliseconds by) { FNow += by; }
  milliseconds Elapsed() const { return std::chrono::duration_cast<milliseconds>(FNow - TimePoint{}); }

 private:
  TimePoint FNow{};
};

// The boards behind the port, every one 0 from the factory. The script
// ends with the line as its last segment leaves it for good.
class ScriptedLine : public SerialLine {
 public:
  ScriptedLine(ScriptedClock& clock, std::vector<Segment> script) : FClock(clock), FScript(std::move(script)) {}

  void PurgeReceive() override { FPending.clear(); }

  bool SendString(const std::string& bytes) override {
    const Segment& now = Current();
    FRequests.push_back({FClock.Elapsed(), now.number, bytes});
    if (now.number == 0) return true;
    uint8_t& id = FIds[now.number];
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    if (bytes.size() == 2 && byte(0) == 0xFE) {
      FPending = {static_cast<char>(id), static_cast<char>(now.answers == Answers::Mismatch ? id + 1 : id)};
    } else if (bytes.size() == 4 && byte(0) == 0xFF) {
      if (now.answers == Answers::RefuseWrites) {
        FPending = {static_cast<char>(id), 0x15};
      } else {
        id = byte(2);
        FPending = {static_cast<char>(id), 0x06};
      }
    }
    return true;
  }

  LineRead ReadByte(uint8_t& byte) override {
    if (FPending.empty()) {
      FClock.Advance(ByteTimeout);
      return LineRead::Quiet;
    }
    FClock.Advance(ByteTime);
    byte = static_cast<uint8_t>(FPending.front());
    FPending.erase(0, 1);
    return LineRead::Byte;
  }

  const std::vector<Request>& Requests() const { return FRequests; }
  std::map<int, uint8_t> Ids() const { return FIds; }

  // The write requests that each board got.
  std::map<int, std::vector<int>> WritesByBoard() const {
    std::map<int, std::vector<int>> writes;
    for (const Request& r : FRequests) {
      if (r.bytes.size() == 4) writes[r.board].push_back(static_cast<uint8_t>(r.bytes[2]));
    }
    return writes;
  }

 private:
  const Segment& Current() const {
    const Segment* current = &FScript.front();
    for (const Segment& s : FScript) {
      if (s.from <= FClock.Elapsed()) current = &s;
    }
    return *current;
  }

  ScriptedClock& FClock;
  std::vector<Segment> FScript;
  std::map<int, uint8_t> FIds;
  std::string FPending;
  std::vector<Request> FRequests;
};

// The line itself stays the station's; what it opens is a handle on it.
class LinePorts : public SerialPorts {
 public:
  explicit LinePorts(SerialLine* line) : FLine(line) {}
  std::unique_ptr<SerialLine> Open(const std::string&, PortError& error) override {
    ++FOpens;
    if (!FLine) {
      error = {PortProblem::Missing, "No such file or directory"};
      return nullptr;
    }
    return std::make_unique<Handle>(*FLine);
  }
  std::vector<PortEntry> List() override { return {}; }
  std::vector<PortEntry> Expand(const std::vector<std::string>&) override { return {}; }
  int Opens() const { return FOpens; }

 private:
  class Handle : public SerialLine {
   public:
    explicit Handle(SerialLine& line) : FLine(line) {}
    void PurgeReceive() override { FLine.PurgeReceive(); }
    bool SendString(const std::string& bytes) override { return FLine.SendString(bytes); }
    LineRead ReadByte(uint8_t& byte) override { return FLine.ReadByte(byte); }

   private:
    SerialLine& FLine;
  };
  SerialLine* FLine;
  int FOpens = 0;
};

struct Recorded : StationEvents {
  void Waiting(int32_t position, int32_t id) override {
    events.push_back("wait " + std::to_string(position) + " " + std::to_string(id));
  }
  void Numbered(const StationBoard& board) override {
    boards.push_back(board);
    events.push_back("board " + StationBoardLine(board));
  }
  void Removed(const StationBoard& board) override { events.push_back("removed " + std::to_string(board.position)); }
  std::vector<std::string> events;
  std::vector<StationBoard> boards;
};

struct StationRun {
  StationSummary summary;
  Recorded recorded;
};

StationRun RunOn(ScriptedLine& line, ScriptedClock& clock, int32_t first, int32_t last) {
  LinePorts ports(&line);
  StationRun run;
  run.summary = RunStation(ports, "/dev/ttyUSB0", first, last, clock, run.recorded);
  EXPECT_EQ(ports.Opens(), 1) << "the port is held from the start to the end";
  return run;
}

milliseconds Seconds(double s) { return milliseconds(static_cast<int64_t>(s * 1000)); }

TEST(Station, NumbersBoardsOneAfterAnotherWithSilenceBetween) {
  ScriptedClock clock;
  ScriptedLine line(clock, {{Seconds(0), 0}, {Seconds(1), 1}, {Seconds(4), 0}, {Seconds(7), 2}, {Seconds(9), 0},
                            {Seconds(12), 3}});
  const StationRun run = RunOn(line, clock, 10, 12);
  EXPECT_EQ(run.recorded.events, (std::vector<std::string>{
                                     "wait 1 10", "board 1\t0\t10\t書込に成功しました", "removed 1",
                                     "wait 2 11", "board 2\t0\t11\t書込に成功しました", "removed 2",
                                     "wait 3 12", "board 3\t0\t12\t書込に成功しました"}));
  EXPECT_EQ(line.WritesByBoard(), (std::map<int, std::vector<int>>{{1, {10, 10, 10}}, {2, {11, 11, 11}},
                                                                  {3, {12, 12, 12}}}));
  EXPECT_EQ(line.Ids(), (std::map<int, uint8_t>{{1, 10}, {2, 11}, {3, 12}}));
  EXPECT_EQ(run.summary.exitCode, ExitSuccess);
  EXPECT_EQ(run.summary.numbered, (std::vector<int32_t>{10, 11, 12}));
  EXPECT_TRUE(run.summary.left.empty());
  EXPECT_FALSE(run.summary.interrupted);
}

// Without a board only reads go out, whole reads of ten attempts, one after
// another (each waits out twenty receive time-outs), and no more of them
// than four a second.
TEST(Station, PollsAnEmptyLineWithReadsOnly) {
  ScriptedClock clock;
  ScriptedLine line(clock, {{Seconds(0), 0}, {Seconds(5), 1}});
  RunOn(line, clock, 3, 3);
  size_t silent = 0;
  for (const Request& r : line.Requests()) {
    if (r.board != 0) break;
    ASSERT_EQ(r.bytes, "\xFE\x7E");
    ++silent;
  }
  // The board came during the last of them.
  const size_t reads = (silent + 9) / 10;
  EXPECT_GE(reads, 5u);
  EXPECT_LE(reads, 5u * 4 + 1);
}

// A connected board is read on and never written again, however long it
// stays; a short silence is not its removal.
TEST(Station, NeverWritesAgainToABoardThatStaysConnected) {
  ScriptedClock clock;
  ScriptedLine line(clock, {{Seconds(0), 1}, {Seconds(20), 0}, {Seconds(20.5), 1}, {Seconds(30), 0},
                            {Seconds(33), 2}});
  const StationRun run = RunOn(line, clock, 4, 5);
  EXPECT_EQ(line.WritesByBoard(), (std::map<int, std::vector<int>>{{1, {4, 4, 4}}, {2, {5, 5, 5}}}));
  // Board 1 was taken off for good at 30 s; the half second at 20 s was not enough.
  ASSERT_EQ(run.recorded.events.size(), 5u);
  EXPECT_EQ(run.recorded.events[2], "removed 1");
  int readsWhileConnected = 0;
  for (const Request& r : line.Requests()) {
    if (r.board == 1 && r.at > Seconds(1) && r.at < Seconds(20)) ++readsWhileConnected;
  }
  EXPECT_GE(readsWhileConnected, 19 * 3);
  EXPECT_LE(readsWhileConnected, 19 * 4 + 1);
}

TEST(Station, AFailedBoardKeepsItsIdAndTheNextBoardGetsTheNext) {
  ScriptedClock clock;
  ScriptedLine line(clock, {{Seconds(0), 1, Answers::RefuseWrites}, {Seconds(5), 0}, {Seconds(8), 2}});
  const StationRun run = RunOn(line, clock, 20, 21);
  EXPECT_EQ(line.WritesByBoard(), (std::map<int, std::vector<int>>{{1, {20}}, {2, {21, 21, 21}}}));
  ASSERT_EQ(run.recorded.boards.size(), 2u);
  const StationBoard& failed = run.recorded.boards[0];
  EXPECT_EQ((std::vector<std::optional<int32_t>>{failed.previousId, failed.currentId}),
            (std::vector<std::optional<int32_t>>{0, 0}));
  EXPECT_EQ(StationBoardLine(failed), "1\t0\t0\t通信に失敗しました ボードのIDが書き換わった可能性があります (ID 20 failed)");
  EXPECT_EQ(run.summary.failed, (std::vector<int32_t>{20}));
  EXPECT_EQ(run.summary.numbered, (std::vector<int32_t>{21}));
  EXPECT_EQ(run.summary.exitCode, ExitCommunicationFailed);
  EXPECT_EQ(StationSummaryLine(run.summary), "numbered 1 of 2; failed: 20; left: none");
}

// Two bytes that differ may be noise on an empty line: nothing is written
// until a read is answered in full. A board asking to be set again is one.
TEST(Station, OnlyAFullReadAnswerIsABoard) {
  ScriptedClock clock;
  ScriptedLine line(clock, {{Seconds(0), 1, Answers::Mismatch}, {Seconds(3), 0}, {Seconds(4), 2}});
  const StationRun run = RunOn(line, clock, 9, 9);
  EXPECT_EQ(line.WritesByBoard(), (std::map<int, std::vector<int>>{{2, {9, 9, 9}}}));
  EXPECT_EQ(run.summary.exitCode, ExitSuccess);
}

TEST(Station, APortThatCannotBeOpenedLeavesEveryId) {
  ScriptedClock clock;
  LinePorts ports(nullptr);
  Recorded recorded;
  const StationSummary summary = RunStation(ports, "/dev/ttyUSB9", 1, 3, clock, recorded);
  ASSERT_TRUE(summary.unavailable);
  EXPECT_EQ(summary.unavailable->command, "station");
  EXPECT_EQ(summary.unavailable->portError.problem, PortProblem::Missing);
  EXPECT_EQ(summary.exitCode, ExitPortUnavailable);
  EXPECT_EQ(summary.left, (std::vector<int32_t>{1, 2, 3}));
  EXPECT_TRUE(recorded.events.empty());
}

TEST(Station, IdListsCollapseRuns) {
  const struct {
    std::vector<int32_t> ids;
    const char* text;
  } cases[] = {
      {{}, "none"}, {{5}, "5"}, {{3, 4, 5}, "3-5"}, {{0, 2, 3, 31}, "0,2-3,31"}, {{1, 2, 4, 5, 6, 9}, "1-2,4-6,9"},
  };
  for (const auto& c : cases) EXPECT_EQ(IdListText(c.ids), c.text);
}

TEST(Station, JsonOfABoardCarriesTheWriteReport) {
  StationBoard board;
  board.position = 2;
  board.id = 11;
  board.previousId = 0;
  board.write.command = "write";
  board.write.port = "/dev/ttyUSB0";
  board.write.exitCode = ExitCommunicationFailed;
  board.write.outcome = "communication-failed";
  board.write.message = "通信に失敗しました";
  board.write.id = 11;
  const std::string json = StationBoardJson("/dev/ttyUSB0", board);
  EXPECT_EQ(json.rfind("{\"kind\":\"board\",\"command\":\"station\",\"port\":\"/dev/ttyUSB0\",\"board\":2,\"id\":11,"
                       "\"previous_id\":0,\"current_id\":null,\"exit\":4,\"outcome\":\"communication-failed\","
                       "\"message\":\"通信に失敗しました\",\"write\":{\"command\":\"write\",",
                       0),
            0u)
      << json;
  const PortReport log = StationLogReport("/dev/ttyUSB0", board);
  EXPECT_EQ((std::vector<std::string>{log.command, std::to_string(*log.id)}), (std::vector<std::string>{"station", "11"}));
}

}  // namespace
}  // namespace zefa::cli
