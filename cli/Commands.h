// The three commands over the board ID protocol of the window: the same
// frames, retries, three-pass write and outcome texts, run on a port that
// the platform opens and sets up as the window does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Report.h"
#include "SerialLine.h"
#include "board_port.h"

namespace zefa::cli {

struct PortEntry {
  std::string name;
  // Set when the port is listed as unusable without being opened (a
  // serial console, which a probe would disturb).
  PortError skip;
};

// The serial ports of the platform.
class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // The port opened for exclusive use and set up for the board, or nothing
  // with the reason in error. Closing it puts the port back as it was.
  virtual std::unique_ptr<SerialLine> Open(const std::string& port, PortError& error) = 0;
  // The machine's serial ports, in a stable order.
  virtual std::vector<PortEntry> List() = 0;
  // The ports that scan --ports names (patterns expanded where the
  // platform has them), in order.
  virtual std::vector<PortEntry> Expand(const std::vector<std::string>& names) = 0;
};

PortReport ReadBoard(SerialPorts& ports, const std::string& port);
// verify: read the ID back after a successful write.
PortReport WriteBoard(SerialPorts& ports, const std::string& port, int32_t id, bool verify);
// One read on the port, for scan.
PortReport ProbePort(SerialPorts& ports, const PortEntry& entry);

// Most bytes one wait for a quiet line takes in: a line that has not gone
// quiet by then carries something other than the board's answers.
constexpr int32_t QuietLineLimit = 32;

// Sits between the protocol and the port. Every attempt begins on a quiet
// line: what arrives is read and set aside until nothing comes within one
// receive time-out, so that an answer that came too late for its own
// attempt is never taken for a later request's, nor in a later run; bytes
// that follow a whole answer are counted as surplus. A byte that the line
// marked as received in error ends its attempt as one without an answer.
// It counts the requests, keeps the answers, and stops all traffic once an
// interrupt is requested.
class ExchangePort : public BoardPort {
 public:
  explicit ExchangePort(SerialLine& line) : FLine(line) {}

  void PurgeReceive() override;
  bool SendString(const std::string& bytes) override;
  int32_t ReceiveData(void* buffer, int32_t count) override;

  // After the last answer: waits for the line to go quiet and counts what
  // follows the answer as surplus.
  void Settle();

  int32_t Requests() const { return FRequests; }
  // What arrived since the last purge, that is in the last attempt.
  const std::string& LastAnswer() const { return FAnswer; }
  // Every whole answer, in order: each ended its transaction.
  const std::vector<std::string>& Answers() const { return FAnswers; }
  // Bytes that came after a whole answer, before the next attempt or the
  // end of the exchange.
  int32_t SurplusBytes() const { return FSurplus; }
  // The line did not go quiet within QuietLineLimit bytes; nothing more
  // was sent.
  bool LineNotQuiet() const { return FHeldBack; }

 private:
  enum class Quiet { Reached, NotReached, Failed };
  // Reads until nothing comes within one receive time-out; count: the
  // bytes read.
  Quiet WaitForQuiet(int32_t& count);

  SerialLine& FLine;
  int32_t FRequests = 0;
  std::string FAnswer;
  std::vector<std::string> FAnswers;
  bool FWholeAnswer = false;  // the last attempt's answer is complete
  bool FHeldBack = false;
  int32_t FSurplus = 0;
};

}  // namespace zefa::cli
