// The simulator's files: the link to its port, the control file it reads
// and the log it writes.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

namespace boardsim {

// Makes path a symbolic link to target in one step, so that a client never
// finds it missing or half made; an earlier link there is replaced. Refuses
// to replace anything that is not a symbolic link. Throws std::runtime_error.
void ReplaceSymlink(const std::string& target, const std::string& path);

// Removes path if it still links to target; a link that another program
// has put there since is left alone.
void RemoveLinkTo(const std::string& path, const std::string& target) noexcept;

enum class ReadResult { Ok, Missing, Failed };

// Reads a whole file of at most maxSize bytes; on Failed, error says why.
ReadResult ReadSmallFile(const std::string& path, size_t maxSize, std::string& content,
                         std::string& error);

// Tells from a file's status alone whether it may have changed since the
// last look, so that an unchanged file costs one stat() and no read.
class ChangeWatch {
 public:
  // True when the file is new, gone, different in identity, size or times,
  // or was changed so recently that a change within the same tick of the
  // file system's clock would not show in its times.
  bool MayHaveChanged(const std::string& path);
  // Makes the next call answer true.
  void Forget() { FKnown = false; }

 private:
  struct Signature {
    bool Exists = false;
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    timespec Modified{};
    timespec Changed{};
  };
  static bool Same(const Signature& a, const Signature& b);

  bool FKnown = false;
  bool FRecent = false;  // the last look came too soon after a change to trust the times
  Signature FLast;
};

using LogClock = std::chrono::steady_clock;

struct LogEvent {
  LogClock::time_point Time;  // when it happened, not when it is written
  std::string Text;
};

// One line per event, "12.345 rx read fe 7e": milliseconds since the log's
// start on the monotonic clock. Lines go out with a single append, so a
// reader never sees half a line unless it reads while the append runs, and
// truncating the file while it runs is safe.
class EventLog {
 public:
  EventLog() : FStart(LogClock::now()) {}
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Truncates or creates the file. Throws std::runtime_error.
  void Open(const std::string& path);
  // Stamps the event now. Does nothing while no file is open.
  void Write(const std::string& event);
  // Each event with its own time, in the order given.
  void Write(const std::vector<LogEvent>& events);

 private:
  LogClock::time_point FStart;
  int FFd = -1;
};

}  // namespace boardsim
