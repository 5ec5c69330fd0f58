// A COM port through the serial port component, opened and set up exactly
// as the window does when a port is chosen.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CommX.h"
#include "Report.h"
#include "SerialLine.h"

namespace zefa::cli {

// Line errors reach the component's error event, not its reads: on Windows
// every byte read counts as sound.
class WinSerialPort : public SerialLine {
 public:
  // Needs the application object (the component's waits serve it).
  static std::unique_ptr<WinSerialPort> Open(int32_t portNo, PortError& error);
  ~WinSerialPort() override = default;  // the component closes the port
  WinSerialPort(const WinSerialPort&) = delete;
  WinSerialPort& operator=(const WinSerialPort&) = delete;

  void PurgeReceive() override { FComm.PurgeReceive(); }
  bool SendString(const std::string& bytes) override { return FComm.SendString(bytes); }
  LineRead ReadByte(uint8_t& byte) override {
    const int32_t received = FComm.ReceiveData(&byte, 1);
    if (received > 0) return LineRead::Byte;
    return received == 0 ? LineRead::Quiet : LineRead::Failed;
  }

 private:
  WinSerialPort() : FComm(nullptr) {}

  TCommX FComm;
};

}  // namespace zefa::cli
