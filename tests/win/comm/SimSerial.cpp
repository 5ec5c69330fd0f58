#include "SimSerial.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace {

TSimSerial* gSim = nullptr;

// OVERLAPPED.Internal as the system keeps it: an NTSTATUS. Completions with
// a Win32 error carry it in a customer-defined error status.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;  // STATUS_PENDING
constexpr ULONG_PTR kStatusTimeout = 0x102;  // STATUS_TIMEOUT: a success
constexpr ULONG_PTR kErrorStatusBase = 0xE0000000;
// Complete() takes this for "timed out", which is not an error.
constexpr DWORD kTimedOut = 0xFFFFFFFF;

constexpr DWORD kLineStatusErrors = CE_OVERRUN | CE_RXPARITY | CE_FRAME;

bool ParsePortPath(const char* path, int& number) {
  const char prefix[] = "\\\\.\\COM";
  if (path == nullptr || std::strncmp(path, prefix, sizeof(prefix) - 1) != 0) return false;
  const char* digits = path + sizeof(prefix) - 1;
  char* end = nullptr;
  const long value = std::strtol(digits, &end, 10);
  if (end == digits || *end != '\0') return false;
  number = static_cast<int>(value);
  return true;
}

DCB DefaultDcb() {
  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  // Members the component leaves alone: recognisable values.
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = 0x0D;
  return dcb;
}

}  // namespace

DCB TSimSerial::DriverDefaultDcb() { return DefaultDcb(); }

TSimSerial::TSimSerial() : FStart(std::chrono::steady_clock::now()), FApi(), FNextHandle(0x7E000000) {
  if (gSim != nullptr) throw std::logic_error("one simulated serial driver at a time");
  gSim = this;
  FApi = {SimCreateFileA,     SimCloseHandle,     SimSetupComm,         SimPurgeComm,
          SimGetCommState,    SimSetCommState,    SimSetCommTimeouts,   SimSetCommMask,
          SimWaitCommEvent,   SimClearCommError,  SimEscapeCommFunction, SimReadFile,
          SimWriteFile,       SimGetOverlappedResult, SimCancelIoEx,    SimCreateThread,
          SimPostThreadMessageA, SimGlobalAlloc,  SimGlobalFree,         SimSleep,
          SimWaitForSingleObject, SimMsgWaitForMultipleObjectsEx};
  FWorker = CreateThread(
      nullptr, 0,
      [](LPVOID self) -> DWORD {
        static_cast<TSimSerial*>(self)->Worker();
        return 0;
      },
      this, 0, nullptr);
  SetCommApi(&FApi);
}

TSimSerial::~TSimSerial() {
  SetCommApi(nullptr);
  {
    std::lock_guard<TSimLock> lock(FMutex);
    FStop = true;
    // Nothing may stay pending on events that their owners will close.
    for (auto& entry : FPorts) CancelAll(entry.second, ERROR_OPERATION_ABORTED);
  }
  WakeAllConditionVariable(&FWake);
  WaitForSingleObject(FWorker, INFINITE);
  CloseHandle(FWorker);
  gSim = nullptr;
}

double TSimSerial::NowMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - FStart).count();
}

// ---------------------------------------------------------------- test side

void TSimSerial::AddPort(int number) {
  std::lock_guard<TSimLock> lock(FMutex);
  FPorts[number].Exists = true;
}

void TSimSerial::HoldPort(int number, bool held) {
  std::lock_guard<TSimLock> lock(FMutex);
  FPorts[number].Held = held;
}

void TSimSerial::RemoveAdapter(int number) {
  std::lock_guard<TSimLock> lock(FMutex);
  PortData& port = FPorts[number];
  port.Removed = true;
  CancelAll(port, ERROR_OPERATION_ABORTED);
  WakeAllConditionVariable(&FWake);
}

void TSimSerial::ReattachAdapter(int number) {
  std::lock_guard<TSimLock> lock(FMutex);
  FPorts[number].Removed = false;
}

void TSimSerial::Receive(int number, const std::string& bytes, DWORD errors, bool brk) {
  std::lock_guard<TSimLock> lock(FMutex);
  DeliverInput(FPorts[number], bytes, errors, brk);
}

void TSimSerial::SetErrors(int number, DWORD errors) {
  std::lock_guard<TSimLock> lock(FMutex);
  FPorts[number].Errors |= errors;
}

void TSimSerial::SetResponder(std::function<std::string(const std::string&)> responder) {
  std::lock_guard<TSimLock> lock(FMutex);
  FResponder = std::move(responder);
}

void TSimSerial::RefuseDcbWhen(std::function<bool(const DCB&)> refuse) {
  std::lock_guard<TSimLock> lock(FMutex);
  FRefuseDcb = std::move(refuse);
}

void TSimSerial::RefuseTimeOutsWhen(std::function<bool(const COMMTIMEOUTS&)> refuse) {
  std::lock_guard<TSimLock> lock(FMutex);
  FRefuseTimeOuts = std::move(refuse);
}

void TSimSerial::RefuseSetupCommWhen(std::function<bool(DWORD, DWORD)> refuse) {
  std::lock_guard<TSimLock> lock(FMutex);
  FRefuseSetupComm = std::move(refuse);
}

void TSimSerial::FailEscape(bool fail) {
  std::lock_guard<TSimLock> lock(FMutex);
  FFailEscape = fail;
}

void TSimSerial::FailClearCommError(bool fail) {
  std::lock_guard<TSimLock> lock(FMutex);
  FFailClearCommError = fail;
}

void TSimSerial::FailNextWrites(int count, DWORD error) {
  std::lock_guard<TSimLock> lock(FMutex);
  FFailWrites = count;
  FFailWriteError = error;
}

void TSimSerial::CompleteNextWriteWith(DWORD sent, DWORD error) {
  std::lock_guard<TSimLock> lock(FMutex);
  FWriteFaultArmed = true;
  FWriteFaultSent = sent;
  FWriteFaultError = error;
}

void TSimSerial::FailThreadCreation(int nth) {
  std::lock_guard<TSimLock> lock(FMutex);
  FFailThreadAt = nth;
}

void TSimSerial::FailNextPosts(int count) {
  std::lock_guard<TSimLock> lock(FMutex);
  FFailPosts = count;
}

void TSimSerial::FailNextAllocs(int count) {
  std::lock_guard<TSimLock> lock(FMutex);
  FFailAllocs = count;
}

void TSimSerial::SetPurgeAbortsIo(bool aborts) {
  std::lock_guard<TSimLock> lock(FMutex);
  FPurgeAborts = aborts;
}

void TSimSerial::ReportTimeOutsAsErrors(bool asErrors) {
  std::lock_guard<TSimLock> lock(FMutex);
  FTimeOutsAsErrors = asErrors;
}

void TSimSerial::SetEmptyWakeUps(DWORD everyMs) {
  std::lock_guard<TSimLock> lock(FMutex);
  FEmptyWakeMs = everyMs;
  for (auto& entry : FPorts) {
    if (entry.second.PendingWait) entry.second.PendingWait->EmptyEndMs = everyMs > 0 ? NowMs() + everyMs : -1.0;
  }
  WakeAllConditionVariable(&FWake);
}

void TSimSerial::HoldTimedWaits(bool hold) {
  std::lock_guard<TSimLock> lock(FMutex);
  FHoldTimedWaits = hold;
}

void TSimSerial::HoldUiWaits(DWORD holdMs) {
  std::lock_guard<TSimLock> lock(FMutex);
  FUiWaitHoldMs = holdMs;
}

void TSimSerial::SetStuckIo(bool stuck) {
  std::lock_guard<TSimLock> lock(FMutex);
  FStuckIo = stuck;
}

std::vector<TSimStuckIo> TSimSerial::StuckIo() const {
  std::lock_guard<TSimLock> lock(FMutex);
  return FStuck;
}

bool TSimSerial::IsAllocated(const void* address, size_t size) const {
  std::lock_guard<TSimLock> lock(FMutex);
  const auto start = reinterpret_cast<uintptr_t>(address);
  auto block = FAllocated.upper_bound(start);
  if (block == FAllocated.begin()) return false;
  --block;
  return start >= block->first && start + size <= block->first + block->second;
}

bool TSimSerial::StuckIoIntact() const {
  for (const TSimStuckIo& io : StuckIo()) {
    DWORD flags = 0;
    if (!IsAllocated(io.Overlapped, sizeof(OVERLAPPED)) || !IsAllocated(io.Buffer, io.Size) ||
        !GetHandleInformation(io.Event, &flags)) {
      return false;
    }
  }
  return true;
}

void TSimSerial::CompleteStuckIo() {
  std::lock_guard<TSimLock> lock(FMutex);
  for (const TSimStuckIo& io : FStuck) {
    std::memset(const_cast<void*>(io.Buffer), 0x5A, io.Size);
    Complete(io.Overlapped, 0, io.Kind == 'E' ? 0 : io.Size);
  }
  FStuck.clear();
}

BOOL TSimSerial::Stick(char kind, OVERLAPPED* overlapped, const void* buffer, DWORD size) {
  if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
  overlapped->Internal = kStatusPending;
  FStuck.push_back({kind, overlapped, buffer, size, overlapped->hEvent});
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

void TSimSerial::SetFastPauses(bool fast) {
  std::lock_guard<TSimLock> lock(FMutex);
  FFastPauses = fast;
}

std::vector<TSimCall> TSimSerial::Calls() const {
  std::lock_guard<TSimLock> lock(FMutex);
  return FCalls;
}

std::vector<TSimCall> TSimSerial::Calls(const std::string& name) const {
  std::lock_guard<TSimLock> lock(FMutex);
  std::vector<TSimCall> out;
  for (const TSimCall& call : FCalls) {
    if (call.Name == name) out.push_back(call);
  }
  return out;
}

std::vector<TSimDcb> TSimSerial::Dcbs() const {
  std::lock_guard<TSimLock> lock(FMutex);
  return FDcbs;
}

std::vector<TSimLine> TSimSerial::Lines() const {
  std::lock_guard<TSimLock> lock(FMutex);
  return FLines;
}

std::vector<TSimWrite> TSimSerial::Writes() const {
  std::lock_guard<TSimLock> lock(FMutex);
  return FWrites;
}

std::string TSimSerial::Transmitted() const {
  std::lock_guard<TSimLock> lock(FMutex);
  return FTransmitted;
}

TSimPortState TSimSerial::Port(int number) const {
  std::lock_guard<TSimLock> lock(FMutex);
  TSimPortState state = {};
  auto found = FPorts.find(number);
  if (found == FPorts.end()) return state;
  const PortData& port = found->second;
  state.Open = port.Handle != INVALID_HANDLE_VALUE;
  state.Dcb = port.Dcb;
  state.TimeOuts = port.TimeOuts;
  state.InQueueSize = port.InSize;
  state.OutQueueSize = port.OutSize;
  state.Mask = port.Mask;
  state.Rts = port.Rts;
  state.Dtr = port.Dtr;
  state.InQueue = port.In.size();
  state.PendingReads = static_cast<int>(port.Reads.size());
  state.PendingWrites = static_cast<int>(port.Writes.size());
  state.MostPendingReads = port.MostReads;
  state.WaitPending = port.PendingWait != nullptr;
  return state;
}

void TSimSerial::ClearRecords() {
  std::lock_guard<TSimLock> lock(FMutex);
  FCalls.clear();
  FDcbs.clear();
  FLines.clear();
  FWrites.clear();
  FTransmitted.clear();
}

// ------------------------------------------------------------ driver model

void TSimSerial::Record(const char* name, DWORD arg, const char* text) {
  FCalls.push_back({NowMs(), GetCurrentThreadId(), name, arg, text != nullptr ? text : ""});
}

TSimSerial::PortData* TSimSerial::Find(HANDLE handle, bool forIo) {
  for (auto& entry : FPorts) {
    PortData& port = entry.second;
    if (port.Handle != handle || handle == INVALID_HANDLE_VALUE) continue;
    if (port.Removed) {
      // What a removed USB adapter's handle answers on Windows.
      SetLastError(forIo ? ERROR_ACCESS_DENIED : ERROR_BAD_COMMAND);
      return nullptr;
    }
    return &port;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

void TSimSerial::Complete(OVERLAPPED* overlapped, DWORD error, DWORD count) {
  overlapped->InternalHigh = count;
  if (error == 0) {
    overlapped->Internal = kStatusSuccess;
  } else if (error == kTimedOut) {
    overlapped->Internal = FTimeOutsAsErrors ? kErrorStatusBase | ERROR_TIMEOUT : kStatusTimeout;
  } else {
    overlapped->Internal = kErrorStatusBase | error;
  }
  if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
}

void TSimSerial::AbortReads(PortData& port, DWORD error) {
  for (Read& read : port.Reads) Complete(read.Overlapped, error, 0);
  port.Reads.clear();
}

void TSimSerial::EndWrite(PortData& port, Write& write, DWORD error) {
  const double now = NowMs();
  DWORD sent = 0;
  if (write.StartMs >= 0) {
    sent = static_cast<DWORD>(std::floor((now - write.StartMs) / CharTimeMs(port)));
    sent = std::min<DWORD>(sent, static_cast<DWORD>(write.Data.size()));
  }
  TSimWrite& record = FWrites[write.Record];
  record.EndMs = now;
  record.Sent = write.Data.substr(0, sent);
  record.Error = error;
  FTransmitted += record.Sent;
  Complete(write.Overlapped, error, sent);
}

void TSimSerial::AbortWrites(PortData& port, DWORD error) {
  for (Write& write : port.Writes) EndWrite(port, write, error);
  port.Writes.clear();
}

void TSimSerial::CancelAll(PortData& port, DWORD error) {
  AbortReads(port, error);
  AbortWrites(port, error);
  if (port.PendingWait) {
    *port.PendingWait->Mask = 0;
    Complete(port.PendingWait->Overlapped, error, 0);
    port.PendingWait.reset();
  }
}

double TSimSerial::CharTimeMs(const PortData& port) const {
  const DCB& dcb = port.Dcb;
  const double stop = dcb.StopBits == ONESTOPBIT ? 1.0 : dcb.StopBits == ONE5STOPBITS ? 1.5 : 2.0;
  const double bits = 1.0 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1.0 : 0.0) + stop;
  const double rate = dcb.BaudRate > 0 ? dcb.BaudRate : 9600.0;
  return bits * 1000.0 / rate;
}

void TSimSerial::Signal(PortData& port, DWORD events) {
  port.Events |= events & port.Mask;
  if (port.PendingWait && port.Events != 0) {
    *port.PendingWait->Mask = port.Events;
    port.Events = 0;
    Complete(port.PendingWait->Overlapped, 0, 0);
    port.PendingWait.reset();
  }
}

void TSimSerial::ServeReads(PortData& port) {
  while (!port.Reads.empty() && !port.In.empty()) {
    Read& read = port.Reads.front();
    if (!read.FirstByteEnds && port.In.size() < read.Count) return;
    const DWORD count = std::min<DWORD>(read.Count, static_cast<DWORD>(port.In.size()));
    std::copy(port.In.begin(), port.In.begin() + count, read.Buffer);
    port.In.erase(port.In.begin(), port.In.begin() + count);
    Complete(read.Overlapped, 0, count);
    port.Reads.pop_front();
  }
}

void TSimSerial::DeliverInput(PortData& port, const std::string& bytes, DWORD errors, bool brk) {
  DWORD events = 0;
  for (char c : bytes) {
    if (port.In.size() >= port.InSize) {
      errors |= CE_RXOVER;  // the rest is lost, as in a full driver queue
      break;
    }
    port.In.push_back(static_cast<unsigned char>(c));
  }
  if (!bytes.empty()) events |= EV_RXCHAR;
  if (brk) {
    errors |= CE_BREAK;
    events |= EV_BREAK;
  }
  if (errors & kLineStatusErrors) events |= EV_ERR;
  port.Errors |= errors;
  ServeReads(port);
  Signal(port, events);
}

void TSimSerial::StartNextWrite(PortData& port, double now) {
  if (!port.Writes.empty() && port.Writes.front().StartMs < 0) port.Writes.front().StartMs = now;
}

void TSimSerial::SetLine(PortData& port, char line, bool high, bool fromEscape) {
  bool& state = line == 'R' ? port.Rts : port.Dtr;
  state = high;
  FLines.push_back({NowMs(), line, high, fromEscape});
}

void TSimSerial::ApplyLinesFromDcb(PortData& port) {
  const bool dtr = port.Dcb.fDtrControl != DTR_CONTROL_DISABLE;
  const bool rts = port.Dcb.fRtsControl != RTS_CONTROL_DISABLE;
  if (dtr != port.Dtr) SetLine(port, 'D', dtr, false);
  if (rts != port.Rts) SetLine(port, 'R', rts, false);
}

void TSimSerial::Tick(double now) {
  std::vector<std::pair<PortData*, std::string>> answered;
  for (auto& entry : FPorts) {
    PortData& port = entry.second;
    if (port.PendingWait && port.PendingWait->EmptyEndMs >= 0 && port.PendingWait->EmptyEndMs <= now) {
      *port.PendingWait->Mask = 0;
      Complete(port.PendingWait->Overlapped, ERROR_OPERATION_ABORTED, 0);
      port.PendingWait.reset();
    }
    for (auto it = port.Reads.begin(); it != port.Reads.end();) {
      if (it->DeadlineMs >= 0 && it->DeadlineMs <= now) {
        Complete(it->Overlapped, kTimedOut, 0);
        it = port.Reads.erase(it);
      } else {
        ++it;
      }
    }
    // Writes go out one after another, each at the line's speed.
    while (!port.Writes.empty()) {
      Write& write = port.Writes.front();
      const double charMs = CharTimeMs(port);
      const DWORD goal = write.Faulted ? std::min<DWORD>(write.FaultSent, static_cast<DWORD>(write.Data.size()))
                                       : static_cast<DWORD>(write.Data.size());
      const double endMs = write.StartMs + goal * charMs;
      double doneMs;
      DWORD sent;
      DWORD error;
      if (write.DeadlineMs >= 0 && write.DeadlineMs < endMs) {
        if (write.DeadlineMs > now) break;
        doneMs = write.DeadlineMs;
        sent = std::min<DWORD>(goal, static_cast<DWORD>(std::floor((doneMs - write.StartMs) / charMs)));
        error = kTimedOut;
      } else {
        if (endMs > now) break;
        doneMs = endMs;
        sent = goal;
        error = write.Faulted ? write.FaultError : 0;
      }
      TSimWrite& record = FWrites[write.Record];
      record.EndMs = doneMs;
      record.Sent = write.Data.substr(0, sent);
      record.Error = error == kTimedOut ? 0 : error;
      FTransmitted += record.Sent;
      if (FResponder && !record.Sent.empty()) answered.emplace_back(&port, record.Sent);
      Complete(write.Overlapped, error, sent);
      port.Writes.pop_front();
      if (!port.Writes.empty()) port.Writes.front().StartMs = doneMs;
    }
  }
  for (auto& answer : answered) {
    const std::string reply = FResponder(answer.second);
    if (!reply.empty()) DeliverInput(*answer.first, reply, 0, false);
  }
}

double TSimSerial::NextDeadline() const {
  double next = -1;
  auto consider = [&next](double t) {
    if (t >= 0 && (next < 0 || t < next)) next = t;
  };
  for (const auto& entry : FPorts) {
    const PortData& port = entry.second;
    if (port.PendingWait) consider(port.PendingWait->EmptyEndMs);
    for (const Read& read : port.Reads) consider(read.DeadlineMs);
    if (!port.Writes.empty()) {
      const Write& write = port.Writes.front();
      const DWORD goal = write.Faulted ? write.FaultSent : static_cast<DWORD>(write.Data.size());
      consider(write.StartMs + std::min<double>(goal, write.Data.size()) * CharTimeMs(port));
      consider(write.DeadlineMs);
    }
  }
  return next;
}

void TSimSerial::Worker() {
  std::lock_guard<TSimLock> lock(FMutex);
  while (!FStop) {
    const double now = NowMs();
    Tick(now);
    const double next = NextDeadline();
    const DWORD wait = next < 0 ? INFINITE : static_cast<DWORD>(std::max(0.0, std::ceil(next - now)));
    SleepConditionVariableSRW(&FWake, FMutex.Native(), wait, 0);
  }
}

// --------------------------------------------------------- seam functions

HANDLE WINAPI TSimSerial::SimCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD,
                                         DWORD flags, HANDLE) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("CreateFileA", flags, path);
  int number = 0;
  if (!ParsePortPath(path, number)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto found = sim.FPorts.find(number);
  if (found == sim.FPorts.end() || !found->second.Exists || found->second.Removed) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  PortData& port = found->second;
  // A COM port is for one user at a time, whatever the share mode says.
  if (port.Held || port.Handle != INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if ((access & (GENERIC_READ | GENERIC_WRITE)) == 0 || share != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  port.Handle = reinterpret_cast<HANDLE>(sim.FNextHandle);
  sim.FNextHandle += 4;
  port.Dcb = DefaultDcb();
  port.TimeOuts = {};
  port.Mask = port.Events = port.Errors = 0;
  port.In.clear();
  port.Rts = port.Dtr = false;
  sim.ApplyLinesFromDcb(port);
  return port.Handle;
}

BOOL WINAPI TSimSerial::SimCloseHandle(HANDLE handle) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("CloseHandle", 0);
  for (auto& entry : sim.FPorts) {
    PortData& port = entry.second;
    if (port.Handle != handle || handle == INVALID_HANDLE_VALUE) continue;
    sim.CancelAll(port, ERROR_OPERATION_ABORTED);
    port.Handle = INVALID_HANDLE_VALUE;
    return TRUE;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL WINAPI TSimSerial::SimSetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("SetupComm", inQueue);
  PortData* port = sim.Find(handle, false);
  if (port == nullptr) return FALSE;
  if (sim.FRefuseSetupComm && sim.FRefuseSetupComm(inQueue, outQueue)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  port->InSize = inQueue;
  port->OutSize = outQueue;
  return TRUE;
}

BOOL WINAPI TSimSerial::SimPurgeComm(HANDLE handle, DWORD flags) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("PurgeComm", flags);
  PortData* port = sim.Find(handle, false);
  if (port == nullptr) return FALSE;
  if ((flags & PURGE_TXABORT) && sim.FPurgeAborts) sim.AbortWrites(*port, ERROR_OPERATION_ABORTED);
  if ((flags & PURGE_RXABORT) && sim.FPurgeAborts) sim.AbortReads(*port, ERROR_OPERATION_ABORTED);
  if (flags & PURGE_RXCLEAR) port->In.clear();
  WakeAllConditionVariable(&sim.FWake);
  return TRUE;
}

BOOL WINAPI TSimSerial::SimGetCommState(HANDLE handle, LPDCB dcb) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("GetCommState", 0);
  PortData* port = sim.Find(handle, false);
  if (port == nullptr) return FALSE;
  *dcb = port->Dcb;
  return TRUE;
}

BOOL WINAPI TSimSerial::SimSetCommState(HANDLE handle, LPDCB dcb) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("SetCommState", dcb->BaudRate);
  PortData* port = sim.Find(handle, false);
  if (port == nullptr) return FALSE;
  // What a serial driver rejects by itself, then what the test refuses.
  const bool invalid = dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
                       dcb->StopBits > TWOSTOPBITS || dcb->XonChar == dcb->XoffChar;
  const bool refused = invalid || (sim.FRefuseDcb && sim.FRefuseDcb(*dcb));
  sim.FDcbs.push_back({sim.NowMs(), *dcb, !refused});
  if (refused) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  port->Dcb = *dcb;
  sim.ApplyLinesFromDcb(*port);
  return TRUE;
}

BOOL WINAPI TSimSerial::SimSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("SetCommTimeouts", timeouts->ReadTotalTimeoutConstant);
  PortData* port = sim.Find(handle, false);
  if (port == nullptr) return FALSE;
  if (sim.FRefuseTimeOuts && sim.FRefuseTimeOuts(*timeouts)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  port->TimeOuts = *timeouts;
  return TRUE;
}

BOOL WINAPI TSimSerial::SimSetCommMask(HANDLE handle, DWORD mask) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("SetCommMask", mask);
  PortData* port = sim.Find(handle, false);
  if (port == nullptr) return FALSE;
  // A new mask ends a pending wait with no event.
  if (port->PendingWait) {
    *port->PendingWait->Mask = 0;
    sim.Complete(port->PendingWait->Overlapped, 0, 0);
    port->PendingWait.reset();
  }
  port->Mask = mask;
  port->Events = 0;
  return TRUE;
}

BOOL WINAPI TSimSerial::SimWaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("WaitCommEvent", 0);
  PortData* port = sim.Find(handle, false);
  if (port == nullptr) return FALSE;
  if (overlapped == nullptr || port->Mask == 0 || port->PendingWait) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (sim.FStuckIo) return sim.Stick('E', overlapped, mask, sizeof(DWORD));
  if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
  if (port->Events != 0) {
    *mask = port->Events;
    port->Events = 0;
    sim.Complete(overlapped, 0, 0);
    return TRUE;
  }
  overlapped->Internal = kStatusPending;
  port->PendingWait.reset(new Wait{overlapped, mask, sim.FEmptyWakeMs > 0 ? sim.NowMs() + sim.FEmptyWakeMs : -1.0});
  WakeAllConditionVariable(&sim.FWake);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL WINAPI TSimSerial::SimClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("ClearCommError", 0);
  if (sim.FFailClearCommError) {
    // The outputs are not filled in: leave what a careless caller would use.
    if (errors != nullptr) *errors = 0xFFFFFFFF;
    if (status != nullptr) status->cbInQue = 0xDEAD;
    SetLastError(ERROR_BAD_COMMAND);
    return FALSE;
  }
  PortData* port = sim.Find(handle, false);
  if (port == nullptr) return FALSE;
  if (errors != nullptr) *errors = port->Errors;
  port->Errors = 0;
  if (status != nullptr) {
    *status = COMSTAT{};
    status->cbInQue = static_cast<DWORD>(port->In.size());
    DWORD out = 0;
    for (const Write& write : port->Writes) out += static_cast<DWORD>(write.Data.size());
    status->cbOutQue = out;
  }
  return TRUE;
}

BOOL WINAPI TSimSerial::SimEscapeCommFunction(HANDLE handle, DWORD function) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("EscapeCommFunction", function);
  PortData* port = sim.Find(handle, false);
  if (port == nullptr) return FALSE;
  if (sim.FFailEscape) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  switch (function) {
    case SETRTS: sim.SetLine(*port, 'R', true, true); return TRUE;
    case CLRRTS: sim.SetLine(*port, 'R', false, true); return TRUE;
    case SETDTR: sim.SetLine(*port, 'D', true, true); return TRUE;
    case CLRDTR: sim.SetLine(*port, 'D', false, true); return TRUE;
    case SETXON: case SETXOFF: case SETBREAK: case CLRBREAK: return TRUE;
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
  }
}

BOOL WINAPI TSimSerial::SimReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read,
                                    LPOVERLAPPED overlapped) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("ReadFile", count);
  PortData* port = sim.Find(handle, true);
  if (port == nullptr) return FALSE;
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (sim.FStuckIo) return sim.Stick('R', overlapped, buffer, count);
  if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
  const COMMTIMEOUTS& t = port->TimeOuts;
  const bool anyByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0;
  const bool available = anyByte ? !port->In.empty() : port->In.size() >= count;
  const bool returnAtOnce = count == 0 || (anyByte && t.ReadTotalTimeoutConstant == 0);
  if (available || returnAtOnce) {
    const DWORD n = std::min<DWORD>(count, static_cast<DWORD>(port->In.size()));
    std::copy(port->In.begin(), port->In.begin() + n, static_cast<unsigned char*>(buffer));
    port->In.erase(port->In.begin(), port->In.begin() + n);
    if (read != nullptr) *read = n;
    sim.Complete(overlapped, 0, n);
    return TRUE;
  }
  const DWORD total = t.ReadTotalTimeoutMultiplier * count + t.ReadTotalTimeoutConstant;
  overlapped->Internal = kStatusPending;
  port->Reads.push_back(
      {overlapped, static_cast<unsigned char*>(buffer), count, anyByte, total > 0 ? sim.NowMs() + total : -1.0});
  port->MostReads = std::max(port->MostReads, static_cast<int>(port->Reads.size()));
  WakeAllConditionVariable(&sim.FWake);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL WINAPI TSimSerial::SimWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written,
                                     LPOVERLAPPED overlapped) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("WriteFile", count);
  PortData* port = sim.Find(handle, true);
  if (port == nullptr) return FALSE;
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (sim.FFailWrites > 0) {
    --sim.FFailWrites;
    SetLastError(sim.FFailWriteError);
    return FALSE;
  }
  if (sim.FStuckIo) return sim.Stick('W', overlapped, buffer, count);
  if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
  const double now = sim.NowMs();
  sim.FWrites.push_back({now, -1.0, count, std::string(), 0});
  if (count == 0) {
    sim.FWrites.back().EndMs = now;
    if (written != nullptr) *written = 0;
    sim.Complete(overlapped, 0, 0);
    return TRUE;
  }
  const COMMTIMEOUTS& t = port->TimeOuts;
  const DWORD total = t.WriteTotalTimeoutMultiplier * count + t.WriteTotalTimeoutConstant;
  Write write{overlapped,
              std::string(static_cast<const char*>(buffer), count),
              total > 0 ? now + total : -1.0,
              -1.0,
              sim.FWrites.size() - 1,
              0,
              0,
              false};
  if (sim.FWriteFaultArmed) {
    sim.FWriteFaultArmed = false;
    write.Faulted = true;
    write.FaultSent = sim.FWriteFaultSent;
    write.FaultError = sim.FWriteFaultError;
  }
  overlapped->Internal = kStatusPending;
  port->Writes.push_back(std::move(write));
  sim.StartNextWrite(*port, now);
  WakeAllConditionVariable(&sim.FWake);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL WINAPI TSimSerial::SimGetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
  TSimSerial& sim = *gSim;
  std::unique_lock<TSimLock> lock(sim.FMutex);
  while (overlapped->Internal == kStatusPending) {
    if (!wait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    lock.unlock();
    WaitForSingleObject(overlapped->hEvent, 10);
    lock.lock();
  }
  if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  const ULONG_PTR status = overlapped->Internal;
  if ((status & kErrorStatusBase) == kErrorStatusBase) {
    SetLastError(static_cast<DWORD>(status & ~kErrorStatusBase));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI TSimSerial::SimCancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  TSimSerial& sim = *gSim;
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.Record("CancelIoEx", 0);
  for (auto& entry : sim.FPorts) {
    PortData& port = entry.second;
    if (port.Handle != handle || handle == INVALID_HANDLE_VALUE) continue;
    bool found = false;
    for (auto it = port.Reads.begin(); it != port.Reads.end();) {
      if (overlapped == nullptr || it->Overlapped == overlapped) {
        sim.Complete(it->Overlapped, ERROR_OPERATION_ABORTED, 0);
        it = port.Reads.erase(it);
        found = true;
      } else {
        ++it;
      }
    }
    for (auto it = port.Writes.begin(); it != port.Writes.end();) {
      if (overlapped == nullptr || it->Overlapped == overlapped) {
        const bool head = it == port.Writes.begin();
        sim.EndWrite(port, *it, ERROR_OPERATION_ABORTED);
        it = port.Writes.erase(it);
        if (head) sim.StartNextWrite(port, sim.NowMs());
        found = true;
      } else {
        ++it;
      }
    }
    if (port.PendingWait && (overlapped == nullptr || port.PendingWait->Overlapped == overlapped)) {
      *port.PendingWait->Mask = 0;
      sim.Complete(port.PendingWait->Overlapped, ERROR_OPERATION_ABORTED, 0);
      port.PendingWait.reset();
      found = true;
    }
    if (found) return TRUE;
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

HANDLE WINAPI TSimSerial::SimCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                          LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags, LPDWORD id) {
  TSimSerial& sim = *gSim;
  {
    std::lock_guard<TSimLock> lock(sim.FMutex);
    sim.Record("CreateThread", flags);
    if (sim.FFailThreadAt > 0 && --sim.FFailThreadAt == 0) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  return ::CreateThread(security, stack, start, param, flags, id);
}

BOOL WINAPI TSimSerial::SimPostThreadMessageA(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam) {
  TSimSerial& sim = *gSim;
  {
    std::lock_guard<TSimLock> lock(sim.FMutex);
    sim.Record("PostThreadMessageA", message);
    if (sim.FFailPosts > 0) {
      --sim.FFailPosts;
      SetLastError(ERROR_NOT_ENOUGH_QUOTA);
      return FALSE;
    }
  }
  return ::PostThreadMessageA(thread, message, wParam, lParam);
}

HGLOBAL WINAPI TSimSerial::SimGlobalAlloc(UINT flags, SIZE_T size) {
  TSimSerial& sim = *gSim;
  {
    std::lock_guard<TSimLock> lock(sim.FMutex);
    sim.Record("GlobalAlloc", static_cast<DWORD>(size));
    if (sim.FFailAllocs > 0) {
      --sim.FFailAllocs;
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  HGLOBAL block = ::GlobalAlloc(flags, size);
  if (block != nullptr) {
    std::lock_guard<TSimLock> lock(sim.FMutex);
    sim.FAllocated[reinterpret_cast<uintptr_t>(block)] = size;
  }
  return block;
}

HGLOBAL WINAPI TSimSerial::SimGlobalFree(HGLOBAL block) {
  TSimSerial& sim = *gSim;
  {
    std::lock_guard<TSimLock> lock(sim.FMutex);
    sim.Record("GlobalFree", 0);
    sim.FAllocated.erase(reinterpret_cast<uintptr_t>(block));
  }
  return ::GlobalFree(block);
}

void TSimSerial::RecordWaitEnd(const char* name, DWORD result) {
  // The wait was recorded when it began; the records may have been cleared
  // meanwhile.
  const DWORD thread = GetCurrentThreadId();
  for (auto it = FCalls.rbegin(); it != FCalls.rend(); ++it) {
    if (it->ThreadId == thread && it->Name == name && it->Result == kWaitRunning) {
      it->Result = result;
      return;
    }
  }
}

DWORD WINAPI TSimSerial::SimWaitForSingleObject(HANDLE object, DWORD ms) {
  TSimSerial& sim = *gSim;
  bool hold = false;
  {
    std::lock_guard<TSimLock> lock(sim.FMutex);
    sim.Record("WaitForSingleObject", ms);
    sim.FCalls.back().Result = kWaitRunning;
    hold = sim.FHoldTimedWaits;
  }
  const DWORD result = ::WaitForSingleObject(object, hold ? INFINITE : ms);
  std::lock_guard<TSimLock> lock(sim.FMutex);
  sim.RecordWaitEnd("WaitForSingleObject", result);
  return result;
}

DWORD WINAPI TSimSerial::SimMsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* objects, DWORD ms, DWORD wake,
                                                         DWORD flags) {
  TSimSerial& sim = *gSim;
  DWORD limit = ms;
  {
    std::lock_guard<TSimLock> lock(sim.FMutex);
    sim.Record("MsgWaitForMultipleObjectsEx", ms);
    sim.FCalls.back().Result = kWaitRunning;
    if (sim.FUiWaitHoldMs != 0 && ms < sim.FUiWaitHoldMs) limit = sim.FUiWaitHoldMs;
  }
  const DWORD result = ::MsgWaitForMultipleObjectsEx(count, objects, limit, wake, flags);
  std::lock_guard<TSimLock> lock(sim.FMutex);
  // The index after the objects stands for a message.
  sim.RecordWaitEnd("MsgWaitForMultipleObjectsEx", result == WAIT_OBJECT_0 + count ? kWaitMessage : result);
  return result;
}

void WINAPI TSimSerial::SimSleep(DWORD ms) {
  TSimSerial& sim = *gSim;
  bool fast = false;
  if (ms > 1) {
    std::lock_guard<TSimLock> lock(sim.FMutex);
    sim.Record("Sleep", ms);
    fast = sim.FFastPauses;
  }
  ::Sleep(fast ? 0 : ms);
}
