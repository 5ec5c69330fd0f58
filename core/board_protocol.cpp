#include "board_protocol.h"

#include "message_tables.h"

namespace zefa {
namespace {

constexpr int32_t WritePasses = 3;
constexpr int32_t HighestId = 31;

const char* const CommunicationFailedText = "通信に失敗しました";

char LowByte(int32_t value) {
  return static_cast<char>(static_cast<uint8_t>(value & 0xFF));
}

int32_t ByteValue(char byte) {
  return static_cast<uint8_t>(byte);
}

// Reads single bytes into answer until expectedLength arrived or a read
// gives nothing; returns the count received.
int32_t ReceiveAnswer(BoardPort& port, std::string& answer, int32_t expectedLength) {
  int32_t received = 0;
  answer.clear();
  while (received < expectedLength) {
    char byte = 0;
    if (port.ReceiveData(&byte, 1) <= 0) break;
    ++received;
    answer.push_back(byte);
  }
  return received;
}

void ShowOutcome(MessageBoxSink& box, uint8_t kind, const std::string& text, int32_t language) {
  box.MsgBox(kind, ButtonsOk, 0, language, text);
}

// Only an ID the list can show is selected.
ReadOutcome ReadBoardId(BoardPort& port, IdList& idList) {
  int32_t attempts = MaxAttempts;
  int32_t id = -1;
  if (!ReadId(port, attempts, id)) return ReadOutcome::CommunicationFailed;
  if (id < 0 || id > HighestId) return ReadOutcome::SetAgain;
  idList.SetItemIndex(id);
  return ReadOutcome::Completed;
}

// The selection is read afresh for every pass, as the user may change it
// while a pass waits; only the third answer's ID is compared, with the
// selection as it is then.
WriteOutcome WriteBoardId(BoardPort& port, const IdList& idList) {
  int32_t id = 0;
  for (int32_t pass = 0; pass < WritePasses; ++pass) {
    id = idList.ItemIndex();
    int32_t attempts = MaxAttempts;
    if (!WriteId(port, attempts, id)) return WriteOutcome::CommunicationFailed;
  }
  return idList.ItemIndex() == id ? WriteOutcome::Succeeded : WriteOutcome::WriteFailed;
}

}  // namespace

void AppendChecksum(std::string& request) {
  uint32_t sum = 0;
  for (char byte : request) sum += static_cast<uint8_t>(byte);
  request.push_back(static_cast<char>(sum % 128));
}

void Transact(BoardPort& port, const std::string& request, std::string& answer,
              int32_t expectedLength, int32_t& attempts, int32_t& receivedLength) {
  // A limit below one would never be reached and retry forever.
  const int32_t limit = attempts < 1 ? 1 : attempts;
  attempts = 0;
  do {
    port.PurgeReceive();
    port.SendString(request);  // an unsent request shows as a missing answer
    receivedLength = ReceiveAnswer(port, answer, expectedLength);
    ++attempts;
  } while (attempts < limit && receivedLength < expectedLength);
}

bool ReadId(BoardPort& port, int32_t& attempts, int32_t& id) {
  std::string request(1, LowByte(ReadIdCommand));
  AppendChecksum(request);
  std::string answer;
  int32_t received = 0;
  Transact(port, request, answer, AnswerLength, attempts, received);
  if (received != AnswerLength) return false;
  id = ByteValue(answer[0]);
  return answer[1] == answer[0];
}

bool WriteId(BoardPort& port, int32_t& attempts, int32_t& id) {
  std::string request{LowByte(WriteIdCommand), static_cast<char>(WriteIdMarker), LowByte(id)};
  AppendChecksum(request);
  std::string answer;
  int32_t received = 0;
  Transact(port, request, answer, AnswerLength, attempts, received);
  if (received != AnswerLength) return false;
  id = ByteValue(answer[0]);
  return ByteValue(answer[1]) == Ack;
}

std::string OutcomeText(ReadOutcome outcome) {
  switch (outcome) {
    case ReadOutcome::Completed: return "読み取り完了";
    case ReadOutcome::SetAgain: return "再設定を行ってください";
    case ReadOutcome::CommunicationFailed: break;
  }
  return CommunicationFailedText;
}

std::string OutcomeText(WriteOutcome outcome) {
  switch (outcome) {
    case WriteOutcome::Succeeded: return "書込に成功しました";
    case WriteOutcome::WriteFailed: return "書込に失敗しました";
    case WriteOutcome::CommunicationFailed: break;
  }
  return CommunicationFailedText;
}

uint8_t OutcomeKind(ReadOutcome outcome) {
  return outcome == ReadOutcome::Completed ? KindInformation : KindError;
}

uint8_t OutcomeKind(WriteOutcome outcome) {
  return outcome == WriteOutcome::Succeeded ? KindInformation : KindError;
}

ReadOutcome ReadProcedure(BoardPort& port, IdList& idList, MessageBoxSink& box, int32_t language) {
  const ReadOutcome outcome = ReadBoardId(port, idList);
  ShowOutcome(box, OutcomeKind(outcome), OutcomeText(outcome), language);
  return outcome;
}

WriteOutcome WriteProcedure(BoardPort& port, IdList& idList, MessageBoxSink& box, int32_t language) {
  const WriteOutcome outcome = WriteBoardId(port, idList);
  ShowOutcome(box, OutcomeKind(outcome), OutcomeText(outcome), language);
  return outcome;
}

// Marks the exchange busy for its lifetime, however the procedure ends.
class BoardExchange::BusyScope {
 public:
  explicit BusyScope(bool& busy) : FBusy(busy) { FBusy = true; }
  ~BusyScope() { FBusy = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& FBusy;
};

std::optional<ReadOutcome> BoardExchange::Read(BoardPort& port, IdList& idList, MessageBoxSink& box,
                                               int32_t language) {
  if (FBusy) return std::nullopt;
  BusyScope scope(FBusy);
  return ReadProcedure(port, idList, box, language);
}

std::optional<WriteOutcome> BoardExchange::Write(BoardPort& port, IdList& idList,
                                                 MessageBoxSink& box, int32_t language) {
  if (FBusy) return std::nullopt;
  BusyScope scope(FBusy);
  return WriteProcedure(port, idList, box, language);
}

}  // namespace zefa
