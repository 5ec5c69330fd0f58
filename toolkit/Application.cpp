#include "Application.h"

#include <vector>

#include "Exception.h"
#include "WideText.h"

TApplication* Application = nullptr;

namespace {

const wchar_t kWindowClass[] = L"ZefaApplicationWindow";

// A caption and a system menu for the task-bar button's menu; popup, so
// that the system leaves its size at zero.
constexpr DWORD kApplicationStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPSIBLINGS;

// Posted to itself on activation: the window it owns that the user last
// worked in takes over once the activation is complete.
constexpr UINT kActivateOwned = WM_APP + 1;

struct DisabledWindows {
  HWND except;
  std::vector<HWND> windows;
};

BOOL CALLBACK DisableWindow(HWND wnd, LPARAM param) {
  auto* state = reinterpret_cast<DisabledWindows*>(param);
  if (wnd != state->except && IsWindowVisible(wnd) && IsWindowEnabled(wnd)) {
    EnableWindow(wnd, FALSE);
    state->windows.push_back(wnd);
  }
  return TRUE;
}

}  // namespace

TApplication::TApplication()
    : TComponent(nullptr), FHandle(nullptr), FMainWindow(nullptr), FMainHiddenByMinimize(false), FTerminated(false) {}

TApplication::~TApplication() {
  // The forms go first: their components (the serial port) still need the
  // application while they shut down.
  while (ComponentCount() > 0) delete Components(ComponentCount() - 1);
  if (FHandle != nullptr) DestroyWindow(FHandle);
  if (Application == this) Application = nullptr;
}

void TApplication::Initialize() {
  if (FHandle != nullptr) return;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW cls = {};
  cls.lpfnWndProc = TApplication::WindowProc;
  cls.hInstance = instance;
  cls.lpszClassName = kWindowClass;
  cls.hIcon = LoadIconW(instance, L"MAINICON");
  RegisterClassW(&cls);
  // In the middle of the screen, where a minimised window's animation
  // starts from.
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2;
  const int y = GetSystemMetrics(SM_CYSCREEN) / 2;
  FHandle = CreateWindowExW(0, kWindowClass, Utf8ToWide(FTitle).c_str(), kApplicationStyle, x, y, 0, 0, nullptr,
                            nullptr, instance, nullptr);
}

void TApplication::ShowTaskbarButton() {
  if (FHandle != nullptr && !IsWindowVisible(FHandle)) ShowWindow(FHandle, SW_SHOWNOACTIVATE);
}

void TApplication::Minimize() {
  if (FHandle != nullptr) ShowWindow(FHandle, SW_MINIMIZE);
}

LRESULT CALLBACK TApplication::WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TApplication* self = Application != nullptr && Application->FHandle == wnd ? Application : nullptr;
  switch (msg) {
    case WM_CLOSE:
      // From the task-bar button's menu: as the main form's close box, and
      // not while a box is up (it disables this window, its owner). Never
      // the default, which would destroy the forms under the program.
      if (self != nullptr && self->FMainWindow != nullptr && IsWindowEnabled(wnd) &&
          (IsWindowVisible(self->FMainWindow) || self->FMainHiddenByMinimize)) {
        PostMessageW(self->FMainWindow, WM_CLOSE, 0, 0);
      }
      return 0;
    case WM_SIZE:
      // Minimised by the main form's minimise box or on the task bar: the
      // main form goes with it, and comes back when it is restored.
      if (self != nullptr && self->FMainWindow != nullptr) {
        if (wParam == SIZE_MINIMIZED && IsWindowVisible(self->FMainWindow)) {
          self->FMainHiddenByMinimize = true;
          ShowWindow(self->FMainWindow, SW_HIDE);
        } else if (wParam == SIZE_RESTORED && self->FMainHiddenByMinimize) {
          self->FMainHiddenByMinimize = false;
          ShowWindow(self->FMainWindow, SW_SHOW);
        }
      }
      break;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && HIWORD(wParam) == 0) PostMessageW(wnd, kActivateOwned, 0, 0);
      break;
    case kActivateOwned: {
      // Restored or chosen on the task bar: nothing of the application
      // window shows, so the user meets the box or form it owns.
      HWND owned = GetLastActivePopup(wnd);
      if (GetActiveWindow() == wnd && owned != wnd && IsWindowVisible(owned) && IsWindowEnabled(owned)) {
        SetActiveWindow(owned);
      }
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(wnd, msg, wParam, lParam);
}

void TApplication::SetTitle(const std::string& title) {
  FTitle = title;
  if (FHandle != nullptr) SetWindowTextW(FHandle, Utf8ToWide(title).c_str());
}

bool TApplication::Dispatch(MSG& msg) {
  if (msg.message == WM_QUIT) {
    FTerminated = true;
    return false;
  }
  if (FMainWindow != nullptr && IsDialogMessageW(FMainWindow, &msg)) return true;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

void TApplication::Run() {
  ShowTaskbarButton();
  if (FMainWindow != nullptr && !IsWindowVisible(FMainWindow)) {
    ShowWindow(FMainWindow, SW_SHOWNORMAL);
    UpdateWindow(FMainWindow);
  }
  while (!FTerminated) {
    MSG msg;
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == -1) break;
    if (got == 0) msg.message = WM_QUIT;
    Dispatch(msg);
  }
}

void TApplication::Terminate() {
  if (!FTerminated) PostQuitMessage(0);
}

void TApplication::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (!Dispatch(msg)) break;
  }
}

void TApplication::HandleException(const std::exception& error) {
  const auto* own = dynamic_cast<const Exception*>(&error);
  const std::string text = own != nullptr ? own->Message() : std::string(error.what());
  ShowMessageBox(Utf8ToWide(text), Utf8ToWide(FTitle), MB_OK | MB_ICONERROR);
}

void TApplication::HandleException() {
  ShowMessageBox(Utf8ToWide("不明なエラーが発生しました"), Utf8ToWide(FTitle), MB_OK | MB_ICONERROR);
}

int TApplication::ShowMessageBox(const std::wstring& text, const std::wstring& caption, UINT flags) {
  // The box owned by the application window: its button is the box's.
  ShowTaskbarButton();
  DisabledWindows disabled{FHandle, {}};
  HWND active = GetActiveWindow();
  EnumThreadWindows(GetCurrentThreadId(), DisableWindow, reinterpret_cast<LPARAM>(&disabled));
  const int result = MessageBoxW(FHandle, text.c_str(), caption.c_str(), flags);
  for (HWND wnd : disabled.windows) {
    if (IsWindow(wnd)) EnableWindow(wnd, TRUE);
  }
  if (active != nullptr && IsWindow(active)) SetActiveWindow(active);
  return result;
}
