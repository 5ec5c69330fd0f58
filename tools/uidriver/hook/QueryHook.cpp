// The driver's hook, loaded into the program's user-interface thread by
// SetWindowsHookEx. It answers the driver's queries there, where fonts and
// icons can be examined, and lets every other message pass untouched.
//
// Built without a C run-time library (MinGW): a DLL with the run-time's
// thread-local storage, loaded into a running program, can stall the
// program's other threads under Wine. So no static constructors, no
// exceptions and no library calls beyond Win32 here.
#include <windows.h>
#include <commctrl.h>

#include <cstdint>

#include "../HookProtocol.h"

namespace {

void Fill(void* target, unsigned char value, size_t size) {
  auto* bytes = static_cast<volatile unsigned char*>(target);
  for (size_t i = 0; i < size; ++i) bytes[i] = value;
}

// Registered on the first query of each process; no static constructor.
UINT QueryMessage() {
  static UINT message = 0;
  if (message == 0) message = RegisterWindowMessageW(uidriver::QueryMessageName());
  return message;
}

void AnswerFont(HWND wnd, uidriver::QueryReply& reply) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(wnd, WM_GETFONT, 0, 0));
  // A control without a font of its own draws with the system font.
  reply.fontIsDefault = font == nullptr;
  if (font == nullptr) font = static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
  if (GetObjectW(font, sizeof reply.font, &reply.font) != sizeof reply.font) {
    Fill(&reply.font, 0, sizeof reply.font);
  }
}

BOOL CALLBACK FindIconStatic(HWND child, LPARAM param) {
  wchar_t cls[16];
  if (GetClassNameW(child, cls, 16) == 0 || lstrcmpiW(cls, L"Static") != 0) return TRUE;
  if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON || !IsWindowVisible(child)) return TRUE;
  *reinterpret_cast<HWND*>(param) = child;
  return FALSE;
}

// Draws an icon on white into pixels (size x size); false when it cannot.
bool RenderIcon(HICON icon, DWORD* pixels, int size) {
  BITMAPINFO info;
  Fill(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = size;
  info.bmiHeader.biHeight = -size;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool drawn = false;
  if (dc != nullptr && bitmap != nullptr) {
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all = {0, 0, size, size};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    drawn = DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL) != FALSE;
    GdiFlush();
    if (drawn) {
      const auto* drawnPixels = static_cast<const DWORD*>(bits);
      for (int i = 0; i < size * size; ++i) pixels[i] = drawnPixels[i];
    }
    SelectObject(dc, old);
  }
  if (bitmap != nullptr) DeleteObject(bitmap);
  if (dc != nullptr) DeleteDC(dc);
  return drawn;
}

bool SamePixels(HICON a, HICON b) {
  constexpr int kSize = 32;
  constexpr int kCount = kSize * kSize;
  auto* pixels = static_cast<DWORD*>(HeapAlloc(GetProcessHeap(), 0, 2 * kCount * sizeof(DWORD)));
  if (pixels == nullptr) return false;
  bool same = RenderIcon(a, pixels, kSize) && RenderIcon(b, pixels + kCount, kSize);
  for (int i = 0; same && i < kCount; ++i) same = pixels[i] == pixels[kCount + i];
  HeapFree(GetProcessHeap(), 0, pixels);
  return same;
}

// The same shared icon handle where the box loaded the system icon, as
// Wine does; the same picture where a system loads a scaled copy.
int32_t ClassifyIcon(HICON shown) {
  const struct {
    const wchar_t* id;
    int32_t kind;
  } systemIcons[] = {
      {IDI_WARNING, uidriver::kIconWarning},
      {IDI_INFORMATION, uidriver::kIconInformation},
      {IDI_QUESTION, uidriver::kIconQuestion},
      {IDI_ERROR, uidriver::kIconError},
  };
  for (const auto& candidate : systemIcons) {
    if (LoadIconW(nullptr, candidate.id) == shown) return candidate.kind;
  }
  for (const auto& candidate : systemIcons) {
    if (SamePixels(LoadIconW(nullptr, candidate.id), shown)) return candidate.kind;
  }
  return uidriver::kIconOther;
}

void AnswerBoxIcon(HWND box, uidriver::QueryReply& reply) {
  HWND iconStatic = nullptr;
  EnumChildWindows(box, FindIconStatic, reinterpret_cast<LPARAM>(&iconStatic));
  HICON shown = iconStatic == nullptr ? nullptr
                                      : reinterpret_cast<HICON>(SendMessageW(iconStatic, STM_GETICON, 0, 0));
  reply.icon = shown == nullptr ? uidriver::kIconNone : ClassifyIcon(shown);
}

void AnswerTools(HWND tooltip, uidriver::QueryReply& reply) {
  reply.toolCount = 0;
  const auto count = static_cast<int>(SendMessageW(tooltip, TTM_GETTOOLCOUNT, 0, 0));
  for (int i = 0; i < count && reply.toolCount < uidriver::kMaxTools; ++i) {
    TTTOOLINFOW tool;
    Fill(&tool, 0, sizeof tool);
    tool.cbSize = sizeof tool;
    if (!SendMessageW(tooltip, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(&tool))) continue;
    uidriver::ToolFacts& facts = reply.tools[reply.toolCount++];
    facts.window = reinterpret_cast<uintptr_t>(tool.hwnd);
    facts.id = static_cast<uint64_t>(tool.uId);
    facts.flags = tool.uFlags;
    // TTM_GETTEXT asks a tool with a callback text for its text.
    Fill(facts.text, 0, sizeof facts.text);
    tool.lpszText = facts.text;
    SendMessageW(tooltip, TTM_GETTEXTW, 128, reinterpret_cast<LPARAM>(&tool));
    facts.text[127] = L'\0';
  }
}

void Answer(const CWPSTRUCT& call) {
  wchar_t name[64];
  uidriver::ReplyAreaName(static_cast<DWORD>(call.wParam), name, 64);
  HANDLE area = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
  if (area == nullptr) return;
  auto* reply = static_cast<uidriver::QueryReply*>(MapViewOfFile(area, FILE_MAP_WRITE, 0, 0, sizeof(uidriver::QueryReply)));
  if (reply != nullptr) {
    const LPARAM kind = call.lParam & 0xF;
    if (kind == uidriver::kQueryFont) AnswerFont(call.hwnd, *reply);
    if (kind == uidriver::kQueryBoxIcon) AnswerBoxIcon(call.hwnd, *reply);
    if (kind == uidriver::kQueryTools) AnswerTools(call.hwnd, *reply);
    InterlockedExchange(&reply->sequence, static_cast<LONG>(call.lParam >> 4));
    UnmapViewOfFile(reply);
  }
  CloseHandle(area);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK UiDriverCallWndProc(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION) {
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (call->message == QueryMessage()) Answer(*call);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The entry point of a DLL without a run-time library.
extern "C" BOOL WINAPI UiDriverHookEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }
