#include "Simulator.h"

#include <poll.h>
#include <unistd.h>

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
  FLog.Write("start id=" + std::to_string(FBoard.Id()) + " " + DescribeModes(FBoard.CurrentModes()));
  RefreshControl();
}

void Simulator::Run() {
  for (;;) {
    SendDueAnswers();
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
    if (FSettings.WatchStdin && fds[2].revents != 0 && StdinEnded()) return;
    const short port = fds[1].revents;
    if (port & POLLIN) Receive();
    if (port & POLLOUT) Flush();
    // The slave held open here rules out a hang-up; anything else is fatal.
    if ((port & (POLLERR | POLLNVAL | POLLHUP)) && !(port & POLLIN)) {
      throw std::runtime_error("the pseudo-terminal failed");
    }
  }
}

bool Simulator::StdinEnded() {
  char ignored[256];
  const ssize_t n = read(STDIN_FILENO, ignored, sizeof ignored);
  return n == 0 || (n < 0 && !TryAgain(errno));
}

void Simulator::Receive() {
  uint8_t buffer[4096];
  const ssize_t n = read(FMaster, buffer, sizeof buffer);
  if (n < 0 && TryAgain(errno)) return;
  if (n < 0) Fail("read from the pseudo-terminal");
  if (n == 0) throw std::runtime_error("the pseudo-terminal closed");
  FParser.Append(buffer, static_cast<size_t>(n));
  HandleFrames();
}

void Simulator::HandleFrames() {
  Events events;
  while (std::optional<Frame> frame = FParser.Next(events)) {
    Log(events);
    RefreshControl();
    Schedule(FBoard.Handle(*frame, events));
    Log(events);
    SendDueAnswers();
  }
  Log(events);
}

void Simulator::RefreshControl() {
  if (FSettings.ControlPath.empty()) return;
  std::string content;
  std::string error;
  switch (ReadSmallFile(FSettings.ControlPath, kControlMaxSize, content, error)) {
    case ReadResult::Failed:
      if (error != FControlReadError) {
        FLog.Write("control rejected: " + error);
        Warn(error);
      }
      FControlReadError = error;
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
      FLog.Write("control rejected: " + error);
      Warn("control file: " + error);
      return;
    case ControlTracker::Change::Applied:
      FBoard.SetModes(modes);
      FLog.Write("control " + DescribeModes(modes));
      return;
  }
}

void Simulator::Schedule(const Reply& reply) {
  if (reply.Answer.empty()) return;
  // Answers leave in the order of their requests, each no sooner than its
  // delay after its request.
  Clock::time_point due = Clock::now() + std::chrono::milliseconds(reply.DelayMs);
  if (!FScheduled.empty() && due < FScheduled.back().Due) due = FScheduled.back().Due;
  FScheduled.push_back({due, reply.Answer});
}

void Simulator::SendDueAnswers() {
  const Clock::time_point now = Clock::now();
  while (!FScheduled.empty() && FScheduled.front().Due <= now) {
    const Bytes& answer = FScheduled.front().Answer;
    FLog.Write(TxEvent(answer));
    FOutput.insert(FOutput.end(), answer.begin(), answer.end());
    FScheduled.pop_front();
  }
  Flush();
}

void Simulator::Flush() {
  while (!FOutput.empty()) {
    const ssize_t n = write(FMaster, FOutput.data(), FOutput.size());
    if (n < 0 && errno == EINTR) continue;
    // The client is not reading: keep the rest until the pty has room.
    if (n < 0 && TryAgain(errno)) return;
    if (n < 0) Fail("write to the pseudo-terminal");
    FOutput.erase(FOutput.begin(), FOutput.begin() + n);
  }
}

int Simulator::PollTimeoutMs() const {
  if (FScheduled.empty()) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(FScheduled.front().Due - Clock::now());
  return wait.count() < 0 ? 0 : static_cast<int>(wait.count());
}

void Simulator::Log(Events& events) {
  for (const std::string& event : events) FLog.Write(event);
  events.clear();
}

}  // namespace boardsim
