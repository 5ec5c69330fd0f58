// A small window for testing the UI driver itself: controls with the main
// window's class and control ids, whose events it reports in message boxes
// that the driver then reads back.
//   ReadBtn   keeps its messages serviced for 400 ms (as an exchange does),
//             then shows "done"
//   WriteBtn  blocks its thread for 1500 ms, then shows "blocked"
//   ExitBtn   ends the program with exit code 0; the close box with 7
//   CommPort, ID_LIST  each close-up shows "closeup ID INDEX ok|cancel"
// CommPort has a tooltip, "ポートの説明".
// Two squares are painted on the background: red at (200,150), lime at
// (220,150), 8 x 8 pixels each.
#include <windows.h>
#include <commctrl.h>

#include <string>

namespace {

const int kItemHeight = 12;
const int kLabel1 = 101, kReadBtn = 106, kWriteBtn = 107, kExitBtn = 108, kIdList = 109, kCommPort = 110;
HFONT gLabelFont;
const wchar_t* gLastEnd = L"none";
int gExitCode = 0;

void Report(HWND owner, const std::wstring& text) { MessageBoxW(owner, text.c_str(), L"driver_window", MB_OK); }

void Serviced(DWORD ms) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(1);
  }
}

void OnCommand(HWND wnd, int id, int code, HWND control) {
  if (id == kReadBtn && code == BN_CLICKED) {
    Serviced(400);
    Report(wnd, L"done");
  } else if (id == kWriteBtn && code == BN_CLICKED) {
    Sleep(1500);
    Report(wnd, L"blocked");
  } else if (id == kExitBtn && code == BN_CLICKED) {
    DestroyWindow(wnd);
  } else if ((id == kCommPort || id == kIdList) && code == CBN_SELENDOK) {
    gLastEnd = L"ok";
  } else if ((id == kCommPort || id == kIdList) && code == CBN_SELENDCANCEL) {
    gLastEnd = L"cancel";
  } else if ((id == kCommPort || id == kIdList) && code == CBN_CLOSEUP) {
    const int index = static_cast<int>(SendMessageW(control, CB_GETCURSEL, 0, 0));
    Report(wnd, L"closeup " + std::to_wstring(id) + L" " + std::to_wstring(index) + L" " + gLastEnd);
    gLastEnd = L"none";
  }
}

// The lists are drawn by the window: only owner-drawn lists take an item
// height of their own under Wine.
void DrawItem(const DRAWITEMSTRUCT& item) {
  const bool selected = (item.itemState & ODS_SELECTED) != 0;
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  if (item.itemID == static_cast<UINT>(-1)) return;
  wchar_t text[16] = {};
  SendMessageW(item.hwndItem, CB_GETLBTEXT, item.itemID, reinterpret_cast<LPARAM>(text));
  SetBkMode(item.hDC, TRANSPARENT);
  SetTextColor(item.hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  RECT area = item.rcItem;
  DrawTextW(item.hDC, text, -1, &area, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
}

void PaintSquares(HWND wnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(wnd, &ps);
  RECT red = {200, 150, 208, 158};
  RECT lime = {220, 150, 228, 158};
  HBRUSH redBrush = CreateSolidBrush(RGB(255, 0, 0));
  HBRUSH limeBrush = CreateSolidBrush(RGB(0, 255, 0));
  FillRect(dc, &red, redBrush);
  FillRect(dc, &lime, limeBrush);
  DeleteObject(redBrush);
  DeleteObject(limeBrush);
  EndPaint(wnd, &ps);
}

LRESULT CALLBACK WndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      OnCommand(wnd, LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_PAINT:
      PaintSquares(wnd);
      return 0;
    case WM_MEASUREITEM:
      reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->itemHeight = kItemHeight;
      return TRUE;
    case WM_DRAWITEM:
      DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_CLOSE:
      gExitCode = 7;
      DestroyWindow(wnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(gExitCode);
      return 0;
    default:
      return DefWindowProcW(wnd, msg, wParam, lParam);
  }
}

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int w, int h) {
  return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

HWND List(HWND parent, int id, int x, const std::wstring& prefix, int first, int last, int dropped) {
  HWND combo = Child(parent, L"COMBOBOX", L"", CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS | WS_VSCROLL, id, x,
                     10, 70, 200);
  if (!prefix.empty()) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"OFF"));
  for (int i = first; i <= last; ++i) {
    const std::wstring text = prefix + std::to_wstring(i);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  // The window's height sets how many items show when the list drops.
  RECT field;
  GetWindowRect(combo, &field);
  SetWindowPos(combo, nullptr, 0, 0, 70, (field.bottom - field.top) + dropped * kItemHeight + 2,
               SWP_NOMOVE | SWP_NOZORDER);
  SendMessageW(combo, CB_SETCURSEL, 0, 0);
  return combo;
}

void AddHint(HWND owner, HWND control, const wchar_t* text) {
  HWND tip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr, GetModuleHandleW(nullptr), nullptr);
  TTTOOLINFOW tool = {};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = owner;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = const_cast<wchar_t*>(text);
  SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

}  // namespace

int main() {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  WNDCLASSW cls = {};
  cls.lpfnWndProc = WndProc;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.lpszClassName = L"TForm1";
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  cls.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  RegisterClassW(&cls);
  RECT frame = {0, 0, 300, 200};
  AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
  HWND wnd = CreateWindowExW(0, L"TForm1", L"driver test window", WS_OVERLAPPEDWINDOW, 100, 100,
                             frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, cls.hInstance, nullptr);
  gLabelFont = CreateFontW(-16, 0, 0, 0, FW_BOLD, 0, 0, 0, SHIFTJIS_CHARSET, 0, 0, 0, 0, L"ＭＳ Ｐゴシック");
  SendMessageW(Child(wnd, L"STATIC", L"ラベル", 0, kLabel1, 0, 170, 150, 16), WM_SETFONT,
               reinterpret_cast<WPARAM>(gLabelFont), FALSE);
  Child(wnd, L"BUTTON", L"read", BS_PUSHBUTTON, kReadBtn, 10, 60, 60, 25);
  Child(wnd, L"BUTTON", L"write", BS_PUSHBUTTON, kWriteBtn, 80, 60, 60, 25);
  Child(wnd, L"BUTTON", L"終了", BS_PUSHBUTTON, kExitBtn, 150, 60, 60, 25);
  AddHint(wnd, List(wnd, kCommPort, 10, L"COM", 1, 20, 21), L"ポートの説明");
  List(wnd, kIdList, 100, L"", 0, 31, 10);
  ShowWindow(wnd, SW_SHOW);
  UpdateWindow(wnd);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DeleteObject(gLabelFont);
  return static_cast<int>(msg.wParam);
}
