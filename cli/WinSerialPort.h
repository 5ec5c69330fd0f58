// A COM port through the serial port component, opened and set up exactly
// as the window does when a port is chosen.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CommX.h"
#include "Report.h"
#include "board_port.h"

namespace zefa::cli {

class WinSerialPort : public BoardPort {
 public:
  // Needs the application object (the component's waits serve it).
  static std::unique_ptr<WinSerialPort> Open(int32_t portNo, PortError& error);
  ~WinSerialPort() override = default;  // the component closes the port
  WinSerialPort(const WinSerialPort&) = delete;
  WinSerialPort& operator=(const WinSerialPort&) = delete;

  void PurgeReceive() override { FComm.PurgeReceive(); }
  bool SendString(const std::string& bytes) override { return FComm.SendString(bytes); }
  int32_t ReceiveData(void* buffer, int32_t count) override { return FComm.ReceiveData(buffer, count); }

 private:
  WinSerialPort() : FComm(nullptr) {}

  TCommX FComm;
};

}  // namespace zefa::cli
