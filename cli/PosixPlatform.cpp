// The POSIX side of the command-line tool.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "Interrupt.h"
#include "Platform.h"
#include "PosixPortList.h"
#include "PosixSerialPort.h"

namespace zefa::cli {
namespace {

constexpr std::array<int, 3> StopSignals = {SIGINT, SIGTERM, SIGHUP};
// How long a log line waits for another run that is writing its own.
constexpr std::chrono::milliseconds LogLockPatience{2000};
constexpr std::chrono::milliseconds LogLockRetry{5};

extern "C" void OnStopSignal(int signal) {
  RequestInterrupt(signal);
}

bool WriteAll(int fd, const std::string& text, std::string& error) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = written < 0 ? std::strerror(errno) : "nothing was written";
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

// Waits a while for the lock; a line written without it is still appended
// whole, only the header might then be doubled.
bool LockForAppend(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + LogLockPatience;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(LogLockRetry);
  }
  return true;
}

class PosixAppendFile : public AppendFile {
 public:
  explicit PosixAppendFile(int fd) : FFd(fd) {}
  ~PosixAppendFile() override { close(FFd); }
  PosixAppendFile(const PosixAppendFile&) = delete;
  PosixAppendFile& operator=(const PosixAppendFile&) = delete;

  bool Append(const std::string& header, const std::string& line, std::string& error) override {
    const bool locked = LockForAppend(FFd);
    struct stat status {};
    std::string text = line + "\n";
    const bool empty = fstat(FFd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0;
    if (empty) text = header + "\n" + text;
    const bool written = WriteAll(FFd, text, error);
    if (locked) flock(FFd, LOCK_UN);
    return written;
  }

 private:
  const int FFd;
};

class PosixSerialPorts : public SerialPorts {
 public:
  std::unique_ptr<SerialLine> Open(const std::string& port, PortError& error) override {
    return PosixSerialPort::Open(port, error);
  }
  std::vector<PortEntry> List() override {
    return ListSerialPorts("/dev", SysClassTty, FindReservedTerminals(SysClassTty));
  }
  std::vector<PortEntry> Expand(const std::vector<std::string>& names) override {
    return ExpandPortNames(names, FindReservedTerminals(SysClassTty));
  }

 private:
  static constexpr const char* SysClassTty = "/sys/class/tty";
};

}  // namespace

struct PlatformSession::State {
  std::array<struct sigaction, StopSignals.size()> previous{};
  struct sigaction previousPipe {};
};

PlatformSession::PlatformSession() : FState(new State) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting poll() returns at once
  for (size_t i = 0; i < StopSignals.size(); ++i) sigaction(StopSignals[i], &action, &FState->previous[i]);
  // A reader that goes away must not end the run before the port is put back.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &FState->previousPipe);
}

PlatformSession::~PlatformSession() {
  for (size_t i = 0; i < StopSignals.size(); ++i) sigaction(StopSignals[i], &FState->previous[i], nullptr);
  sigaction(SIGPIPE, &FState->previousPipe, nullptr);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

PortSyntax NativePortSyntax() {
  return PortSyntax::DevicePath;
}

// A reader that went away is nothing to act on.
void WriteOut(const std::string& text) {
  std::string error;
  WriteAll(STDOUT_FILENO, text, error);
}

void WriteErr(const std::string& text) {
  std::string error;
  WriteAll(STDERR_FILENO, text, error);
}

LocalTime CurrentLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
          static_cast<int>(now.tv_nsec / 1000000), static_cast<int>(local.tm_gmtoff / 60)};
}

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<AppendFile>(new PosixAppendFile(fd));
}

std::unique_ptr<SerialPorts> MakeSerialPorts() {
  return std::unique_ptr<SerialPorts>(new PosixSerialPorts);
}

void ExitInterrupted(int signal) {
  // Dying by the signal tells the calling shell that the run was stopped.
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(signal, &standard, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(signal);
  _exit(InterruptedExitStatus(signal));
}

}  // namespace zefa::cli
