// The program's images, drawn from their geometry, and their file formats:
// the arrow of the main window (a 16-colour bitmap) and the application
// icon (16 x 16 and 32 x 32 in 256 colours). The committed files under
// app/res are what these functions write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zefa {
namespace resgen {

// Colours as 0xRRGGBB.
constexpr uint32_t kBlack = 0x000000;
constexpr uint32_t kMaroon = 0x800000;  // the icon's dark red
constexpr uint32_t kGrey = 0x808080;
constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kLime = 0x00FF00;
constexpr uint32_t kYellow = 0xFFFF00;
constexpr uint32_t kMagenta = 0xFF00FF;
constexpr uint32_t kLightOrange = 0xFFC878;

// A palette image: one palette index per pixel, rows from the top.
struct IndexedImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> palette;
  std::vector<uint8_t> pixels;

  uint8_t Index(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
  uint32_t Color(int x, int y) const { return palette[Index(x, y)]; }
};

// The standard 16-colour palette, in its usual order.
std::vector<uint32_t> StandardPalette16();

// The right-pointing arrow, 48 x 48: shaft columns 5 to 23, rows 16 to 31;
// head with its back edge on column 23 from row 5 to row 42 and its point on
// column 42, rows 23 and 24; lime fill, magenta background, and one black
// outline one pixel wide around the whole shape (none where the shaft runs
// into the head).
IndexedImage ArrowImage();

// The application icon at 16 or 32 pixels: a yellow square in a bevelled
// frame with red block letters ("ZEFA1" over "ID" at 32, "ID" at 16).
IndexedImage IconImage(int size);

// A Windows bitmap file, 4 bits per pixel (at most 16 palette entries).
std::vector<uint8_t> EncodeBitmap4(const IndexedImage& image);

// A Windows icon file with one 8-bit image (256-entry palette, fully
// opaque) for each given image.
std::vector<uint8_t> EncodeIcon8(const std::vector<IndexedImage>& images);

// The files, by name, that the generator writes.
struct GeneratedFile {
  std::string name;
  std::vector<uint8_t> bytes;
};
std::vector<GeneratedFile> GenerateAll();

}  // namespace resgen
}  // namespace zefa
