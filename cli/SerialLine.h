// What zefa1id needs of an open port: the window's purge and send, and a
// read of one byte that tells a byte the line received in error (a parity
// or framing error, a BREAK) from a sound one.
#pragma once

#include <cstdint>
#include <string>

namespace zefa::cli {

enum class LineRead {
  Byte,    // a sound byte
  Marked,  // a byte received in error; its value means nothing
  Quiet,   // nothing within the receive time-out
  Failed,  // the port is closed, failed or went away
};

class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // Discards every received byte not yet read.
  virtual void PurgeReceive() = 0;
  // Hands every byte to the port; false when they could not all be sent.
  virtual bool SendString(const std::string& bytes) = 0;
  // Waits at most the receive time-out (30 ms) for one byte.
  virtual LineRead ReadByte(uint8_t& byte) = 0;
};

}  // namespace zefa::cli
