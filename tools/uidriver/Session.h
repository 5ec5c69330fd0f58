// The driver's commands: one call of Run per command line, one JSON result
// per command. A session keeps the program it drives between commands.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "HookedQueries.h"
#include "Json.h"
#include "Program.h"

namespace uidriver {

// The words after a command's name, with their checks.
class Args {
 public:
  Args(std::string command, std::vector<std::string> words) : FCommand(std::move(command)), FWords(std::move(words)) {}
  size_t Count() const { return FWords.size(); }
  bool Has(size_t i) const { return i < FWords.size(); }
  const std::string& Text(size_t i, const char* what) const;
  long Int(size_t i, const char* what) const;
  // An optional time-out in milliseconds, defaultMs when absent.
  DWORD TimeoutMs(size_t i, DWORD defaultMs) const;
  void AtMost(size_t count) const;

 private:
  std::string FCommand;
  std::vector<std::string> FWords;
};

class Session {
 public:
  Session();
  // Runs one command given as its words; returns the result line.
  std::string Run(const std::vector<std::string>& words);
  bool Finished() const { return FFinished; }

 private:
  using Handler = JsonObject (Session::*)(const Args&);
  struct Command {
    Handler handler;
    const char* usage;
  };

  // The program
  JsonObject Launch(const Args& args);
  JsonObject Attach(const Args& args);
  JsonObject WaitMain(const Args& args);
  JsonObject WaitExit(const Args& args);
  JsonObject Kill(const Args& args);
  // The main window and its controls
  JsonObject WindowInfo(const Args& args);
  JsonObject CloseBox(const Args& args);
  JsonObject TopWindows(const Args& args);
  JsonObject EndSession(const Args& args);
  JsonObject ControlInfo(const Args& args);
  JsonObject Font(const Args& args);
  JsonObject Click(const Args& args);
  JsonObject ClickThen(const Args& args);
  JsonObject MouseClick(const Args& args);
  JsonObject Pixels(const Args& args);
  JsonObject Ping(const Args& args);
  JsonObject Repaint(const Args& args);
  JsonObject Children(const Args& args);
  JsonObject Hints(const Args& args);
  JsonObject MouseMove(const Args& args);
  JsonObject MousePark(const Args& args);
  JsonObject WaitTooltip(const Args& args);
  // Drop-down lists
  JsonObject Items(const Args& args);
  JsonObject Selection(const Args& args);
  JsonObject SetSelection(const Args& args);
  JsonObject Drop(const Args& args);
  JsonObject Pick(const Args& args);
  JsonObject Escape(const Args& args);
  JsonObject ClickAway(const Args& args);
  JsonObject Choose(const Args& args);
  // Message boxes
  JsonObject WaitBox(const Args& args);
  JsonObject CurrentBox(const Args& args);
  JsonObject Press(const Args& args);
  JsonObject ExpectNoBox(const Args& args);
  // The session
  JsonObject SleepFor(const Args& args);
  JsonObject Help(const Args& args);
  JsonObject Quit(const Args& args);

  Program& EnsureProgram();
  HWND MainWindow();
  HWND Control(const Args& args, size_t i);
  HWND TopBox();
  HWND WaitForBox(DWORD timeoutMs);
  JsonObject DescribeBox(HWND box);
  HWND RequireDropped(HWND combo);
  JsonObject AwaitCloseUp(HWND combo);
  POINT ClientPoint(const Args& args);
  void ParkPointer(const std::vector<RECT>& alsoAvoid);
  void ParkPointerOffList(HWND combo);
  // Waits a moment for the control and its window to be enabled; raises
  // "REFUSAL: its window is disabled" otherwise.
  void RequireEnabled(HWND main, HWND control, const std::string& refusal);
  // Polls ready() until it gives true; raises after timeoutMs, or at once
  // when the program ends, unless the end is what is awaited.
  template <class Ready>
  void WaitUntil(DWORD timeoutMs, const std::string& what, Ready ready, bool programMayEnd = false);

  std::map<std::string, Command> FCommands;
  Program FProgram;
  HookedQueries FQueries;
  double FLastClickMs = -1;
  bool FFinished = false;
};

// Milliseconds from an arbitrary fixed point, to the microsecond.
double NowMs();

}  // namespace uidriver
