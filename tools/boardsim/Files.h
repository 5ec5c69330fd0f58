// The simulator's files: the link to its port, the control file it reads
// and the log it writes.
#pragma once

#include <chrono>
#include <string>

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

// One line per event, "12.345 rx read fe 7e": milliseconds since the log's
// start on the monotonic clock. Each line is written at once with a single
// append, so a reader never sees half a line and truncating the file while
// it runs is safe.
class EventLog {
 public:
  EventLog() : FStart(std::chrono::steady_clock::now()) {}
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Truncates or creates the file. Throws std::runtime_error.
  void Open(const std::string& path);
  // Does nothing while no file is open.
  void Write(const std::string& event);

 private:
  std::chrono::steady_clock::time_point FStart;
  int FFd = -1;
};

}  // namespace boardsim
