// The main window's port choice, with no Windows in it: applies the item
// chosen in the port list to the serial port and says in one message box
// how that went.
#pragma once

#include <cstdint>

#include "board_port.h"

namespace zefa {

// The serial port component as the port choice uses it.
class PortSetup {
 public:
  virtual ~PortSetup() = default;
  virtual void Close() = 0;
  virtual void SetBitRate(int32_t value) = 0;
  virtual void SetBufLenReceive(int32_t value) = 0;
  virtual void SetBufLenTrans(int32_t value) = 0;
  virtual void SetCharSize(int32_t value) = 0;
  virtual void SetNoFlowControl() = 0;
  virtual void SetNoParity() = 0;
  virtual void SetPortNo(int32_t value) = 0;
  virtual void SetOneStopBit() = 0;
  virtual void SetTimeOutReceive(int32_t milliseconds) = 0;
  virtual void SetTimeOutTrans(int32_t milliseconds) = 0;
  virtual void Open() = 0;
  virtual void SetDtr(bool value) = 0;
  virtual void PurgeReceive() = 0;
  virtual void PurgeSend() = 0;
  virtual int32_t PortNo() const = 0;
};

// The line settings that every choice of a port applies.
constexpr int32_t kLineBitRate = 115200;
constexpr int32_t kLineBufferLength = 2048;
constexpr int32_t kLineCharSize = 8;
// The board answers within a few milliseconds: a read gives up after 30.
constexpr int32_t kLineTimeOutReceive = 30;
constexpr int32_t kLineTimeOutTrans = 3000;

// Item 0 (OFF) closes the port. Any other index (1 to 20 for COM1 to COM20,
// or -1 for no selection) closes the port in use, sets the line settings
// with that index as the port number, opens it, pulses DTR once and purges
// both directions. Every exception on the way is caught: it is reported
// only by the failure text, and the port is left closed.
void ApplyPortChoice(PortSetup& port, int32_t itemIndex, MessageBoxSink& box, int32_t language);

}  // namespace zefa
