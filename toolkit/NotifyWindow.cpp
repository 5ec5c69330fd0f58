#include "NotifyWindow.h"

#include <exception>
#include <string>
#include <utility>

#include "Application.h"
#include "Exception.h"

namespace {

const wchar_t kClassName[] = L"ZefaNotifyWindow";

LRESULT CALLBACK NotifyWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* method = reinterpret_cast<TWndMethod*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  if (method == nullptr || !*method) return DefWindowProcW(wnd, msg, wParam, lParam);
  TMessage message{msg, wParam, lParam, 0};
  // An exception must not unwind through the system's message dispatch.
  try {
    (*method)(message);
  } catch (const std::exception& error) {
    if (Application != nullptr) Application->HandleException(error);
  } catch (...) {
    if (Application != nullptr) Application->HandleException();
  }
  return message.Result;
}

void RegisterNotifyClass(HINSTANCE instance) {
  WNDCLASSW cls = {};
  if (GetClassInfoW(instance, kClassName, &cls)) return;
  cls.lpfnWndProc = NotifyWindowProc;
  cls.hInstance = instance;
  cls.lpszClassName = kClassName;
  RegisterClassW(&cls);
}

}  // namespace

HWND AllocateHWnd(TWndMethod method) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterNotifyClass(instance);
  HWND wnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (wnd == nullptr) {
    throw Exception("通知用ウィンドウを作成できませんでした (" + std::to_string(GetLastError()) + ")");
  }
  SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new TWndMethod(std::move(method))));
  return wnd;
}

void DeallocateHWnd(HWND wnd) {
  if (wnd == nullptr) return;
  auto* method = reinterpret_cast<TWndMethod*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
  // Detach first: DestroyWindow still delivers messages of its own.
  SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
  DestroyWindow(wnd);
  delete method;
}
