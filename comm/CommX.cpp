// Settings and lifecycle of the serial port component: creation, Open,
// Close, the property writes and how each reaches an open port.
#include "CommX.h"

#include <cstring>
#include <string>

#include "Application.h"
#include "CommInternal.h"
#include "CommSeam.h"

namespace {

const char kAlreadyOpen[] = "ポートは、すでにオープンされています";
const char kCannotOpen[] = "ポートをオープンできませんでした";
const char kTransThreadFailed[] = "送信用スレッドを生成できませんでした";
const char kReceiveThreadFailed[] = "受信用スレッドを生成できませんでした";
const char kBitRateFailed[] = "通信速度の設定でエラーが発生しました";
const char kCharSizeFailed[] = "通信ビット数の設定でエラーが発生しました";
const char kParityFailed[] = "通信パリティチェックの設定でエラーが発生しました";
const char kStopBitsFailed[] = "通信ストップビット数の設定でエラーが発生しました";
const char kFlowCtrlFailed[] = "通信フロー制御の設定で失敗しました";
const char kTimeOutsFailed[] = "通信タイムアウト時間の設定で失敗しました";
const char kXonFailed[] = "Ｘｏｎ文字の設定でエラーが発生しました";
const char kXoffFailed[] = "Ｘｏｆｆ文字の設定でエラーが発生しました";
const char kBuffersFailed[] = "通信用ポートのバッファを準備できませんでした";

// A port number of more than 8 characters is refused: the device path
// ("\\.\COM" and the number) is kept to 15 characters.
constexpr size_t kMaxPortDigits = 8;
// Below this the character time (1000 div (rate div 10)) has no value.
constexpr int32_t kMinBitRate = 10;

constexpr DWORD kPortEvents = EV_RXCHAR | EV_BREAK | EV_ERR;

// The DCB's 32-bit flag word (fBinary .. fAbortOnError and the bits above)
// follows DCBlength and BaudRate.
constexpr size_t kDcbFlagsOffset = 2 * sizeof(DWORD);
static_assert(sizeof(DCB) == 28, "DCB layout");

uint32_t FlowCtrlFlags(TCommFlowCtrls value) {
  switch (value) {
    case cfcRtsCts: return 0x2017;
    case cfcDtrDsr: return 0x102B;
    case cfcXonXoff: return 0x1313;
    case cfcHalfHigh: return 0x0013;
    default: return 0x1013;  // cfcHalfLow, cfcNone and any other ordinal
  }
}

HANDLE DuplicateForWait(HANDLE source) {
  HANDLE copy = nullptr;
  if (source == nullptr ||
      !DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

}  // namespace

int32_t CharTimeMs(int32_t bitRate) {
  if (bitRate < kMinBitRate) return 0;
  return 1000 / (bitRate / 10) + 1;
}

void ProcessPendingMessages() {
  if (Application != nullptr) {
    Application->ProcessMessages();
    return;
  }
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void ProcessSentMessages() {
  // Handles only what other threads sent, the component's reports among it;
  // posted input stays.
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

DWORD WaitOnUiThread(HANDLE object, DWORD limitMs, TUiService service) {
  const DWORD wake = service == TUiService::AllMessages ? QS_ALLINPUT : QS_SENDMESSAGE;
  // MWMO_INPUTAVAILABLE: a message that came before the wait ends it too.
  const DWORD result = CommApi().MsgWaitForMultipleObjectsEx(object != nullptr ? 1 : 0, &object, limitMs, wake,
                                                             MWMO_INPUTAVAILABLE);
  if (service == TUiService::AllMessages) {
    ProcessPendingMessages();
  } else {
    ProcessSentMessages();
  }
  return result;
}

void* AllocIoMemory(size_t size) { return CommApi().GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size); }

void FreeIoMemory(void* block) {
  if (block != nullptr) CommApi().GlobalFree(block);
}

bool CancelAndAwait(HANDLE port, OVERLAPPED* overlapped, HANDLE event, DWORD boundMs) {
  const TCommApi& api = CommApi();
  DWORD done = 0;
  api.CancelIoEx(port, overlapped);
  const ULONGLONG deadline = GetTickCount64() + boundMs;
  for (;;) {
    if (api.GetOverlappedResult(port, overlapped, &done, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    api.WaitForSingleObject(event, static_cast<DWORD>(deadline - now));
  }
}

TCustomCommX::TCustomCommX(TComponent* AOwner)
    : TComponent(AOwner),
      FNotifyWnd(nullptr),
      FTransThread(nullptr),
      FReceiveThread(nullptr),
      FWriteLock(),
      FQueueLock(),
      FHandle(INVALID_HANDLE_VALUE),
      FPortNo(1),
      FBitRate(9600),
      FCharSize(8),
      FParityBit(cpbNone),
      FStopBit(csb1),
      FFlowCtrl(cfcRtsCts),
      FTimeOutTrans(3000),
      FTimeOutReceive(3000),
      FXonChar(0x11),
      FXoffChar(0x13),
      FBufLenTrans(2048),
      FBufLenReceive(2048),
      FCommDcb(),
      FReadEvent(nullptr),
      FReadOverlapped(nullptr),
      FPendingBytes(0),
      FPendingBlocks(0),
      FTransThreadHandle(nullptr),
      FReceiveThreadHandle(nullptr),
      FReceiveWake(nullptr),
      FTransThreadId(0),
      FBlockDone(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      FTransWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      FTransAnswer{CreateEventW(nullptr, FALSE, FALSE, nullptr), false},
      FReceiveAnswer{CreateEventW(nullptr, FALSE, FALSE, nullptr), false},
      FClosing(false),
      FReadPending(false),
      FReadSerial(0),
      FOpenSerial(0),
      FDeviceGone(false) {
  if (!Designing()) FNotifyWnd = AllocateHWnd([this](TMessage& message) { NotifyWndProc(message); });
  FCommDcb.DCBlength = sizeof(DCB);
  InitializeCriticalSection(&FWriteLock);
  InitializeCriticalSection(&FQueueLock);
}

TCustomCommX::~TCustomCommX() {
  if (IsOpen()) Close();
  if (!Designing()) DeallocateHWnd(FNotifyWnd);
  DeleteCriticalSection(&FWriteLock);
  DeleteCriticalSection(&FQueueLock);
  if (FReadOverlapped != nullptr) {
    FreeIoMemory(FReadOverlapped->Buffer);
    FreeIoMemory(FReadOverlapped);
  }
  if (FBlockDone != nullptr) CloseHandle(FBlockDone);
  if (FTransWake != nullptr) CloseHandle(FTransWake);
  if (FTransAnswer.Event != nullptr) CloseHandle(FTransAnswer.Event);
  if (FReceiveAnswer.Event != nullptr) CloseHandle(FReceiveAnswer.Event);
}

void TCustomCommX::Open() {
  if (IsOpen()) throw ECommError(kAlreadyOpen);
  const std::string digits = std::to_string(FPortNo);
  if (digits.size() > kMaxPortDigits) throw ECommError(kCannotOpen);
  const std::string path = "\\\\.\\COM" + digits;
  const TCommApi& api = CommApi();
  FHandle = api.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (FHandle == INVALID_HANDLE_VALUE) throw ECommError(kCannotOpen);
  ++FOpenSerial;
  FDeviceGone.store(false);
  try {
    FPendingBytes = 0;
    FPendingBlocks = 0;
    ApplyBufferSizes();
    api.PurgeComm(FHandle, PURGE_TXABORT | PURGE_TXCLEAR);
    api.PurgeComm(FHandle, PURGE_RXABORT | PURGE_RXCLEAR);
    api.GetCommState(FHandle, &FCommDcb);
    SetBitRate(FBitRate);
    SetCharSize(FCharSize);
    SetParityBit(FParityBit);
    SetStopBit(FStopBit);
    SetFlowCtrl(FlowCtrl());
    ApplyTimeOuts();
    SetXonChar(FXonChar);
    SetXoffChar(FXoffChar);
    api.SetCommMask(FHandle, kPortEvents);
    FReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (PrepareReadRecord(1)) FReadOverlapped->Overlapped.hEvent = FReadEvent;
    StartThreads();
  } catch (...) {
    Close();
    throw;
  }
}

void TCustomCommX::StartThreads() {
  FTransThread = nullptr;
  FReceiveThread = nullptr;

  TCommTransThread* writer = nullptr;
  // Without its wake-up and block-done events the writer's waits could not
  // be ended, nor PurgeSend's and SendData's: no writer at all then.
  if (FTransWake == nullptr || FBlockDone == nullptr) throw ECommError(kTransThreadFailed);
  try {
    writer = new TCommTransThread(this, FHandle, FNotifyWnd);
  } catch (...) {
    throw ECommError(kTransThreadFailed);
  }
  FTransThread = writer;
  FTransThreadId = writer->ThreadID();
  FTransThreadHandle = DuplicateForWait(writer->Handle());
  writer->FAnswer = FTransAnswer.Event;
  writer->FWake = FTransWake;
  writer->FCharTime.store(CharTimeMs(FBitRate));
  writer->Resume();

  TCommReceiveThread* receiver = nullptr;
  try {
    receiver = new TCommReceiveThread(FHandle, FNotifyWnd);
  } catch (...) {
    throw ECommError(kReceiveThreadFailed);
  }
  FReceiveThread = receiver;
  FReceiveThreadHandle = DuplicateForWait(receiver->Handle());
  FReceiveWake = DuplicateForWait(receiver->FEvent);
  receiver->FAnswer = FReceiveAnswer.Event;
  receiver->Resume();

  CommApi().Sleep(100);
  // A post to a thread fails until the thread has its message queue; on a
  // loaded machine the pause alone does not promise that.
  WaitForSingleObject(writer->FQueueReady, INFINITE);
}

void TCustomCommX::Close() {
  if (!IsOpen() || FClosing) return;
  FClosing = true;
  // Close may run inside the handlers of the threads' reports: the threads
  // go on now, as Close is about to wait for them.
  Answer(FTransAnswer);
  Answer(FReceiveAnswer);
  const TCommApi& api = CommApi();
  SetDtr(false);
  SetRts(false);
  PurgeSend();
  PurgeReceive();
  api.Sleep(100);
  StopThreads();
  EndPendingRead();
  // An event that a driver may still set went with its abandoned record.
  if (FReadEvent != nullptr) CloseHandle(FReadEvent);
  FReadEvent = nullptr;
  api.CloseHandle(FHandle);
  FHandle = INVALID_HANDLE_VALUE;
  FClosing = false;
  api.Sleep(200);
}

void TCustomCommX::StopThreads() {
  const DWORD writerId = FTransThreadId;
  // Neither thread object is touched after its termination request: each
  // may release itself from then on.
  if (FTransThread != nullptr) {
    FTransThread->Terminate();
    CommApi().PostThreadMessageA(writerId, WM_COMMX_STOP, 0, 0);
    SetEvent(FTransWake);  // a write it still waits for is given up
  }
  if (FReceiveThread != nullptr) {
    FReceiveThread->Terminate();
    SetEvent(FReceiveWake);
  }
  FTransThread = nullptr;
  FReceiveThread = nullptr;
  // Both threads use the port handle, the locks and the counters until
  // their run ends, so the port is released only after that.
  WaitForThreadEnd(FTransThreadHandle, [writerId] { CommApi().PostThreadMessageA(writerId, WM_COMMX_STOP, 0, 0); });
  WaitForThreadEnd(FReceiveThreadHandle, [this] { SetEvent(FReceiveWake); });
  if (FReceiveWake != nullptr) CloseHandle(FReceiveWake);
  FReceiveWake = nullptr;
  FTransThreadId = 0;
}

void TCustomCommX::WaitForThreadEnd(HANDLE& thread, const std::function<void()>& wakeAgain) {
  if (thread == nullptr) return;
  // A thread that ends may first report and wait for the report's handling,
  // so sent messages are handled while waiting. The wake-up is repeated in
  // case the first one was lost.
  constexpr DWORD kRewakeMs = 100;
  ProcessSentMessages();
  for (;;) {
    const DWORD result = WaitOnUiThread(thread, kRewakeMs, TUiService::SentOnly);
    if (result == WAIT_OBJECT_0 || result == WAIT_FAILED) break;
    if (result == WAIT_TIMEOUT) wakeAgain();
  }
  CloseHandle(thread);
  thread = nullptr;
}

void TCustomCommX::SendDcb(const char* refusal) {
  if (!CommApi().SetCommState(FHandle, &FCommDcb)) throw ECommError(refusal);
}

void TCustomCommX::SetPortNo(int32_t Value) {
  FPortNo = Value;
  if (!IsOpen()) return;
  Close();
  Open();
}

void TCustomCommX::SetBitRate(int32_t Value) {
  FBitRate = Value;
  if (!IsOpen()) return;
  FCommDcb.BaudRate = static_cast<DWORD>(Value);
  // Refused here: the writer's character time divides by Value div 10.
  if (Value < kMinBitRate) throw ECommError(kBitRateFailed);
  SendDcb(kBitRateFailed);
  if (FTransThread != nullptr) FTransThread->FCharTime.store(CharTimeMs(Value));
}

void TCustomCommX::SetCharSize(int32_t Value) {
  FCharSize = Value;
  if (!IsOpen()) return;
  FCommDcb.ByteSize = static_cast<BYTE>(Value & 0xFF);
  SendDcb(kCharSizeFailed);
}

void TCustomCommX::SetParityBit(TCommParityBits Value) {
  FParityBit = Value;
  if (!IsOpen()) return;
  switch (Value) {
    case cpbNone: FCommDcb.Parity = NOPARITY; break;
    case cpbOdd: FCommDcb.Parity = ODDPARITY; break;
    case cpbEven: FCommDcb.Parity = EVENPARITY; break;
    default: return;
  }
  SendDcb(kParityFailed);
}

void TCustomCommX::SetStopBit(TCommStopBits Value) {
  FStopBit = Value;
  if (!IsOpen()) return;
  switch (Value) {
    case csb1: FCommDcb.StopBits = ONESTOPBIT; break;
    case csb1p5: FCommDcb.StopBits = ONE5STOPBITS; break;
    case csb2: FCommDcb.StopBits = TWOSTOPBITS; break;
    default: return;
  }
  SendDcb(kStopBitsFailed);
}

void TCustomCommX::SetFlowCtrl(TCommFlowCtrls Value) {
  FFlowCtrl.store(Value, std::memory_order_relaxed);
  if (!IsOpen()) return;
  const uint32_t flags = FlowCtrlFlags(Value);
  std::memcpy(reinterpret_cast<unsigned char*>(&FCommDcb) + kDcbFlagsOffset, &flags, sizeof(flags));
  const WORD limit = static_cast<WORD>(FBufLenReceive / 4);
  FCommDcb.XonLim = limit;
  FCommDcb.XoffLim = limit;
  SendDcb(kFlowCtrlFailed);
}

void TCustomCommX::SetTimeOutTrans(int32_t Value) {
  FTimeOutTrans = Value;
  ApplyTimeOuts();
}

void TCustomCommX::SetTimeOutReceive(int32_t Value) {
  FTimeOutReceive = Value;
  ApplyTimeOuts();
}

void TCustomCommX::SetXonChar(char Value) {
  FXonChar = Value;
  if (!IsOpen()) return;
  FCommDcb.XonChar = Value;
  SendDcb(kXonFailed);
}

void TCustomCommX::SetXoffChar(char Value) {
  FXoffChar = Value;
  if (!IsOpen()) return;
  FCommDcb.XoffChar = Value;
  SendDcb(kXoffFailed);
}

void TCustomCommX::SetBufLenTrans(int32_t Value) {
  FBufLenTrans = Value;
  ApplyBufferSizes();
}

void TCustomCommX::SetBufLenReceive(int32_t Value) {
  FBufLenReceive = Value;
  if (!IsOpen()) return;
  ApplyBufferSizes();
  SetFlowCtrl(FlowCtrl());
}

void TCustomCommX::ApplyTimeOuts() {
  if (!IsOpen()) return;
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(FTimeOutReceive);
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(FTimeOutTrans);
  if (!CommApi().SetCommTimeouts(FHandle, &timeouts)) throw ECommError(kTimeOutsFailed);
}

void TCustomCommX::ApplyBufferSizes() {
  if (!IsOpen()) return;
  // SendData cuts data into blocks of at most BufLenTrans bytes.
  if (FBufLenTrans < 1) throw ECommError(kBuffersFailed);
  if (!CommApi().SetupComm(FHandle, static_cast<DWORD>(FBufLenReceive), static_cast<DWORD>(FBufLenTrans))) {
    throw ECommError(kBuffersFailed);
  }
}

bool TCustomCommX::SendString(const std::string& S) {
  if (S.empty()) return true;
  if (S.size() > static_cast<size_t>(INT32_MAX)) return false;
  return SendData(S.data(), static_cast<int32_t>(S.size()));
}

void TCustomCommX::SetRts(bool Value) {
  if (!IsOpen()) return;
  CommApi().EscapeCommFunction(FHandle, Value ? SETRTS : CLRRTS);
}

void TCustomCommX::SetDtr(bool Value) {
  if (!IsOpen()) return;
  CommApi().EscapeCommFunction(FHandle, Value ? SETDTR : CLRDTR);
}
