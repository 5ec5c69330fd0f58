// What differs between the POSIX and the Windows build: the command line,
// the console, the clock, the log file, the serial ports and how a stop
// request (Ctrl+C, SIGTERM) is caught and ends the process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "Report.h"

namespace zefa::cli {

// Sets the process up for the run (stop-request handlers; on Windows the
// application object that the serial component needs) and undoes it.
class PlatformSession {
 public:
  PlatformSession();
  ~PlatformSession();
  PlatformSession(const PlatformSession&) = delete;
  PlatformSession& operator=(const PlatformSession&) = delete;

 private:
  struct State;
  std::unique_ptr<State> FState;
};

// The arguments after the program's name, in UTF-8.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

PortSyntax NativePortSyntax();

// UTF-8 text with "\n" line ends, to standard output and standard error.
void WriteOut(const std::string& text);
void WriteErr(const std::string& text);

LocalTime CurrentLocalTime();

// A file that lines are only ever appended to.
class AppendFile {
 public:
  // Creates the file when it is missing; nothing when it cannot be opened
  // for appending, with the reason in error.
  static std::unique_ptr<AppendFile> Open(const std::string& path, std::string& error);
  virtual ~AppendFile() = default;
  // Appends the line, preceded by the header when the file is empty, in
  // one write under a lock, so that concurrent runs never mix their lines.
  virtual bool Append(const std::string& header, const std::string& line, std::string& error) = 0;
};

std::unique_ptr<SerialPorts> MakeSerialPorts();

// Ends the process as a stop request ends it on this platform.
[[noreturn]] void ExitInterrupted(int signal);

}  // namespace zefa::cli
