// Transmit side: SendData cuts the bytes into blocks and posts them to the
// writer thread, which writes them with overlapped writes; PurgeSend throws
// away what is queued.
#include <windows.h>
#include <mmsystem.h>

#include <cstring>

#include "CommInternal.h"
#include "CommSeam.h"
#include "CommX.h"

namespace {

// SendData waits while this many blocks are queued for the writer.
constexpr int32_t kMaxPendingBlocks = 32;
constexpr DWORD kHalfDuplexLeadMs = 50;

// The half-duplex character time is a pause of 1 or 2 ms at the usual
// rates, and Sleep on Windows lasts a whole timer tick (15.6 ms by default)
// unless the timer resolution is raised; it is raised for that pause only.
void CharTimePause(DWORD ms) {
  if (ms == 0) return;
  timeBeginPeriod(1);
  CommApi().Sleep(ms);
  timeEndPeriod(1);
}

class TLock {
 public:
  explicit TLock(CRITICAL_SECTION& section) : FSection(section) { EnterCriticalSection(&FSection); }
  ~TLock() { LeaveCriticalSection(&FSection); }
  TLock(const TLock&) = delete;
  TLock& operator=(const TLock&) = delete;

 private:
  CRITICAL_SECTION& FSection;
};

}  // namespace

int32_t TCustomCommX::PendingBytes() {
  TLock lock(FQueueLock);
  return FPendingBytes;
}

int32_t TCustomCommX::PendingBlocks() {
  TLock lock(FQueueLock);
  return FPendingBlocks;
}

bool TCustomCommX::SendData(const void* Buffer, int32_t Count) {
  if (Count <= 0) return true;
  if (Buffer == nullptr) return false;
  const TCommApi& api = CommApi();
  const auto* position = static_cast<const unsigned char*>(Buffer);
  // A port that a handler closed and opened again inside the wait below is
  // another session: the rest of these bytes does not belong to it.
  const uint32_t session = FOpenSerial;
  while (Count > 0) {
    if (!IsOpen() || FTransThread == nullptr || FOpenSerial != session || FDeviceGone.load()) return false;
    if (FBufLenTrans < 1) return false;  // refused by its write; no progress possible
    if (PendingBlocks() >= kMaxPendingBlocks) {
      // This call may run inside the handler of the writer's report.
      Answer(FTransAnswer);
      WaitOnUiThread(FBlockDone, kUiWaitLimitMs, TUiService::AllMessages);
      continue;
    }
    const int32_t piece = Count <= FBufLenTrans ? Count : FBufLenTrans;
    void* block = api.GlobalAlloc(GMEM_FIXED, static_cast<SIZE_T>(piece));
    if (block != nullptr) {
      std::memcpy(block, position, static_cast<size_t>(piece));
      {
        TLock lock(FQueueLock);
        FPendingBytes += piece;
        FPendingBlocks += 1;
      }
      if (!api.PostThreadMessageA(FTransThreadId, WM_COMMX_SEND, static_cast<WPARAM>(piece),
                                  reinterpret_cast<LPARAM>(block))) {
        // Nobody else will release this block or count it down.
        api.GlobalFree(block);
        TLock lock(FQueueLock);
        FPendingBytes = FPendingBytes > piece ? FPendingBytes - piece : 0;
        FPendingBlocks = FPendingBlocks > 0 ? FPendingBlocks - 1 : 0;
        return false;
      }
    }
    position += piece;
    Count -= piece;
  }
  return true;
}

void TCustomCommX::PurgeSend() {
  if (!IsOpen()) return;
  const TCommApi& api = CommApi();
  if (FTransThread == nullptr) {
    api.PurgeComm(FHandle, PURGE_TXABORT | PURGE_TXCLEAR);
    return;
  }
  TCommTransThread* writer = FTransThread;
  // The writer may be waiting for a handler that runs this call.
  Answer(FTransAnswer);
  writer->FAbort.store(true);
  SetEvent(FTransWake);  // a write the driver does not end is given up
  // The writer gives up a write within kCancelledIoBoundMs; this bound only
  // keeps a writer that cannot run from holding the caller.
  // The bound counts from the writer's last finished block, so that a
  // long report handler run below does not cut a working purge short.
  ULONGLONG giveUp = GetTickCount64() + 2 * kCancelledIoBoundMs;
  int32_t pending = PendingBytes();
  for (;;) {
    {
      TLock lock(FWriteLock);
      api.PurgeComm(FHandle, PURGE_TXABORT | PURGE_TXCLEAR);
      // Not every driver's purge ends the write in progress (Wine's does
      // not); the lock keeps a new write from starting meanwhile.
      if (OVERLAPPED* record = writer->FWriteRecord.load()) api.CancelIoEx(FHandle, record);
    }
    const int32_t now = PendingBytes();
    if (now == 0) break;
    if (now < pending) {
      pending = now;
      giveUp = GetTickCount64() + 2 * kCancelledIoBoundMs;
    }
    if (GetTickCount64() >= giveUp) break;
    // Until the writer has finished a block, handling its line-error
    // report meanwhile: it waits for that report's answer.
    WaitOnUiThread(FBlockDone, kUiWaitLimitMs, TUiService::SentOnly);
    // A handler run by that report may have closed the port; the writer
    // object may then be gone.
    if (FTransThread != writer) return;
  }
  writer->FAbort.store(false);
}

TCommTransThread::TCommTransThread(TCustomCommX* AComm, HANDLE APortHandle, HWND ANotifyWnd)
    : TThread(CommApi().CreateThread),
      FComm(AComm),
      FPortHandle(APortHandle),
      FNotifyWnd(ANotifyWnd),
      FAnswer(nullptr),
      FWake(nullptr),
      FAbort(false),
      FCharTime(0),
      FQueueReady(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      FWriteRecord(nullptr),
      FRecord(NewWriteRecord()) {
  if (FRecord == nullptr) {
    if (FQueueReady != nullptr) CloseHandle(FQueueReady);
    throw EThread("送信イベントを作成できませんでした");
  }
  // Also when the run is skipped because Close came first.
  SetFreeOnTerminate(true);
}

TCommTransThread::~TCommTransThread() {
  if (FQueueReady != nullptr) CloseHandle(FQueueReady);
  if (FRecord != nullptr) {
    CloseHandle(FRecord->hEvent);
    FreeIoMemory(FRecord);
  }
}

OVERLAPPED* TCommTransThread::NewWriteRecord() {
  auto* record = static_cast<OVERLAPPED*>(AllocIoMemory(sizeof(OVERLAPPED)));
  if (record == nullptr) return nullptr;
  record->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (record->hEvent == nullptr) {
    FreeIoMemory(record);
    return nullptr;
  }
  return record;
}

void TCommTransThread::Execute() {
  FWriteRecord.store(FRecord);
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // creates the message queue
  // Ready for posts, and for PurgeSend to reach the write record.
  SetEvent(FQueueReady);
  for (;;) {
    bool burst = false;
    WaitMessage();
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.hwnd != nullptr || msg.message != WM_COMMX_SEND) continue;
      if (!FAbort.load() && !Terminated()) {
        if (!burst) {
          burst = true;
          HalfDuplexBegin();
        }
        if (!WriteBlock(msg)) {
          FinishBlock(msg, false);
          continue;
        }
      }
      FinishBlock(msg, true);
    }
    if (burst) HalfDuplexEnd();
    if (Terminated()) break;
  }
  FWriteRecord.store(nullptr);
  CommApi().Sleep(100);
  SetFreeOnTerminate(true);
}

bool TCommTransThread::WriteBlock(const MSG& msg) {
  const TCommApi& api = CommApi();
  const auto* position = reinterpret_cast<const unsigned char*>(msg.lParam);
  DWORD remaining = static_cast<DWORD>(msg.wParam);
  while (!FAbort.load() && !Terminated()) {
    if (FRecord == nullptr) return true;  // no record since a driver kept the last: nothing more is written
    OVERLAPPED& overlapped = *FRecord;
    DWORD written = 0;
    ResetEvent(overlapped.hEvent);
    EnterCriticalSection(&FComm->FWriteLock);
    const BOOL done = api.WriteFile(FPortHandle, position, remaining, &written, &overlapped);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    LeaveCriticalSection(&FComm->FWriteLock);
    if (done) return true;
    if (error != ERROR_IO_PENDING) {
      if (IsDeviceGoneError(error)) FComm->FDeviceGone.store(true);
      ReportErrors();
      return true;
    }
    // The block may be released only once the driver is done with it.
    if (!AwaitWrite()) return false;
    written = 0;
    if (api.GetOverlappedResult(FPortHandle, &overlapped, &written, FALSE)) return true;
    if (IsTimeOutEnd(GetLastError())) return true;  // the write time-out ended it: done, as with success
    ReportErrors();
    // A failed write that sent nothing would fail the same way again.
    if (written == 0 || written >= remaining) return true;
    position += written;
    remaining -= written;
  }
  return true;
}

bool TCommTransThread::AwaitWrite() {
  // Without a time limit while the write runs (a slow line, no write
  // time-out); once PurgeSend or Close wants it ended, it is cancelled and
  // the driver gets a bounded time to give the record and the block back.
  const HANDLE waits[2] = {FRecord->hEvent, FWake};
  for (;;) {
    const DWORD result = WaitForMultipleObjects(FWake != nullptr ? 2 : 1, waits, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0 + 1) return true;
    if (!FAbort.load() && !Terminated()) continue;  // a wake-up meant for an earlier write
    if (CancelAndAwait(FPortHandle, FRecord, FRecord->hEvent, kCancelledIoBoundMs)) return true;
    // The driver keeps the record, its event and the block for good; later
    // writes get a record of their own.
    FRecord = NewWriteRecord();
    FWriteRecord.store(FRecord);
    return false;
  }
}

void TCommTransThread::ReportErrors() {
  ReportLineErrorsFromThread(FPortHandle, FNotifyWnd, kFromTransThread, FAnswer);
}

void TCommTransThread::FinishBlock(const MSG& msg, bool release) {
  if (release) CommApi().GlobalFree(reinterpret_cast<HGLOBAL>(msg.lParam));
  const auto size = static_cast<int32_t>(msg.wParam);
  {
    TLock lock(FComm->FQueueLock);
    FComm->FPendingBytes = FComm->FPendingBytes - size > 0 ? FComm->FPendingBytes - size : 0;
    if (FComm->FPendingBlocks > 0) FComm->FPendingBlocks -= 1;
  }
  SetEvent(FComm->FBlockDone);
}

void TCommTransThread::HalfDuplexBegin() {
  const TCommFlowCtrls mode = FComm->FFlowCtrl.load(std::memory_order_relaxed);
  if (mode != cfcHalfHigh && mode != cfcHalfLow) return;
  const TCommApi& api = CommApi();
  api.Sleep(kHalfDuplexLeadMs);
  api.EscapeCommFunction(FPortHandle, mode == cfcHalfHigh ? SETRTS : CLRRTS);
  CharTimePause(static_cast<DWORD>(CharTime()));
}

void TCommTransThread::HalfDuplexEnd() {
  const TCommFlowCtrls mode = FComm->FFlowCtrl.load(std::memory_order_relaxed);
  if (mode != cfcHalfHigh && mode != cfcHalfLow) return;
  CharTimePause(static_cast<DWORD>(CharTime()));
  CommApi().EscapeCommFunction(FPortHandle, mode == cfcHalfHigh ? CLRRTS : SETRTS);
}
