#include "Modes.h"

#include <sstream>
#include <vector>

namespace boardsim {
namespace {

// Decimal, or hexadecimal after "0x"; nothing else, so that "010" is ten
// and "7x" is refused instead of read as 7.
bool ParseNumber(const std::string& text, long min, long max, long& value) {
  int base = 10;
  size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  if (start == text.size()) return false;
  long result = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    result = result * base + digit;
    if (result > max) return false;
  }
  if (result < min) return false;
  value = result;
  return true;
}

struct NumberMode {
  const char* Name;
  long Min;
  long Max;
  void (*Set)(Modes&, long);
};

const NumberMode kNumberModes[] = {
    {"from-attempt", 1, 1000000, [](Modes& m, long v) { m.FromAttempt = static_cast<int>(v); }},
    {"extra", 0, 4096, [](Modes& m, long v) { m.Extra = static_cast<int>(v); }},
    {"report-id", 0, 255, [](Modes& m, long v) { m.ReportId = static_cast<uint8_t>(v); }},
    {"write-echo", 0, 255, [](Modes& m, long v) { m.WriteEcho = static_cast<uint8_t>(v); }},
    {"delay", 0, 60000, [](Modes& m, long v) { m.DelayMs = static_cast<int>(v); }},
    {"id", 0, 255, [](Modes& m, long v) { m.Id = static_cast<uint8_t>(v); }},
    {"board", 1, 255, [](Modes& m, long v) { m.BoardNumber = static_cast<int>(v); }},
    {"unplug-after-writes", 1, 1000000, [](Modes& m, long v) { m.UnplugAfterWrites = static_cast<int>(v); }},
    {"answers", 1, 1000000, [](Modes& m, long v) { m.Answers = static_cast<int>(v); }},
    {"second-board", 0, 255, [](Modes& m, long v) { m.SecondBoard = static_cast<uint8_t>(v); }},
};

struct FlagMode {
  const char* Name;
  bool Modes::*Flag;
};

const FlagMode kFlagModes[] = {
    {"silent", &Modes::Silent},
    {"one-byte", &Modes::OneByte},
    {"refuse-writes", &Modes::RefuseWrites},
    {"read-mismatch", &Modes::ReadMismatch},
    {"removed", &Modes::Removed},
};

bool ApplyWritePass(const std::string& value, Modes& modes) {
  if (value == "always") {
    modes.WriteEchoPass = 0;
    return true;
  }
  long pass;
  if (!ParseNumber(value, 1, 3, pass)) return false;
  modes.WriteEchoPass = static_cast<int>(pass);
  return true;
}

}  // namespace

bool ApplyModeWord(const std::string& word, Modes& modes, std::string& error) {
  const size_t eq = word.find('=');
  const std::string name = word.substr(0, eq);
  const bool hasValue = eq != std::string::npos;
  const std::string value = hasValue ? word.substr(eq + 1) : std::string();

  // A word of its own, so that a control file can say "no fault" and
  // still differ from an empty one.
  if (word == "normal") return true;

  for (const FlagMode& mode : kFlagModes) {
    if (name != mode.Name) continue;
    if (hasValue) {
      error = "mode \"" + name + "\" takes no value: \"" + word + "\"";
      return false;
    }
    modes.*mode.Flag = true;
    return true;
  }
  for (const NumberMode& mode : kNumberModes) {
    if (name != mode.Name) continue;
    long number;
    if (!hasValue || !ParseNumber(value, mode.Min, mode.Max, number)) {
      error = "mode \"" + name + "\" needs a number from " + std::to_string(mode.Min) + " to " +
              std::to_string(mode.Max) + ": \"" + word + "\"";
      return false;
    }
    mode.Set(modes, number);
    return true;
  }
  if (name == "write-echo-pass") {
    if (!hasValue || !ApplyWritePass(value, modes)) {
      error = "mode \"write-echo-pass\" needs 1, 2, 3 or always: \"" + word + "\"";
      return false;
    }
    return true;
  }
  error = "unknown mode \"" + word + "\"";
  return false;
}

bool ApplyModeText(const std::string& text, Modes& modes, std::string& error) {
  Modes result = modes;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string word;
    while (words >> word) {
      if (!ApplyModeWord(word, result, error)) return false;
    }
  }
  modes = result;
  return true;
}

std::string DescribeModes(const Modes& modes) {
  std::vector<std::string> words;
  for (const FlagMode& mode : kFlagModes) {
    if (modes.*mode.Flag) words.push_back(mode.Name);
  }
  if (modes.FromAttempt != 1) words.push_back("from-attempt=" + std::to_string(modes.FromAttempt));
  if (modes.Extra != 0) words.push_back("extra=" + std::to_string(modes.Extra));
  if (modes.ReportId) words.push_back("report-id=" + std::to_string(*modes.ReportId));
  if (modes.WriteEcho) {
    words.push_back("write-echo=" + std::to_string(*modes.WriteEcho));
    words.push_back("write-echo-pass=" +
                    (modes.WriteEchoPass == 0 ? std::string("always")
                                              : std::to_string(modes.WriteEchoPass)));
  }
  if (modes.DelayMs != 0) words.push_back("delay=" + std::to_string(modes.DelayMs));
  if (modes.Id) words.push_back("id=" + std::to_string(*modes.Id));
  if (modes.BoardNumber != 1) words.push_back("board=" + std::to_string(modes.BoardNumber));
  if (modes.UnplugAfterWrites != 0) {
    words.push_back("unplug-after-writes=" + std::to_string(modes.UnplugAfterWrites));
  }
  if (modes.Answers != 0) words.push_back("answers=" + std::to_string(modes.Answers));
  if (modes.SecondBoard) words.push_back("second-board=" + std::to_string(*modes.SecondBoard));
  if (words.empty()) return "normal";
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

ControlTracker::Change ControlTracker::Update(const std::string& content, Modes& modes,
                                              std::string& error) {
  if (content == FLast) return Change::None;
  FLast = content;
  Modes fresh;
  if (!ApplyModeText(content, fresh, error)) return Change::Rejected;
  modes = fresh;
  return Change::Applied;
}

}  // namespace boardsim
