// Which COM ports Windows has, for scan.
#pragma once

#include <string>
#include <vector>

namespace zefa::cli {

// The COM ports among the system's DOS device names and in its SERIALCOMM
// device map, each once, by number: "COM1", "COM2", "COM10".
std::vector<std::string> ListComPorts();

// The COMn names among names, each once, ordered by number.
std::vector<std::string> SortedComPorts(const std::vector<std::string>& names);

}  // namespace zefa::cli
