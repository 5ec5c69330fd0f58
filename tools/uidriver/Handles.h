// Owners of the Win32 handles the driver holds: each closes its handle once,
// and none can be copied.
#pragma once

#include <windows.h>

namespace uidriver {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : FHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : FHandle(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const { return FHandle; }
  explicit operator bool() const { return FHandle != nullptr; }
  HANDLE Release() {
    HANDLE handle = FHandle;
    FHandle = nullptr;
    return handle;
  }
  void Reset(HANDLE handle = nullptr) {
    if (FHandle != nullptr) CloseHandle(FHandle);
    FHandle = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }

 private:
  HANDLE FHandle = nullptr;
};

// A view of a file mapping, unmapped when it goes.
class MappedView {
 public:
  MappedView() = default;
  explicit MappedView(void* view) : FView(view) {}
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView() { Reset(); }
  void* Get() const { return FView; }
  void Reset(void* view = nullptr) {
    if (FView != nullptr) UnmapViewOfFile(FView);
    FView = view;
  }

 private:
  void* FView = nullptr;
};

// Screen or window device context from GetDC, released to its window.
class WindowDc {
 public:
  explicit WindowDc(HWND wnd) : FWnd(wnd), FDc(GetDC(wnd)) {}
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  ~WindowDc() {
    if (FDc != nullptr) ReleaseDC(FWnd, FDc);
  }
  HDC Get() const { return FDc; }

 private:
  HWND FWnd;
  HDC FDc;
};

// A memory device context with one bitmap selected into it.
class MemoryDc {
 public:
  MemoryDc(HDC compatible, HBITMAP bitmap)
      : FDc(CreateCompatibleDC(compatible)), FBitmap(bitmap),
        FOld(FDc != nullptr && bitmap != nullptr ? SelectObject(FDc, bitmap) : nullptr) {}
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  ~MemoryDc() {
    if (FOld != nullptr) SelectObject(FDc, FOld);
    if (FBitmap != nullptr) DeleteObject(FBitmap);
    if (FDc != nullptr) DeleteDC(FDc);
  }
  HDC Get() const { return FDc; }
  bool Valid() const { return FOld != nullptr; }

 private:
  HDC FDc;
  HBITMAP FBitmap;
  HGDIOBJ FOld;
};

}  // namespace uidriver
