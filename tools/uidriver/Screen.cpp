#include "Screen.h"

#include <cstdlib>
#include <cstring>

#include "CommandLine.h"
#include "Handles.h"

namespace uidriver {

std::vector<uint32_t> CapturePixels(const RECT& rect) {
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) throw DriverError("empty rectangle");
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  WindowDc screen(nullptr);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  MemoryDc memory(screen.Get(), bitmap);
  if (!memory.Valid() || bits == nullptr) throw DriverError("cannot make a bitmap for the capture");
  if (!BitBlt(memory.Get(), 0, 0, width, height, screen.Get(), rect.left, rect.top, SRCCOPY)) {
    throw DriverError("cannot read the screen");
  }
  GdiFlush();
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
  std::memcpy(pixels.data(), bits, pixels.size() * sizeof(uint32_t));
  // The DIB holds 0x00RRGGBB already (blue in the lowest byte).
  for (auto& p : pixels) p &= 0xFFFFFF;
  return pixels;
}

namespace {

// Two clicks close in time and place make a double click, which a dropped
// list does not take as a choice: a second click waits until it cannot be
// one, as a person's separate clicks are.
void WaitOutDoubleClick(POINT point) {
  static DWORD lastTick = 0;
  static POINT lastPoint = {-100000, -100000};
  const LONG dx = GetSystemMetrics(SM_CXDOUBLECLK) / 2 + 1;
  const LONG dy = GetSystemMetrics(SM_CYDOUBLECLK) / 2 + 1;
  const bool nearby = std::labs(point.x - lastPoint.x) <= dx && std::labs(point.y - lastPoint.y) <= dy;
  const DWORD elapsed = GetTickCount() - lastTick;
  const DWORD limit = GetDoubleClickTime() + 50;
  if (nearby && elapsed < limit) Sleep(limit - elapsed);
  lastTick = GetTickCount();
  lastPoint = point;
}

}  // namespace

void MovePointer(POINT point) {
  if (!SetCursorPos(point.x, point.y)) throw DriverError("cannot move the pointer");
}

POINT CornerOutside(const std::vector<RECT>& avoid) {
  const LONG right = GetSystemMetrics(SM_CXSCREEN) - 1;
  const LONG bottom = GetSystemMetrics(SM_CYSCREEN) - 1;
  // The bottom right first: the farthest from where windows open.
  const POINT corners[] = {{right, bottom}, {0, bottom}, {right, 0}, {0, 0}};
  for (const POINT& corner : corners) {
    bool free = true;
    for (const RECT& rect : avoid) free = free && !PtInRect(&rect, corner);
    if (free) return corner;
  }
  throw DriverError("every corner of the screen is covered");
}

void ClickAt(POINT point) {
  WaitOutDoubleClick(point);
  MovePointer(point);
  INPUT input[2] = {};
  input[0].type = INPUT_MOUSE;
  input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  input[1].type = INPUT_MOUSE;
  input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  if (SendInput(2, input, sizeof(INPUT)) != 2) throw DriverError("cannot send the mouse click");
}

}  // namespace uidriver
