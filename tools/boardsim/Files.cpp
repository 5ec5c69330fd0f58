#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

namespace boardsim {
namespace {

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

void ReplaceSymlink(const std::string& target, const std::string& path) {
  struct stat existing;
  if (lstat(path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    throw std::runtime_error(path + " exists and is not a symbolic link; not replacing it");
  }
  const std::string temporary = path + ".boardsim-" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0) {
    throw std::runtime_error(Reason("symlink " + temporary));
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = Reason("rename " + temporary + " to " + path);
    unlink(temporary.c_str());
    throw std::runtime_error(reason);
  }
}

void RemoveLinkTo(const std::string& path, const std::string& target) noexcept {
  std::vector<char> buffer(target.size() + 2);
  const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
  if (length < 0 || std::string(buffer.data(), static_cast<size_t>(length)) != target) return;
  unlink(path.c_str());
}

ReadResult ReadSmallFile(const std::string& path, size_t maxSize, std::string& content,
                         std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::Missing;
    error = Reason("cannot open " + path);
    return ReadResult::Failed;
  }
  std::string text;
  char chunk[4096];
  ReadResult result = ReadResult::Ok;
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason("cannot read " + path);
      result = ReadResult::Failed;
      break;
    }
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
    if (text.size() > maxSize) {
      error = path + " is larger than " + std::to_string(maxSize) + " bytes";
      result = ReadResult::Failed;
      break;
    }
  }
  close(fd);
  if (result == ReadResult::Ok) content = std::move(text);
  return result;
}

bool ChangeWatch::Same(const Signature& a, const Signature& b) {
  if (a.Exists != b.Exists) return false;
  if (!a.Exists) return true;
  auto equal = [](const timespec& x, const timespec& y) {
    return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
  };
  return a.Device == b.Device && a.Inode == b.Inode && a.Size == b.Size &&
         equal(a.Modified, b.Modified) && equal(a.Changed, b.Changed);
}

bool ChangeWatch::MayHaveChanged(const std::string& path) {
  // File times come from a coarse clock, on some file systems in whole
  // seconds: a change this soon after the last one may leave them as they
  // were.
  constexpr time_t kTimeGrainSeconds = 2;

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  struct stat status;
  Signature current;
  if (stat(path.c_str(), &status) == 0) {
    current.Exists = true;
    current.Device = status.st_dev;
    current.Inode = status.st_ino;
    current.Size = status.st_size;
    current.Modified = status.st_mtim;
    current.Changed = status.st_ctim;
  } else if (errno != ENOENT) {
    FKnown = false;  // the read that follows reports why
    return true;
  }
  const bool changed = !FKnown || FRecent || !Same(current, FLast);
  FKnown = true;
  FLast = current;
  // The change time is the later of the two and moves with every write.
  FRecent = current.Exists && now.tv_sec - current.Changed.tv_sec <= kTimeGrainSeconds;
  return changed;
}

EventLog::~EventLog() {
  if (FFd >= 0) close(FFd);
}

void EventLog::Open(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error(Reason("cannot open log " + path));
  if (FFd >= 0) close(FFd);
  FFd = fd;
}

void EventLog::Write(const std::string& event) { Write({{LogClock::now(), event}}); }

void EventLog::Write(const std::vector<LogEvent>& events) {
  if (FFd < 0 || events.empty()) return;
  std::string text;
  for (const LogEvent& event : events) {
    const double ms = std::chrono::duration<double, std::milli>(event.Time - FStart).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f ", ms);
    text += stamp + event.Text + "\n";
  }
  // A log that cannot be written must not stop the board; the lines are lost.
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(FFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace boardsim
