// The one seam between the serial port component and the operating
// system: every call that reaches the serial device goes through this
// table, so that tests can put a simulated device behind it. The default
// table is the system's own kernel32 and user32.
#pragma once

#include <windows.h>

struct TCommApi {
  HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* CloseHandle)(HANDLE);  // of the port only
  BOOL(WINAPI* SetupComm)(HANDLE, DWORD, DWORD);
  BOOL(WINAPI* PurgeComm)(HANDLE, DWORD);
  BOOL(WINAPI* GetCommState)(HANDLE, LPDCB);
  BOOL(WINAPI* SetCommState)(HANDLE, LPDCB);
  BOOL(WINAPI* SetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
  BOOL(WINAPI* SetCommMask)(HANDLE, DWORD);
  BOOL(WINAPI* WaitCommEvent)(HANDLE, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* ClearCommError)(HANDLE, LPDWORD, LPCOMSTAT);
  BOOL(WINAPI* EscapeCommFunction)(HANDLE, DWORD);
  BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* GetOverlappedResult)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
  BOOL(WINAPI* CancelIoEx)(HANDLE, LPOVERLAPPED);
  // Creation of the component's two threads, the post to the writer thread,
  // the blocks and the pauses: the faults and timings tests need to reach.
  HANDLE(WINAPI* CreateThread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                               LPDWORD);
  BOOL(WINAPI* PostThreadMessageA)(DWORD, UINT, WPARAM, LPARAM);
  HGLOBAL(WINAPI* GlobalAlloc)(UINT, SIZE_T);
  HGLOBAL(WINAPI* GlobalFree)(HGLOBAL);
  void(WINAPI* Sleep)(DWORD);
  // The component's waits that have a time limit: the receive-event
  // thread's pause and the waits for a driver to finish a cancelled I/O
  // (WaitForSingleObject), and the user-interface thread's waits
  // (MsgWaitForMultipleObjectsEx). Through the seam, tests see each wait's
  // limit and what ended it.
  DWORD(WINAPI* WaitForSingleObject)(HANDLE, DWORD);
  DWORD(WINAPI* MsgWaitForMultipleObjectsEx)(DWORD, const HANDLE*, DWORD, DWORD, DWORD);
};

// The table in use. Read by the component's threads too.
const TCommApi& CommApi();
// The system's table.
const TCommApi& SystemCommApi();
// Replaces the table; null restores the system's. Only while no component
// has an open port: its threads read the table without a lock.
void SetCommApi(const TCommApi* api);
