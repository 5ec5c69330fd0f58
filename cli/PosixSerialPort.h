// A serial port of a POSIX system, set up as the board needs it and held
// for exclusive use while it is open.
#pragma once

#include <termios.h>

#include <memory>
#include <string>

#include "Report.h"
#include "SerialLine.h"

namespace zefa::cli {

// Turns what a terminal with PARMRK set delivers back into the line's
// bytes: FF FF is the byte FF, FF 00 X the byte X received with a parity
// or framing error, FF 00 00 also a BREAK.
class MarkDecoder {
 public:
  enum class Step { Byte, Marked, NeedMore };
  // Takes the next byte read; on Byte or Marked, byte is the line's byte.
  Step Take(uint8_t raw, uint8_t& byte);
  // Forgets a mark begun: its rest was purged.
  void Reset() { FState = State::Plain; }
  bool Pending() const { return FState != State::Plain; }

 private:
  enum class State { Plain, AfterFF, AfterMark };
  State FState = State::Plain;
};

class PosixSerialPort : public SerialLine {
 public:
  // Opens the device only when the system lists it as a serial terminal
  // (anything else is not-serial, without being opened), locks it (flock,
  // also against root; TIOCEXCL), sets 115200 baud, 8N1, no flow control,
  // raw with parity and framing errors and BREAKs marked, pulses DTR once
  // and purges both directions, as the window does after opening its port.
  static std::unique_ptr<PosixSerialPort> Open(const std::string& path, PortError& error);
  // Puts back the terminal settings the port had and releases it.
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  void PurgeReceive() override;
  // Queues every byte; false when they could not all be handed to the
  // driver within the send time-out.
  bool SendString(const std::string& bytes) override;
  // Waits at most 30 ms (monotonic clock) for a byte.
  LineRead ReadByte(uint8_t& byte) override;

 private:
  PosixSerialPort(int fd, const termios& saved, bool marks) : FFd(fd), FSaved(saved), FMarks(marks) {}

  const int FFd;
  const termios FSaved;
  const bool FMarks;  // PARMRK is in force: bytes come through FDecoder
  MarkDecoder FDecoder;
};

}  // namespace zefa::cli
