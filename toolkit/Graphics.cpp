#include "Graphics.h"

#include "SystemError.h"
#include "WideText.h"

COLORREF ColorToRGB(TColor color) {
  if ((color & clSystemColor) == clSystemColor) return GetSysColor(static_cast<int>(color & 0xFF));
  return static_cast<COLORREF>(color & 0x00FFFFFFu);
}

TMemoryDC::TMemoryDC() : FDC(CreateCompatibleDC(nullptr)) {
  if (FDC == nullptr) RaiseLastSystemError("描画の準備ができません");
}

TMemoryDC::~TMemoryDC() { DeleteDC(FDC); }

bool operator==(const TFontDesc& a, const TFontDesc& b) {
  return a.Name == b.Name && a.Height == b.Height && a.Weight == b.Weight && a.Color == b.Color &&
         a.Charset == b.Charset;
}

LOGFONTW MakeLogFont(const TFontDesc& wanted) {
  LOGFONTW font = {};
  font.lfHeight = -wanted.Height;
  font.lfWeight = wanted.Weight;
  font.lfCharSet = wanted.Charset;
  font.lfOutPrecision = OUT_DEFAULT_PRECIS;
  font.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  font.lfQuality = DEFAULT_QUALITY;
  font.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
  // Longer names are cut, as the system does; the last slot stays the terminator.
  const std::wstring face = Utf8ToWide(wanted.Name).substr(0, LF_FACESIZE - 1);
  face.copy(font.lfFaceName, face.size());
  return font;
}

TFont::TFont(const TFontDesc& wanted) : FDesc(wanted) {
  const LOGFONTW font = MakeLogFont(wanted);
  FHandle.Reset(CreateFontIndirectW(&font));
  if (!FHandle) RaiseLastSystemError("フォント「" + wanted.Name + "」を作成できません");
}

TBrush::TBrush(TColor color) : FColor(color), FSystem(nullptr) {
  if ((color & clSystemColor) == clSystemColor) {
    FSystem = GetSysColorBrush(static_cast<int>(color & 0xFF));
  } else {
    FOwned.Reset(CreateSolidBrush(ColorToRGB(color)));
  }
  if (Handle() == nullptr) RaiseLastSystemError("ブラシを作成できません");
}
