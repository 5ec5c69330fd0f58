#include "CommTestSupport.h"

#include <tlhelp32.h>

#include <cstdio>

#include "NotifyWindow.h"

namespace {

class ApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Application = new TApplication();
    Application->Initialize();
    Application->SetTitle("comm tests");
  }
  void TearDown() override { delete Application; }
};

const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

LARGE_INTEGER Frequency() {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return f;
}

}  // namespace

double NowMs() {
  static const LARGE_INTEGER frequency = Frequency();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs) {
  const double end = NowMs() + timeoutMs;
  while (!pred()) {
    if (NowMs() > end) return pred();
    Application->ProcessMessages();
    Sleep(1);
  }
  return true;
}

void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

int ProcessThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

DWORD OpenHandleCount() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
  // Wine answers 0: count the handle values that are in use instead.
  for (uintptr_t value = 4; value < (1u << 18); value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

void ApplyProgramSettings(TCommX& comm) {
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

PostedProbe::PostedProbe(std::function<void()> onHandled)
    : FOnHandled(std::move(onHandled)), FWnd(AllocateHWnd([this](TMessage& m) {
    if (m.Msg == WM_APP + 7) {
      ++FHandled;
      if (FOnHandled) FOnHandled();
    } else {
      m.Result = DefWindowProcW(FWnd, m.Msg, m.WParam, m.LParam);
    }
  })) {}

PostedProbe::~PostedProbe() { DeallocateHWnd(FWnd); }

void PostedProbe::Post() { PostMessageW(FWnd, WM_APP + 7, 0, 0); }

Watchdog::Watchdog(DWORD timeoutMs, std::string what)
    : FTimeoutMs(timeoutMs),
      FWhat(std::move(what)),
      FLeft(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      FThread(CreateThread(nullptr, 0, &Watchdog::Watch, this, 0, nullptr)) {}

Watchdog::~Watchdog() {
  SetEvent(FLeft);
  WaitForSingleObject(FThread, INFINITE);
  CloseHandle(FThread);
  CloseHandle(FLeft);
}

DWORD WINAPI Watchdog::Watch(LPVOID self) {
  auto* watchdog = static_cast<Watchdog*>(self);
  if (WaitForSingleObject(watchdog->FLeft, watchdog->FTimeoutMs) == WAIT_TIMEOUT) {
    std::fprintf(stderr, "watchdog: %s has not ended within %lu ms: deadlock\n", watchdog->FWhat.c_str(),
                 static_cast<unsigned long>(watchdog->FTimeoutMs));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  return 0;
}

void EventLog::Attach(TCommX& comm) {
  comm.SetOnError([this](TObject*, int32_t state) {
    Events.push_back("error " + std::to_string(state));
    Threads.push_back(GetCurrentThreadId());
  });
  comm.SetOnBreak([this](TObject*) {
    Events.push_back("break");
    Threads.push_back(GetCurrentThreadId());
  });
  comm.SetOnReceive([this](TObject*, int32_t size) {
    Events.push_back("receive " + std::to_string(size));
    Threads.push_back(GetCurrentThreadId());
  });
}

void CommTest::SetUp() {
  sim.AddPort(1);
  sim.AddPort(2);
  // Tests of timing turn this off; the others need not wait out the
  // pauses of Open and Close, which the record still shows.
  sim.SetFastPauses(true);
  comm.reset(new TCommX(nullptr));
  comm->SetPortNo(1);
}

void CommTest::TearDown() {
  comm.reset();
  // Nothing of the component may still be at work on the driver.
  const TSimPortState port = sim.Port(1);
  EXPECT_FALSE(port.Open);
}

void CommTest::OpenProgramPort() {
  ApplyProgramSettings(*comm);
  comm->Open();
}

std::vector<TSimCall> CommTest::CallsSince(size_t first, const std::string& name) const {
  std::vector<TSimCall> all = sim.Calls();
  std::vector<TSimCall> out;
  for (size_t i = first; i < all.size(); ++i) {
    if (all[i].Name == name) out.push_back(all[i]);
  }
  return out;
}
