#include "CommandLine.h"

#include <cerrno>
#include <cstdlib>

namespace uidriver {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads a quoted word starting after its opening quote; returns the
// position after the closing quote.
size_t ReadQuoted(const std::string& line, size_t pos, std::string& word) {
  while (pos < line.size()) {
    const char c = line[pos++];
    if (c == '"') return pos;
    if (c == '\\' && pos < line.size() && (line[pos] == '"' || line[pos] == '\\')) {
      word += line[pos++];
    } else {
      word += c;
    }
  }
  throw DriverError("unclosed quote in command");
}

}  // namespace

std::vector<std::string> SplitCommand(const std::string& line) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (true) {
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos >= line.size()) return words;
    std::string word;
    // A word may join quoted and plain parts, as a shell's does: a"b c"d.
    while (pos < line.size() && !IsBlank(line[pos])) {
      if (line[pos] == '"') {
        pos = ReadQuoted(line, pos + 1, word);
      } else {
        word += line[pos++];
      }
    }
    words.push_back(word);
  }
}

long ParseInteger(const std::string& word, const char* what) {
  if (word.empty()) throw DriverError(std::string("expected a number for ") + what);
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(word.c_str(), &end, 10);
  if (errno != 0 || end == word.c_str() || *end != '\0') {
    throw DriverError(std::string("not a number for ") + what + ": " + word);
  }
  return value;
}

}  // namespace uidriver
