// The three commands over the board ID protocol of the window: the same
// frames, retries, three-pass write and outcome texts, run on a port that
// the platform opens and sets up as the window does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Report.h"
#include "board_port.h"

namespace zefa::cli {

struct PortEntry {
  std::string name;
  // Set when the port is listed as unusable without being opened (a
  // serial console, which a probe would disturb).
  PortError skip;
};

// The serial ports of the platform.
class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // The port opened for exclusive use and set up for the board, or nothing
  // with the reason in error. Closing it puts the port back as it was.
  virtual std::unique_ptr<BoardPort> Open(const std::string& port, PortError& error) = 0;
  // The machine's serial ports, in a stable order.
  virtual std::vector<PortEntry> List() = 0;
  // The ports that scan --ports names (patterns expanded where the
  // platform has them), in order.
  virtual std::vector<PortEntry> Expand(const std::vector<std::string>& names) = 0;
};

PortReport ReadBoard(SerialPorts& ports, const std::string& port);
// verify: read the ID back after a successful write.
PortReport WriteBoard(SerialPorts& ports, const std::string& port, int32_t id, bool verify);
// One read on the port, for scan.
PortReport ProbePort(SerialPorts& ports, const PortEntry& entry);

// Sits between the protocol and the port: counts the requests, keeps the
// bytes of the last attempt's answer, and stops all traffic once an
// interrupt is requested.
class ExchangePort : public BoardPort {
 public:
  explicit ExchangePort(BoardPort& port) : FPort(port) {}

  void PurgeReceive() override;
  bool SendString(const std::string& bytes) override;
  int32_t ReceiveData(void* buffer, int32_t count) override;

  int32_t Requests() const { return FRequests; }
  // What arrived since the last purge, that is in the last attempt.
  const std::string& LastAnswer() const { return FAnswer; }

 private:
  BoardPort& FPort;
  int32_t FRequests = 0;
  std::string FAnswer;
};

}  // namespace zefa::cli
