// The board at work on its pseudo-terminal: reads requests, follows the
// control file, sends the answers when they are due.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

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

  // Runs until StopFd is readable or the watched standard input ends,
  // then logs the ID of every board that has been on the line.
  // Throws std::runtime_error when the port fails.
  void Run();

 private:
  using Clock = LogClock;
  struct Scheduled {
    Clock::time_point Due;
    Bytes Answer;
  };
  struct Outgoing {
    Bytes Answer;
    size_t Sent = 0;  // bytes already taken by the pty
  };

  // Each line on a watched standard input asks for the log to be brought
  // up to date and the control file to be read, which "synced" on standard
  // output confirms. False at the input's end.
  bool ServeStdin();
  void RunUntilStopped();
  // Handles what one read of the pty brings; false when it had nothing.
  bool Receive();
  void HandleFrames(Clock::time_point received);
  // at: the time its log line gets; a change read for a request takes
  // effect for that request, and its line comes before the request's.
  void RefreshControl(Clock::time_point at = Clock::now());
  void Schedule(const Reply& reply, Clock::time_point received);
  void SendDueAnswers();
  void Flush();
  int PollTimeoutMs() const;
  // Queues the events for the log: those of bytes that arrived at the time
  // they were read, the others now.
  void Note(Events& events, Clock::time_point received);
  void Note(const std::string& event) { FPending.push_back({Clock::now(), event}); }
  // Writes the queued events in the order of their times.
  void WriteLog();

  Settings FSettings;
  EventLog& FLog;
  int FMaster;
  Board FBoard;
  FrameParser FParser;
  ControlTracker FControl;
  ChangeWatch FControlWatch;
  std::string FControlReadError;  // the last one reported, so it is logged once
  std::deque<Scheduled> FScheduled;  // answers waiting for their delay, in order
  std::deque<Outgoing> FOutput;  // answers due but not yet taken whole by the pty
  // Log lines wait until the answers have gone out: a write to the log
  // file may take longer than a client waits for its answer.
  std::vector<LogEvent> FPending;
};

}  // namespace boardsim
