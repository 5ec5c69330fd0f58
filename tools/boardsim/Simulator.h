// The board at work on its pseudo-terminal: reads requests, follows the
// control file, sends the answers when they are due.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "Board.h"
#include "Files.h"
#include "Modes.h"

namespace boardsim {

class Simulator {
 public:
  struct Settings {
    uint8_t Id = 0;
    Modes CommandModes;       // in force until the control file has content
    std::string ControlPath;  // empty: no control file
    int StopFd = -1;          // readable when the simulator is to stop
    bool WatchStdin = false;  // stop when standard input reaches its end
  };

  // Applies the command-line modes, then the control file.
  Simulator(const Settings& settings, EventLog& log, int master);

  // Runs until StopFd is readable or the watched standard input ends.
  // Throws std::runtime_error when the port fails.
  void Run();

 private:
  using Clock = std::chrono::steady_clock;
  struct Scheduled {
    Clock::time_point Due;
    Bytes Answer;
  };

  // Reads and drops what a watched standard input holds; true at its end.
  bool StdinEnded();
  void Receive();
  void HandleFrames();
  void RefreshControl();
  void Schedule(const Reply& reply);
  void SendDueAnswers();
  void Flush();
  int PollTimeoutMs() const;
  // Writes the events and empties the list.
  void Log(Events& events);

  Settings FSettings;
  EventLog& FLog;
  int FMaster;
  Board FBoard;
  FrameParser FParser;
  ControlTracker FControl;
  std::string FControlReadError;  // the last one reported, so it is logged once
  std::deque<Scheduled> FScheduled;  // answers waiting for their delay, in order
  Bytes FOutput;  // answers due but not yet taken by the pty
};

}  // namespace boardsim
