// The fault modes of the simulated board, and their words as they appear
// on the command line (--mode) and in the control file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace boardsim {

// The defaults are a sound board.
struct Modes {
  bool Silent = false;        // no request is answered
  bool OneByte = false;       // only the first byte of each answer goes out
  int FromAttempt = 1;        // the Nth identical request in a row is answered
  bool RefuseWrites = false;  // write answer "id 15"; the ID stays
  bool ReadMismatch = false;  // read answer "id id+1"
  int Extra = 0;              // bytes of 0x55 sent after each answer
  std::optional<uint8_t> ReportId;   // read answers report this ID
  std::optional<uint8_t> WriteEcho;  // write answers report this ID ...
  int WriteEchoPass = 0;             // ... on this pass (1 to 3); 0: always
  int DelayMs = 0;                   // wait before answering
  int Answers = 0;                   // only this many requests are answered; 0: no limit
  std::optional<uint8_t> SecondBoard;  // a second board of this ID answers after the first
  std::optional<uint8_t> Id;         // the board's ID, set as the modes take effect
  // Which board is on the line; each keeps its own ID while another is.
  int BoardNumber = 1;
  bool Removed = false;       // no board on the line: nothing is answered
  int UnplugAfterWrites = 0;  // removed once it has answered this many writes; 0: never
};

// Applies one word ("silent", "extra=2", ...) to modes. On error returns
// false with a one-line reason and leaves modes as they were.
bool ApplyModeWord(const std::string& word, Modes& modes, std::string& error);

// Applies every word of a text: words are separated by white space, and
// '#' starts a comment that runs to the end of its line. All or nothing:
// on error modes is left as it was.
bool ApplyModeText(const std::string& text, Modes& modes, std::string& error);

// The modes as words in a fixed order, or "normal" when none is set.
std::string DescribeModes(const Modes& modes);

// Follows the successive contents of the control file. Only a change
// counts, so that re-reading an unchanged file has no effect; a missing
// file counts as an empty one, and the tracker starts at empty.
class ControlTracker {
 public:
  enum class Change { None, Applied, Rejected };
  // Applied: modes holds the new content's modes, taken from the defaults.
  // Rejected: error says why; modes is untouched.
  Change Update(const std::string& content, Modes& modes, std::string& error);

 private:
  std::string FLast;
};

}  // namespace boardsim
