#include "PosixPortList.h"

#include <dirent.h>
#include <glob.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <utility>

namespace zefa::cli {
namespace {

const char* const SerialPrefixes[] = {"ttyUSB", "ttyACM", "ttyS", "ttyAMA"};
// The serial core's "type" of a port with no UART behind it.
const char NoUart[] = "0";

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

bool PortNameLess(const std::string& a, const std::string& b) {
  const auto left = SplitNumber(a);
  const auto right = SplitNumber(b);
  if (left != right) return left < right;
  return a < b;
}

std::vector<PortEntry> ListSerialPorts(const std::string& devDir, const std::string& sysClassTty) {
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
    if (consoles.count(name) != 0) entry.skip = {PortProblem::Busy, "the system console"};
    entries.push_back(entry);
  }
  return entries;
}

std::vector<PortEntry> ExpandPortNames(const std::vector<std::string>& names) {
  std::vector<PortEntry> entries;
  std::set<std::string> seen;
  for (const auto& name : names) {
    const std::vector<std::string> ports = HasPattern(name) ? Glob(name) : std::vector<std::string>{name};
    for (const auto& port : ports) {
      if (seen.insert(port).second) entries.push_back({port, {}});
    }
  }
  return entries;
}

}  // namespace zefa::cli
