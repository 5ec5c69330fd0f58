#include "Station.h"

#include <algorithm>
#include <memory>
#include <thread>

#include "Interrupt.h"
#include "Json.h"

namespace zefa::cli {
namespace {

const char PromptText[] = "次のボードを接続してください";

// A stop request is seen within this while the station sleeps.
constexpr std::chrono::milliseconds SleepSlice{10};

// Forwards to the station's line and counts the bytes that arrive.
class CountingLine : public SerialLine {
 public:
  CountingLine(SerialLine& line, int64_t& received) : FLine(line), FReceived(received) {}
  void PurgeReceive() override { FLine.PurgeReceive(); }
  bool SendString(const std::string& bytes) override { return FLine.SendString(bytes); }
  LineRead ReadByte(uint8_t& byte) override {
    const LineRead read = FLine.ReadByte(byte);
    if (read == LineRead::Byte || read == LineRead::Marked) ++FReceived;
    return read;
  }

 private:
  SerialLine& FLine;
  int64_t& FReceived;
};

// Lends the port the station holds to read and write, which open a port
// for each exchange and close it at its end: the port stays the
// station's, and nobody else gets it between two boards.
class LentPorts : public SerialPorts {
 public:
  explicit LentPorts(SerialLine& line) : FLine(line) {}
  std::unique_ptr<SerialLine> Open(const std::string&, PortError&) override {
    return std::make_unique<CountingLine>(FLine, FReceived);
  }
  std::vector<PortEntry> List() override { return {}; }
  std::vector<PortEntry> Expand(const std::vector<std::string>&) override { return {}; }
  int64_t Received() const { return FReceived; }

 private:
  SerialLine& FLine;
  int64_t FReceived = 0;
};

class Station {
 public:
  Station(LentPorts& lent, const std::string& port, StationClock& clock, StationEvents& events,
          const StationTiming& timing)
      : FLent(lent), FPortName(port), FClock(clock), FEvents(events), FTiming(timing) {}

  void Run(StationSummary& summary) {
    int32_t position = 1;
    for (int32_t id = summary.first; id <= summary.last; ++id, ++position) {
      FEvents.Waiting(position, id);
      PortReport arrived;
      if (!WaitForBoard(arrived)) return Stopped(summary, id);
      StationBoard board = Number(arrived, id, position);
      // A stop before the first write request left the board as it was.
      if (board.write.interrupted && board.write.requests == 0) return Stopped(summary, id);
      (board.Succeeded() ? summary.numbered : summary.failed).push_back(id);
      FEvents.Numbered(board);
      if (board.write.interrupted) return Stopped(summary, id + 1);
      if (id == summary.last) return;
      if (!WaitUntilGone()) return Stopped(summary, id + 1);
      FEvents.Removed(board);
    }
  }

 private:
  // A stop request ended the run before the ID from.
  static void Stopped(StationSummary& summary, int32_t from) {
    summary.interrupted = true;
    for (int32_t id = from; id <= summary.last; ++id) summary.left.push_back(id);
  }

  // One read, started no sooner than one poll period after the one before.
  PortReport Poll(bool& answered) {
    FClock.SleepUntil(FNextPoll);
    FPollStart = FClock.Now();
    FNextPoll = FPollStart + FTiming.pollPeriod;
    const int64_t before = FLent.Received();
    PortReport report = ReadBoard(FLent, FPortName);
    answered = FLent.Received() > before;
    return report;
  }

  // A board is one that answers a read in full, 32 to 255 included: two
  // bytes that differ may be noise and get no write.
  bool WaitForBoard(PortReport& arrived) {
    for (;;) {
      if (Interrupted()) return false;
      bool answered = false;
      arrived = Poll(answered);
      if (Interrupted()) return false;
      if (FoundBoard(arrived)) return true;
    }
  }

  StationBoard Number(const PortReport& arrived, int32_t id, int32_t position) {
    StationBoard board;
    board.position = position;
    board.id = id;
    board.previousId = arrived.id;
    board.write = WriteBoard(FLent, FPortName, id, true);
    board.currentId = board.write.verifiedId;
    // After a failed write, what the board holds now, when it says.
    if (!board.currentId && !Interrupted()) {
      const PortReport now = ReadBoard(FLent, FPortName);
      if (FoundBoard(now)) board.currentId = now.id;
    }
    return board;
  }

  // False when a stop came first.
  bool WaitUntilGone() {
    StationClock::TimePoint silentSince{};  // the start of the first silent read in a row
    int silentReads = 0;
    for (;;) {
      if (Interrupted()) return false;
      bool answered = false;
      Poll(answered);
      if (Interrupted()) return false;
      if (answered) {
        silentReads = 0;
        continue;
      }
      if (silentReads++ == 0) silentSince = FPollStart;
      if (silentReads >= FTiming.goneReads && FClock.Now() - silentSince >= FTiming.goneAfter) return true;
    }
  }

  LentPorts& FLent;
  const std::string& FPortName;
  StationClock& FClock;
  StationEvents& FEvents;
  const StationTiming FTiming;
  StationClock::TimePoint FNextPoll{};
  StationClock::TimePoint FPollStart{};
};

std::string OptionalId(const std::optional<int32_t>& id) {
  return id ? std::to_string(*id) : "-";
}

std::string IdArray(const std::vector<int32_t>& ids) {
  std::string text = "[";
  for (size_t i = 0; i < ids.size(); ++i) text += (i ? "," : "") + std::to_string(ids[i]);
  return text + "]";
}

}  // namespace

StationClock::TimePoint SteadyStationClock::Now() {
  return std::chrono::steady_clock::now();
}

void SteadyStationClock::SleepUntil(TimePoint then) {
  while (!Interrupted()) {
    const TimePoint now = Now();
    if (now >= then) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(then - now, SleepSlice));
  }
}

StationSummary RunStation(SerialPorts& ports, const std::string& port, int32_t first, int32_t last,
                          StationClock& clock, StationEvents& events, const StationTiming& timing) {
  StationSummary summary;
  summary.port = port;
  summary.first = first;
  summary.last = last;
  PortError error;
  const std::unique_ptr<SerialLine> held = ports.Open(port, error);
  if (!held) {
    PortReport report;
    report.command = "station";
    report.port = port;
    report.exitCode = ExitPortUnavailable;
    report.outcome = "port-unavailable";
    report.message = PortUnusableMessage(port);
    report.portError = error;
    summary.unavailable = report;
    summary.exitCode = ExitPortUnavailable;
    for (int32_t id = first; id <= last; ++id) summary.left.push_back(id);
    return summary;
  }
  LentPorts lent(*held);
  Station(lent, port, clock, events, timing).Run(summary);
  // Cut short by a signal, the summary says the status the process ends with.
  if (summary.interrupted) {
    summary.exitCode = InterruptedExitStatus(InterruptSignal());
  } else {
    summary.exitCode = summary.failed.empty() && summary.left.empty() ? ExitSuccess : ExitCommunicationFailed;
  }
  return summary;
}

std::string StationPrompt(int32_t position, int32_t count, int32_t id) {
  return std::string(PromptText) + " (board " + std::to_string(position) + " of " + std::to_string(count) +
         ": ID " + std::to_string(id) + ")";
}

std::string StationBoardLine(const StationBoard& board) {
  std::string line = std::to_string(board.position) + "\t" + OptionalId(board.previousId) + "\t" +
                     OptionalId(board.currentId) + "\t" + MessageLine(board.write);
  if (!board.Succeeded()) line += " (ID " + std::to_string(board.id) + " failed)";
  return line;
}

std::string StationRemovedLine(const StationBoard& board) {
  return "board " + std::to_string(board.position) + " removed";
}

std::string StationSummaryLine(const StationSummary& summary) {
  return "numbered " + std::to_string(summary.numbered.size()) + " of " +
         std::to_string(summary.last - summary.first + 1) + "; failed: " + IdListText(summary.failed) +
         "; left: " + IdListText(summary.left) + (summary.interrupted ? " (interrupted)" : "");
}

std::string StationBoardJson(const std::string& port, const StationBoard& board) {
  JsonObject object;
  object.Add("kind", "board").Add("command", "station").Add("port", port);
  object.Add("board", board.position).Add("id", board.id);
  object.Add("previous_id", board.previousId).Add("current_id", board.currentId);
  object.Add("exit", board.write.exitCode).Add("outcome", board.write.outcome).Add("message", board.write.message);
  if (board.write.interrupted) object.AddBool("interrupted", true);
  object.AddJson("write", ReportJson(board.write));
  return object.Text();
}

std::string StationSummaryJson(const StationSummary& summary) {
  JsonObject object;
  object.Add("kind", "summary").Add("command", "station").Add("port", summary.port);
  object.Add("exit", summary.exitCode);
  object.AddJson("numbered", IdArray(summary.numbered));
  object.AddJson("failed", IdArray(summary.failed));
  object.AddJson("left", IdArray(summary.left));
  if (summary.interrupted) object.AddBool("interrupted", true);
  return object.Text();
}

PortReport StationLogReport(const std::string& port, const StationBoard& board) {
  PortReport report = board.write;
  report.command = "station";
  report.port = port;
  report.id = board.id;
  return report;
}

std::string IdListText(const std::vector<int32_t>& ids) {
  if (ids.empty()) return "none";
  std::string text;
  for (size_t i = 0; i < ids.size();) {
    size_t end = i;
    while (end + 1 < ids.size() && ids[end + 1] == ids[end] + 1) ++end;
    if (!text.empty()) text += ",";
    text += std::to_string(ids[i]);
    if (end > i) text += "-" + std::to_string(ids[end]);
    i = end + 1;
  }
  return text;
}

}  // namespace zefa::cli
