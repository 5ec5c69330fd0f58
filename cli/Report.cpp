#include "Report.h"

#include <cstdio>
#include <cstdlib>

#include "Commands.h"
#include "Json.h"
#include "message_tables.h"

namespace zefa::cli {
namespace {

// The window names ports "COM" and a number; its text follows that name.
const char WindowPortPrefix[] = "COM0";

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string OptionalNumber(const std::optional<int32_t>& value) {
  return value ? std::to_string(*value) : std::string();
}

JsonObject ReportObject(const PortReport& report) {
  JsonObject object;
  object.Add("command", report.command).Add("port", report.port).Add("exit", report.exitCode);
  object.Add("outcome", report.outcome).Add("message", report.message);
  if (report.portError.problem != PortProblem::None) {
    object.Add("reason", ProblemName(report.portError.problem)).Add("detail", report.portError.detail);
  }
  object.Add("id", report.id);
  if (report.command == "write") {
    object.Add("answer_id", report.answerId).AddBool("verify", report.verify);
    if (report.verify) object.Add("verified_id", report.verifiedId);
    object.Add("acknowledged_passes", report.acknowledgedPasses);
    object.AddBool("board_may_have_changed", report.boardMayHaveChanged);
  }
  object.Add("requests", report.requests).Add("surplus_bytes", report.surplusBytes);
  if (report.interrupted) object.AddBool("interrupted", true);
  return object;
}

const char* ScanStatus(const PortReport& report) {
  if (report.portError.problem != PortProblem::None) return "unavailable";
  return FoundBoard(report) ? "board" : "no-board";
}

}  // namespace

const char BoardMayHaveChangedText[] = "ボードのIDが書き換わった可能性があります";

const char* ProblemName(PortProblem problem) {
  switch (problem) {
    case PortProblem::None: return "none";
    case PortProblem::Missing: return "missing";
    case PortProblem::Busy: return "busy";
    case PortProblem::Denied: return "denied";
    case PortProblem::NotSerial: return "not-serial";
    case PortProblem::SettingsRefused: return "settings-refused";
    case PortProblem::Failed: break;
  }
  return "failed";
}

std::string ProblemText(const PortError& error) {
  std::string text = ProblemName(error.problem);
  if (!error.detail.empty()) text += ": " + error.detail;
  return text;
}

std::string PortUnusableMessage(const std::string& port) {
  const std::string windowText = PortUnusableText(0, LanguageJapanese);
  return port + windowText.substr(sizeof WindowPortPrefix - 1);
}

bool FoundBoard(const PortReport& report) {
  return report.exitCode == ExitSuccess || report.exitCode == ExitIdOutOfRange;
}

std::string MessageLine(const PortReport& report) {
  std::string line = report.message;
  if (report.portError.problem != PortProblem::None) line += " (" + ProblemText(report.portError) + ")";
  if (report.interrupted) line += " (interrupted)";
  if (report.boardMayHaveChanged) line += std::string(" ") + BoardMayHaveChangedText;
  return line;
}

std::string LineWarnings(const PortReport& report) {
  std::string text;
  if (report.surplusBytes > 0) {
    text += "zefa1id: warning: " + report.port + ": " + std::to_string(report.surplusBytes) +
            (report.surplusBytes == 1 ? " byte" : " bytes") +
            " came after the board's answer: is another device on the line (a second board, an echo)?\n";
  }
  if (report.lineNotQuiet) {
    text += "zefa1id: warning: " + report.port + ": the line did not go quiet (" +
            std::to_string(QuietLineLimit) + " bytes without a pause); nothing more was sent\n";
  }
  return text;
}

std::string ScanLine(const PortReport& report) {
  const std::string id = FoundBoard(report) && report.id ? std::to_string(*report.id) : "-";
  return report.port + "\t" + id + "\t" + MessageLine(report);
}

int ScanExitCode(const std::vector<PortReport>& reports) {
  bool opened = false;
  for (const auto& report : reports) {
    if (FoundBoard(report)) return ExitSuccess;
    if (report.portError.problem == PortProblem::None) opened = true;
  }
  return opened ? ExitCommunicationFailed : ExitPortUnavailable;
}

std::string ListLine(const PortReport& report) {
  if (report.portError.problem == PortProblem::None) return report.port;
  return report.port + "\t-\t" + MessageLine(report);
}

std::string ListJson(const std::vector<PortReport>& reports, int exitCode) {
  std::vector<JsonObject> ports;
  for (const auto& report : reports) {
    JsonObject entry;
    entry.Add("port", report.port);
    if (report.portError.problem == PortProblem::None) {
      entry.Add("status", "listed");
    } else {
      entry.Add("status", "unavailable").Add("message", report.message);
      entry.Add("reason", ProblemName(report.portError.problem)).Add("detail", report.portError.detail);
    }
    ports.push_back(entry);
  }
  return JsonObject().Add("command", "scan").Add("exit", exitCode).AddBool("list", true).Add("ports", ports).Text();
}

std::string ReportJson(const PortReport& report) {
  return ReportObject(report).Text();
}

std::string ScanJson(const std::vector<PortReport>& reports, int exitCode, bool interrupted) {
  std::vector<JsonObject> ports;
  for (const auto& report : reports) {
    JsonObject entry = ReportObject(report);
    entry.Add("status", ScanStatus(report));
    ports.push_back(entry);
  }
  JsonObject object;
  object.Add("command", "scan").Add("exit", exitCode).Add("ports", ports);
  if (interrupted) object.AddBool("interrupted", true);
  return object.Text();
}

std::string UsageJson(const std::string& error) {
  return JsonObject().Add("exit", ExitUsage).Add("outcome", "usage").Add("message", error).Text();
}

std::string FormatTimestamp(const LocalTime& time) {
  const int offset = std::abs(time.offsetMinutes);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", time.year, time.month,
                time.day, time.hour, time.minute, time.second, time.millisecond,
                time.offsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return text;
}

std::string CsvHeader() {
  return "time,port,command,id,outcome,exit";
}

std::string CsvLine(const std::string& timestamp, const PortReport& report) {
  return CsvField(timestamp) + "," + CsvField(report.port) + "," + CsvField(report.command) + "," +
         OptionalNumber(report.id) + "," + CsvField(MessageLine(report)) + "," +
         std::to_string(report.exitCode);
}

}  // namespace zefa::cli
