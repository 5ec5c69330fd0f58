// The command line of zefa1id: commands, options and their checks. Every
// mistake is found here, before a port is touched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zefa::cli {

enum class Command { Read, Write, Scan, Help, Version, Station };

// How a port is named: a device path (POSIX) or COMn (Windows).
enum class PortSyntax { DevicePath, ComName };

struct Options {
  Command command = Command::Help;
  std::string port;                // read and write
  int32_t id = -1;                 // write: 0 to 31
  bool verify = false;             // write
  bool listOnly = false;           // scan: list without probing
  std::vector<std::string> ports;  // scan: instead of the machine's ports
  int32_t firstId = -1;            // station: the IDs to give, 0 to 31
  int32_t lastId = -1;
  bool quiet = false;              // station: no bell
  bool json = false;
  std::string logPath;  // empty: no log
};

struct ParsedArguments {
  Options options;
  std::string error;  // not empty: a usage error, and options are not to be used
};

// args: the arguments after the program's name, UTF-8.
ParsedArguments ParseArguments(const std::vector<std::string>& args, PortSyntax syntax);

// True when --json appears anywhere, so that even a usage error can be
// reported as JSON to the script that asked for it.
bool AsksForJson(const std::vector<std::string>& args);

// "COM7", "com07" -> 7; nothing for anything that is not COM and a number
// from 1 to 99999999 (the most digits a port number may have).
std::optional<int32_t> ParseComPortName(const std::string& name);
std::string ComPortName(int32_t number);

}  // namespace zefa::cli
