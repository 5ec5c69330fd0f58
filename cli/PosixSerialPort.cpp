#include "PosixSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Interrupt.h"
#include "PosixPortList.h"

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

// A byte received in error, or a BREAK, must not read as a byte of an
// answer (a BREAK as a NUL): errors are checked and marked, FF is doubled.
termios BoardSettings(const termios& previous) {
  termios settings = previous;
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                             IXOFF | IXANY);
  settings.c_iflag |= INPCK | PARMRK;
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
  return ok && (settings.c_iflag & (IXON | IXOFF | BRKINT)) == 0;
}

bool MarksErrors(const termios& settings) {
  return (settings.c_iflag & PARMRK) != 0 && (settings.c_iflag & (ISTRIP | IGNPAR)) == 0;
}

bool ApplyBoardSettings(int fd, const termios& previous, termios& applied, PortError& error) {
  const termios wanted = BoardSettings(previous);
  if (tcsetattr(fd, TCSANOW, &wanted) != 0) {
    error = {PortProblem::SettingsRefused, SystemText(errno)};
    return false;
  }
  if (tcgetattr(fd, &applied) != 0 || !HasBoardSettings(applied)) {
    error = {PortProblem::SettingsRefused,
             "the port does not take 115200 baud, 8 data bits, no parity, 1 stop bit"};
    return false;
  }
  return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
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

MarkDecoder::Step MarkDecoder::Take(uint8_t raw, uint8_t& byte) {
  switch (FState) {
    case State::Plain:
      if (raw == 0xFF) {
        FState = State::AfterFF;
        return Step::NeedMore;
      }
      byte = raw;
      return Step::Byte;
    case State::AfterFF:
      if (raw == 0x00) {
        FState = State::AfterMark;
        return Step::NeedMore;
      }
      FState = State::Plain;
      byte = raw;
      // Only FF follows FF in a sound stream; anything else lost its mark.
      return raw == 0xFF ? Step::Byte : Step::Marked;
    case State::AfterMark: break;
  }
  FState = State::Plain;
  byte = raw;
  return Step::Marked;
}

std::unique_ptr<PosixSerialPort> PosixSerialPort::Open(const std::string& path, PortError& error) {
  // Opening a device can act (a watchdog starts counting), and a FIFO or a
  // file is no port: only what the system lists as a serial terminal is
  // opened at all.
  struct stat before {};
  if (stat(path.c_str(), &before) != 0) {
    error = OpenError(errno);
    return nullptr;
  }
  error = SerialDeviceProblem(before, LoadTerminalDrivers());
  if (error.problem != PortProblem::None) return nullptr;

  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = OpenError(errno);
    return nullptr;
  }
  FdGuard guard(fd);
  struct stat opened {};
  if (fstat(fd, &opened) != 0 || !SameFile(before, opened)) {
    error = {PortProblem::Failed, "the path was changed while it was being opened"};
    return nullptr;
  }
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
  termios applied{};
  if (!ApplyBoardSettings(fd, saved, applied, error)) {
    tcsetattr(fd, TCSANOW, &saved);
    ReleaseExclusiveUse(fd);
    return nullptr;
  }
  std::unique_ptr<PosixSerialPort> port(new PosixSerialPort(guard.Release(), saved, MarksErrors(applied)));
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
  FDecoder.Reset();
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

LineRead PosixSerialPort::ReadByte(uint8_t& byte) {
  // The rest of a mark is queued with its start; the deadline still holds.
  const Clock::time_point deadline = Clock::now() + ReceiveTimeout;
  for (;;) {
    uint8_t raw = 0;
    const ssize_t received = read(FFd, &raw, 1);
    if (received > 0) {
      if (!FMarks) {
        byte = raw;
        return LineRead::Byte;
      }
      switch (FDecoder.Take(raw, byte)) {
        case MarkDecoder::Step::Byte: return LineRead::Byte;
        case MarkDecoder::Step::Marked: return LineRead::Marked;
        case MarkDecoder::Step::NeedMore: continue;
      }
    }
    if (received == 0) return LineRead::Failed;  // hang-up: the device went away
    if (errno == EINTR) {
      if (Interrupted()) return LineRead::Failed;
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return LineRead::Failed;
    switch (WaitFor(FFd, POLLIN, deadline)) {
      case Wait::Ready: break;
      case Wait::TimedOut:
        if (!FDecoder.Pending()) return LineRead::Quiet;
        FDecoder.Reset();  // a mark cut short is no sound byte
        return LineRead::Marked;
      case Wait::Failed: return LineRead::Failed;
    }
  }
}

}  // namespace zefa::cli
