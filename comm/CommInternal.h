// Helpers shared by the files of the serial port component.
#pragma once

#include <windows.h>

#include <cstdint>

// One character time in milliseconds for the writer's half-duplex pauses:
// 1000 div (bitRate div 10) + 1; 0 for a rate below 10, which Open and the
// BitRate write refuse.
int32_t CharTimeMs(int32_t bitRate);

// The application's process-pending-messages service (every message).
void ProcessPendingMessages();
// Handles the messages that other threads sent to this thread's windows,
// and nothing posted: for waits that must not run user input.
void ProcessSentMessages();

// What a wait on the user-interface thread handles while it waits.
enum class TUiService {
  AllMessages,  // the user interface stays serviced (ReceiveData, SendData)
  SentOnly,     // the threads' reports only, no user input (PurgeSend, Close)
};
// The one wait of the user-interface thread: until `object` is set, a
// message of the kind `service` names arrives, or limitMs passes; then
// handles the pending messages of that kind. Returns what ended the wait
// (WAIT_OBJECT_0 for the object, WAIT_OBJECT_0 + 1 for a message; with no
// object, WAIT_OBJECT_0 for a message; WAIT_TIMEOUT). The waits that use it wake on completion; the limit only
// bounds how long a wait goes without looking at the component's state
// again, so nothing here depends on the system's timer resolution.
DWORD WaitOnUiThread(HANDLE object, DWORD limitMs, TUiService service);
// The limit of the component's waits on the user-interface thread.
constexpr DWORD kUiWaitLimitMs = 1;

// Who sent a notification to the component's window: its wParam.
constexpr WPARAM kFromCaller = 0;  // ReportLineErrors on the user-interface thread
constexpr WPARAM kFromTransThread = 1;
constexpr WPARAM kFromReceiveThread = 2;

// A notification from one of the component's threads. The window's thread
// handles it as it handles a sent message (also inside waits that handle
// only sent messages), and the calling thread waits until the component
// sets `answer`, normally once the handler has returned. Unlike the reply
// to a SendMessage, which reaches only the innermost sender, the answer can
// go to a thread whose report lies further out in nested handlers, so that
// Close, PurgeSend and SendData never wait for a thread that waits for
// them.
void NotifyFromThread(HWND window, WPARAM sender, HANDLE answer, UINT message, LPARAM lParam);
// ReportLineErrors for the component's threads.
void ReportLineErrorsFromThread(HANDLE port, HWND window, WPARAM sender, HANDLE answer);

// True for the errors with which Windows answers I/O on a serial device
// that is no longer there.
bool IsDeviceGoneError(DWORD error);

// A serial I/O that its time-out ended is a success on Windows (with the
// count done so far); Wine reports it as failed with ERROR_TIMEOUT. Both
// mean the same and are handled alike.
bool IsTimeOutEnd(DWORD error);

// How long a cancelled I/O is given to come back from the driver. One that
// has not (a driver that misbehaves, an adapter pulled out mid-transfer)
// is abandoned: its OVERLAPPED record, its buffer and its event stay
// allocated for the rest of the process, as the driver may still write
// into them, and the component goes on without it.
constexpr DWORD kCancelledIoBoundMs = 1000;

// Cancels the I/O of `overlapped` and waits up to boundMs for the driver to
// finish with it; `event` is the one the driver sets then (the record's).
// True when the driver is done with the record and its buffer.
bool CancelAndAwait(HANDLE port, OVERLAPPED* overlapped, HANDLE event, DWORD boundMs);

// Memory lent to the driver for an overlapped I/O: fixed, zeroed, through
// the seam; null when memory is short.
void* AllocIoMemory(size_t size);
void FreeIoMemory(void* block);
