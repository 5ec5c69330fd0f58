#include "Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

EventLog::~EventLog() {
  if (FFd >= 0) close(FFd);
}

void EventLog::Open(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error(Reason("cannot open log " + path));
  if (FFd >= 0) close(FFd);
  FFd = fd;
}

void EventLog::Write(const std::string& event) {
  if (FFd < 0) return;
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - FStart).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.3f ", ms);
  const std::string line = stamp + event + "\n";
  // A log that cannot be written must not stop the board; the line is lost.
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(FFd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace boardsim
