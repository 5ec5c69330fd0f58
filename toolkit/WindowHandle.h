// Owns one window: destroys it when it goes, unless the system has
// destroyed it already (a child goes with its parent).
#pragma once

#include <windows.h>

#include <utility>

class TWindowHandle {
 public:
  TWindowHandle() = default;
  explicit TWindowHandle(HWND window) : FWindow(window) {}
  ~TWindowHandle() { Reset(); }
  TWindowHandle(const TWindowHandle&) = delete;
  TWindowHandle& operator=(const TWindowHandle&) = delete;
  TWindowHandle(TWindowHandle&& other) noexcept : FWindow(std::exchange(other.FWindow, nullptr)) {}
  TWindowHandle& operator=(TWindowHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.FWindow, nullptr));
    return *this;
  }

  HWND Get() const { return FWindow; }
  explicit operator bool() const { return FWindow != nullptr; }
  void Reset(HWND window = nullptr) {
    if (FWindow != nullptr && IsWindow(FWindow)) DestroyWindow(FWindow);
    FWindow = window;
  }

 private:
  HWND FWindow = nullptr;
};

// Registers a window class once per process; raises Exception when the
// system refuses it.
void RegisterWindowClass(const WNDCLASSEXW& windowClass);
