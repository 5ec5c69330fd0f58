// uidriver: operates the program's window as a person would, for scripts.
//
//   uidriver COMMAND [ARG...]   runs one command and prints its result
//   uidriver                    a session: one command per line on stdin,
//                               one result line per command on stdout
//
// Every result is one JSON object on one line: {"ok":true,...} or
// {"ok":false,"error":"..."}. "help" lists the commands. A program that a
// session launched ends with the session.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "Session.h"
#include "WideText.h"

namespace {

void WriteLine(const std::string& line) {
  const std::string out = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

// Reads stdin up to the next line end; false at its end.
bool ReadLine(std::string& pending, std::string& line) {
  while (true) {
    const size_t end = pending.find('\n');
    if (end != std::string::npos) {
      line = pending.substr(0, end);
      pending.erase(0, end + 1);
      return true;
    }
    char chunk[4096];
    DWORD read = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &read, nullptr) || read == 0) {
      if (pending.empty()) return false;
      line.swap(pending);
      pending.clear();
      return true;
    }
    pending.append(chunk, read);
  }
}

int RunSession(uidriver::Session& session) {
  std::string pending, line;
  while (!session.Finished() && ReadLine(pending, line)) {
    std::vector<std::string> words;
    try {
      words = uidriver::SplitCommand(line);
    } catch (const uidriver::DriverError& error) {
      WriteLine("{\"ok\":false,\"error\":" + uidriver::JsonQuote(error.what()) + "}");
      continue;
    }
    // Blank lines and comments make scripts readable; they get no result.
    if (words.empty() || words[0][0] == '#') continue;
    WriteLine(session.Run(words));
  }
  return 0;
}

}  // namespace

int main() {
  // Wide arguments: a program's path may hold any character.
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> words;
  for (int i = 1; argv != nullptr && i < argc; ++i) words.push_back(WideToUtf8(argv[i]));
  if (argv != nullptr) LocalFree(argv);

  uidriver::Session session;
  if (words.empty()) return RunSession(session);
  const std::string result = session.Run(words);
  WriteLine(result);
  return result.compare(0, 10, "{\"ok\":true") == 0 ? 0 : 1;
}
