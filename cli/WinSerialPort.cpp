#include "WinSerialPort.h"

#include <exception>

#include "WinSystemMessage.h"

namespace zefa::cli {
namespace {

// The component's message does not say why the port could not be opened;
// opening it once more as the component does tells missing from busy, and
// a port that opens was refused later, by its settings.
PortError Classify(int32_t portNo, const std::string& componentMessage) {
  const std::string path = "\\\\.\\COM" + std::to_string(portNo);
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return {PortProblem::SettingsRefused, componentMessage};
  }
  const DWORD code = GetLastError();
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return {PortProblem::Missing, "no such port"};
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return {PortProblem::Busy, "another program is using the port"};
    default: return {PortProblem::Failed, SystemMessage(code)};
  }
}

// The window's port choice: the fixed line settings in its order, open,
// one DTR pulse, both directions purged.
void SetUp(TCommX& comm, int32_t portNo) {
  comm.Close();
  comm.SetBitRate(115200);
  comm.SetBufLenReceive(2048);
  comm.SetBufLenTrans(2048);
  comm.SetCharSize(8);
  comm.SetFlowCtrl(cfcNone);
  comm.SetParityBit(cpbNone);
  comm.SetPortNo(portNo);
  comm.SetStopBit(csb1);
  comm.SetTimeOutReceive(30);
  comm.SetTimeOutTrans(3000);
  comm.Open();
  comm.SetDtr(true);
  comm.SetDtr(false);
  comm.PurgeReceive();
  comm.PurgeSend();
}

}  // namespace

std::unique_ptr<WinSerialPort> WinSerialPort::Open(int32_t portNo, PortError& error) {
  std::unique_ptr<WinSerialPort> port(new WinSerialPort);
  try {
    SetUp(port->FComm, portNo);
    return port;
  } catch (const ECommError& failure) {
    port->FComm.Close();
    error = Classify(portNo, failure.Message());
  } catch (const std::exception& failure) {
    port->FComm.Close();
    error = {PortProblem::Failed, failure.what()};
  }
  return nullptr;
}

}  // namespace zefa::cli
