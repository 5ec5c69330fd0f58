// The driver's hook, loaded into the program's user-interface thread by
// SetWindowsHookEx. It answers the driver's queries there, where fonts and
// icons can be examined, and lets every other message pass untouched.
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstring>

#include "../HookProtocol.h"

namespace {

UINT QueryMessage() {
  static const UINT message = RegisterWindowMessageW(uidriver::QueryMessageName());
  return message;
}

void AnswerFont(HWND wnd, uidriver::QueryReply& reply) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(wnd, WM_GETFONT, 0, 0));
  // A control without a font of its own draws with the system font.
  reply.fontIsDefault = font == nullptr;
  if (font == nullptr) font = static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
  if (GetObjectW(font, sizeof reply.font, &reply.font) != sizeof reply.font) {
    std::memset(&reply.font, 0, sizeof reply.font);
  }
}

BOOL CALLBACK FindIconStatic(HWND child, LPARAM param) {
  wchar_t cls[16];
  if (GetClassNameW(child, cls, 16) == 0 || lstrcmpiW(cls, L"Static") != 0) return TRUE;
  if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON || !IsWindowVisible(child)) return TRUE;
  *reinterpret_cast<HWND*>(param) = child;
  return FALSE;
}

// Draws an icon at the system icon size on white; false when it cannot.
bool RenderIcon(HICON icon, DWORD* pixels, int size) {
  BITMAPINFO info = {};
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
    if (drawn) std::memcpy(pixels, bits, sizeof(DWORD) * size * size);
    SelectObject(dc, old);
  }
  if (bitmap != nullptr) DeleteObject(bitmap);
  if (dc != nullptr) DeleteDC(dc);
  return drawn;
}

bool SamePixels(HICON a, HICON b) {
  constexpr int kSize = 32;
  DWORD first[kSize * kSize];
  DWORD second[kSize * kSize];
  return RenderIcon(a, first, kSize) && RenderIcon(b, second, kSize) &&
         std::memcmp(first, second, sizeof first) == 0;
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
    TTTOOLINFOW tool = {};
    tool.cbSize = sizeof tool;
    if (!SendMessageW(tooltip, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(&tool))) continue;
    uidriver::ToolFacts& facts = reply.tools[reply.toolCount++];
    facts.window = reinterpret_cast<uintptr_t>(tool.hwnd);
    facts.id = static_cast<uint64_t>(tool.uId);
    facts.flags = tool.uFlags;
    // TTM_GETTEXT asks a tool with a callback text for its text.
    std::memset(facts.text, 0, sizeof facts.text);
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
