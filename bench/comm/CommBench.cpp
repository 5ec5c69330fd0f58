// Figures of the serial port component against a minimal hand-written use of
// the same system calls, on one COM port with the board simulator behind it:
//   - one request/answer exchange (2 bytes out, 2 bytes in), median;
//   - 1 MiB sent, until the last byte has been written;
//   - the processor time that an open, idle port costs.
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
class RawPort {
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

  int componentFailures = 0;
  std::vector<double> componentTimes;
  double componentSendMs = 0;
  double idleCpuMsPerS = 0;
  try {
    TCommX comm(nullptr);
    Configure(comm, port);
    comm.Open();
    comm.PurgeSend();

    componentTimes = Time(runs, [&] { return ComponentExchange(comm); }, componentFailures);

    const double start = NowMs();
    comm.SendData(mib.data(), kMiB);
    while (comm.PendingBytes() > 0) Sleep(1);
    componentSendMs = NowMs() - start;

    Sleep(200);
    const double cpu0 = ProcessCpuMs();
    const double wall0 = NowMs();
    Sleep(2000);  // open and idle: only the component's threads run
    idleCpuMsPerS = (ProcessCpuMs() - cpu0) / ((NowMs() - wall0) / 1000.0);
    comm.Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "comm_bench: the component failed: %s\n", e.what());
    return 1;
  }

  int rawFailures = 0;
  std::vector<double> rawTimes;
  double rawSendMs = 0;
  IdleWait rawIdle{0, 0};
  {
    RawPort raw(port);
    if (!raw.Ok()) {
      std::fprintf(stderr, "comm_bench: cannot open COM%d by hand\n", port);
      return 1;
    }
    rawTimes = Time(runs, [&] { return RawExchange(raw); }, rawFailures);
    const double start = NowMs();
    for (int32_t done = 0; done < kMiB; done += kBlock) raw.Write(mib.data() + done, kBlock);
    rawSendMs = NowMs() - start;
    rawIdle = MeasureIdleWait(raw.Handle());
  }

  const double componentMedian = Median(componentTimes);
  const double rawMedian = Median(rawTimes);
  std::printf("exchanges: %d each (failed: component %d, by hand %d)\n", runs, componentFailures, rawFailures);
  std::printf("exchange median, component:   %.3f ms\n", componentMedian);
  std::printf("exchange median, by hand:     %.3f ms\n", rawMedian);
  std::printf("exchange ratio:               %.2f\n", rawMedian > 0 ? componentMedian / rawMedian : 0.0);
  std::printf("1 MiB, component SendData:    %.1f ms (%.0f KiB/s)\n", componentSendMs, 1024.0 / (componentSendMs / 1000.0));
  std::printf("1 MiB, by hand, 2048-byte WriteFile loop: %.1f ms (%.0f KiB/s)\n", rawSendMs,
              1024.0 / (rawSendMs / 1000.0));
  std::printf("1 MiB ratio:                  %.2f\n", rawSendMs > 0 ? componentSendMs / rawSendMs : 0.0);
  std::printf("open idle port, component: %.2f ms of processor time per second (%.2f %%)\n", idleCpuMsPerS,
              idleCpuMsPerS / 10.0);
  std::printf("a bare WaitCommEvent loop on the same port: %.2f ms per second, %.0f wake-ups per second\n",
              rawIdle.cpuMsPerS, rawIdle.wakesPerS);
  return 0;
}
