// Receive side: reads with time-outs on the caller's thread, the
// receive-event thread that watches the line, and the hidden window that
// turns its reports into the component's events.
#include <cstring>

#include "CommInternal.h"
#include "CommSeam.h"
#include "CommX.h"

bool IsDeviceGoneError(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_INVALID_HANDLE ||
         error == ERROR_DEVICE_REMOVED;
}

bool IsTimeOutEnd(DWORD error) { return error == ERROR_TIMEOUT; }

namespace {

// The pause after a wake-up that brought no event. Under Wine a pending
// WaitCommEvent on a pseudo-terminal ends every few ms with an empty mask,
// each round costing about 4 ms of processor time there, so an idle port
// kept most of a core busy. Each doubling of the pause roughly halves the
// cost; doubling from 4 ms up to 100 ms, an idle port measured 1 to 1.5 %
// of a core there (30 % without the pause), and a byte that arrives waits
// at most the longest pause for OnReceive (reads do not wait for it: they
// complete on their own), while a burst of events meets no pause at all. On
// Windows a wait ends without an event only when the mask changes (as the
// end of the thread does), so the pause costs nothing there.
constexpr DWORD kFirstEmptyWakePauseMs = 4;
constexpr DWORD kLongestEmptyWakePauseMs = 100;

DWORD NextEmptyWakePause(DWORD pauseMs, DWORD mask) {
  if (mask != 0) return 0;
  if (pauseMs == 0) return kFirstEmptyWakePauseMs;
  return pauseMs >= kLongestEmptyWakePauseMs / 2 ? kLongestEmptyWakePauseMs : pauseMs * 2;
}

// Reads and clears the port's error state; its line-status bits, or 0.
DWORD TakeLineErrors(HANDLE port) {
  DWORD errors = 0;
  COMSTAT status = {};
  // A failed call fills in nothing: there is nothing to report.
  if (!CommApi().ClearCommError(port, &errors, &status)) return 0;
  return errors & kCommLineErrorBits;
}

}  // namespace

void ReportLineErrors(HANDLE PortHandle, HWND WindowHandle) {
  const DWORD lineErrors = TakeLineErrors(PortHandle);
  if (lineErrors != 0) SendMessageW(WindowHandle, WM_COMMX_ERROR, kFromCaller, static_cast<LPARAM>(lineErrors));
}

void ReportLineErrorsFromThread(HANDLE port, HWND window, WPARAM sender, HANDLE answer) {
  const DWORD lineErrors = TakeLineErrors(port);
  if (lineErrors != 0) NotifyFromThread(window, sender, answer, WM_COMMX_ERROR, static_cast<LPARAM>(lineErrors));
}

void NotifyFromThread(HWND window, WPARAM sender, HANDLE answer, UINT message, LPARAM lParam) {
  // Returns at once: the message waits among those sent to the window's
  // thread. Nothing waits when it could not be delivered, nor without an
  // answer event (the system refused the component one).
  if (!SendNotifyMessageW(window, message, sender, lParam)) return;
  WaitForSingleObject(answer, INFINITE);
}

int32_t TCustomCommX::ReceiveData(void* Buffer, int32_t Count) {
  if (!IsOpen() || FReceiveThread == nullptr || Buffer == nullptr || Count < 0) return -1;
  const TCommApi& api = CommApi();
  // FReadOverlapped takes one read at a time. A read still pending belongs
  // to an outer ReceiveData whose wait ran this call; it is ended here and
  // that call returns -1.
  EndPendingRead();
  if (!PrepareReadRecord(static_cast<DWORD>(Count))) return -1;
  TReadRecord& record = *FReadOverlapped;
  const uint32_t serial = ++FReadSerial;
  DWORD read = 0;
  // The driver reads into the record's buffer, which outlives a read that
  // it never gives back; the bytes are copied out once it is done.
  auto deliver = [&](DWORD count) {
    std::memcpy(Buffer, record.Buffer, count <= static_cast<DWORD>(Count) ? count : static_cast<DWORD>(Count));
    return static_cast<int32_t>(count);
  };
  if (api.ReadFile(FHandle, record.Buffer, static_cast<DWORD>(Count), &read, &record.Overlapped)) return deliver(read);
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    if (IsDeviceGoneError(error)) FDeviceGone.store(true);
    ReportLineErrors(FHandle, FNotifyWnd);
    return -1;
  }
  FReadPending = true;
  // The read time-out ends every read; one that the driver still holds a
  // while after it is given up as failed.
  const ULONGLONG giveUp = GetTickCount64() + static_cast<DWORD>(FTimeOutReceive > 0 ? FTimeOutReceive : 0) +
                           kCancelledIoBoundMs;
  for (;;) {
    read = 0;
    if (api.GetOverlappedResult(FHandle, &record.Overlapped, &read, FALSE) || IsTimeOutEnd(GetLastError())) {
      FReadPending = false;
      return deliver(read);
    }
    if (GetLastError() != ERROR_IO_INCOMPLETE) {
      FReadPending = false;
      ReportLineErrors(FHandle, FNotifyWnd);
      return -1;
    }
    // Checked only while the read is still incomplete: one that finished
    // during a long handler below is collected above, never given up.
    if (GetTickCount64() >= giveUp) {
      EndPendingRead();
      ReportLineErrors(FHandle, FNotifyWnd);
      return -1;
    }
    // Wakes when the read completes, and for the user interface, whose
    // handlers run here.
    WaitOnUiThread(FReadEvent, kUiWaitLimitMs, TUiService::AllMessages);
    // A handler may have closed the port or started a read of its own; in
    // both cases this read was ended and collected there.
    if (!IsOpen() || FReceiveThread == nullptr || !FReadPending || FReadSerial != serial) return -1;
  }
}

bool TCustomCommX::PrepareReadRecord(DWORD count) {
  constexpr DWORD kLeastCapacity = 64;
  if (FReadOverlapped == nullptr) {
    FReadOverlapped = static_cast<TReadRecord*>(AllocIoMemory(sizeof(TReadRecord)));
    if (FReadOverlapped == nullptr) return false;
    if (FReadEvent == nullptr && IsOpen()) FReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FReadOverlapped->Overlapped.hEvent = FReadEvent;
  }
  TReadRecord& record = *FReadOverlapped;
  if (record.Buffer == nullptr || record.Capacity < count) {
    const DWORD capacity = count > kLeastCapacity ? count : kLeastCapacity;
    auto* buffer = static_cast<unsigned char*>(AllocIoMemory(capacity));
    if (buffer == nullptr) return false;
    FreeIoMemory(record.Buffer);
    record.Buffer = buffer;
    record.Capacity = capacity;
  }
  return true;
}

void TCustomCommX::AbandonReadRecord() {
  // The driver may still complete the read: the record, its buffer and its
  // event are never released. The next read makes new ones.
  FReadOverlapped = nullptr;
  FReadEvent = nullptr;
}

void TCustomCommX::EndPendingRead() {
  if (!FReadPending) return;
  FReadPending = false;
  // The buffer stays the driver's until the read has completed.
  if (!CancelAndAwait(FHandle, &FReadOverlapped->Overlapped, FReadEvent, kCancelledIoBoundMs)) AbandonReadRecord();
}

void TCustomCommX::PurgeReceive() {
  if (!IsOpen()) return;
  const TCommApi& api = CommApi();
  api.PurgeComm(FHandle, PURGE_RXABORT | PURGE_RXCLEAR);
  // Not every driver ends a pending read on the purge; the waiting
  // ReceiveData then sees it aborted.
  if (FReadPending) api.CancelIoEx(FHandle, &FReadOverlapped->Overlapped);
}

int32_t TCustomCommX::ReceiveCount() {
  if (!IsOpen()) return 0;
  DWORD errors = 0;
  COMSTAT status = {};
  if (!CommApi().ClearCommError(FHandle, &errors, &status)) return 0;
  return static_cast<int32_t>(status.cbInQue);
}

void TCustomCommX::NotifyWndProc(TMessage& Message) {
  switch (Message.Msg) {
    case WM_COMMX_RECEIVE:
    case WM_COMMX_BREAK:
    case WM_COMMX_ERROR: DispatchReport(Message); break;
    default: Message.Result = DefWindowProcW(FNotifyWnd, Message.Msg, Message.WParam, Message.LParam);
  }
}

void TCustomCommX::DispatchReport(const TMessage& Message) {
  // The sending thread waits until the handler has returned, also by an
  // exception, unless Close, PurgeSend or SendData has let it go on first.
  struct TAnswerOnReturn {
    TReportAnswer* answer;
    ~TAnswerOnReturn() {
      if (answer != nullptr) Answer(*answer);
    }
  } answerOnReturn{AnswerFor(Message.WParam)};
  if (answerOnReturn.answer != nullptr) answerOnReturn.answer->Due = true;
  switch (Message.Msg) {
    case WM_COMMX_RECEIVE: DoReceive(); break;
    case WM_COMMX_BREAK: DoBreak(); break;
    default: DoError(static_cast<int32_t>(Message.LParam)); break;
  }
}

TCustomCommX::TReportAnswer* TCustomCommX::AnswerFor(WPARAM sender) {
  switch (sender) {
    case kFromTransThread: return &FTransAnswer;
    case kFromReceiveThread: return &FReceiveAnswer;
    default: return nullptr;  // a report of this thread's own
  }
}

void TCustomCommX::Answer(TReportAnswer& answer) {
  if (!answer.Due) return;
  answer.Due = false;
  SetEvent(answer.Event);
}

void TCustomCommX::DoReceive() {
  if (!EventsEnabled() || !FOnReceive) return;
  const int32_t size = ReceiveCount();
  if (size != 0) FOnReceive(this, size);
}

void TCustomCommX::DoBreak() {
  if (EventsEnabled() && FOnBreak) FOnBreak(this);
}

void TCustomCommX::DoError(int32_t ErrorState) {
  if (EventsEnabled() && FOnError) FOnError(this, ErrorState);
}

TCommReceiveThread::TCommReceiveThread(HANDLE APortHandle, HWND ANotifyWnd)
    : TThread(CommApi().CreateThread),
      FPortHandle(APortHandle),
      FNotifyWnd(ANotifyWnd),
      FAnswer(nullptr),
      FEvent(nullptr),
      FWaitRecord(nullptr) {
  // Made here rather than in the run, so that Close always has an event to
  // set, however late the thread gets to run.
  FEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  FWaitRecord = static_cast<TWaitRecord*>(AllocIoMemory(sizeof(TWaitRecord)));
  if (FEvent == nullptr || FWaitRecord == nullptr) {
    if (FEvent != nullptr) CloseHandle(FEvent);
    FreeIoMemory(FWaitRecord);
    throw EThread("受信イベントを作成できませんでした");
  }
  SetFreeOnTerminate(true);
}

TCommReceiveThread::~TCommReceiveThread() {
  if (FEvent != nullptr) CloseHandle(FEvent);
  FreeIoMemory(FWaitRecord);
}

void TCommReceiveThread::Notify(UINT message, LPARAM lParam) {
  NotifyFromThread(FNotifyWnd, kFromReceiveThread, FAnswer, message, lParam);
}

void TCommReceiveThread::Execute() {
  const TCommApi& api = CommApi();
  OVERLAPPED& overlapped = FWaitRecord->Overlapped;
  overlapped.hEvent = FEvent;
  DWORD& mask = FWaitRecord->Mask;
  bool waitPending = false;
  DWORD pauseMs = 0;
  for (;;) {
    mask = 0;
    waitPending = false;
    if (!api.WaitCommEvent(FPortHandle, &mask, &overlapped)) {
      waitPending = GetLastError() == ERROR_IO_PENDING;
      WaitForSingleObject(FEvent, INFINITE);
    }
    if (Terminated()) break;
    waitPending = false;  // the driver ended the wait: Close alone sets FEvent otherwise
    ReportLineErrorsFromThread(FPortHandle, FNotifyWnd, kFromReceiveThread, FAnswer);
    if (mask & EV_BREAK) Notify(WM_COMMX_BREAK, static_cast<LPARAM>(mask));
    if (mask & EV_RXCHAR) Notify(WM_COMMX_RECEIVE, 0);
    if (Terminated()) break;
    pauseMs = NextEmptyWakePause(pauseMs, mask);
    if (pauseMs == 0) continue;
    // No wait is pending on the port now, so only Close sets FEvent.
    api.WaitForSingleObject(FEvent, pauseMs);
    if (Terminated()) break;
  }
  api.SetCommMask(FPortHandle, 0);
  bool abandoned = false;
  if (waitPending) {
    // The driver still holds the record and the mask.
    DWORD ignored = 0;
    if (!api.GetOverlappedResult(FPortHandle, &overlapped, &ignored, FALSE) &&
        GetLastError() == ERROR_IO_INCOMPLETE) {
      abandoned = !CancelAndAwait(FPortHandle, &overlapped, FEvent, kCancelledIoBoundMs);
    }
  }
  api.Sleep(100);
  if (abandoned) {
    // Left to the driver for the rest of the process.
    FWaitRecord = nullptr;
  } else {
    CloseHandle(FEvent);
  }
  FEvent = nullptr;
  SetFreeOnTerminate(true);
}
