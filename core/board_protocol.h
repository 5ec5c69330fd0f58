// The board ID protocol: request frames with their check byte, the
// request/answer transaction with retries, the read and the three-pass
// write, and the outcome that each button press reports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "board_port.h"

namespace zefa {

constexpr int32_t MaxAttempts = 10;
constexpr int32_t ReadIdCommand = 0xFE;
constexpr int32_t WriteIdCommand = 0xFF;

// Second byte of every write request ('Z') and of an accepted write answer.
constexpr uint8_t WriteIdMarker = 0x5A;
constexpr uint8_t Ack = 0x06;

// Length of both answers.
constexpr int32_t AnswerLength = 2;

// Appends the sum of all bytes, modulo 128.
void AppendChecksum(std::string& request);

// Runs up to `attempts` attempts (at least one, whatever is passed): each
// purges the input, sends the whole request and reads single bytes until
// expectedLength arrived or a read gives 0 or less. The first attempt that
// gets expectedLength bytes ends the transaction, whatever their values.
// On return: answer and receivedLength describe the last attempt, attempts
// is the number of attempts made.
void Transact(BoardPort& port, const std::string& request, std::string& answer,
              int32_t expectedLength, int32_t& attempts, int32_t& receivedLength);

// True when two equal bytes arrived; id becomes byte 0 (0 to 255) whenever
// two bytes arrived, and is left alone otherwise.
bool ReadId(BoardPort& port, int32_t& attempts, int32_t& id);

// Sends the low 8 bits of id. True when two bytes arrived and byte 1 is
// ACK; id becomes byte 0 whenever two bytes arrived.
bool WriteId(BoardPort& port, int32_t& attempts, int32_t& id);

enum class ReadOutcome { CommunicationFailed, Completed, SetAgain };
enum class WriteOutcome { CommunicationFailed, WriteFailed, Succeeded };

// The message and kind of each outcome, shown by the window and printed by
// the command-line tool.
std::string OutcomeText(ReadOutcome outcome);
std::string OutcomeText(WriteOutcome outcome);
uint8_t OutcomeKind(ReadOutcome outcome);
uint8_t OutcomeKind(WriteOutcome outcome);

// The read button: reads the ID, selects it in idList when it is 0 to 31,
// and ends in exactly one message box.
ReadOutcome ReadProcedure(BoardPort& port, IdList& idList, MessageBoxSink& box, int32_t language);

// The write button: three acknowledged writes of the selected index (read
// afresh at every pass), the third answer's ID compared with the selection
// read once more; ends in exactly one message box.
WriteOutcome WriteProcedure(BoardPort& port, IdList& idList, MessageBoxSink& box, int32_t language);

// Lets one exchange with the board run at a time. Reading a byte services
// the user interface, so a button can be pressed again while its own or the
// other procedure waits; such a press must not start a transaction whose
// purge would end the pending read. The whole procedure, its message box
// included, counts as under way.
class BoardExchange {
 public:
  BoardExchange() = default;
  BoardExchange(const BoardExchange&) = delete;
  BoardExchange& operator=(const BoardExchange&) = delete;

  // The outcome, or nothing when the press was ignored because an exchange
  // was already under way (nothing sent, no message shown).
  std::optional<ReadOutcome> Read(BoardPort& port, IdList& idList, MessageBoxSink& box,
                                  int32_t language);
  std::optional<WriteOutcome> Write(BoardPort& port, IdList& idList, MessageBoxSink& box,
                                    int32_t language);

  bool Busy() const { return FBusy; }

 private:
  class BusyScope;

  bool FBusy = false;
};

}  // namespace zefa
