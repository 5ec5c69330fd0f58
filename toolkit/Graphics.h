// Colours, fonts and owners of GDI objects and device contexts for the forms
// and controls. Every GDI object has exactly one owner that deletes it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

// A colour: an RGB value in COLORREF layout, or a system colour (a COLOR_*
// index marked by the high byte) that is looked up each time it is used, so
// that it follows the user's colour scheme.
using TColor = uint32_t;
constexpr TColor clSystemColor = 0xFF000000u;
constexpr TColor clBtnFace = clSystemColor | COLOR_BTNFACE;
constexpr TColor clWindowText = clSystemColor | COLOR_WINDOWTEXT;
constexpr TColor clRed = 0x000000FFu;

COLORREF ColorToRGB(TColor color);

// Deletes one GDI object (font, brush, bitmap) when it goes.
template <typename T>
class TGdiObject {
 public:
  TGdiObject() = default;
  explicit TGdiObject(T handle) : FHandle(handle) {}
  ~TGdiObject() { Reset(); }
  TGdiObject(const TGdiObject&) = delete;
  TGdiObject& operator=(const TGdiObject&) = delete;
  TGdiObject(TGdiObject&& other) noexcept : FHandle(std::exchange(other.FHandle, nullptr)) {}
  TGdiObject& operator=(TGdiObject&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.FHandle, nullptr));
    return *this;
  }

  T Get() const { return FHandle; }
  explicit operator bool() const { return FHandle != nullptr; }
  void Reset(T handle = nullptr) {
    if (FHandle != nullptr) DeleteObject(FHandle);
    FHandle = handle;
  }

 private:
  T FHandle = nullptr;
};

// A memory device context compatible with the screen.
class TMemoryDC {
 public:
  TMemoryDC();
  ~TMemoryDC();
  TMemoryDC(const TMemoryDC&) = delete;
  TMemoryDC& operator=(const TMemoryDC&) = delete;
  HDC Get() const { return FDC; }

 private:
  HDC FDC;
};

// The device context of a window's client area, released when it goes.
class TWindowDC {
 public:
  explicit TWindowDC(HWND window) : FWindow(window), FDC(GetDC(window)) {}
  ~TWindowDC() {
    if (FDC != nullptr) ReleaseDC(FWindow, FDC);
  }
  TWindowDC(const TWindowDC&) = delete;
  TWindowDC& operator=(const TWindowDC&) = delete;
  HDC Get() const { return FDC; }

 private:
  HWND FWindow;
  HDC FDC;
};

// Selects an object into a device context and puts the previous one back.
class TSelection {
 public:
  TSelection(HDC dc, HGDIOBJ object) : FDC(dc), FPrevious(SelectObject(dc, object)) {}
  ~TSelection() { SelectObject(FDC, FPrevious); }
  TSelection(const TSelection&) = delete;
  TSelection& operator=(const TSelection&) = delete;

 private:
  HDC FDC;
  HGDIOBJ FPrevious;
};

// BeginPaint and EndPaint of one WM_PAINT.
class TPaintDC {
 public:
  explicit TPaintDC(HWND window) : FWindow(window), FPaint{} { FDC = BeginPaint(window, &FPaint); }
  ~TPaintDC() { EndPaint(FWindow, &FPaint); }
  TPaintDC(const TPaintDC&) = delete;
  TPaintDC& operator=(const TPaintDC&) = delete;
  HDC Get() const { return FDC; }

 private:
  HWND FWindow;
  PAINTSTRUCT FPaint;
  HDC FDC;
};

// What a font is: face, character height in pixels (the size that a layout
// in pixels gives), weight, colour and character set.
struct TFontDesc {
  std::string Name;  // UTF-8
  int Height = 12;
  int Weight = FW_NORMAL;
  TColor Color = clWindowText;
  BYTE Charset = DEFAULT_CHARSET;
};

bool operator==(const TFontDesc& a, const TFontDesc& b);
inline bool operator!=(const TFontDesc& a, const TFontDesc& b) { return !(a == b); }

// The logical font of a description: lfHeight is -Height, so that Height is the
// character height rather than the cell height.
LOGFONTW MakeLogFont(const TFontDesc& wanted);

// A font made from its description; raises Exception when the system refuses it.
class TFont {
 public:
  explicit TFont(const TFontDesc& wanted);
  TFont(const TFont&) = delete;
  TFont& operator=(const TFont&) = delete;

  const TFontDesc& Description() const { return FDesc; }
  HFONT Handle() const { return FHandle.Get(); }

 private:
  TFontDesc FDesc;
  TGdiObject<HFONT> FHandle;
};

// A solid brush of a colour; a system colour uses the system's own brush,
// which must not be deleted.
class TBrush {
 public:
  explicit TBrush(TColor color);
  TBrush(const TBrush&) = delete;
  TBrush& operator=(const TBrush&) = delete;

  TColor Color() const { return FColor; }
  HBRUSH Handle() const { return FOwned ? FOwned.Get() : FSystem; }

 private:
  TColor FColor;
  HBRUSH FSystem;
  TGdiObject<HBRUSH> FOwned;
};
