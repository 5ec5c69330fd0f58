// Hidden windows whose messages go to a method of an object, so that other
// threads can hand work to the thread that owns the object: the serial
// component's threads post their reports with SendNotifyMessage and wait on
// an answer event of their own.
#pragma once

#include <windows.h>

#include <functional>

struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

// Receives every message of the window; calls DefWindowProc itself for
// what it does not handle.
using TWndMethod = std::function<void(TMessage&)>;

// Creates a message-only window on the calling thread. Raises Exception
// when the system refuses.
HWND AllocateHWnd(TWndMethod method);
// Destroys a window made by AllocateHWnd; null is ignored.
void DeallocateHWnd(HWND wnd);
