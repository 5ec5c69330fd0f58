// zefa1id: reads and sets the ID of a ZEFA-1 board from the command line,
// with the window's protocol, outcomes and texts, and exit codes for
// scripts.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "Help.h"
#include "Interrupt.h"
#include "Platform.h"
#include "Report.h"
#include "StationConsole.h"

#ifndef ZEFA_VERSION
#define ZEFA_VERSION "unknown"
#endif

namespace zefa::cli {
namespace {

// Writes each report to the log, when there is one.
class ReportLog {
 public:
  bool Open(const std::string& path, std::string& error) {
    if (path.empty()) return true;
    FFile = AppendFile::Open(path, error);
    if (!FFile) error = "cannot open the log file \"" + path + "\": " + error;
    return FFile != nullptr;
  }

  // A failed log line does not change the board's outcome, which has
  // happened; it is reported so that nobody counts on the line.
  void Write(const PortReport& report) {
    if (!FFile || report.skipped) return;
    std::string error;
    if (!FFile->Append(CsvHeader(), CsvLine(FormatTimestamp(CurrentLocalTime()), report), error)) {
      WriteErr("zefa1id: the log line was not written: " + error + "\n");
    }
  }

 private:
  std::unique_ptr<AppendFile> FFile;
};

struct RunResult {
  int exitCode;
  bool cutShort;  // a stop request ended the work early
};

int UsageFailure(const std::string& error, bool json) {
  if (json) {
    WriteOut(UsageJson(error) + "\n");
  } else {
    WriteErr(UsageError(error));
  }
  return ExitUsage;
}

void Show(const PortReport& report, bool json) {
  WriteErr(LineWarnings(report));
  if (json) return WriteOut(ReportJson(report) + "\n");
  if (report.command == "read" && report.exitCode == ExitSuccess) WriteOut(std::to_string(*report.id) + "\n");
  WriteErr(MessageLine(report) + "\n");
}

RunResult RunOne(const PortReport& report, ReportLog& log, bool json) {
  log.Write(report);
  Show(report, json);
  return {report.exitCode, report.interrupted};
}

std::vector<PortEntry> ScanTargets(SerialPorts& ports, const Options& options) {
  return options.ports.empty() ? ports.List() : ports.Expand(options.ports);
}

RunResult ListPorts(const std::vector<PortEntry>& entries, bool json) {
  std::vector<PortReport> reports;
  for (const auto& entry : entries) {
    PortReport report;
    report.command = "scan";
    report.port = entry.name;
    report.portError = entry.skip;
    if (entry.skip.problem != PortProblem::None) report.message = PortUnusableMessage(entry.name);
    reports.push_back(report);
  }
  const int exitCode = entries.empty() ? ExitPortUnavailable : ExitSuccess;
  if (json) {
    WriteOut(ListJson(reports, exitCode) + "\n");
  } else {
    for (const auto& report : reports) WriteOut(ListLine(report) + "\n");
    if (entries.empty()) WriteErr("no serial port found\n");
  }
  return {exitCode, false};
}

RunResult Scan(SerialPorts& ports, const Options& options, ReportLog& log) {
  const std::vector<PortEntry> entries = ScanTargets(ports, options);
  if (options.listOnly) return ListPorts(entries, options.json);
  std::vector<PortReport> reports;
  for (const auto& entry : entries) {
    if (Interrupted()) break;
    reports.push_back(ProbePort(ports, entry));
    log.Write(reports.back());
    WriteErr(LineWarnings(reports.back()));
    if (!options.json) WriteOut(ScanLine(reports.back()) + "\n");
  }
  // A board found before a stop does not make a scan that left ports out
  // a success; it ends with the status of the stop.
  const bool cutShort = reports.size() < entries.size() ||
                        std::any_of(reports.begin(), reports.end(), [](const PortReport& r) { return r.interrupted; });
  const int exitCode = cutShort ? InterruptedExitStatus(InterruptSignal()) : ScanExitCode(reports);
  if (options.json) WriteOut(ScanJson(reports, exitCode, cutShort) + "\n");
  if (!options.json && entries.empty()) WriteErr("no serial port found\n");
  return {exitCode, cutShort};
}

RunResult Run(const std::vector<std::string>& args) {
  const ParsedArguments parsed = ParseArguments(args, NativePortSyntax());
  if (!parsed.error.empty()) return {UsageFailure(parsed.error, AsksForJson(args)), false};
  const Options& options = parsed.options;
  if (options.command == Command::Help) {
    WriteOut(HelpText(NativePortSyntax()));
    return {ExitSuccess, false};
  }
  if (options.command == Command::Version) {
    WriteOut(std::string("zefa1id ") + ZEFA_VERSION + "\n");
    return {ExitSuccess, false};
  }

  // The log is opened before the board is touched: a run whose record
  // cannot be kept does not start.
  ReportLog log;
  std::string error;
  if (!log.Open(options.logPath, error)) return {UsageFailure(error, options.json), false};

  const std::unique_ptr<SerialPorts> ports = MakeSerialPorts();
  switch (options.command) {
    case Command::Read: return RunOne(ReadBoard(*ports, options.port), log, options.json);
    case Command::Write:
      return RunOne(WriteBoard(*ports, options.port, options.id, options.verify), log, options.json);
    case Command::Scan: return Scan(*ports, options, log);
    case Command::Station: {
      const StationSummary summary =
          RunStationConsole(*ports, options, [&log](const PortReport& report) { log.Write(report); });
      return {summary.exitCode, summary.interrupted};
    }
    case Command::Help:
    case Command::Version: break;
  }
  return {ExitUsage, false};
}

}  // namespace
}  // namespace zefa::cli

int main(int argc, char** argv) {
  using namespace zefa::cli;
  PlatformSession session;
  const RunResult result = Run(CommandLineArguments(argc, argv));
  if (result.cutShort) ExitInterrupted(InterruptSignal());
  return result.exitCode;
}
