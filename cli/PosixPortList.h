// Which serial ports a POSIX machine has, for scan.
#pragma once

#include <string>
#include <vector>

#include "Commands.h"

namespace zefa::cli {

// The ttyUSB*, ttyACM*, ttyS* and ttyAMA* nodes in devDir, in natural order
// (ttyS2 before ttyS10). An on-board UART that sysClassTty reports as
// absent (type 0) is left out; a port that is the active system console is
// listed as busy, not to be probed.
std::vector<PortEntry> ListSerialPorts(const std::string& devDir, const std::string& sysClassTty);

// scan --ports: names kept as given, patterns with * ? [ expanded; each port
// once, in the order given.
std::vector<PortEntry> ExpandPortNames(const std::vector<std::string>& names);

// Natural order of port names: by text, then by the number at the end.
bool PortNameLess(const std::string& a, const std::string& b);

}  // namespace zefa::cli
