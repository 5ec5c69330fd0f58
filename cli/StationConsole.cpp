#include "StationConsole.h"

#include "Platform.h"

namespace zefa::cli {
namespace {

const char Bell[] = "\a";

class ConsoleEvents : public StationEvents {
 public:
  ConsoleEvents(const Options& options, const std::function<void(const PortReport&)>& log)
      : FOptions(options), FLog(log) {}

  void Waiting(int32_t position, int32_t id) override {
    WriteErr(StationPrompt(position, FOptions.lastId - FOptions.firstId + 1, id) + "\n");
  }

  void Numbered(const StationBoard& board) override {
    FLog(StationLogReport(FOptions.port, board));
    WriteOut((FOptions.json ? StationBoardJson(FOptions.port, board) : StationBoardLine(board)) + "\n");
    if (!FOptions.quiet) WriteErr(Bell);
  }

  void Removed(const StationBoard& board) override { WriteErr(StationRemovedLine(board) + "\n"); }

 private:
  const Options& FOptions;
  const std::function<void(const PortReport&)>& FLog;
};

}  // namespace

StationSummary RunStationConsole(SerialPorts& ports, const Options& options,
                                 const std::function<void(const PortReport&)>& log) {
  ConsoleEvents events(options, log);
  SteadyStationClock clock;
  const StationSummary summary = RunStation(ports, options.port, options.firstId, options.lastId, clock, events);
  if (summary.unavailable) {
    log(*summary.unavailable);
    if (options.json) {
      WriteOut(ReportJson(*summary.unavailable) + "\n");
    } else {
      WriteErr(MessageLine(*summary.unavailable) + "\n");
    }
    return summary;
  }
  WriteOut((options.json ? StationSummaryJson(summary) : StationSummaryLine(summary)) + "\n");
  return summary;
}

}  // namespace zefa::cli
