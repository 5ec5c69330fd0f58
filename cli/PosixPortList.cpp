#include "PosixPortList.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

namespace zefa::cli {
namespace {

const char* const SerialPrefixes[] = {"ttyUSB", "ttyACM", "ttyS", "ttyAMA"};
// The serial core's "type" of a port with no UART behind it.
const char NoUart[] = "0";
const char ConsoleReason[] = "the system console";
const char OwnTerminalReason[] = "the terminal zefa1id runs on";

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool HasPrefix(const std::string& name, const std::string& prefix) {
  return name.compare(0, prefix.size(), prefix) == 0;
}

bool IsSerialName(const std::string& name) {
  for (const char* prefix : SerialPrefixes) {
    if (HasPrefix(name, prefix) && AllDigits(name.substr(std::string(prefix).size()))) return true;
  }
  return false;
}

std::string ReadWord(const std::string& path) {
  std::ifstream file(path);
  std::string word;
  file >> word;
  return word;
}

// The kernel registers a fixed number of ttyS* nodes whether or not a UART
// is there; only the serial core's type tells them apart.
bool UartPresent(const std::string& sysClassTty, const std::string& name) {
  if (!HasPrefix(name, "ttyS")) return true;
  const std::string type = ReadWord(sysClassTty + "/" + name + "/type");
  return type != NoUart;  // unreadable: keep it, the probe will tell
}

std::set<std::string> ActiveConsoles(const std::string& sysClassTty) {
  std::ifstream file(sysClassTty + "/console/active");
  std::set<std::string> names;
  std::string name;
  while (file >> name) names.insert(name);
  return names;
}

std::vector<std::string> DirectoryNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* stream = opendir(dir.c_str());
  if (stream == nullptr) return names;
  while (const dirent* entry = readdir(stream)) names.emplace_back(entry->d_name);
  closedir(stream);
  return names;
}

// Splits "ttyUSB12" into "ttyUSB" and 12; a name without digits at the end
// has number -1.
std::pair<std::string, long long> SplitNumber(const std::string& name) {
  size_t start = name.size();
  while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
  const std::string digits = name.substr(start);
  if (digits.empty() || digits.size() > 18) return {name, -1};
  return {name.substr(0, start), std::stoll(digits)};
}

bool HasPattern(const std::string& name) {
  return name.find_first_of("*?[") != std::string::npos;
}

bool ParseUnsigned(const std::string& text, unsigned& value) {
  if (!AllDigits(text) || text.size() > 9) return false;
  value = static_cast<unsigned>(std::stoul(text));
  return true;
}

// "4:64", as /sys/class/tty/NAME/dev holds it.
bool ParseDeviceNumber(const std::string& text, dev_t& device) {
  const size_t colon = text.find(':');
  unsigned major = 0;
  unsigned minor = 0;
  if (colon == std::string::npos || !ParseUnsigned(text.substr(0, colon), major) ||
      !ParseUnsigned(text.substr(colon + 1), minor)) {
    return false;
  }
  device = makedev(major, minor);
  return true;
}

bool HasPrefixType(const std::string& type, const std::string& prefix) {
  return type == prefix || HasPrefix(type, prefix + ":");
}

const char* FileKind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return "not a device";
}

void AddConsole(const std::string& sysClassTty, const std::string& name, ReservedTerminals& reserved) {
  dev_t device = 0;
  if (ParseDeviceNumber(ReadWord(sysClassTty + "/" + name + "/dev"), device)) reserved[device] = ConsoleReason;
}

// The controlling terminal, from the seventh field of /proc/self/stat; the
// second field (the program's name) may hold spaces and parentheses.
bool ControllingTerminal(dev_t& device) {
  std::ifstream file("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t end = text.rfind(')');
  if (end == std::string::npos) return false;
  std::istringstream fields(text.substr(end + 1));
  std::string state;
  long long ppid = 0, pgrp = 0, session = 0, ttyNr = 0;
  if (!(fields >> state >> ppid >> pgrp >> session >> ttyNr) || ttyNr <= 0) return false;
  const auto number = static_cast<unsigned long long>(ttyNr);
  device = makedev(static_cast<unsigned>((number >> 8) & 0xFFF),
                   static_cast<unsigned>((number & 0xFF) | ((number >> 12) & 0xFFF00)));
  return true;
}

// A reserved terminal at path, by the device it names.
const std::string* ReservedReason(const std::string& path, const ReservedTerminals& reserved) {
  struct stat status {};
  if (reserved.empty() || stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return nullptr;
  const auto found = reserved.find(status.st_rdev);
  return found == reserved.end() ? nullptr : &found->second;
}

std::vector<std::string> Glob(const std::string& pattern) {
  std::vector<std::string> matches;
  glob_t found{};
  if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) matches.emplace_back(found.gl_pathv[i]);
  }
  globfree(&found);
  std::sort(matches.begin(), matches.end(), PortNameLess);
  return matches;
}

}  // namespace

std::vector<TerminalDriver> ParseTerminalDrivers(const std::string& text) {
  std::vector<TerminalDriver> drivers;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string name, node, major, minors;
    TerminalDriver driver;
    if (!(words >> name >> node >> major >> minors >> driver.type)) continue;
    const size_t dash = minors.find('-');
    const std::string first = minors.substr(0, dash);
    const std::string last = dash == std::string::npos ? first : minors.substr(dash + 1);
    if (!ParseUnsigned(major, driver.major) || !ParseUnsigned(first, driver.firstMinor) ||
        !ParseUnsigned(last, driver.lastMinor)) {
      continue;
    }
    drivers.push_back(driver);
  }
  return drivers;
}

std::vector<TerminalDriver> LoadTerminalDrivers(const std::string& path) {
  std::ifstream file(path);
  return ParseTerminalDrivers(std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>()));
}

PortError SerialDeviceProblem(const struct stat& status, const std::vector<TerminalDriver>& drivers) {
  if (!S_ISCHR(status.st_mode)) return {PortProblem::NotSerial, FileKind(status.st_mode)};
#ifdef __linux__
  const unsigned major = ::major(status.st_rdev);
  const unsigned minor = ::minor(status.st_rdev);
  const auto driver = std::find_if(drivers.begin(), drivers.end(), [&](const TerminalDriver& d) {
    return d.major == major && minor >= d.firstMinor && minor <= d.lastMinor;
  });
  if (driver == drivers.end()) return {PortProblem::NotSerial, "not a terminal device"};
  if (driver->type == "serial" || driver->type == "pty:slave") return {};
  if (HasPrefixType(driver->type, "console")) return {PortProblem::NotSerial, "a virtual console, not a serial port"};
  if (driver->type == "pty:master") return {PortProblem::NotSerial, "a pseudo-terminal master, not a serial port"};
  return {PortProblem::NotSerial, "a system terminal device (" + driver->type + "), not a serial port"};
#else
  // Without the system's list of drivers, the terminal check follows the
  // opening.
  (void)drivers;
  return {};
#endif
}

ReservedTerminals FindReservedTerminals(const std::string& sysClassTty) {
  ReservedTerminals reserved;
  for (const std::string& name : ActiveConsoles(sysClassTty)) {
    AddConsole(sysClassTty, name, reserved);
    // tty0 is whichever virtual console is in front.
    if (name == "tty0") AddConsole(sysClassTty, ReadWord(sysClassTty + "/tty0/active"), reserved);
  }
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    struct stat status {};
    if (isatty(fd) && fstat(fd, &status) == 0 && S_ISCHR(status.st_mode)) reserved[status.st_rdev] = OwnTerminalReason;
  }
  dev_t controlling = 0;
  if (ControllingTerminal(controlling)) reserved[controlling] = OwnTerminalReason;
  return reserved;
}

bool PortNameLess(const std::string& a, const std::string& b) {
  const auto left = SplitNumber(a);
  const auto right = SplitNumber(b);
  if (left != right) return left < right;
  return a < b;
}

std::vector<PortEntry> ListSerialPorts(const std::string& devDir, const std::string& sysClassTty,
                                       const ReservedTerminals& reserved) {
  std::vector<std::string> names = DirectoryNames(devDir);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [&](const std::string& name) {
                               return !IsSerialName(name) || !UartPresent(sysClassTty, name);
                             }),
              names.end());
  std::sort(names.begin(), names.end(), PortNameLess);

  const std::set<std::string> consoles = ActiveConsoles(sysClassTty);
  std::vector<PortEntry> entries;
  for (const auto& name : names) {
    PortEntry entry{devDir + "/" + name, {}};
    // A probe would write into the console and read what someone types.
    if (consoles.count(name) != 0) {
      entry.skip = {PortProblem::Busy, ConsoleReason};
    } else if (const std::string* reason = ReservedReason(entry.name, reserved)) {
      entry.skip = {PortProblem::Busy, *reason};
    }
    entries.push_back(entry);
  }
  return entries;
}

std::vector<PortEntry> ExpandPortNames(const std::vector<std::string>& names, const ReservedTerminals& reserved) {
  std::vector<PortEntry> entries;
  std::set<std::string> seen;
  for (const auto& name : names) {
    const bool pattern = HasPattern(name);
    const std::vector<std::string> ports = pattern ? Glob(name) : std::vector<std::string>{name};
    for (const auto& port : ports) {
      if (!seen.insert(port).second) continue;
      PortEntry entry{port, {}};
      // A name given as it is was asked for; a pattern's find was not.
      if (const std::string* reason = pattern ? ReservedReason(port, reserved) : nullptr) {
        entry.skip = {PortProblem::Busy, *reason};
      }
      entries.push_back(entry);
    }
  }
  return entries;
}

}  // namespace zefa::cli
