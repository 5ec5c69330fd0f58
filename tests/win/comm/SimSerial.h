// A simulated serial driver behind the component's system seam. It keeps
// the state of a few COM ports and answers the seam's calls as a Windows
// serial driver does: overlapped reads that complete under the time-outs,
// writes that take the bit rate's time, purges and cancels that abort
// pending I/O, line events for WaitCommEvent, refusals and failures on
// request, and a removed adapter. Completions set the OVERLAPPED record and
// signal its real event. Every call is recorded with a timestamp.
//
// One instance at a time; it installs itself on construction and puts the
// system's table back on destruction. Thread-safe: the component's threads
// call it concurrently with the test.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommSeam.h"

struct TSimCall {
  double Ms;       // since the simulator was made
  DWORD ThreadId;  // caller
  std::string Name;
  DWORD Arg;  // flags, function, size or pause, as the call has one
  std::string Text;  // the path of CreateFileA
  // Of the waits, recorded as they begin: what ended them (WAIT_OBJECT_0 + n
  // for object n, kWaitMessage, WAIT_TIMEOUT), kWaitRunning until then.
  DWORD Result = 0;
};
constexpr DWORD kWaitRunning = 0xFFFFFFFE;
// A wait on the user-interface thread that a message ended.
constexpr DWORD kWaitMessage = 0xFFFFFFFD;

struct TSimDcb {
  double Ms;
  DCB Dcb;
  bool Accepted;
};

struct TSimLine {
  double Ms;
  char Line;  // 'R' (RTS) or 'D' (DTR)
  bool High;
  bool FromEscape;  // EscapeCommFunction, else a SetCommState
};

struct TSimWrite {
  double SubmitMs;
  double EndMs;  // -1 while pending
  DWORD Asked;
  std::string Sent;  // the bytes that went out on the line
  DWORD Error;       // 0, or the Win32 error of its completion
};

// An I/O that the driver holds for good, and what it would write into when
// it completed at last.
struct TSimStuckIo {
  char Kind;  // 'R' read, 'W' write, 'E' event wait
  OVERLAPPED* Overlapped;
  const void* Buffer;  // the bytes of a read or a write, else the mask
  DWORD Size;
  HANDLE Event;
};

struct TSimPortState {
  bool Open;
  DCB Dcb;
  COMMTIMEOUTS TimeOuts;
  DWORD InQueueSize, OutQueueSize;
  DWORD Mask;
  bool Rts, Dtr;
  size_t InQueue;
  int PendingReads, PendingWrites;
  int MostPendingReads;  // the most reads ever pending at once
  bool WaitPending;
};

// A slim reader/writer lock used exclusively. Plain Win32, so that the
// component's threads calling into the simulator use nothing of the C++
// runtime's thread layer (which would allocate per-thread state of its own
// and blur the leak checks).
class TSimLock {
 public:
  void lock() { AcquireSRWLockExclusive(&FLock); }
  void unlock() { ReleaseSRWLockExclusive(&FLock); }
  SRWLOCK* Native() { return &FLock; }

 private:
  SRWLOCK FLock = SRWLOCK_INIT;
};

class TSimSerial {
 public:
  TSimSerial();
  ~TSimSerial();
  TSimSerial(const TSimSerial&) = delete;
  TSimSerial& operator=(const TSimSerial&) = delete;

  // The line state that GetCommState reports on a port just opened.
  static DCB DriverDefaultDcb();

  // --- devices
  void AddPort(int number);
  // Another program has the port open: CreateFileA gets ERROR_ACCESS_DENIED.
  void HoldPort(int number, bool held);
  // Unplugged: pending I/O ends with an error and every later call on the
  // open handle fails; the port can't be opened until reattached.
  void RemoveAdapter(int number);
  void ReattachAdapter(int number);

  // --- the line: bytes received, line-status errors (CE_ bits) and a break,
  // all in one driver event.
  void Receive(int number, const std::string& bytes, DWORD errors = 0, bool brk = false);
  // Error bits that the driver holds without having signalled an event yet.
  void SetErrors(int number, DWORD errors);
  // Called with the bytes of every completed write; what it returns is
  // received on the same port (a device that answers).
  void SetResponder(std::function<std::string(const std::string&)> responder);

  // --- refusals (the predicate sees what would be set)
  void RefuseDcbWhen(std::function<bool(const DCB&)> refuse);
  void RefuseTimeOutsWhen(std::function<bool(const COMMTIMEOUTS&)> refuse);
  void RefuseSetupCommWhen(std::function<bool(DWORD inQueue, DWORD outQueue)> refuse);
  // --- failures
  void FailEscape(bool fail);          // as on a line without modem signals
  void FailClearCommError(bool fail);  // and leave junk in its outputs
  void FailNextWrites(int count, DWORD error);
  // The next overlapped write completes after `sent` bytes with `error`
  // (0: success with a short count).
  void CompleteNextWriteWith(DWORD sent, DWORD error);
  // The nth CreateThread from now (1 = the next) fails.
  void FailThreadCreation(int nth);
  void FailNextPosts(int count);
  void FailNextAllocs(int count);
  // A purge only empties the queues and leaves pending reads and writes
  // running, as under Wine; on Windows it aborts them.
  void SetPurgeAbortsIo(bool aborts);
  // I/O ended by its time-out fails with ERROR_TIMEOUT, as under Wine,
  // instead of succeeding with a short count, as on Windows.
  void ReportTimeOutsAsErrors(bool asErrors);
  // Pauses longer than 1 ms return at once (they are still recorded).
  void SetFastPauses(bool fast);
  // A pending WaitCommEvent ends every `everyMs` with an empty mask and an
  // aborted status, as Wine's polling emulation does on a pseudo-terminal;
  // 0: only events, a new mask or a cancel end it, as on Windows.
  void SetEmptyWakeUps(DWORD everyMs);
  // The component's limited waits on a single object (its pauses) last
  // until the object is set, however long their limit: a wait that only
  // its wake-up may end.
  void HoldTimedWaits(bool hold);
  // The component's waits on the user-interface thread last up to holdMs
  // instead of their limit (0: their own limit), so that only their object
  // or a message ends them while something happens from another thread.
  void HoldUiWaits(DWORD holdMs);
  // Every read, write and event wait started from now on stays pending for
  // good: no data, time-out, purge, cancel, new mask or close ends it, as
  // with a driver that misbehaves.
  void SetStuckIo(bool stuck);
  std::vector<TSimStuckIo> StuckIo() const;
  // True when every byte of [address, address + size) lies in a block that
  // the component allocated through the seam and has not released.
  bool IsAllocated(const void* address, size_t size) const;
  // True when each stuck I/O's record and buffer are still allocated and
  // its event is still open: what the driver may still use is there.
  bool StuckIoIntact() const;
  // The driver completes the stuck I/O after all, writing into its records
  // and setting their events.
  void CompleteStuckIo();

  // --- records
  std::vector<TSimCall> Calls() const;
  std::vector<TSimCall> Calls(const std::string& name) const;
  std::vector<TSimDcb> Dcbs() const;
  std::vector<TSimLine> Lines() const;
  std::vector<TSimWrite> Writes() const;
  std::string Transmitted() const;
  TSimPortState Port(int number) const;
  void ClearRecords();
  double NowMs() const;

 private:
  struct Read {
    OVERLAPPED* Overlapped;
    unsigned char* Buffer;
    DWORD Count;
    bool FirstByteEnds;  // ReadIntervalTimeout MAXDWORD: any byte ends it
    double DeadlineMs;   // < 0: none
  };
  struct Write {
    OVERLAPPED* Overlapped;
    std::string Data;
    double DeadlineMs;  // write time-out, < 0: none
    double StartMs;     // < 0 until it reaches the line
    size_t Record;      // index into FWrites
    DWORD FaultSent;    // with FaultError: end after this many bytes
    DWORD FaultError;
    bool Faulted;
  };
  struct Wait {
    OVERLAPPED* Overlapped;
    DWORD* Mask;
    double EmptyEndMs;  // < 0: none
  };
  struct PortData {
    bool Exists = false, Held = false, Removed = false;
    HANDLE Handle = INVALID_HANDLE_VALUE;
    DCB Dcb{};
    COMMTIMEOUTS TimeOuts{};
    DWORD InSize = 4096, OutSize = 4096;
    DWORD Mask = 0, Events = 0, Errors = 0;
    bool Rts = false, Dtr = false;
    std::deque<unsigned char> In;
    std::deque<Read> Reads;
    int MostReads = 0;
    std::deque<Write> Writes;
    std::unique_ptr<Wait> PendingWait;
  };

  // Seam entry points (static, forwarding to the one instance).
  static HANDLE WINAPI SimCreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  static BOOL WINAPI SimCloseHandle(HANDLE);
  static BOOL WINAPI SimSetupComm(HANDLE, DWORD, DWORD);
  static BOOL WINAPI SimPurgeComm(HANDLE, DWORD);
  static BOOL WINAPI SimGetCommState(HANDLE, LPDCB);
  static BOOL WINAPI SimSetCommState(HANDLE, LPDCB);
  static BOOL WINAPI SimSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS);
  static BOOL WINAPI SimSetCommMask(HANDLE, DWORD);
  static BOOL WINAPI SimWaitCommEvent(HANDLE, LPDWORD, LPOVERLAPPED);
  static BOOL WINAPI SimClearCommError(HANDLE, LPDWORD, LPCOMSTAT);
  static BOOL WINAPI SimEscapeCommFunction(HANDLE, DWORD);
  static BOOL WINAPI SimReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  static BOOL WINAPI SimWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  static BOOL WINAPI SimGetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
  static BOOL WINAPI SimCancelIoEx(HANDLE, LPOVERLAPPED);
  static HANDLE WINAPI SimCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                       LPDWORD);
  static BOOL WINAPI SimPostThreadMessageA(DWORD, UINT, WPARAM, LPARAM);
  static HGLOBAL WINAPI SimGlobalAlloc(UINT, SIZE_T);
  static HGLOBAL WINAPI SimGlobalFree(HGLOBAL);
  static void WINAPI SimSleep(DWORD);
  static DWORD WINAPI SimWaitForSingleObject(HANDLE, DWORD);
  static DWORD WINAPI SimMsgWaitForMultipleObjectsEx(DWORD, const HANDLE*, DWORD, DWORD, DWORD);

  // All below run with FMutex held.
  void Record(const char* name, DWORD arg, const char* text = nullptr);
  void RecordWaitEnd(const char* name, DWORD result);
  // The open port of a handle, or null with the last error set.
  PortData* Find(HANDLE handle, bool forIo);
  void Complete(OVERLAPPED* overlapped, DWORD error, DWORD count);
  void CancelAll(PortData& port, DWORD error);
  void AbortWrites(PortData& port, DWORD error);
  void EndWrite(PortData& port, Write& write, DWORD error);
  void AbortReads(PortData& port, DWORD error);
  void ServeReads(PortData& port);
  void Signal(PortData& port, DWORD events);
  void StartNextWrite(PortData& port, double now);
  double CharTimeMs(const PortData& port) const;
  void DeliverInput(PortData& port, const std::string& bytes, DWORD errors, bool brk);
  void ApplyLinesFromDcb(PortData& port);
  void SetLine(PortData& port, char line, bool high, bool fromEscape);
  void Tick(double now);
  double NextDeadline() const;
  void Worker();

  mutable TSimLock FMutex;
  CONDITION_VARIABLE FWake = CONDITION_VARIABLE_INIT;
  bool FStop = false;
  HANDLE FWorker = nullptr;
  std::chrono::steady_clock::time_point FStart;
  TCommApi FApi;

  std::map<int, PortData> FPorts;
  uintptr_t FNextHandle;
  std::function<std::string(const std::string&)> FResponder;
  std::function<bool(const DCB&)> FRefuseDcb;
  std::function<bool(const COMMTIMEOUTS&)> FRefuseTimeOuts;
  std::function<bool(DWORD, DWORD)> FRefuseSetupComm;
  DWORD FEmptyWakeMs = 0;
  bool FStuckIo = false;
  std::vector<TSimStuckIo> FStuck;
  std::map<uintptr_t, size_t> FAllocated;
  // Pends `overlapped` for good; the caller's return value.
  BOOL Stick(char kind, OVERLAPPED* overlapped, const void* buffer, DWORD size);
  bool FHoldTimedWaits = false;
  DWORD FUiWaitHoldMs = 0;
  bool FFailEscape = false, FFailClearCommError = false, FFastPauses = false, FTimeOutsAsErrors = false, FPurgeAborts = true;
  int FFailWrites = 0;
  DWORD FFailWriteError = 0;
  bool FWriteFaultArmed = false;
  DWORD FWriteFaultSent = 0, FWriteFaultError = 0;
  int FFailThreadAt = 0, FFailPosts = 0, FFailAllocs = 0;

  std::vector<TSimCall> FCalls;
  std::vector<TSimDcb> FDcbs;
  std::vector<TSimLine> FLines;
  std::vector<TSimWrite> FWrites;
  std::string FTransmitted;
};
