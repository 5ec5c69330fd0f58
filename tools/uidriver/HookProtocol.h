// What the driver asks of its hook inside the program's user-interface
// thread, and the shared reply area through which the hook answers. Some
// facts exist only inside the program's own process: a control's font (a
// GDI object, and Wine refuses WM_GETFONT across processes) and the icon of
// a message box (icon handles differ from one process to the next).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace uidriver {

// Registered message sent to the window in question. wParam: the driver's
// process id (names the reply area). lParam: the query in the low 4 bits,
// a sequence number above them, which the hook copies into the reply so
// that a late answer to an earlier query is never mistaken for this one.
inline const wchar_t* QueryMessageName() { return L"ZefaUiDriver.Query"; }
inline const char* HookProcName() { return "UiDriverCallWndProc"; }

enum QueryKind : LPARAM {
  kQueryFont = 1,     // the font that the window draws with (WM_GETFONT)
  kQueryBoxIcon = 2,  // the kind of icon that a message box shows
  kQueryTools = 3,    // the tools of a tooltip window and their texts
};

enum BoxIcon : int32_t {
  kIconNone = 0,
  kIconWarning = 1,
  kIconInformation = 2,
  kIconQuestion = 3,
  kIconError = 4,
  kIconOther = 5,  // an icon that is none of the four system icons
};

// One tool of a tooltip: the window it belongs to (a handle is the same in
// every process; stored in 64 bits for either build) and its text.
struct ToolFacts {
  uint64_t window;
  uint64_t id;
  uint32_t flags;
  wchar_t text[128];
};

constexpr int kMaxTools = 16;

struct QueryReply {
  LONG sequence;        // written last, once the rest is complete
  LONG fontIsDefault;   // the window has no font of its own (system font)
  LOGFONTW font;
  int32_t icon;         // a BoxIcon
  int32_t toolCount;    // tools listed, at most kMaxTools
  ToolFacts tools[kMaxTools];
};

// "Local\ZefaUiDriver.Reply.<driver's process id>", made without a run-time
// library (the hook has none); size must hold at least 48 characters.
inline void ReplyAreaName(DWORD driverProcessId, wchar_t* name, size_t size) {
  const wchar_t prefix[] = L"Local\\ZefaUiDriver.Reply.";
  size_t n = 0;
  for (; prefix[n] != L'\0' && n + 1 < size; ++n) name[n] = prefix[n];
  wchar_t digits[16];
  int count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + driverProcessId % 10);
    driverProcessId /= 10;
  } while (driverProcessId != 0);
  while (count > 0 && n + 1 < size) name[n++] = digits[--count];
  name[n] = L'\0';
}

}  // namespace uidriver
