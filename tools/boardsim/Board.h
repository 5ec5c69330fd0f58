// The simulated ZEFA-1 board without any I/O: a parser that finds the
// requests in the received byte stream, and the board that answers them
// under the fault modes in force. Both report what happened as log events,
// the log lines without their time stamps ("rx read fe 7e").
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Modes.h"

namespace boardsim {

using Bytes = std::vector<uint8_t>;
using Events = std::vector<std::string>;

constexpr uint8_t kReadCommand = 0xFE;
constexpr uint8_t kWriteCommand = 0xFF;
constexpr uint8_t kWriteMark = 0x5A;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kExtraByte = 0x55;

// The request's check byte: the sum of its bytes modulo 128.
uint8_t CheckByte(const Bytes& bytes);

// "07 07": two lower-case hex digits per byte.
std::string HexBytes(const Bytes& bytes);

// The log event of bytes that went out.
std::string TxEvent(const Bytes& bytes);

struct Frame {
  enum class Kind { Read, Write };
  Kind Type = Kind::Read;
  Bytes Raw;  // the whole request, check byte included
};

// Finds requests in a byte stream that may hold noise or damaged frames.
// A head byte that cannot begin a valid request is dropped alone, so the
// scan resynchronises on the very next byte: noise before a request, FE and
// FF included, never costs the request its answer.
class FrameParser {
 public:
  void Append(const uint8_t* data, size_t size);
  // The next complete request, with the noise and bad frames dropped
  // before it appended to events; nothing while the head may still grow
  // into a request.
  std::optional<Frame> Next(Events& events);
  size_t Buffered() const { return FBuffer.size() - FHead; }

 private:
  enum class Scan { Incomplete, Found, Dropped };
  Scan ScanHead(Frame& frame, Events& events);
  uint8_t At(size_t offset) const { return FBuffer[FHead + offset]; }
  void Consume(size_t count);

  Bytes FBuffer;
  size_t FHead = 0;  // bytes before it are consumed
};

// What the board sends for one request; empty when it stays silent.
struct Reply {
  Bytes Answer;
  int DelayMs = 0;  // to wait before the answer goes out as one block
};

class Board {
 public:
  // id: the ID of every board at start, as from the factory.
  explicit Board(uint8_t id) : FId(id), FFactoryId(id) {}

  // Replaces the modes and starts every counter afresh; an id= word sets
  // the ID of the board that board= puts on the line.
  void SetModes(const Modes& modes);
  const Modes& CurrentModes() const { return FModes; }
  // The ID of the board on the line (or last on it).
  uint8_t Id() const { return FId; }
  // Every board that has been on the line, by number, with its ID.
  std::map<int, uint8_t> BoardIds() const;

  // Acts on one request: appends its "rx" event and, when a mode swallows
  // the answer, a "drop" event saying why.
  Reply Handle(const Frame& frame, Events& events);

 private:
  // Counts the run of identical requests that from-attempt answers late;
  // false while the request is to go unanswered.
  bool PassesFromAttempt(const Frame& frame, const char* kind, Events& events);
  Bytes ReadAnswer() const;
  Bytes WriteAnswer(uint8_t requestedId);

  Modes FModes;
  uint8_t FId;
  const uint8_t FFactoryId;
  std::map<int, uint8_t> FOtherIds;  // the boards off the line, by number
  int FWritesAnswered = 0;  // since the modes took effect, for unplug-after-writes
  Bytes FRunRequest;  // the request that the current run repeats
  int FRunLength = 0;
  int FWritePass = 0;  // the pass of the last answered write: 1, 2, 3; 0 before any
  int FAnswered = 0;   // requests answered since the modes took effect
  uint8_t FSecondId = 0;  // the second board's ID, while there is one
};

}  // namespace boardsim
