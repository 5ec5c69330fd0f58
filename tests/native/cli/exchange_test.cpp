// The commands over a scripted line with a clock of its own: late answers,
// bytes one at a time, surplus bytes and bytes marked as received in
// error, each at an exact moment, so that every case is the same on any
// machine.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "SerialLine.h"
#include "board_protocol.h"

namespace zefa::cli {
namespace {

// Microseconds on the line's own clock.
using Micros = int64_t;
constexpr Micros Ms = 1000;
constexpr Micros ReceiveTimeout = 30 * Ms;
// One byte at 115200 baud.
constexpr Micros ByteTime = 87;

struct Arrival {
  Micros at;
  uint8_t byte;
  bool marked;
};

// What the board sends for one request: bytes, each after a delay from
// the request (or, with Marked, received in error).
struct Reply {
  struct Part {
    Micros delay;
    std::vector<uint8_t> bytes;
    bool marked;
  };
  std::vector<Part> parts;

  Reply& Send(std::vector<uint8_t> bytes, Micros delay = 1 * Ms) {
    parts.push_back({delay, std::move(bytes), false});
    return *this;
  }
  Reply& SendMarked(std::vector<uint8_t> bytes, Micros delay = 1 * Ms) {
    parts.push_back({delay, std::move(bytes), true});
    return *this;
  }
};

Reply Answer(std::vector<uint8_t> bytes, Micros delay = 1 * Ms) {
  return Reply().Send(std::move(bytes), delay);
}
Reply Silence() {
  return Reply();
}

// A line whose clock moves only by what the reader waits: a read returns
// the next byte when it arrives within the receive time-out, else waits
// the whole time-out. Each request takes the next reply of the script; a
// script used up is silence. A purge drops what has arrived by then.
class ScriptedLine : public SerialLine {
 public:
  explicit ScriptedLine(std::vector<Reply> replies) : FReplies(replies.begin(), replies.end()) {}

  // Bytes on their way before the port was opened, such as a previous
  // run's late answer.
  void ArriveAt(Micros at, std::vector<uint8_t> bytes) {
    for (uint8_t byte : bytes) {
      Queue({at, byte, false});
      at += ByteTime;
    }
  }

  void PurgeReceive() override {
    while (!FQueue.empty() && FQueue.front().at <= FNow) FQueue.pop_front();
  }

  bool SendString(const std::string& bytes) override {
    FRequests.push_back(bytes);
    const Reply reply = FReplies.empty() ? Silence() : FReplies.front();
    if (!FReplies.empty()) FReplies.pop_front();
    for (const Reply::Part& part : reply.parts) {
      Micros at = FNow + part.delay;
      for (uint8_t byte : part.bytes) {
        Queue({at, byte, part.marked});
        at += ByteTime;
      }
    }
    return true;
  }

  LineRead ReadByte(uint8_t& byte) override {
    if (FQueue.empty() || FQueue.front().at > FNow + ReceiveTimeout) {
      FNow += ReceiveTimeout;
      ++FTimeouts;
      return LineRead::Quiet;
    }
    const Arrival next = FQueue.front();
    FQueue.pop_front();
    if (next.at > FNow) FNow = next.at;
    byte = next.byte;
    return next.marked ? LineRead::Marked : LineRead::Byte;
  }

  Micros Now() const { return FNow; }
  int Timeouts() const { return FTimeouts; }
  const std::vector<std::string>& Requests() const { return FRequests; }

 private:
  // Bytes leave the board in the order they were sent; a later reply's
  // bytes cannot overtake an earlier one's.
  void Queue(Arrival arrival) {
    if (!FQueue.empty() && arrival.at < FQueue.back().at) arrival.at = FQueue.back().at + ByteTime;
    FQueue.push_back(arrival);
  }

  std::deque<Reply> FReplies;
  std::deque<Arrival> FQueue;
  std::vector<std::string> FRequests;
  Micros FNow = 0;
  int FTimeouts = 0;
};

// Hands out the test's line, as the platform hands out an opened port.
class LinePorts : public SerialPorts {
 public:
  explicit LinePorts(ScriptedLine* line) : FLine(line) {}

  std::unique_ptr<SerialLine> Open(const std::string&, PortError& error) override {
    if (FLine == nullptr) {
      error = {PortProblem::Missing, "no such port"};
      return nullptr;
    }
    return std::unique_ptr<SerialLine>(new Borrowed(*FLine));
  }
  std::vector<PortEntry> List() override { return {}; }
  std::vector<PortEntry> Expand(const std::vector<std::string>&) override { return {}; }

 private:
  class Borrowed : public SerialLine {
   public:
    explicit Borrowed(SerialLine& line) : FLine(line) {}
    void PurgeReceive() override { FLine.PurgeReceive(); }
    bool SendString(const std::string& bytes) override { return FLine.SendString(bytes); }
    LineRead ReadByte(uint8_t& byte) override { return FLine.ReadByte(byte); }

   private:
    SerialLine& FLine;
  };

  ScriptedLine* FLine;
};

const std::string ReadRequest = "\xFE\x7E";

std::string WriteRequest(uint8_t id) {
  return std::string{'\xFF', '\x5A', static_cast<char>(id), static_cast<char>((0xFF + 0x5A + id) % 128)};
}

std::vector<Reply> Repeat(const Reply& reply, size_t count) {
  return std::vector<Reply>(count, reply);
}

std::vector<Reply> Concat(std::vector<Reply> a, const std::vector<Reply>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

PortReport Read(ScriptedLine& line) {
  LinePorts ports(&line);
  return ReadBoard(ports, "line");
}

PortReport Write(ScriptedLine& line, uint8_t id, bool verify = false) {
  LinePorts ports(&line);
  return WriteBoard(ports, "line", static_cast<int32_t>(id), verify);
}

const std::vector<uint8_t> Ack12 = {12, Ack};
const Micros Late = 35 * Ms;  // beyond the receive time-out, within a quiet wait

// The fault as the window's protocol meets it: with nothing waiting for a
// quiet line, the first request's late answer is taken for the second's.
TEST(ScriptedLine, LandsALateAnswerInTheNextAttemptOfThePlainProtocol) {
  class Plain : public BoardPort {
   public:
    explicit Plain(SerialLine& line) : FLine(line) {}
    void PurgeReceive() override { FLine.PurgeReceive(); }
    bool SendString(const std::string& bytes) override { return FLine.SendString(bytes); }
    int32_t ReceiveData(void* buffer, int32_t) override {
      uint8_t byte = 0;
      if (FLine.ReadByte(byte) != LineRead::Byte) return 0;
      *static_cast<uint8_t*>(buffer) = byte;
      return 1;
    }

   private:
    SerialLine& FLine;
  };
  ScriptedLine line(Repeat(Answer({5, 5}, Late), 10));
  Plain plain(line);
  int32_t attempts = MaxAttempts;
  int32_t id = -1;
  EXPECT_TRUE(ReadId(plain, attempts, id));
  EXPECT_EQ(attempts, 2);
}

TEST(Exchange, ALateAnswerFailsItsAttemptAndIsNeverTakenForALaterOne) {
  const struct {
    const char* name;
    std::vector<Reply> replies;
    int exitCode;
    std::optional<int32_t> id;
    int32_t requests;
  } cases[] = {
      {"every answer late", Repeat(Answer({5, 5}, Late), 10), ExitCommunicationFailed, std::nullopt, 10},
      {"late, then on time", {Answer({5, 5}, Late), Answer({7, 7})}, ExitSuccess, 7, 2},
      {"late by far less than a second time-out", {Answer({5, 5}, 55 * Ms), Answer({7, 7})}, ExitSuccess, 7, 2},
      {"the second byte late", {Reply().Send({5}).Send({5}, 40 * Ms), Answer({7, 7})}, ExitSuccess, 7, 2},
      {"bytes one at a time, each in time", {Reply().Send({9}, 20 * Ms).Send({9}, 45 * Ms)}, ExitSuccess, 9, 1},
      {"an answer on the tenth attempt", Concat(Repeat(Answer({5, 5}, Late), 9), {Answer({7, 7})}), ExitSuccess,
       7, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedLine line(c.replies);
    const PortReport report = Read(line);
    EXPECT_EQ(report.exitCode, c.exitCode);
    EXPECT_EQ(report.id, c.id);
    EXPECT_EQ(report.requests, c.requests);
    EXPECT_EQ(report.surplusBytes, 0);
    EXPECT_EQ(line.Requests(), std::vector<std::string>(static_cast<size_t>(c.requests), ReadRequest));
  }
}

TEST(Exchange, BytesLeftOnTheLineBeforeTheRunAreNotItsAnswer) {
  // A previous run's late answer, still on its way when this run opens the
  // port: as when the next board of a batch has just been connected.
  ScriptedLine line({Answer({3, 3})});
  line.ArriveAt(10 * Ms, {6, Ack});
  const PortReport read = Read(line);
  EXPECT_EQ(read.exitCode, ExitSuccess);
  EXPECT_EQ(read.id, 3);
  EXPECT_EQ(read.requests, 1);

  ScriptedLine board(Repeat(Answer(Ack12), 3));
  board.ArriveAt(5 * Ms, {7, 7});  // the late answer of a read before the write
  const PortReport write = Write(board, 12);
  EXPECT_EQ(write.exitCode, ExitSuccess);
  EXPECT_EQ(write.acknowledgedPasses, 3);
  EXPECT_EQ(write.surplusBytes, 0);
  EXPECT_EQ(board.Requests(), std::vector<std::string>(3, WriteRequest(12)));
}

TEST(Exchange, VerifyDoesNotReadALateAcknowledgementBack) {
  const std::vector<Reply> replies = {Answer(Ack12), Answer(Ack12), Answer(Ack12, Late), Answer(Ack12),
                                      Answer({12, 12})};
  ScriptedLine line(replies);
  const PortReport report = Write(line, 12, true);
  EXPECT_EQ(report.exitCode, ExitSuccess);
  EXPECT_EQ(report.verifiedId, 12);
  EXPECT_EQ(report.requests, 5);
  EXPECT_EQ(line.Requests().back(), ReadRequest);
}

TEST(Exchange, SurplusBytesAreCountedAndTheOutcomeStays) {
  {
    ScriptedLine line({Reply().Send({7, 7}).Send({7, 7}, 2 * Ms)});  // a second board
    const PortReport report = Read(line);
    EXPECT_EQ(report.exitCode, ExitSuccess);
    EXPECT_EQ(report.id, 7);
    EXPECT_EQ(report.surplusBytes, 2);
  }
  {
    // An echo after every answer, the verify read's included.
    const Reply echoed = Reply().Send(Ack12).Send({0x55}, 3 * Ms);
    ScriptedLine line({echoed, echoed, echoed, Reply().Send({12, 12}).Send({0x55}, 3 * Ms)});
    const PortReport report = Write(line, 12, true);
    EXPECT_EQ(report.exitCode, ExitSuccess);
    EXPECT_EQ(report.surplusBytes, 4);
    EXPECT_FALSE(report.boardMayHaveChanged);
  }
  {
    // Late bytes of an attempt without an answer are no surplus.
    ScriptedLine line({Answer({5, 5}, Late), Answer({7, 7})});
    EXPECT_EQ(Read(line).surplusBytes, 0);
  }
}

TEST(Exchange, AMarkedByteCountsAsNoAnswerAndIsTriedAgain) {
  const struct {
    const char* name;
    Reply first;
  } cases[] = {
      {"a BREAK and a NUL", Reply().SendMarked({0}).Send({0})},
      {"two BREAKs", Reply().SendMarked({0, 0})},
      {"a framing error in the second byte", Reply().Send({7}).SendMarked({7})},
      {"a parity error in the first byte", Reply().SendMarked({7}).Send({7})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedLine line({c.first, Answer({7, 7})});
    const PortReport report = Read(line);
    EXPECT_EQ(report.exitCode, ExitSuccess);
    EXPECT_EQ(report.id, 7);
    EXPECT_EQ(report.requests, 2);
  }
  ScriptedLine line(Repeat(Reply().SendMarked({0, 0}), 10));
  const PortReport report = Read(line);
  EXPECT_EQ(report.exitCode, ExitCommunicationFailed);
  EXPECT_EQ(report.id, std::nullopt);
  EXPECT_EQ(report.requests, 10);
}

TEST(Exchange, AWriteSaysHowManyPassesTheBoardAcknowledged) {
  const std::vector<Reply> silent = Repeat(Silence(), 10);
  const struct {
    const char* name;
    std::vector<Reply> replies;
    bool verify;
    int exitCode;
    int32_t passes;
    bool mayHaveChanged;
  } cases[] = {
      {"pass 1 unanswered", silent, false, ExitCommunicationFailed, 0, true},
      {"pass 2 unanswered", Concat({Answer(Ack12)}, silent), false, ExitCommunicationFailed, 1, true},
      {"pass 3 unanswered", Concat({Answer(Ack12), Answer(Ack12)}, silent), false, ExitCommunicationFailed, 2,
       true},
      {"pass 2 refused", {Answer(Ack12), Answer({7, 0x15})}, false, ExitCommunicationFailed, 1, true},
      {"pass 3 late every time", Concat({Answer(Ack12), Answer(Ack12)}, Repeat(Answer(Ack12, Late), 10)), false,
       ExitCommunicationFailed, 2, true},
      {"another ID in pass 3", {Answer(Ack12), Answer(Ack12), Answer({9, Ack})}, false, ExitWriteFailed, 3, true},
      {"read back unanswered", Concat(Repeat(Answer(Ack12), 3), silent), true, ExitCommunicationFailed, 3, true},
      {"read back another ID", Concat(Repeat(Answer(Ack12), 3), {Answer({9, 9})}), true, ExitWriteFailed, 3,
       true},
      {"succeeded", Repeat(Answer(Ack12), 3), false, ExitSuccess, 3, false},
      {"succeeded and read back", Concat(Repeat(Answer(Ack12), 3), {Answer({12, 12})}), true, ExitSuccess, 3,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedLine line(c.replies);
    const PortReport report = Write(line, 12, c.verify);
    EXPECT_EQ(report.exitCode, c.exitCode);
    EXPECT_EQ(report.acknowledgedPasses, c.passes);
    EXPECT_EQ(report.boardMayHaveChanged, c.mayHaveChanged);
    EXPECT_FALSE(report.interrupted);
  }

  LinePorts none(nullptr);
  const PortReport unavailable = WriteBoard(none, "gone", 12, false);
  EXPECT_EQ(unavailable.exitCode, ExitPortUnavailable);
  EXPECT_EQ(unavailable.acknowledgedPasses, 0);
  EXPECT_FALSE(unavailable.boardMayHaveChanged);
}

TEST(Exchange, EveryAttemptWaitsOneTimeOutForAQuietLine) {
  // A silent board: each of the ten attempts waits for a quiet line and
  // then for its answer.
  ScriptedLine silent({});
  Read(silent);
  EXPECT_EQ(silent.Timeouts(), 2 * MaxAttempts);
  EXPECT_EQ(silent.Now(), 2 * MaxAttempts * ReceiveTimeout);

  // A board that answers: one wait before the request, one after the answer.
  ScriptedLine board({Answer({7, 7})});
  Read(board);
  EXPECT_EQ(board.Timeouts(), 2);
}

TEST(Exchange, ALineThatNeverGoesQuietGetsNoRequest) {
  ScriptedLine line({});
  for (int i = 0; i < 1000; ++i) line.ArriveAt(i * Ms, {0x41});
  const PortReport report = Read(line);
  EXPECT_EQ(report.exitCode, ExitCommunicationFailed);
  EXPECT_EQ(report.requests, 0);
  EXPECT_TRUE(report.lineNotQuiet);
  EXPECT_TRUE(line.Requests().empty());
  EXPECT_LE(line.Now(), QuietLineLimit * Ms);  // one wait, never ten
}

}  // namespace
}  // namespace zefa::cli
