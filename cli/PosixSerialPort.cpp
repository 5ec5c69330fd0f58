#include "PosixSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Interrupt.h"

namespace zefa::cli {
namespace {

using Clock = std::chrono::steady_clock;

// The window's TimeOutReceive and TimeOutTrans.
constexpr std::chrono::milliseconds ReceiveTimeout{30};
constexpr std::chrono::milliseconds SendTimeout{3000};

// The flag belongs to the device and lasts until its last descriptor is
// closed: a zefa1id killed outright leaves it set while any other program
// keeps the port open.
const char ExclusiveFlagAdvice[] = "close every program using the port to clear it";

std::string SystemText(int error) {
  return std::strerror(error);
}

PortError OpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return {PortProblem::Missing, SystemText(error)};
    // What a terminal refuses with, to all but root, while the flag is set.
    case EBUSY:
      return {PortProblem::Busy, SystemText(error) + "; the exclusive flag (TIOCEXCL) may be set: " +
                                     ExclusiveFlagAdvice};
    case EACCES:
    case EPERM:
    case EROFS: return {PortProblem::Denied, SystemText(error)};
    default: return {PortProblem::Failed, SystemText(error)};
  }
}

// Closes the descriptor unless it was handed on.
class FdGuard {
 public:
  explicit FdGuard(int fd) : FFd(fd) {}
  ~FdGuard() {
    if (FFd >= 0) close(FFd);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int Release() {
    const int fd = FFd;
    FFd = -1;
    return fd;
  }

 private:
  int FFd;
};

// flock holds for root as well, which TIOCEXCL does not; TIOCEXCL still
// keeps out programs that do not lock, when they are not run as root.
bool TakeExclusiveUse(int fd, PortError& error) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      error = {PortProblem::Busy, "another process holds the port"};
    } else {
      error = {PortProblem::Failed, "cannot lock the port: " + SystemText(errno)};
    }
    return false;
  }
#ifdef TIOCGEXCL
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    error = {PortProblem::Busy, std::string("exclusive flag set (TIOCEXCL); ") + ExclusiveFlagAdvice};
    return false;
  }
#endif
#ifdef TIOCEXCL
  ioctl(fd, TIOCEXCL);  // not every driver has it; the lock above is what counts
#endif
  return true;
}

void ReleaseExclusiveUse(int fd) {
#ifdef TIOCNXCL
  // The flag belongs to the device, not to this descriptor: it would keep
  // the next user out if it stayed.
  ioctl(fd, TIOCNXCL);
#endif
  (void)fd;
}

termios BoardSettings(const termios& previous) {
  termios settings = previous;
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                             IGNCR | ICRNL | IXON | IXOFF | IXANY);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
#ifdef CRTSCTS
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  // One byte makes a read complete, and no byte gives EAGAIN rather than
  // an end of file, so a hang-up can be told from silence.
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  return settings;
}

// tcsetattr succeeds when any of the changes was made, so the result is
// read back.
bool HasBoardSettings(const termios& settings) {
  const speed_t input = cfgetispeed(&settings);
  bool ok = cfgetospeed(&settings) == B115200 && (input == B115200 || input == B0);
  ok = ok && (settings.c_cflag & CSIZE) == CS8 && (settings.c_cflag & (PARENB | CSTOPB)) == 0;
#ifdef CRTSCTS
  ok = ok && (settings.c_cflag & CRTSCTS) == 0;
#endif
  return ok && (settings.c_iflag & (IXON | IXOFF)) == 0;
}

bool ApplyBoardSettings(int fd, const termios& previous, PortError& error) {
  const termios wanted = BoardSettings(previous);
  if (tcsetattr(fd, TCSANOW, &wanted) != 0) {
    error = {PortProblem::SettingsRefused, SystemText(errno)};
    return false;
  }
  termios applied{};
  if (tcgetattr(fd, &applied) != 0 || !HasBoardSettings(applied)) {
    error = {PortProblem::SettingsRefused,
             "the port does not take 115200 baud, 8 data bits, no parity, 1 stop bit"};
    return false;
  }
  return true;
}

// One pulse on DTR, as the window gives after opening. A pseudo-terminal
// has no modem lines; there the calls fail and nothing is lost.
void PulseDtr(int fd) {
#if defined(TIOCMBIS) && defined(TIOCMBIC)
  int dtr = TIOCM_DTR;
  ioctl(fd, TIOCMBIS, &dtr);
  ioctl(fd, TIOCMBIC, &dtr);
#endif
  (void)fd;
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

enum class Wait { Ready, TimedOut, Failed };

// Waits until the port is ready for events, or the deadline passes. A stop
// request ends the wait at once.
Wait WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    if (Interrupted()) return Wait::Failed;
    const int timeout = RemainingMs(deadline);
    if (timeout == 0) return Wait::TimedOut;
    pollfd request{fd, events, 0};
    const int result = poll(&request, 1, timeout);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) return Wait::Failed;
    if (result == 0) continue;  // the deadline is checked on the clock, not on poll
    if ((request.revents & (POLLERR | POLLNVAL)) != 0) return Wait::Failed;
    return Wait::Ready;  // a hang-up shows in the read or write that follows
  }
}

}  // namespace

std::unique_ptr<PosixSerialPort> PosixSerialPort::Open(const std::string& path, PortError& error) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = OpenError(errno);
    return nullptr;
  }
  FdGuard guard(fd);
  if (!isatty(fd)) {
    error = {PortProblem::NotSerial, "not a terminal device"};
    return nullptr;
  }
  if (!TakeExclusiveUse(fd, error)) return nullptr;
  termios saved{};
  if (tcgetattr(fd, &saved) != 0) {
    error = {PortProblem::SettingsRefused, SystemText(errno)};
    ReleaseExclusiveUse(fd);
    return nullptr;
  }
  if (!ApplyBoardSettings(fd, saved, error)) {
    tcsetattr(fd, TCSANOW, &saved);
    ReleaseExclusiveUse(fd);
    return nullptr;
  }
  std::unique_ptr<PosixSerialPort> port(new PosixSerialPort(guard.Release(), saved));
  PulseDtr(fd);
  tcflush(fd, TCIOFLUSH);
  return port;
}

PosixSerialPort::~PosixSerialPort() {
  // Bytes still queued would hold close() up if the old settings bring
  // flow control back.
  tcflush(FFd, TCIOFLUSH);
  tcsetattr(FFd, TCSANOW, &FSaved);
  ReleaseExclusiveUse(FFd);
  close(FFd);
}

void PosixSerialPort::PurgeReceive() {
  tcflush(FFd, TCIFLUSH);
}

bool PosixSerialPort::SendString(const std::string& bytes) {
  const Clock::time_point deadline = Clock::now() + SendTimeout;
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t written = write(FFd, bytes.data() + sent, bytes.size() - sent);
    if (written > 0) {
      sent += static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) {
      if (Interrupted()) return false;
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (WaitFor(FFd, POLLOUT, deadline) != Wait::Ready) return false;
  }
  return true;
}

int32_t PosixSerialPort::ReceiveData(void* buffer, int32_t count) {
  if (buffer == nullptr || count < 0) return -1;
  if (count == 0) return 0;
  const Clock::time_point deadline = Clock::now() + ReceiveTimeout;
  for (;;) {
    const ssize_t received = read(FFd, buffer, static_cast<size_t>(count));
    if (received > 0) return static_cast<int32_t>(received);
    if (received == 0) return -1;  // hang-up: the device went away
    if (errno == EINTR) {
      if (Interrupted()) return -1;
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    switch (WaitFor(FFd, POLLIN, deadline)) {
      case Wait::Ready: break;
      case Wait::TimedOut: return 0;
      case Wait::Failed: return -1;
    }
  }
}

}  // namespace zefa::cli
