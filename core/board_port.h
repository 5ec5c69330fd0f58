// The three small interfaces through which the board ID protocol reaches
// the outside world: the serial port, the ID list of the window and the
// message box. The window implements them over its serial port component,
// its drop-down list and MsgBox; the tests implement them with scripts.
#pragma once

#include <cstdint>
#include <string>

namespace zefa {

class BoardPort {
 public:
  virtual ~BoardPort() = default;
  // Discards every received byte not yet read; ends a pending read.
  virtual void PurgeReceive() = 0;
  // Hands the bytes to the port for sending; true when they were accepted.
  virtual bool SendString(const std::string& bytes) = 0;
  // Reads at most count bytes: the number read, 0 after the receive
  // time-out with nothing received, -1 when the port is closed or fails.
  virtual int32_t ReceiveData(void* buffer, int32_t count) = 0;
};

class IdList {
 public:
  virtual ~IdList() = default;
  virtual int32_t ItemIndex() const = 0;
  virtual void SetItemIndex(int32_t index) = 0;
};

class MessageBoxSink {
 public:
  virtual ~MessageBoxSink() = default;
  // Shows one message, as MsgBox does; returns what MsgBox returns.
  virtual int32_t MsgBox(uint8_t kind, uint8_t buttons, int32_t messageNo, int32_t language,
                         const std::string& text) = 0;
};

}  // namespace zefa
