#include "Board.h"

namespace boardsim {
namespace {

constexpr size_t kReadLength = 2;
constexpr size_t kWriteLength = 4;

// Consumed bytes are dropped from the buffer only once they are this many,
// so that a long run of noise does not move the buffer once per byte.
constexpr size_t kCompactThreshold = 4096;

}  // namespace

uint8_t CheckByte(const Bytes& bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<uint8_t>(sum % 128);
}

std::string HexBytes(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::string TxEvent(const Bytes& bytes) { return "tx " + HexBytes(bytes); }

void FrameParser::Append(const uint8_t* data, size_t size) {
  FBuffer.insert(FBuffer.end(), data, data + size);
}

std::optional<Frame> FrameParser::Next(Events& events) {
  Frame frame;
  for (;;) {
    switch (ScanHead(frame, events)) {
      case Scan::Incomplete:
        return std::nullopt;
      case Scan::Found:
        return frame;
      case Scan::Dropped:
        break;
    }
  }
}

FrameParser::Scan FrameParser::ScanHead(Frame& frame, Events& events) {
  const size_t available = Buffered();
  if (available == 0) return Scan::Incomplete;

  const uint8_t head = At(0);
  if (head != kReadCommand && head != kWriteCommand) {
    events.push_back("rx noise " + HexBytes({head}));
    Consume(1);
    return Scan::Dropped;
  }
  if (available < 2) return Scan::Incomplete;

  auto dropBad = [&](size_t seen) {
    events.push_back("rx bad " + HexBytes(Bytes(FBuffer.begin() + FHead,
                                                 FBuffer.begin() + FHead + seen)));
    Consume(1);
    return Scan::Dropped;
  };

  if (head == kReadCommand) {
    if (At(1) != CheckByte({kReadCommand})) return dropBad(kReadLength);
    frame = {Frame::Kind::Read, {At(0), At(1)}};
    Consume(kReadLength);
    return Scan::Found;
  }

  if (At(1) != kWriteMark) return dropBad(2);
  if (available < kWriteLength) return Scan::Incomplete;
  if (At(3) != CheckByte({At(0), At(1), At(2)})) return dropBad(kWriteLength);
  frame = {Frame::Kind::Write, {At(0), At(1), At(2), At(3)}};
  Consume(kWriteLength);
  return Scan::Found;
}

void FrameParser::Consume(size_t count) {
  FHead += count;
  if (FHead == FBuffer.size()) {
    FBuffer.clear();
    FHead = 0;
  } else if (FHead >= kCompactThreshold) {
    FBuffer.erase(FBuffer.begin(), FBuffer.begin() + FHead);
    FHead = 0;
  }
}

void Board::SetModes(const Modes& modes) {
  if (modes.BoardNumber != FModes.BoardNumber) {
    FOtherIds[FModes.BoardNumber] = FId;
    const auto known = FOtherIds.find(modes.BoardNumber);
    FId = known == FOtherIds.end() ? FFactoryId : known->second;
    if (known != FOtherIds.end()) FOtherIds.erase(known);
  }
  FModes = modes;
  if (modes.Id) FId = *modes.Id;
  FRunRequest.clear();
  FRunLength = 0;
  FWritePass = 0;
  FWritesAnswered = 0;
  FAnswered = 0;
  if (modes.SecondBoard) FSecondId = *modes.SecondBoard;
}

std::map<int, uint8_t> Board::BoardIds() const {
  std::map<int, uint8_t> ids = FOtherIds;
  ids[FModes.BoardNumber] = FId;
  return ids;
}

Reply Board::Handle(const Frame& frame, Events& events) {
  const bool isRead = frame.Type == Frame::Kind::Read;
  const char* kind = isRead ? "read" : "write";
  events.push_back(std::string("rx ") + kind + " " + HexBytes(frame.Raw));

  // The write passes are counted within one write procedure; a read
  // request shows that a new one may follow.
  if (isRead) FWritePass = 0;

  // A request to a line without a board reaches no board at all.
  const bool unplugged = FModes.UnplugAfterWrites != 0 && FWritesAnswered >= FModes.UnplugAfterWrites;
  if (FModes.Removed || unplugged) {
    events.push_back(std::string("drop ") + kind + " (removed)");
    return {};
  }
  if (FModes.Silent) {
    events.push_back(std::string("drop ") + kind + " (silent)");
    return {};
  }
  if (!PassesFromAttempt(frame, kind, events)) return {};
  if (FModes.Answers != 0 && FAnswered >= FModes.Answers) {
    events.push_back(std::string("drop ") + kind + " (answers " + std::to_string(FModes.Answers) + ")");
    return {};
  }
  ++FAnswered;

  Reply reply;
  reply.Answer = isRead ? ReadAnswer() : WriteAnswer(frame.Raw[2]);
  if (FModes.OneByte) reply.Answer.resize(1);
  if (FModes.SecondBoard) {
    // It takes a write as the first board does, and answers right after it.
    if (!isRead) FSecondId = frame.Raw[2];
    reply.Answer.push_back(FSecondId);
    reply.Answer.push_back(isRead ? FSecondId : kAck);
  }
  reply.Answer.insert(reply.Answer.end(), static_cast<size_t>(FModes.Extra), kExtraByte);
  reply.DelayMs = FModes.DelayMs;
  return reply;
}

bool Board::PassesFromAttempt(const Frame& frame, const char* kind, Events& events) {
  if (FModes.FromAttempt <= 1) return true;
  if (frame.Raw == FRunRequest) {
    ++FRunLength;
  } else {
    FRunRequest = frame.Raw;
    FRunLength = 1;
  }
  if (FRunLength < FModes.FromAttempt) {
    events.push_back(std::string("drop ") + kind + " (from-attempt " +
                     std::to_string(FRunLength) + "/" + std::to_string(FModes.FromAttempt) + ")");
    return false;
  }
  // The answer ends the run: the next identical request starts a new one.
  FRunRequest.clear();
  FRunLength = 0;
  return true;
}

Bytes Board::ReadAnswer() const {
  const uint8_t id = FModes.ReportId.value_or(FId);
  return {id, static_cast<uint8_t>(FModes.ReadMismatch ? id + 1 : id)};
}

Bytes Board::WriteAnswer(uint8_t requestedId) {
  FWritePass = FWritePass % 3 + 1;
  ++FWritesAnswered;
  if (FModes.RefuseWrites) return {FId, kNak};
  FId = requestedId;
  const bool echo = FModes.WriteEcho && (FModes.WriteEchoPass == 0 || FModes.WriteEchoPass == FWritePass);
  return {echo ? *FModes.WriteEcho : FId, kAck};
}

}  // namespace boardsim
