// A serial port of a POSIX system, set up as the board needs it and held
// for exclusive use while it is open.
#pragma once

#include <termios.h>

#include <memory>
#include <string>

#include "Report.h"
#include "board_port.h"

namespace zefa::cli {

class PosixSerialPort : public BoardPort {
 public:
  // Opens the device, locks it (flock, also against root; TIOCEXCL), sets
  // 115200 baud, 8N1, no flow control, raw, pulses DTR once and purges
  // both directions, as the window does after opening its port.
  static std::unique_ptr<PosixSerialPort> Open(const std::string& path, PortError& error);
  // Puts back the terminal settings the port had and releases it.
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  void PurgeReceive() override;
  // Queues every byte; false when they could not all be handed to the
  // driver within the send time-out.
  bool SendString(const std::string& bytes) override;
  // Waits at most 30 ms (monotonic clock) for the first byte.
  int32_t ReceiveData(void* buffer, int32_t count) override;

 private:
  PosixSerialPort(int fd, const termios& saved) : FFd(fd), FSaved(saved) {}

  const int FFd;
  const termios FSaved;
};

}  // namespace zefa::cli
