// zefa1id station: numbers a batch of boards on one port, one after
// another. It waits for a board to answer a read, gives it the next ID with
// the three-pass write and a read-back, waits until it is taken off, and
// goes on. The exchanges are those of read and write.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Report.h"

namespace zefa::cli {

struct StationTiming {
  // A read starts at most this often, answered or not.
  std::chrono::milliseconds pollPeriod{250};
  // A board is gone once reads have had no byte at all for this long and
  // for this many reads in a row; a board answers within milliseconds, so
  // a connected one is not taken for gone on a busy machine.
  std::chrono::milliseconds goneAfter{1000};
  int goneReads = 3;
};

// The station's time: the steady clock on the command line, a scripted
// one in tests.
class StationClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~StationClock() = default;
  virtual TimePoint Now() = 0;
  // Returns at then, or sooner once a stop is requested.
  virtual void SleepUntil(TimePoint then) = 0;
};

class SteadyStationClock : public StationClock {
 public:
  TimePoint Now() override;
  void SleepUntil(TimePoint then) override;
};

struct StationBoard {
  int32_t position = 0;  // 1 for the run's first board
  int32_t id = 0;        // the ID it was to get
  std::optional<int32_t> previousId;  // what it reported when it came
  std::optional<int32_t> currentId;   // what it reported after the write; nothing: no answer
  PortReport write;  // the write with its read-back
  bool Succeeded() const { return write.exitCode == ExitSuccess; }
};

struct StationSummary {
  std::string port;
  int32_t first = 0;
  int32_t last = 0;
  std::vector<int32_t> numbered;  // the IDs given, in order
  std::vector<int32_t> failed;    // IDs whose board failed: not given to another board
  std::vector<int32_t> left;      // IDs no board was connected for
  bool interrupted = false;
  std::optional<PortReport> unavailable;  // the port could not be opened
  int exitCode = ExitSuccess;
};

// What the station tells as it goes.
class StationEvents {
 public:
  virtual ~StationEvents() = default;
  // Waiting for the board that is to get id.
  virtual void Waiting(int32_t position, int32_t id) = 0;
  virtual void Numbered(const StationBoard& board) = 0;
  // The board no longer answers: taken off.
  virtual void Removed(const StationBoard& board) = 0;
};

// first to last: 0 to 31, first not above last. The port is held from the
// first read to the end.
StationSummary RunStation(SerialPorts& ports, const std::string& port, int32_t first, int32_t last,
                          StationClock& clock, StationEvents& events, const StationTiming& timing = {});

// "次のボードを接続してください (board 2 of 3: ID 11)"
std::string StationPrompt(int32_t position, int32_t count, int32_t id);
// "2<TAB>0<TAB>11<TAB>書込に成功しました": the position, the ID before and
// after ("-" for none), the message; a failed ID is named after it.
std::string StationBoardLine(const StationBoard& board);
std::string StationRemovedLine(const StationBoard& board);
// "numbered 2 of 3; failed: 11; left: none"
std::string StationSummaryLine(const StationSummary& summary);
std::string StationBoardJson(const std::string& port, const StationBoard& board);
std::string StationSummaryJson(const StationSummary& summary);
// The board as a log line of command "station": the ID it was to get, the
// write's outcome.
PortReport StationLogReport(const std::string& port, const StationBoard& board);
// "3-5,7"; "none" for no ID.
std::string IdListText(const std::vector<int32_t>& ids);

}  // namespace zefa::cli
