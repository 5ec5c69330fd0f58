// One command of a session: words separated by blanks; a word in double
// quotes may hold blanks, with \" and \\ for a quote and a backslash inside.
// Texts are UTF-8 throughout.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace uidriver {

// A command the driver cannot carry out; its text is the result's error.
class DriverError : public std::runtime_error {
 public:
  explicit DriverError(const std::string& message) : std::runtime_error(message) {}
};

// Splits a command line into its words; raises DriverError for a quote
// that is never closed. An empty line gives no words.
std::vector<std::string> SplitCommand(const std::string& line);

// A decimal integer with an optional sign, the whole word; raises
// DriverError naming what the word was meant to be.
long ParseInteger(const std::string& word, const char* what);

}  // namespace uidriver
