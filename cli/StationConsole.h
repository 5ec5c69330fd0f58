// zefa1id station at the console: the prompt and notes on standard error,
// one line or JSON object per board and the summary on standard output,
// a bell for each board, a log line for each board.
#pragma once

#include <functional>

#include "Arguments.h"
#include "Commands.h"
#include "Station.h"

namespace zefa::cli {

// log: writes one report to the log file, when there is one.
StationSummary RunStationConsole(SerialPorts& ports, const Options& options,
                                 const std::function<void(const PortReport&)>& log);

}  // namespace zefa::cli
