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

void Finish(PortReport& report, const ExchangePort& port) {
  report.requests = port.Requests();
  // A stop request that came after a success did not cut the exchange short.
  report.interrupted = report.exitCode != ExitSuccess && Interrupted();
}

PortReport ReadOnPort(SerialPorts& ports, const std::string& portName, const std::string& command) {
  PortReport report = NewReport(command, portName);
  PortError error;
  const std::unique_ptr<BoardPort> port = ports.Open(portName, error);
  if (!port) return Unavailable(report, error);
  ExchangePort exchange(*port);
  ApplyRead(report, RunRead(exchange));
  Finish(report, exchange);
  return report;
}

}  // namespace

void ExchangePort::PurgeReceive() {
  FAnswer.clear();
  FPort.PurgeReceive();
}

bool ExchangePort::SendString(const std::string& bytes) {
  if (Interrupted()) return false;
  ++FRequests;
  return FPort.SendString(bytes);
}

int32_t ExchangePort::ReceiveData(void* buffer, int32_t count) {
  if (Interrupted()) return -1;
  const int32_t received = FPort.ReceiveData(buffer, count);
  if (received > 0) FAnswer.append(static_cast<const char*>(buffer), static_cast<size_t>(received));
  return received;
}

PortReport ReadBoard(SerialPorts& ports, const std::string& port) {
  return ReadOnPort(ports, port, "read");
}

PortReport WriteBoard(SerialPorts& ports, const std::string& portName, int32_t id, bool verify) {
  PortReport report = NewReport("write", portName);
  report.id = id;
  report.verify = verify;
  PortError error;
  const std::unique_ptr<BoardPort> port = ports.Open(portName, error);
  if (!port) return Unavailable(report, error);

  ExchangePort exchange(*port);
  SelectedId list(id);
  CapturedMessage box;
  const WriteOutcome outcome = WriteProcedure(exchange, list, box, LanguageJapanese);
  report.answerId = AnswerId(exchange);  // a refusal reports an ID too
  ApplyWrite(report, outcome, box.Text());
  if (outcome == WriteOutcome::Succeeded && verify) VerifyWrite(report, exchange, id);
  Finish(report, exchange);
  return report;
}

PortReport ProbePort(SerialPorts& ports, const PortEntry& entry) {
  if (entry.skip.problem == PortProblem::None) return ReadOnPort(ports, entry.name, "scan");
  PortReport report = Unavailable(NewReport("scan", entry.name), entry.skip);
  report.skipped = true;
  return report;
}

}  // namespace zefa::cli
