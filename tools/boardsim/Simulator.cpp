#include "Simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace boardsim {
namespace {

// A control file is a few words; anything larger is a mistake.
constexpr size_t kControlMaxSize = 64 * 1024;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

bool TryAgain(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

void Warn(const std::string& text) { std::fprintf(stderr, "boardsim: %s\n", text.c_str()); }

}  // namespace

Simulator::Simulator(const Settings& settings, EventLog& log, int master)
    : FSettings(settings), FLog(log), FMaster(master), FBoard(settings.Id) {
  FBoard.SetModes(settings.CommandModes);
  Note("start id=" + std::to_string(FBoard.Id()) + " " + DescribeModes(FBoard.CurrentModes()));
  RefreshControl();
  WriteLog();
}

void Simulator::Run() {
  RunUntilStopped();
  // "end board=2 id=12": what each board holds when the run ends.
  for (const auto& [number, id] : FBoard.BoardIds()) {
    Note("end board=" + std::to_string(number) + " id=" + std::to_string(id));
  }
  WriteLog();
}

void Simulator::RunUntilStopped() {
  for (;;) {
    SendDueAnswers();
    WriteLog();
    pollfd fds[3] = {
        {FSettings.StopFd, POLLIN, 0},
        {FMaster, static_cast<short>(POLLIN | (FOutput.empty() ? 0 : POLLOUT)), 0},
        {STDIN_FILENO, POLLIN, 0},
    };
    const nfds_t count = FSettings.WatchStdin ? 3 : 2;
    if (poll(fds, count, PollTimeoutMs()) < 0) {
      if (errno == EINTR) continue;
      Fail("poll");
    }
    if (fds[0].revents != 0) return;
    const short port = fds[1].revents;
    if (port & POLLIN) Receive();
    if (port & POLLOUT) Flush();
    // The slave held open here rules out a hang-up; anything else is fatal.
    if ((port & (POLLERR | POLLNVAL | POLLHUP)) && !(port & POLLIN)) {
      throw std::runtime_error("the pseudo-terminal failed");
    }
    if (FSettings.WatchStdin && fds[2].revents != 0 && !ServeStdin()) return;
  }
}

bool Simulator::ServeStdin() {
  char input[256];
  const ssize_t n = read(STDIN_FILENO, input, sizeof input);
  if (n < 0) return TryAgain(errno);
  if (n == 0) return false;
  const auto requests = std::count(input, input + n, '\n');
  if (requests == 0) return true;
  // Every request read so far, and what the pty holds now, is in the log
  // before the reply.
  while (Receive()) {
  }
  // A control file written before the sync is in force after it, so that
  // reading it never holds up the next request's answer.
  RefreshControl();
  SendDueAnswers();
  WriteLog();
  for (auto left = requests; left > 0; --left) {
    const ssize_t ignored = write(STDOUT_FILENO, "synced\n", 7);  // a reader that left is no error
    (void)ignored;
  }
  return true;
}

bool Simulator::Receive() {
  uint8_t buffer[4096];
  const ssize_t n = read(FMaster, buffer, sizeof buffer);
  const Clock::time_point received = Clock::now();
  if (n < 0 && TryAgain(errno)) return false;
  if (n < 0) Fail("read from the pseudo-terminal");
  if (n == 0) throw std::runtime_error("the pseudo-terminal closed");
  FParser.Append(buffer, static_cast<size_t>(n));
  HandleFrames(received);
  return true;
}

void Simulator::HandleFrames(Clock::time_point received) {
  Events events;
  while (std::optional<Frame> frame = FParser.Next(events)) {
    Note(events, received);
    RefreshControl(received);
    Schedule(FBoard.Handle(*frame, events), received);
    Note(events, received);
    SendDueAnswers();
  }
  Note(events, received);
}

void Simulator::RefreshControl(Clock::time_point at) {
  if (FSettings.ControlPath.empty()) return;
  if (!FControlWatch.MayHaveChanged(FSettings.ControlPath)) return;
  std::string content;
  std::string error;
  switch (ReadSmallFile(FSettings.ControlPath, kControlMaxSize, content, error)) {
    case ReadResult::Failed:
      if (error != FControlReadError) {
        FPending.push_back({at, "control rejected: " + error});
        Warn(error);
      }
      FControlReadError = error;
      FControlWatch.Forget();  // tried again at the next request
      return;
    case ReadResult::Missing:
      content.clear();
      break;
    case ReadResult::Ok:
      break;
  }
  FControlReadError.clear();

  Modes modes;
  switch (FControl.Update(content, modes, error)) {
    case ControlTracker::Change::None:
      return;
    case ControlTracker::Change::Rejected:
      // The modes in force stay: a typo must not turn into a sound board.
      FPending.push_back({at, "control rejected: " + error});
      Warn("control file: " + error);
      return;
    case ControlTracker::Change::Applied:
      FBoard.SetModes(modes);
      FPending.push_back({at, "control " + DescribeModes(modes)});
      return;
  }
}

void Simulator::Schedule(const Reply& reply, Clock::time_point received) {
  if (reply.Answer.empty()) return;
  // Answers leave in the order of their requests, each no sooner than its
  // delay after its request.
  Clock::time_point due = received + std::chrono::milliseconds(reply.DelayMs);
  if (!FScheduled.empty() && due < FScheduled.back().Due) due = FScheduled.back().Due;
  FScheduled.push_back({due, reply.Answer});
}

void Simulator::SendDueAnswers() {
  const Clock::time_point now = Clock::now();
  while (!FScheduled.empty() && FScheduled.front().Due <= now) {
    FOutput.push_back({std::move(FScheduled.front().Answer), 0});
    FScheduled.pop_front();
  }
  Flush();
}

void Simulator::Flush() {
  while (!FOutput.empty()) {
    Outgoing& next = FOutput.front();
    const ssize_t n = write(FMaster, next.Answer.data() + next.Sent, next.Answer.size() - next.Sent);
    if (n < 0 && errno == EINTR) continue;
    // The client is not reading: keep the rest until the pty has room.
    if (n < 0 && TryAgain(errno)) return;
    if (n < 0) Fail("write to the pseudo-terminal");
    next.Sent += static_cast<size_t>(n);
    if (next.Sent < next.Answer.size()) continue;
    Note(TxEvent(next.Answer));  // the time its last byte went out
    FOutput.pop_front();
  }
}

int Simulator::PollTimeoutMs() const {
  if (FScheduled.empty()) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(FScheduled.front().Due - Clock::now());
  return wait.count() < 0 ? 0 : static_cast<int>(wait.count());
}

void Simulator::Note(Events& events, Clock::time_point received) {
  for (std::string& event : events) {
    const bool arrived = event.compare(0, 3, "rx ") == 0;
    FPending.push_back({arrived ? received : Clock::now(), std::move(event)});
  }
  events.clear();
}

void Simulator::WriteLog() {
  // A request read together with the one before it arrived before that
  // one's answer went out, and its line says so.
  std::stable_sort(FPending.begin(), FPending.end(),
                   [](const LogEvent& a, const LogEvent& b) { return a.Time < b.Time; });
  FLog.Write(FPending);
  FPending.clear();
}

}  // namespace boardsim
