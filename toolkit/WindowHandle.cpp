#include "WindowHandle.h"

#include "SystemError.h"

void RegisterWindowClass(const WNDCLASSEXW& windowClass) {
  WNDCLASSEXW existing = {};
  existing.cbSize = sizeof(existing);
  if (GetClassInfoExW(windowClass.hInstance, windowClass.lpszClassName, &existing)) return;
  if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    RaiseLastSystemError("ウィンドウクラスを登録できません");
  }
}
