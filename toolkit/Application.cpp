#include "Application.h"

#include <vector>

#include "Exception.h"
#include "WideText.h"

TApplication* Application = nullptr;

namespace {

const wchar_t kWindowClass[] = L"ZefaApplicationWindow";

LRESULT CALLBACK ApplicationWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(wnd, msg, wParam, lParam);
}

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
    : TComponent(nullptr), FHandle(nullptr), FMainWindow(nullptr), FTerminated(false) {}

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
  cls.lpfnWndProc = ApplicationWndProc;
  cls.hInstance = instance;
  cls.lpszClassName = kWindowClass;
  cls.hIcon = LoadIconW(instance, L"MAINICON");
  RegisterClassW(&cls);
  // Never shown: it only owns the message boxes.
  FHandle = CreateWindowExW(0, kWindowClass, Utf8ToWide(FTitle).c_str(), WS_POPUP, 0, 0, 0, 0, nullptr,
                            nullptr, instance, nullptr);
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
