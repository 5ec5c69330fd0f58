// Finding the main window's controls and working its drop-down lists.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace uidriver {

// A control by its name in the main window (ReadBtn, CommPort, ...),
// by "#" and its control id, or by "Class:Text" (the first child of that
// class whose text is exactly Text; "Class:" alone takes the first of the
// class). "main" is the main window itself. Raises DriverError when none
// matches.
HWND FindControl(HWND mainWindow, const std::string& designation);

// A rectangle of a window in client coordinates of the main window.
RECT RectInClient(HWND mainWindow, HWND wnd);

// Sends a message and waits at most timeoutMs for the result; raises when
// the window's thread does not answer in time.
LRESULT SendBounded(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs);

std::vector<std::wstring> ComboItems(HWND combo, DWORD timeoutMs);
// An item given as its index or as its exact text.
int ComboItemIndex(HWND combo, const std::string& item, DWORD timeoutMs);

// The list window of a dropped combo box (visible ComboLBox of the same
// thread), nullptr while it is not dropped.
HWND DroppedList(HWND combo);

}  // namespace uidriver
