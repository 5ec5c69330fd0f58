#include "Arguments.h"

#include <algorithm>
#include <cctype>

namespace zefa::cli {
namespace {

constexpr int32_t HighestId = 31;
// The serial component builds "\\.\COM" and at most 8 digits.
constexpr size_t MaxPortDigits = 8;

bool IsDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "-1" is a wrong ID, not an unknown option.
bool LooksLikeNumber(const std::string& text) {
  return IsDigits(text[0] == '-' ? text.substr(1) : text);
}

std::optional<int32_t> ParseId(const std::string& text) {
  if (!IsDigits(text)) return std::nullopt;
  const size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
  const std::string digits = text.substr(first);
  if (digits.size() > 2) return std::nullopt;
  const int32_t value = std::stoi(digits);
  if (value > HighestId) return std::nullopt;
  return value;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

class Parser {
 public:
  Parser(const std::vector<std::string>& args, PortSyntax syntax) : FArgs(args), FSyntax(syntax) {}

  ParsedArguments Run() {
    // Every argument is looked at, so that --help wins over a mistake.
    while (FNext < FArgs.size()) TakeArgument();
    ParsedArguments result;
    if (FHelp) {
      result.options.command = Command::Help;
      return result;
    }
    if (FVersion) {
      result.options.command = Command::Version;
      return result;
    }
    if (FError.empty()) Check();
    result.options = FOptions;
    result.error = FError;
    return result;
  }

 private:
  void TakeArgument() {
    const std::string arg = FArgs[FNext++];
    if (FOnlyPositionals) {
      FPositionals.push_back(arg);
    } else if (arg == "--") {
      FOnlyPositionals = true;
    } else if (arg.size() > 1 && arg[0] == '-' && !LooksLikeNumber(arg)) {
      TakeOption(arg);
    } else if (!FCommand) {
      TakeCommand(arg);
    } else {
      FPositionals.push_back(arg);
    }
  }

  void TakeCommand(const std::string& word) {
    if (word == "read") {
      FCommand = Command::Read;
    } else if (word == "write") {
      FCommand = Command::Write;
    } else if (word == "scan") {
      FCommand = Command::Scan;
    } else if (word == "help") {
      FHelp = true;
    } else if (word == "station") {
      FCommand = Command::Station;
    } else {
      Fail("unknown command " + Quoted(word) + " (read, write, scan or station)");
    }
  }

  void TakeOption(const std::string& arg) {
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    std::optional<std::string> inlineValue;
    if (equals != std::string::npos) inlineValue = arg.substr(equals + 1);

    if (name == "--port") {
      TakeValue(name, inlineValue, FSeenPort, FOptions.port);
    } else if (name == "--log") {
      TakeValue(name, inlineValue, FSeenLog, FOptions.logPath);
    } else if (name == "--ports") {
      TakePorts(inlineValue);
    } else if (name == "--json") {
      TakeFlag(name, inlineValue, FOptions.json);
    } else if (name == "--verify") {
      TakeFlag(name, inlineValue, FOptions.verify);
    } else if (name == "--list") {
      TakeFlag(name, inlineValue, FOptions.listOnly);
    } else if (name == "--ids") {
      TakeValue(name, inlineValue, FSeenIds, FIds);
    } else if (name == "--quiet") {
      TakeFlag(name, inlineValue, FOptions.quiet);
    } else if (name == "--help" || name == "-h") {
      FHelp = true;
    } else if (name == "--version") {
      FVersion = true;
    } else {
      Fail("unknown option " + Quoted(arg));
    }
  }

  void TakeFlag(const std::string& name, const std::optional<std::string>& inlineValue, bool& flag) {
    if (inlineValue) return Fail(name + " takes no value");
    if (flag) return Fail(name + " is given twice");
    flag = true;
  }

  void TakeValue(const std::string& name, const std::optional<std::string>& inlineValue, bool& seen,
                 std::string& value) {
    if (seen) return Fail(name + " is given twice");
    seen = true;
    if (inlineValue) {
      value = *inlineValue;
    } else if (FNext < FArgs.size() && FArgs[FNext].compare(0, 2, "--") != 0) {
      value = FArgs[FNext++];
    } else {
      return Fail(name + " needs a value");
    }
    if (value.empty()) Fail(name + " needs a value");
  }

  // --ports takes every following argument up to the next option.
  void TakePorts(const std::optional<std::string>& inlineValue) {
    if (FSeenPorts) return Fail("--ports is given twice");
    FSeenPorts = true;
    if (inlineValue) FOptions.ports.push_back(*inlineValue);
    while (FNext < FArgs.size() && (FArgs[FNext].empty() || FArgs[FNext][0] != '-')) {
      FOptions.ports.push_back(FArgs[FNext++]);
    }
    if (FOptions.ports.empty()) return Fail("--ports needs at least one port");
    for (auto& port : FOptions.ports) {
      if (!CheckPort("--ports", port)) return;
    }
  }

  void Check() {
    if (!FCommand) return Fail("no command given (read, write, scan or station)");
    FOptions.command = *FCommand;
    switch (*FCommand) {
      case Command::Read: return CheckRead();
      case Command::Write: return CheckWrite();
      case Command::Scan: return CheckScan();
      case Command::Station: return CheckStation();
      case Command::Help:
      case Command::Version: break;
    }
  }

  void CheckRead() {
    if (!RefuseStationOptions()) return;
    if (!RefuseExtra("read")) return;
    if (!RefuseOption(FOptions.verify, "--verify", "write")) return;
    if (!RefuseScanOptions("read")) return;
    CheckPortGiven();
  }

  void CheckWrite() {
    if (FPositionals.empty()) return Fail("write needs the ID to set (0 to 31)");
    const std::optional<int32_t> id = ParseId(FPositionals[0]);
    if (!id) return Fail("the ID must be a whole number from 0 to 31, not " + Quoted(FPositionals[0]));
    FOptions.id = *id;
    FPositionals.erase(FPositionals.begin());
    if (!RefuseStationOptions()) return;
    if (!RefuseExtra("write")) return;
    if (!RefuseScanOptions("write")) return;
    CheckPortGiven();
  }

  void CheckScan() {
    if (!RefuseStationOptions()) return;
    if (!RefuseExtra("scan")) return;
    if (FSeenPort) return Fail("scan takes --ports PORT..., not --port");
    RefuseOption(FOptions.verify, "--verify", "write");
  }

  void CheckStation() {
    if (!RefuseExtra("station")) return;
    if (!RefuseOption(FOptions.verify, "--verify", "write")) return;
    if (!RefuseScanOptions("station")) return;
    if (!FSeenIds) return Fail("station needs the IDs to give: add --ids FIRST-LAST, such as --ids 1-8");
    if (!TakeIdRange()) return;
    CheckPortGiven();
  }

  // "FIRST-LAST" or one ID alone.
  bool TakeIdRange() {
    const size_t dash = FIds.find('-');
    const std::optional<int32_t> first = ParseId(FIds.substr(0, dash));
    const std::optional<int32_t> last = dash == std::string::npos ? first : ParseId(FIds.substr(dash + 1));
    if (!first || !last) {
      Fail("--ids needs FIRST-LAST, two IDs from 0 to 31, not " + Quoted(FIds));
      return false;
    }
    if (*first > *last) {
      Fail("--ids needs FIRST-LAST with FIRST not above LAST, not " + Quoted(FIds));
      return false;
    }
    FOptions.firstId = *first;
    FOptions.lastId = *last;
    return true;
  }

  bool RefuseStationOptions() {
    if (FSeenIds) {
      Fail("--ids goes with station only");
      return false;
    }
    return RefuseOption(FOptions.quiet, "--quiet", "station");
  }

  bool RefuseExtra(const std::string& command) {
    if (FPositionals.empty()) return true;
    Fail("unexpected argument " + Quoted(FPositionals[0]) + " for " + command);
    return false;
  }

  bool RefuseOption(bool given, const std::string& name, const std::string& owner) {
    if (!given) return true;
    Fail(name + " goes with " + owner + " only");
    return false;
  }

  bool RefuseScanOptions(const std::string& command) {
    if (!FOptions.ports.empty()) {
      Fail("--ports goes with scan only; " + command + " takes --port PORT");
      return false;
    }
    return RefuseOption(FOptions.listOnly, "--list", "scan");
  }

  void CheckPortGiven() {
    if (!FSeenPort) return Fail("no port given: add --port " + ExamplePort());
    CheckPort("--port", FOptions.port);
  }

  // COM names are put in one form, so that reports and logs agree.
  bool CheckPort(const std::string& option, std::string& port) {
    if (FSyntax == PortSyntax::DevicePath) return true;
    const std::optional<int32_t> number = ParseComPortName(port);
    if (!number) {
      Fail(option + " needs a COM port such as " + ExamplePort() + ", not " + Quoted(port));
      return false;
    }
    port = ComPortName(*number);
    return true;
  }

  std::string ExamplePort() const {
    return FSyntax == PortSyntax::ComName ? "COM3" : "/dev/ttyUSB0";
  }

  void Fail(const std::string& message) {
    if (FError.empty()) FError = message;
  }

  const std::vector<std::string>& FArgs;
  const PortSyntax FSyntax;
  size_t FNext = 0;
  bool FOnlyPositionals = false;
  std::optional<Command> FCommand;
  std::vector<std::string> FPositionals;
  Options FOptions;
  bool FSeenPort = false;
  bool FSeenLog = false;
  bool FSeenPorts = false;
  bool FSeenIds = false;
  std::string FIds;
  bool FHelp = false;
  bool FVersion = false;
  std::string FError;
};

}  // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& args, PortSyntax syntax) {
  return Parser(args, syntax).Run();
}

bool AsksForJson(const std::vector<std::string>& args) {
  return std::find(args.begin(), args.end(), "--json") != args.end();
}

std::optional<int32_t> ParseComPortName(const std::string& name) {
  if (name.size() < 4) return std::nullopt;
  std::string prefix = name.substr(0, 3);
  std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                 [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
  const std::string digits = name.substr(3);
  if (prefix != "COM" || !IsDigits(digits)) return std::nullopt;
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return std::nullopt;  // COM0
  const std::string significant = digits.substr(first);
  if (significant.size() > MaxPortDigits) return std::nullopt;
  return std::stoi(significant);
}

std::string ComPortName(int32_t number) {
  return "COM" + std::to_string(number);
}

}  // namespace zefa::cli
