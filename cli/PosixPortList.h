// Which serial ports a POSIX machine has, for scan.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "Commands.h"

struct stat;

namespace zefa::cli {

// One line of /proc/tty/drivers: "serial  /dev/ttyS  4 64-111 serial".
struct TerminalDriver {
  unsigned major = 0;
  unsigned firstMinor = 0;
  unsigned lastMinor = 0;
  std::string type;  // "serial", "pty:slave", "system:console", ...
};

std::vector<TerminalDriver> ParseTerminalDrivers(const std::string& text);
// The system's terminal drivers; none when the list cannot be read.
std::vector<TerminalDriver> LoadTerminalDrivers(const std::string& path = "/proc/tty/drivers");

// Why a file of this status is no serial port to open, told without
// opening it; PortProblem::None when it is one: a character device of a
// serial or pseudo-terminal driver.
PortError SerialDeviceProblem(const struct stat& status, const std::vector<TerminalDriver>& drivers);

// Terminals that the machine's list and patterns leave out, by device
// number, with the reason: the active system consoles and the terminals
// that zefa1id runs on.
using ReservedTerminals = std::map<dev_t, std::string>;
ReservedTerminals FindReservedTerminals(const std::string& sysClassTty);

// The ttyUSB*, ttyACM*, ttyS* and ttyAMA* nodes in devDir, in natural order
// (ttyS2 before ttyS10). An on-board UART that sysClassTty reports as
// absent (type 0) is left out; a port that is the active system console,
// or a reserved terminal, is listed as busy, not to be probed.
std::vector<PortEntry> ListSerialPorts(const std::string& devDir, const std::string& sysClassTty,
                                       const ReservedTerminals& reserved = {});

// scan --ports: names kept as given, patterns with * ? [ expanded; each port
// once, in the order given. A reserved terminal that a pattern finds is
// listed as busy, not to be probed.
std::vector<PortEntry> ExpandPortNames(const std::vector<std::string>& names,
                                       const ReservedTerminals& reserved = {});

// Natural order of port names: by text, then by the number at the end.
bool PortNameLess(const std::string& a, const std::string& b);

}  // namespace zefa::cli
