// Figures of the serial port component against a minimal hand-written use of
// the same system calls, on one COM port with the board simulator behind it:
//   - one request/answer exchange (2 bytes out, 2 bytes in), median;
//   - 1 MiB sent, until the last byte has been written;
//   - the processor time that an open, idle port costs;
//   - on an idle port, the delay from a request to OnReceive for its answer;
//   - a whole read procedure and a whole write procedure of the board ID
//     protocol (purge, request, answer byte by byte; three passes).
//
//   comm_bench.exe PORT [EXCHANGES]      (run by run-bench, which starts
//                                        the simulator on that port)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CommX.h"
#include "board_protocol.h"

namespace {

const char kRequest[] = "\xFE\x7E";
constexpr int32_t kMiB = 1 << 20;
constexpr DWORD kBlock = 2048;

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
}

// Handles every pending message for `ms`, waking for each one as it comes.
void PumpFor(double ms) {
  const double end = NowMs() + ms;
  for (double now = NowMs(); now < end; now = NowMs()) {
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now) + 1, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
}

// The protocol's view of a port, a list and a box, with nothing shown.
class ComponentBoardPort : public zefa::BoardPort {
 public:
  explicit ComponentBoardPort(TCommX& comm) : FComm(comm) {}
  void PurgeReceive() override { FComm.PurgeReceive(); }
  bool SendString(const std::string& bytes) override { return FComm.SendString(bytes); }
  int32_t ReceiveData(void* buffer, int32_t count) override { return FComm.ReceiveData(buffer, count); }

 private:
  TCommX& FComm;
};

class FixedIdList : public zefa::IdList {
 public:
  int32_t ItemIndex() const override { return FIndex; }
  void SetItemIndex(int32_t index) override { FIndex = index; }

 private:
  int32_t FIndex = 7;  // the simulated board's ID: a write leaves it as it was
};

class SilentBox : public zefa::MessageBoxSink {
 public:
  int32_t MsgBox(uint8_t, uint8_t, int32_t, int32_t, const std::string&) override { return 1; }
};

void Configure(TCommX& comm, int32_t port) {
  comm.SetPortNo(port);
  comm.SetBitRate(115200);
  comm.SetCharSize(8);
  comm.SetParityBit(cpbNone);
  comm.SetStopBit(csb1);
  comm.SetFlowCtrl(cfcNone);
  comm.SetTimeOutTrans(3000);
  comm.SetTimeOutReceive(30);
  comm.SetBufLenTrans(2048);
  comm.SetBufLenReceive(2048);
}

// The same port driven by hand: overlapped calls, each waited for.
class RawPort : public zefa::BoardPort {
 public:
  explicit RawPort(int32_t port) {
    const std::string path = "\\\\.\\COM" + std::to_string(port);
    FHandle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE) return;
    SetupComm(FHandle, 2048, 2048);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(FHandle, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(FHandle, &dcb);
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 30, 0, 3000};
    SetCommTimeouts(FHandle, &timeouts);
    PurgeComm(FHandle, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    FWrite.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    FRead.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~RawPort() {
    if (FHandle == INVALID_HANDLE_VALUE) return;
    CloseHandle(FWrite.hEvent);
    CloseHandle(FRead.hEvent);
    CloseHandle(FHandle);
  }
  RawPort(const RawPort&) = delete;
  RawPort& operator=(const RawPort&) = delete;

  bool Ok() const { return FHandle != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return FHandle; }

  DWORD Write(const void* data, DWORD count) { return Complete(WriteFile(FHandle, data, count, nullptr, &FWrite), FWrite); }
  DWORD Read(void* data, DWORD count) { return Complete(ReadFile(FHandle, data, count, nullptr, &FRead), FRead); }

  void PurgeReceive() override { PurgeComm(FHandle, PURGE_RXABORT | PURGE_RXCLEAR); }
  bool SendString(const std::string& bytes) override {
    return Write(bytes.data(), static_cast<DWORD>(bytes.size())) == bytes.size();
  }
  int32_t ReceiveData(void* buffer, int32_t count) override {
    return static_cast<int32_t>(Read(buffer, static_cast<DWORD>(count)));
  }

 private:
  DWORD Complete(BOOL started, OVERLAPPED& overlapped) {
    DWORD done = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) return 0;
    GetOverlappedResult(FHandle, &overlapped, &done, TRUE);  // a time-out gives what was done
    return done;
  }

  HANDLE FHandle = INVALID_HANDLE_VALUE;
  OVERLAPPED FWrite = {};
  OVERLAPPED FRead = {};
};

bool ComponentExchange(TCommX& comm) {
  comm.PurgeReceive();
  if (!comm.SendString(std::string(kRequest, 2))) return false;
  char answer[2];
  int got = 0;
  while (got < 2) {
    const int32_t n = comm.ReceiveData(answer + got, 2 - got);
    if (n <= 0) return false;
    got += n;
  }
  return true;
}

bool RawExchange(RawPort& port) {
  // The same calls as the component's exchange: stale input goes first.
  port.PurgeReceive();
  if (port.Write(kRequest, 2) != 2) return false;
  char answer[2];
  DWORD got = 0;
  while (got < 2) {
    const DWORD n = port.Read(answer + got, 2 - got);
    if (n == 0) return false;
    got += n;
  }
  return true;
}

// What waiting for line events costs on this system by itself: the
// receive-event thread's wait alone, without its reports.
struct IdleWait {
  double cpuMsPerS;
  double wakesPerS;
};

IdleWait MeasureIdleWait(HANDLE port) {
  SetCommMask(port, EV_RXCHAR | EV_BREAK | EV_ERR);
  struct Shared {
    HANDLE port;
    volatile LONG stop;
    LONG wakes;
  } shared{port, 0, 0};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        while (!s->stop) {
          DWORD mask = 0;
          if (!WaitCommEvent(s->port, &mask, &overlapped)) WaitForSingleObject(overlapped.hEvent, 500);
          InterlockedIncrement(&s->wakes);
        }
        SetCommMask(s->port, 0);
        CancelIoEx(s->port, &overlapped);
        DWORD ignored;
        GetOverlappedResult(s->port, &overlapped, &ignored, TRUE);
        CloseHandle(overlapped.hEvent);
        return 0;
      },
      &shared, 0, nullptr);
  Sleep(200);
  const LONG wakes0 = shared.wakes;
  const double cpu0 = ProcessCpuMs();
  const double wall0 = NowMs();
  Sleep(2000);
  const double seconds = (NowMs() - wall0) / 1000.0;
  IdleWait result{(ProcessCpuMs() - cpu0) / seconds, (shared.wakes - wakes0) / seconds};
  shared.stop = 1;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return result;
}

struct Procedures {
  std::vector<double> readMs;
  std::vector<double> writeMs;
  int failures = 0;
};

// Whole read and write procedures (three passes each), added to `into`.
void TimeProcedures(zefa::BoardPort& port, int runs, Procedures& into) {
  FixedIdList list;
  SilentBox box;
  for (int i = 0; i < runs; ++i) {
    double start = NowMs();
    if (zefa::ReadProcedure(port, list, box, 0) != zefa::ReadOutcome::Completed) ++into.failures;
    into.readMs.push_back(NowMs() - start);
    start = NowMs();
    if (zefa::WriteProcedure(port, list, box, 0) != zefa::WriteOutcome::Succeeded) ++into.failures;
    into.writeMs.push_back(NowMs() - start);
  }
}

struct Delays {
  double medianMs = 0;
  double maxMs = 0;
  int missed = 0;
};

// From a request sent on a port that has been idle for a while to
// OnReceive for its answer: the receive-event thread's reaction to a byte
// that nobody is reading. The idle spells vary, so that the byte meets the
// thread at every point of its pauses.
Delays MeasureReceiveDelay(TCommX& comm, int samples) {
  double firedMs = -1;
  comm.SetOnReceive([&](TObject*, int32_t) {
    if (firedMs < 0) firedMs = NowMs();
  });
  std::vector<double> delays;
  Delays result;
  for (int i = 0; i < samples; ++i) {
    PumpFor(300 + (i * 37) % 400);
    comm.PurgeReceive();
    firedMs = -1;
    const double start = NowMs();
    comm.SendString(std::string(kRequest, 2));
    const double end = start + 2000;
    while (firedMs < 0 && NowMs() < end) PumpFor(0.5);
    if (firedMs < 0) {
      ++result.missed;
    } else {
      delays.push_back(firedMs - start);
    }
  }
  comm.SetOnReceive(nullptr);
  comm.PurgeReceive();
  result.medianMs = Median(delays);
  result.maxMs = delays.empty() ? 0.0 : *std::max_element(delays.begin(), delays.end());
  return result;
}

std::vector<double> Time(int runs, const std::function<bool()>& exchange, int& failures) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const double start = NowMs();
    if (exchange()) {
      times.push_back(NowMs() - start);
    } else {
      ++failures;
    }
  }
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: comm_bench PORT [EXCHANGES]\n");
    return 2;
  }
  const int32_t port = std::atoi(argv[1]);
  const int runs = argc > 2 ? std::atoi(argv[2]) : 300;
  std::string mib(kMiB, '\0');
  for (int32_t i = 0; i < kMiB; ++i) mib[i] = static_cast<char>(0x20 + i % 90);  // noise to the board

  // The component and the hand-written calls take turns, a share of every
  // figure each turn, so that a change in the machine's load meets both.
  constexpr int kRounds = 5;
  constexpr int kProcedureRuns = 4;  // per round
  int componentFailures = 0, rawFailures = 0;
  std::vector<double> componentTimes, rawTimes, componentSends, rawSends;
  Procedures componentProcedures, rawProcedures;
  double idleCpuMsPerS = 0;
  Delays receiveDelay;
  IdleWait rawIdle{0, 0};
  for (int round = 0; round < kRounds; ++round) {
    const bool last = round == kRounds - 1;
    try {
      TCommX comm(nullptr);
      Configure(comm, port);
      comm.Open();
      comm.PurgeSend();
      std::vector<double> times = Time(runs / kRounds, [&] { return ComponentExchange(comm); }, componentFailures);
      componentTimes.insert(componentTimes.end(), times.begin(), times.end());
      ComponentBoardPort boardPort(comm);
      TimeProcedures(boardPort, kProcedureRuns, componentProcedures);

      const double start = NowMs();
      comm.SendData(mib.data(), kMiB);
      while (comm.PendingBytes() > 0) Sleep(1);
      componentSends.push_back(NowMs() - start);

      if (last) {
        Sleep(200);
        const double cpu0 = ProcessCpuMs();
        const double wall0 = NowMs();
        Sleep(2000);  // open and idle: only the component's threads run
        idleCpuMsPerS = (ProcessCpuMs() - cpu0) / ((NowMs() - wall0) / 1000.0);
        receiveDelay = MeasureReceiveDelay(comm, 20);
      }
      comm.Close();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "comm_bench: the component failed: %s\n", e.what());
      return 1;
    }

    RawPort raw(port);
    if (!raw.Ok()) {
      std::fprintf(stderr, "comm_bench: cannot open COM%d by hand\n", port);
      return 1;
    }
    std::vector<double> times = Time(runs / kRounds, [&] { return RawExchange(raw); }, rawFailures);
    rawTimes.insert(rawTimes.end(), times.begin(), times.end());
    TimeProcedures(raw, kProcedureRuns, rawProcedures);
    const double start = NowMs();
    for (int32_t done = 0; done < kMiB; done += kBlock) raw.Write(mib.data() + done, kBlock);
    rawSends.push_back(NowMs() - start);
    if (last) rawIdle = MeasureIdleWait(raw.Handle());
  }
  const double componentSendMs = Median(componentSends);
  const double rawSendMs = Median(rawSends);
  const double componentReadMs = Median(componentProcedures.readMs);
  const double componentWriteMs = Median(componentProcedures.writeMs);
  const double rawReadMs = Median(rawProcedures.readMs);
  const double rawWriteMs = Median(rawProcedures.writeMs);
  const int procedureRuns = kRounds * kProcedureRuns;

  const double componentMedian = Median(componentTimes);
  const double rawMedian = Median(rawTimes);
  std::printf("exchanges: %d each, in %d turns (failed: component %d, by hand %d)\n", runs / kRounds * kRounds,
              kRounds, componentFailures, rawFailures);
  std::printf("exchange median, component:   %.3f ms\n", componentMedian);
  std::printf("exchange median, by hand:     %.3f ms\n", rawMedian);
  std::printf("exchange ratio:               %.2f\n", rawMedian > 0 ? componentMedian / rawMedian : 0.0);
  std::printf("1 MiB, component SendData, median of %d: %.1f ms (%.0f KiB/s)\n", kRounds, componentSendMs, 1024.0 / (componentSendMs / 1000.0));
  std::printf("1 MiB, by hand, 2048-byte WriteFile loop, median of %d: %.1f ms (%.0f KiB/s)\n", kRounds, rawSendMs,
              1024.0 / (rawSendMs / 1000.0));
  std::printf("1 MiB ratio:                  %.2f\n", rawSendMs > 0 ? componentSendMs / rawSendMs : 0.0);
  std::printf("open idle port, component: %.2f ms of processor time per second (%.2f %%)\n", idleCpuMsPerS,
              idleCpuMsPerS / 10.0);
  std::printf("a bare WaitCommEvent loop on the same port: %.2f ms per second, %.0f wake-ups per second\n",
              rawIdle.cpuMsPerS, rawIdle.wakesPerS);
  std::printf("idle port, request to OnReceive of its answer: median %.1f ms, max %.1f ms (%d missed)\n",
              receiveDelay.medianMs, receiveDelay.maxMs, receiveDelay.missed);
  std::printf("read procedure, median of %d:  component %.2f ms, by hand %.2f ms, ratio %.2f\n", procedureRuns,
              componentReadMs, rawReadMs, rawReadMs > 0 ? componentReadMs / rawReadMs : 0.0);
  std::printf("write procedure, median of %d: component %.2f ms, by hand %.2f ms, ratio %.2f\n", procedureRuns,
              componentWriteMs, rawWriteMs, rawWriteMs > 0 ? componentWriteMs / rawWriteMs : 0.0);
  if (componentProcedures.failures + rawProcedures.failures > 0) {
    std::printf("procedures that did not succeed: component %d, by hand %d\n", componentProcedures.failures,
                rawProcedures.failures);
  }
  return 0;
}
