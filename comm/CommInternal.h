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
// When the caller runs inside the handling of a message that another
// thread sent (one of the component's own notifications), lets that thread
// go on at once: a wait for the component's threads would otherwise wait
// for a thread that waits for this one.
void ReleaseWaitingSender();

// True for the errors with which Windows answers I/O on a serial device
// that is no longer there.
bool IsDeviceGoneError(DWORD error);

// A serial I/O that its time-out ended is a success on Windows (with the
// count done so far); Wine reports it as failed with ERROR_TIMEOUT. Both
// mean the same and are handled alike.
bool IsTimeOutEnd(DWORD error);
