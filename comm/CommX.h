// The serial port component: one COM port, its line settings, a writer
// thread fed through its message queue, reads with time-outs on the
// caller's thread, and line events (received data, break, line errors)
// reported on the thread that created the component.
//
// Threads. Every operation of TCustomCommX, the hidden window and the
// event handlers run on the user-interface thread (the creator). An open
// port adds two threads, made by Open and ended by Close:
//   - the writer (TCommTransThread), the only writer of the port, fed with
//     WM_COMMX_SEND blocks through its thread message queue;
//   - the receive-event thread (TCommReceiveThread), which waits for line
//     events with WaitCommEvent and reports them; after a wake-up that
//     brought no event (Wine's polling) it pauses on its own event.
//
// Shared fields, and who may touch them:
//   - FPendingBytes, FPendingBlocks: under FQueueLock; raised by SendData,
//     lowered by the writer.
//   - FWriteLock: held by the writer around WriteFile and by PurgeSend
//     around its purge, so that the two never overlap.
//   - the writer's FAbort and FCharTime, FFlowCtrl, FDeviceGone, both
//     threads' termination requests: atomics written by the user-interface
//     thread (FDeviceGone also by the writer), read without a lock.
//   - FWriteRecord: the writer's record, published for PurgeSend's cancel.
//   - FBlockDone (set by the writer per finished block), FTransWake (set by
//     PurgeSend and Close to make the writer give up a write), FReceiveWake
//     (Close's duplicate of the receive thread's event), the two report
//     answers: events that live as long as the component.
//   - everything else (settings, FHandle, FReadOverlapped, FReadEvent, the
//     serials) belongs to the user-interface thread; each thread keeps its
//     own copies of the port and window handles.
//
// Reports. A thread reports with a message that waits among those sent to
// the hidden window (SendNotifyMessage), then waits for the answer event of
// its kind. The user-interface thread handles it whenever it services sent
// messages, also inside the waits of ReceiveData, SendData, PurgeSend and
// Close, and answers once the handler has returned, or earlier when Close,
// PurgeSend or SendData is about to wait for that thread.
//
// Waits. Every wait of the user-interface thread goes through
// WaitOnUiThread: it wakes on the object it waits for (the read event, the
// writer's FBlockDone, a thread's end), on the messages it services, or
// after 1 ms at most, and nothing depends on the timer's resolution. A
// cancelled I/O that the driver does not give back within 1 s is abandoned:
// its record, buffer and event stay allocated for the rest of the process.
//
// Shutdown (Close): the lines drop, PurgeSend waits until the writer has
// released every block, the receive side is purged, then both threads are
// asked to end and woken; Close waits for both to end (servicing their
// reports), ends a read still pending, and only then closes the read event
// and the port. The thread objects release themselves; nothing they use is
// released before they have ended.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "Component.h"
#include "Exception.h"
#include "NotifyWindow.h"
#include "Thread.h"

// Raised by the settings and lifecycle operations; carries one of the fixed
// messages and nothing else.
class ECommError : public Exception {
 public:
  using Exception::Exception;
};

// One byte each; values outside the named ones can be stored and are
// handled as the property writes say.
enum TCommParityBits : uint8_t { cpbNone, cpbOdd, cpbEven };
enum TCommStopBits : uint8_t { csb1, csb1p5, csb2 };
enum TCommFlowCtrls : uint8_t { cfcRtsCts, cfcDtrDsr, cfcXonXoff, cfcHalfHigh, cfcHalfLow, cfcNone };

// A handler is assigned when the function is not empty.
using TCommReceiveEvent = std::function<void(TObject* Sender, int32_t ReceiveSize)>;
using TCommBreakEvent = std::function<void(TObject* Sender)>;
using TCommErrEvent = std::function<void(TObject* Sender, int32_t ErrorState)>;

// Thread messages to the writer thread (no window).
constexpr UINT WM_COMMX_SEND = 0x0500;
constexpr UINT WM_COMMX_STOP = 0x0501;
// Messages sent to the component's hidden window.
constexpr UINT WM_COMMX_RECEIVE = 0x0500;
constexpr UINT WM_COMMX_BREAK = 0x0501;
constexpr UINT WM_COMMX_ERROR = 0x0502;

// The line-status bits of ClearCommError that OnError reports.
constexpr DWORD kCommLineErrorBits = CE_OVERRUN | CE_RXPARITY | CE_FRAME;

class TCommTransThread;
class TCommReceiveThread;

class TCustomCommX : public TComponent {
 public:
  explicit TCustomCommX(TComponent* AOwner);
  // Closes an open port first.
  ~TCustomCommX() override;

  // Opens COM<PortNo> and applies every stored setting; raises ECommError.
  // A failure after the port was opened closes it again and re-raises.
  void Open();
  // Stops both threads, waits for their end and releases the port, also
  // when called by handlers of the threads' reports, however nested. Does
  // nothing on a closed port or when already closing.
  void Close();

  // Hands S (every byte, zeros included) to the writer thread. An empty S
  // is true even on a closed port.
  bool SendString(const std::string& S);
  void SetRts(bool Value);
  void SetDtr(bool Value);

  // True when every piece was handed to the writer thread (or dropped for
  // lack of memory); false when the port is closed, has no writer thread,
  // was reopened meanwhile, or a post failed.
  virtual bool SendData(const void* Buffer, int32_t Count);
  // The number of bytes read (0 after the receive time-out with nothing
  // received), or -1: port closed, no receive thread, null Buffer, read
  // failed, or the read was ended by a purge, a Close or a nested read.
  virtual int32_t ReceiveData(void* Buffer, int32_t Count);

  // Discards everything queued for the writer, aborts a write in progress
  // and returns when the writer has released every block.
  void PurgeSend();
  // Discards what the driver has received and ends a pending read.
  void PurgeReceive();
  // Bytes waiting in the driver's input queue; 0 when closed.
  int32_t ReceiveCount();

  // The threads of the open port; null while closed.
  const TCommTransThread* TransThread() const { return FTransThread; }
  const TCommReceiveThread* ReceiveThread() const { return FReceiveThread; }
  // Bytes and blocks handed to the writer thread and not yet finished.
  int32_t PendingBytes();
  int32_t PendingBlocks();

 protected:
  // Properties. Each write stores its value; while the port is open it
  // applies it at once and raises ECommError when the system refuses.
  int32_t PortNo() const { return FPortNo; }
  void SetPortNo(int32_t Value);
  int32_t BitRate() const { return FBitRate; }
  void SetBitRate(int32_t Value);
  int32_t CharSize() const { return FCharSize; }
  void SetCharSize(int32_t Value);
  TCommParityBits ParityBit() const { return FParityBit; }
  void SetParityBit(TCommParityBits Value);
  TCommStopBits StopBit() const { return FStopBit; }
  void SetStopBit(TCommStopBits Value);
  TCommFlowCtrls FlowCtrl() const { return FFlowCtrl.load(std::memory_order_relaxed); }
  void SetFlowCtrl(TCommFlowCtrls Value);
  int32_t TimeOutTrans() const { return FTimeOutTrans; }
  void SetTimeOutTrans(int32_t Value);
  int32_t TimeOutReceive() const { return FTimeOutReceive; }
  void SetTimeOutReceive(int32_t Value);
  char XonChar() const { return FXonChar; }
  void SetXonChar(char Value);
  char XoffChar() const { return FXoffChar; }
  void SetXoffChar(char Value);
  int32_t BufLenTrans() const { return FBufLenTrans; }
  void SetBufLenTrans(int32_t Value);
  int32_t BufLenReceive() const { return FBufLenReceive; }
  void SetBufLenReceive(int32_t Value);
  // INVALID_HANDLE_VALUE while closed: the one test of "open".
  HANDLE Handle() const { return FHandle; }

  const TCommReceiveEvent& OnReceive() const { return FOnReceive; }
  void SetOnReceive(TCommReceiveEvent Value) { FOnReceive = std::move(Value); }
  const TCommBreakEvent& OnBreak() const { return FOnBreak; }
  void SetOnBreak(TCommBreakEvent Value) { FOnBreak = std::move(Value); }
  const TCommErrEvent& OnError() const { return FOnError; }
  void SetOnError(TCommErrEvent Value) { FOnError = std::move(Value); }

  void StartThreads();
  void ApplyTimeOuts();
  void ApplyBufferSizes();

  void DoReceive();
  void DoBreak();
  void DoError(int32_t ErrorState);

 private:
  friend class TCommTransThread;

  // The answer that one of the threads waits for after each report: an
  // auto-reset event for the component's life, and whether a report of
  // that thread is being handled and not answered yet. A thread has at
  // most one report outstanding.
  struct TReportAnswer {
    HANDLE Event;
    bool Due;
  };

  bool IsOpen() const { return FHandle != INVALID_HANDLE_VALUE; }
  // Events fire only while the port is open and no Close is under way.
  bool EventsEnabled() const { return IsOpen() && !FClosing; }
  void NotifyWndProc(TMessage& Message);
  void DispatchReport(const TMessage& Message);
  TReportAnswer* AnswerFor(WPARAM sender);
  // Lets the thread go on now when the handler of its report has not
  // returned yet, however deeply the handlers are nested; the report's own
  // answer is then not given again.
  static void Answer(TReportAnswer& answer);
  void SendDcb(const char* refusal);
  void StopThreads();
  void EndPendingRead();
  void WaitForThreadEnd(HANDLE& thread, const std::function<void()>& wakeAgain);

  HWND FNotifyWnd;
  TCommReceiveEvent FOnReceive;
  TCommBreakEvent FOnBreak;
  TCommErrEvent FOnError;
  TCommTransThread* FTransThread;
  TCommReceiveThread* FReceiveThread;
  CRITICAL_SECTION FWriteLock;  // writer's WriteFile call / PurgeSend's purge
  CRITICAL_SECTION FQueueLock;  // FPendingBytes, FPendingBlocks
  HANDLE FHandle;
  int32_t FPortNo;
  int32_t FBitRate;
  int32_t FCharSize;
  TCommParityBits FParityBit;
  TCommStopBits FStopBit;
  std::atomic<TCommFlowCtrls> FFlowCtrl;  // also read by the writer thread
  int32_t FTimeOutTrans;
  int32_t FTimeOutReceive;
  char FXonChar;
  char FXoffChar;
  int32_t FBufLenTrans;
  int32_t FBufLenReceive;
  DCB FCommDcb;
  // The record of every ReceiveData and the bytes its reads land in before
  // they are copied out; both are lent to the driver while a read is
  // pending. Made at the first Open; a new pair replaces one that a driver
  // never gave back (that one is left allocated).
  struct TReadRecord {
    OVERLAPPED Overlapped;
    unsigned char* Buffer;
    DWORD Capacity;
  };
  bool PrepareReadRecord(DWORD count);
  void AbandonReadRecord();
  HANDLE FReadEvent;
  TReadRecord* FReadOverlapped;
  int32_t FPendingBytes;   // under FQueueLock
  int32_t FPendingBlocks;  // under FQueueLock

  // Shutdown: own duplicates of the threads' handles (the thread objects
  // release themselves) and of the receive thread's wake-up event, so that
  // Close can wake and wait for the threads without touching their objects.
  HANDLE FTransThreadHandle;
  HANDLE FReceiveThreadHandle;
  HANDLE FReceiveWake;
  DWORD FTransThreadId;
  // Auto-reset, for the component's life: set by the writer thread each
  // time it has finished a block, for the waits of SendData and PurgeSend.
  HANDLE FBlockDone;
  // Auto-reset, for the component's life: wakes the writer from the wait
  // for its write when PurgeSend or Close asks it to give the write up.
  HANDLE FTransWake;
  TReportAnswer FTransAnswer;
  TReportAnswer FReceiveAnswer;
  bool FClosing;
  // FReadOverlapped serves one read at a time; FReadSerial names the read
  // in progress, so a waiting ReceiveData sees that another call (a nested
  // read, a Close) has taken the record over.
  bool FReadPending;
  uint32_t FReadSerial;
  // Counts Opens, so a wait that serviced messages sees a reopened port.
  uint32_t FOpenSerial;
  // Set when a read or a write found the device gone (an adapter pulled
  // out): later sends report failure instead of queueing into nothing.
  std::atomic<bool> FDeviceGone;
};

class TCommX : public TCustomCommX {
 public:
  using TCustomCommX::TCustomCommX;

  using TCustomCommX::PortNo;
  using TCustomCommX::SetPortNo;
  using TCustomCommX::BitRate;
  using TCustomCommX::SetBitRate;
  using TCustomCommX::CharSize;
  using TCustomCommX::SetCharSize;
  using TCustomCommX::ParityBit;
  using TCustomCommX::SetParityBit;
  using TCustomCommX::StopBit;
  using TCustomCommX::SetStopBit;
  using TCustomCommX::FlowCtrl;
  using TCustomCommX::SetFlowCtrl;
  using TCustomCommX::TimeOutTrans;
  using TCustomCommX::SetTimeOutTrans;
  using TCustomCommX::TimeOutReceive;
  using TCustomCommX::SetTimeOutReceive;
  using TCustomCommX::XonChar;
  using TCustomCommX::SetXonChar;
  using TCustomCommX::XoffChar;
  using TCustomCommX::SetXoffChar;
  using TCustomCommX::BufLenTrans;
  using TCustomCommX::SetBufLenTrans;
  using TCustomCommX::BufLenReceive;
  using TCustomCommX::SetBufLenReceive;
  using TCustomCommX::Handle;
  using TCustomCommX::OnReceive;
  using TCustomCommX::SetOnReceive;
  using TCustomCommX::OnBreak;
  using TCustomCommX::SetOnBreak;
  using TCustomCommX::OnError;
  using TCustomCommX::SetOnError;
};

// The writer thread: the only writer of the open port.
class TCommTransThread : public TThread {
 public:
  TCommTransThread(TCustomCommX* AComm, HANDLE APortHandle, HWND ANotifyWnd);
  ~TCommTransThread() override;

  int32_t CharTime() const { return FCharTime.load(std::memory_order_relaxed); }

 protected:
  void Execute() override;

 private:
  friend class TCustomCommX;

  void HalfDuplexBegin();
  void HalfDuplexEnd();
  // False when the driver kept the block: it is then never released.
  bool WriteBlock(const MSG& msg);
  // Waits for the write in progress; false when it was abandoned.
  bool AwaitWrite();
  void FinishBlock(const MSG& msg, bool release);
  void ReportErrors();

  TCustomCommX* FComm;
  HANDLE FPortHandle;
  HWND FNotifyWnd;
  HANDLE FAnswer;  // the component's answer to its reports; set before the run
  HANDLE FWake;    // the component's FTransWake; set before the run
  std::atomic<bool> FAbort;        // set by PurgeSend for the time of a purge
  std::atomic<int32_t> FCharTime;  // ms; written by the UI thread
  // Set once the thread has its message queue, before which a post fails.
  HANDLE FQueueReady;
  // The record of the thread's writes (with its event), for PurgeSend to
  // cancel a write in progress where the system's purge does not. Made
  // with the thread; replaced when a driver keeps it, null when that
  // replacement could not be made.
  std::atomic<OVERLAPPED*> FWriteRecord;
  OVERLAPPED* FRecord;  // the same, for the writer's own use
  static OVERLAPPED* NewWriteRecord();
};

// The receive-event thread: waits for line events and reports them.
class TCommReceiveThread : public TThread {
 public:
  TCommReceiveThread(HANDLE APortHandle, HWND ANotifyWnd);
  ~TCommReceiveThread() override;

 protected:
  void Execute() override;

 private:
  friend class TCustomCommX;

  void Notify(UINT message, LPARAM lParam);

  HANDLE FPortHandle;
  HWND FNotifyWnd;
  HANDLE FAnswer;  // the component's answer to its reports; set before the run
  // Auto-reset; set by the driver when a wait completes and by Close.
  HANDLE FEvent;
  // The wait's record and the mask the driver fills in, lent to the driver
  // while a wait is pending; kept, with FEvent, if the driver never gives
  // them back.
  struct TWaitRecord {
    OVERLAPPED Overlapped;
    DWORD Mask;
  };
  TWaitRecord* FWaitRecord;
};

// Reads and clears the port's error state and, when a line-status error is
// among it, sends WM_COMMX_ERROR to the window, which belongs to the
// calling thread (the threads report through ReportLineErrorsFromThread).
void ReportLineErrors(HANDLE PortHandle, HWND WindowHandle);
