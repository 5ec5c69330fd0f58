#include "Pty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace boardsim {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void SetFlags(int fd, bool nonBlocking) {
  const int fdFlags = fcntl(fd, F_GETFD);
  if (fdFlags < 0 || fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) < 0) Fail("fcntl(F_SETFD)");
  if (!nonBlocking) return;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) Fail("fcntl(F_SETFL)");
}

}  // namespace

Pty::Pty() {
  FMaster = posix_openpt(O_RDWR | O_NOCTTY);
  if (FMaster < 0) Fail("posix_openpt");
  try {
    // A full slave input queue (no client reading) must not block the
    // board: it keeps the answer and waits for room.
    SetFlags(FMaster, true);
    if (grantpt(FMaster) != 0) Fail("grantpt");
    if (unlockpt(FMaster) != 0) Fail("unlockpt");
    const char* name = ptsname(FMaster);
    if (name == nullptr) Fail("ptsname");
    FSlavePath = name;

    FSlave = open(FSlavePath.c_str(), O_RDWR | O_NOCTTY);
    if (FSlave < 0) Fail("open " + FSlavePath);
    SetFlags(FSlave, false);

    // A client sets its own line settings on opening the port; until then
    // the line carries every byte unchanged, with no echo.
    termios settings{};
    if (tcgetattr(FSlave, &settings) != 0) Fail("tcgetattr");
    cfmakeraw(&settings);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    if (tcsetattr(FSlave, TCSANOW, &settings) != 0) Fail("tcsetattr");
  } catch (...) {
    if (FSlave >= 0) close(FSlave);
    close(FMaster);
    throw;
  }
}

Pty::~Pty() {
  close(FSlave);
  close(FMaster);
}

}  // namespace boardsim
