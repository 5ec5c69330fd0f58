#include "Commands.h"

#include <optional>

#include "Interrupt.h"
#include "board_protocol.h"
#include "message_tables.h"

namespace zefa::cli {
namespace {

constexpr int32_t NoSelection = -1;
constexpr int32_t MessageBoxOk = 1;

// The window's ID list, reduced to its selection.
class SelectedId : public IdList {
 public:
  explicit SelectedId(int32_t index) : FIndex(index) {}
  int32_t ItemIndex() const override { return FIndex; }
  void SetItemIndex(int32_t index) override { FIndex = index; }

 private:
  int32_t FIndex;
};

// Keeps the one message that a procedure ends with instead of showing it.
class CapturedMessage : public MessageBoxSink {
 public:
  int32_t MsgBox(uint8_t, uint8_t, int32_t, int32_t, const std::string& text) override {
    FText = text;
    return MessageBoxOk;
  }
  const std::string& Text() const { return FText; }

 private:
  std::string FText;
};

struct ReadResult {
  ReadOutcome outcome;
  std::string message;
  std::optional<int32_t> id;
};

PortReport NewReport(const std::string& command, const std::string& port) {
  PortReport report;
  report.command = command;
  report.port = port;
  return report;
}

PortReport Unavailable(PortReport report, const PortError& error) {
  report.exitCode = ExitPortUnavailable;
  report.outcome = "port-unavailable";
  report.message = PortUnusableMessage(report.port);
  report.portError = error;
  return report;
}

// Byte 0 of a complete answer in the last attempt.
std::optional<int32_t> AnswerId(const ExchangePort& port) {
  const std::string& answer = port.LastAnswer();
  if (answer.size() < static_cast<size_t>(AnswerLength)) return std::nullopt;
  return static_cast<uint8_t>(answer[0]);
}

ReadResult RunRead(ExchangePort& port) {
  SelectedId list(NoSelection);
  CapturedMessage box;
  const ReadOutcome outcome = ReadProcedure(port, list, box, LanguageJapanese);
  std::optional<int32_t> id;
  if (outcome != ReadOutcome::CommunicationFailed) id = AnswerId(port);
  return {outcome, box.Text(), id};
}

void SetOutcome(PortReport& report, int exitCode, const char* outcome, const std::string& message) {
  report.exitCode = exitCode;
  report.outcome = outcome;
  report.message = message;
}

void ApplyRead(PortReport& report, const ReadResult& read) {
  report.id = read.id;
  switch (read.outcome) {
    case ReadOutcome::Completed: return SetOutcome(report, ExitSuccess, "completed", read.message);
    case ReadOutcome::SetAgain: return SetOutcome(report, ExitIdOutOfRange, "set-again", read.message);
    case ReadOutcome::CommunicationFailed: break;
  }
  SetOutcome(report, ExitCommunicationFailed, "communication-failed", read.message);
}

void ApplyWrite(PortReport& report, WriteOutcome outcome, const std::string& message) {
  switch (outcome) {
    case WriteOutcome::Succeeded: return SetOutcome(report, ExitSuccess, "succeeded", message);
    case WriteOutcome::WriteFailed: return SetOutcome(report, ExitWriteFailed, "write-failed", message);
    case WriteOutcome::CommunicationFailed: break;
  }
  SetOutcome(report, ExitCommunicationFailed, "communication-failed", message);
}

// A read-back that cannot be completed is a communication failure; one that
// shows another ID, 32 to 255 included, fails the write.
void VerifyWrite(PortReport& report, ExchangePort& port, int32_t id) {
  const ReadResult read = RunRead(port);
  report.verifiedId = read.id;
  if (read.outcome == ReadOutcome::CommunicationFailed) {
    return SetOutcome(report, ExitCommunicationFailed, "communication-failed", read.message);
  }
  if (read.outcome == ReadOutcome::Completed && read.id == id) return;
  SetOutcome(report, ExitWriteFailed, "verify-failed", OutcomeText(WriteOutcome::WriteFailed));
}

// The passes of a write whose answer the board acknowledged: each pass
// ends with one whole answer, and a refusal ends the write.
int32_t AcknowledgedPasses(const std::vector<std::string>& answers) {
  int32_t passes = 0;
  for (const std::string& answer : answers) {
    if (static_cast<uint8_t>(answer[1]) == Ack) ++passes;
  }
  return passes;
}

void Finish(PortReport& report, const ExchangePort& port) {
  report.requests = port.Requests();
  report.surplusBytes = port.SurplusBytes();
  report.lineNotQuiet = port.LineNotQuiet();
  // A stop request makes the exchange fail; one that came after the board's
  // last answer did not cut it short. A run cut short reports the status
  // that the process ends with.
  report.interrupted = report.exitCode == ExitCommunicationFailed && Interrupted();
  if (report.interrupted) report.exitCode = InterruptedExitStatus(InterruptSignal());
}

PortReport ReadOnPort(SerialPorts& ports, const std::string& portName, const std::string& command) {
  PortReport report = NewReport(command, portName);
  PortError error;
  const std::unique_ptr<SerialLine> port = ports.Open(portName, error);
  if (!port) return Unavailable(report, error);
  ExchangePort exchange(*port);
  ApplyRead(report, RunRead(exchange));
  exchange.Settle();
  Finish(report, exchange);
  return report;
}

}  // namespace

void ExchangePort::PurgeReceive() {
  if (!FHeldBack) {
    int32_t arrived = 0;
    if (WaitForQuiet(arrived) == Quiet::NotReached) FHeldBack = true;
    // After an attempt without a whole answer, they are its late bytes.
    if (FWholeAnswer) FSurplus += arrived;
  }
  FAnswer.clear();
  FWholeAnswer = false;
  FLine.PurgeReceive();
}

bool ExchangePort::SendString(const std::string& bytes) {
  if (Interrupted() || FHeldBack) return false;
  ++FRequests;
  return FLine.SendString(bytes);
}

int32_t ExchangePort::ReceiveData(void* buffer, int32_t count) {
  if (Interrupted() || FHeldBack || buffer == nullptr || count < 1) return -1;
  uint8_t byte = 0;
  switch (FLine.ReadByte(byte)) {
    case LineRead::Byte: break;
    case LineRead::Marked: return 0;  // no answer; the rest of it goes with the next quiet wait
    case LineRead::Quiet: return 0;
    case LineRead::Failed: return -1;
  }
  *static_cast<uint8_t*>(buffer) = byte;
  FAnswer.push_back(static_cast<char>(byte));
  if (FAnswer.size() == static_cast<size_t>(AnswerLength)) {
    FWholeAnswer = true;
    FAnswers.push_back(FAnswer);
  }
  return 1;
}

void ExchangePort::Settle() {
  if (!FWholeAnswer || FHeldBack) return;
  int32_t arrived = 0;
  WaitForQuiet(arrived);
  FSurplus += arrived;
  FWholeAnswer = false;
}

ExchangePort::Quiet ExchangePort::WaitForQuiet(int32_t& count) {
  count = 0;
  for (;;) {
    if (Interrupted()) return Quiet::Failed;
    uint8_t byte = 0;
    switch (FLine.ReadByte(byte)) {
      case LineRead::Quiet: return Quiet::Reached;
      case LineRead::Failed: return Quiet::Failed;
      case LineRead::Byte:
      case LineRead::Marked: break;
    }
    if (++count >= QuietLineLimit) return Quiet::NotReached;
  }
}

PortReport ReadBoard(SerialPorts& ports, const std::string& port) {
  return ReadOnPort(ports, port, "read");
}

PortReport WriteBoard(SerialPorts& ports, const std::string& portName, int32_t id, bool verify) {
  PortReport report = NewReport("write", portName);
  report.id = id;
  report.verify = verify;
  PortError error;
  const std::unique_ptr<SerialLine> port = ports.Open(portName, error);
  if (!port) return Unavailable(report, error);

  ExchangePort exchange(*port);
  SelectedId list(id);
  CapturedMessage box;
  const WriteOutcome outcome = WriteProcedure(exchange, list, box, LanguageJapanese);
  const int32_t writeRequests = exchange.Requests();
  report.acknowledgedPasses = AcknowledgedPasses(exchange.Answers());
  report.answerId = AnswerId(exchange);  // a refusal reports an ID too
  ApplyWrite(report, outcome, box.Text());
  if (outcome == WriteOutcome::Succeeded && verify) VerifyWrite(report, exchange, id);
  exchange.Settle();
  Finish(report, exchange);
  // A request on the line may have been taken, whatever came back.
  report.boardMayHaveChanged = writeRequests > 0 && report.exitCode != ExitSuccess;
  return report;
}

PortReport ProbePort(SerialPorts& ports, const PortEntry& entry) {
  if (entry.skip.problem == PortProblem::None) return ReadOnPort(ports, entry.name, "scan");
  PortReport report = Unavailable(NewReport("scan", entry.name), entry.skip);
  report.skipped = true;
  return report;
}

}  // namespace zefa::cli
