// What one read, write or scan probe found, its exit code, and how it is
// written: a text line, a JSON object, a CSV log line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zefa::cli {

enum ExitCode : int {
  ExitSuccess = 0,
  ExitUsage = 2,
  ExitPortUnavailable = 3,
  ExitCommunicationFailed = 4,
  ExitIdOutOfRange = 5,
  ExitWriteFailed = 6,
};

// Why a port could not be used.
enum class PortProblem { None, Missing, Busy, Denied, NotSerial, SettingsRefused, Failed };

struct PortError {
  PortProblem problem = PortProblem::None;
  std::string detail;  // in the system's words
};

// "missing", "busy", ...: the reason as scripts see it.
const char* ProblemName(PortProblem problem);
// "busy: another program is using the port"
std::string ProblemText(const PortError& error);

// The window's text for a port it cannot use ("COM3は使用できません"), with
// any port name in place of COMn.
std::string PortUnusableMessage(const std::string& port);

struct PortReport {
  std::string command;  // "read", "write" or "scan"
  std::string port;
  int exitCode = ExitCommunicationFailed;
  std::string outcome;  // "completed", "set-again", ...: the outcome names of --help
  std::string message;  // the text the window shows for this outcome
  PortError portError;  // why the port could not be used (exit 3)
  std::optional<int32_t> id;          // read: the ID reported; write: the ID written
  std::optional<int32_t> answerId;    // write: the ID in the board's last complete answer
  std::optional<int32_t> verifiedId;  // write --verify: the ID read back
  bool verify = false;
  int32_t requests = 0;  // requests sent to the board, retries included
  int32_t acknowledgedPasses = 0;    // write: passes whose answer was an ACK, 0 to 3
  bool boardMayHaveChanged = false;  // write: a request went out and the write did not succeed
  int32_t surplusBytes = 0;          // bytes that followed the board's answers
  bool lineNotQuiet = false;         // the line never went quiet; requests were held back
  bool interrupted = false;
  bool skipped = false;  // scan: listed as unusable without being opened
};

// A board answered: scan lists the port as one with a board.
bool FoundBoard(const PortReport& report);

// Said, in the window's language, of a write that may have changed the
// board's ID without succeeding.
extern const char BoardMayHaveChangedText[];

// The message with the reason for an unusable port, a note when the run
// was interrupted, and the sentence above when it applies.
std::string MessageLine(const PortReport& report);

// The warnings about the line for standard error ("zefa1id: warning: ...",
// one line each), or nothing.
std::string LineWarnings(const PortReport& report);

// Scan: "PORT<TAB>ID or -<TAB>message".
std::string ScanLine(const PortReport& report);
// 0 when a board answered on some port, 4 when ports opened but none had a
// board, 3 when no port could be opened or none was there.
int ScanExitCode(const std::vector<PortReport>& reports);

// scan --list: "PORT", or "PORT<TAB>-<TAB>message" for a port listed as
// unusable.
std::string ListLine(const PortReport& report);

std::string ReportJson(const PortReport& report);
std::string ListJson(const std::vector<PortReport>& reports, int exitCode);
// interrupted: a stop request cut the scan short.
std::string ScanJson(const std::vector<PortReport>& reports, int exitCode, bool interrupted);
std::string UsageJson(const std::string& error);

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
  int offsetMinutes;  // east of UTC
};

// ISO 8601 with milliseconds and the UTC offset: 2024-05-01T09:30:05.123+09:00
std::string FormatTimestamp(const LocalTime& time);

std::string CsvHeader();
std::string CsvLine(const std::string& timestamp, const PortReport& report);

}  // namespace zefa::cli
