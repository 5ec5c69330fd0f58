#include "ResourceImages.h"

#include <algorithm>
#include <stdexcept>

namespace zefa {
namespace resgen {

namespace {

// --- Drawing ----------------------------------------------------------------

uint8_t PaletteIndex(const std::vector<uint32_t>& palette, uint32_t color) {
  const auto found = std::find(palette.begin(), palette.end(), color);
  if (found == palette.end()) throw std::logic_error("colour not in the palette");
  return static_cast<uint8_t>(found - palette.begin());
}

IndexedImage BlankImage(int width, int height, std::vector<uint32_t> palette, uint32_t background) {
  IndexedImage image;
  image.width = width;
  image.height = height;
  image.palette = std::move(palette);
  image.pixels.assign(static_cast<size_t>(width) * height, PaletteIndex(image.palette, background));
  return image;
}

void Put(IndexedImage& image, int x, int y, uint32_t color) {
  image.pixels[static_cast<size_t>(y) * image.width + x] = PaletteIndex(image.palette, color);
}

// A glyph: one string per row, '#' for a pixel of the letter.
using Glyph = std::vector<const char*>;

void DrawGlyph(IndexedImage& image, const Glyph& glyph, int left, int top, uint32_t color) {
  for (size_t row = 0; row < glyph.size(); ++row) {
    for (int column = 0; glyph[row][column] != '\0'; ++column) {
      if (glyph[row][column] == '#') Put(image, left + column, top + static_cast<int>(row), color);
    }
  }
}

// --- The arrow ----------------------------------------------------------------

constexpr int kArrowSize = 48;
constexpr int kShaftLeft = 5;
constexpr int kShaftTop = 16;
constexpr int kShaftBottom = 31;
constexpr int kHeadBack = 23;
constexpr int kHeadTop = 5;
constexpr int kHeadBottom = 42;

// The head's rightmost column in a row: one more per row down to the point
// (rows 23 and 24, column 42), then one less per row.
int HeadRight(int y) {
  const int fromEnd = std::min(y - kHeadTop, kHeadBottom - y);
  return kHeadBack + 1 + fromEnd;
}

bool InHead(int x, int y) { return y >= kHeadTop && y <= kHeadBottom && x >= kHeadBack && x <= HeadRight(y); }

bool InShaft(int x, int y) { return x >= kShaftLeft && x <= kHeadBack && y >= kShaftTop && y <= kShaftBottom; }

bool InArrow(int x, int y) { return InShaft(x, y) || InHead(x, y); }

// A pixel on the rim of its own part: the shaft's rectangle, or the head
// with a side neighbour outside it (so the slants step one pixel per row).
bool OnPartEdge(int x, int y) {
  if (InShaft(x, y) && (x == kShaftLeft || x == kHeadBack || y == kShaftTop || y == kShaftBottom)) return true;
  return InHead(x, y) && (!InHead(x + 1, y) || !InHead(x - 1, y) || !InHead(x, y - 1) || !InHead(x, y + 1));
}

bool TouchesOutside(int x, int y) {
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      if (!InArrow(x + dx, y + dy)) return true;
    }
  }
  return false;
}

// The arrow is one shape with one outline: a part's rim is drawn only where
// it touches the outside, not where the shaft runs into the head.
bool OnOutline(int x, int y) { return OnPartEdge(x, y) && TouchesOutside(x, y); }

// --- The icon -----------------------------------------------------------------

const Glyph kLetterZ = {"####", "...#", "..##", ".##.", "##..", "#...", "####"};
const Glyph kLetterE = {"####", "#...", "#...", "###.", "#...", "#...", "####"};
const Glyph kLetterF = {"####", "#...", "#...", "###.", "#...", "#...", "#..."};
const Glyph kLetterA = {".##.", "#..#", "#..#", "####", "#..#", "#..#", "#..#"};
const Glyph kDigit1 = {".##.", "###.", ".##.", ".##.", ".##.", ".##.", "####"};

const Glyph kLargeI = {"######", "######", "..##..", "..##..", "..##..", "..##..",
                       "..##..", "..##..", "..##..", "..##..", "######", "######"};
const Glyph kLargeD = {"#####..", "######.", "##..###", "##...##", "##...##", "##...##",
                       "##...##", "##...##", "##...##", "##..###", "######.", "#####.."};

const Glyph kSmallI = {"####", ".##.", ".##.", ".##.", ".##.", ".##.", ".##.", ".##.", "####"};
const Glyph kSmallD = {"####.", "##.##", "##.##", "##.##", "##.##", "##.##", "##.##", "##.##", "####."};

std::vector<uint32_t> IconPalette() {
  std::vector<uint32_t> palette = StandardPalette16();
  palette.push_back(kLightOrange);
  palette.resize(256, kBlack);
  return palette;
}

// Frame of the given width: light along the top and left, dark along the
// bottom and right, meeting on the diagonals of the corners; then one grey
// line of shadow inside the light edges.
void DrawBevelledSquare(IndexedImage& image, int frame) {
  const int last = image.width - 1;
  for (int y = 0; y <= last; ++y) {
    for (int x = 0; x <= last; ++x) {
      const bool inFrame = x < frame || y < frame || x > last - frame || y > last - frame;
      if (inFrame) {
        const bool light = (x < frame || y < frame) && x + y < last;
        Put(image, x, y, light ? kLightOrange : kMaroon);
      } else if (x == frame || y == frame) {
        Put(image, x, y, kGrey);
      }
    }
  }
}

// --- File formats ---------------------------------------------------------------

void Append16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void Append32(std::vector<uint8_t>& out, uint32_t value) {
  Append16(out, value & 0xFFFF);
  Append16(out, value >> 16);
}

constexpr uint32_t kInfoHeaderSize = 40;

void AppendInfoHeader(std::vector<uint8_t>& out, int width, int height, int bitCount, uint32_t imageSize,
                      uint32_t colorsUsed) {
  Append32(out, kInfoHeaderSize);
  Append32(out, static_cast<uint32_t>(width));
  Append32(out, static_cast<uint32_t>(height));
  Append16(out, 1);  // planes
  Append16(out, static_cast<uint32_t>(bitCount));
  Append32(out, 0);  // BI_RGB
  Append32(out, imageSize);
  Append32(out, 0);  // no resolution: the layout is in pixels
  Append32(out, 0);
  Append32(out, colorsUsed);
  Append32(out, 0);
}

void AppendPalette(std::vector<uint8_t>& out, const std::vector<uint32_t>& palette) {
  for (uint32_t color : palette) {
    out.push_back(static_cast<uint8_t>(color));        // blue
    out.push_back(static_cast<uint8_t>(color >> 8));   // green
    out.push_back(static_cast<uint8_t>(color >> 16));  // red
    out.push_back(0);
  }
}

// Rows are stored bottom-up, each padded to a multiple of four bytes.
uint32_t RowBytes(int width, int bitCount) { return static_cast<uint32_t>(((width * bitCount + 31) / 32) * 4); }

void AppendPixels4(std::vector<uint8_t>& out, const IndexedImage& image) {
  const uint32_t rowBytes = RowBytes(image.width, 4);
  for (int y = image.height - 1; y >= 0; --y) {
    std::vector<uint8_t> row(rowBytes, 0);
    for (int x = 0; x < image.width; ++x) {
      // The left pixel of each pair is the high nibble.
      row[static_cast<size_t>(x / 2)] |= static_cast<uint8_t>(image.Index(x, y) << (x % 2 == 0 ? 4 : 0));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
}

void AppendPixels8(std::vector<uint8_t>& out, const IndexedImage& image) {
  const uint32_t rowBytes = RowBytes(image.width, 8);
  for (int y = image.height - 1; y >= 0; --y) {
    std::vector<uint8_t> row(rowBytes, 0);
    for (int x = 0; x < image.width; ++x) row[static_cast<size_t>(x)] = image.Index(x, y);
    out.insert(out.end(), row.begin(), row.end());
  }
}

std::vector<uint8_t> IconImageData(const IndexedImage& image) {
  if (image.palette.size() != 256 || image.width > 255 || image.height > 255) {
    throw std::invalid_argument("an icon image needs 256 colours and at most 255 pixels a side");
  }
  const uint32_t colorBytes = RowBytes(image.width, 8) * static_cast<uint32_t>(image.height);
  const uint32_t maskBytes = RowBytes(image.width, 1) * static_cast<uint32_t>(image.height);
  std::vector<uint8_t> data;
  // An icon's header counts the colour rows and the mask rows together.
  AppendInfoHeader(data, image.width, image.height * 2, 8, colorBytes + maskBytes, 0);
  AppendPalette(data, image.palette);
  AppendPixels8(data, image);
  data.insert(data.end(), maskBytes, 0);  // every pixel opaque
  return data;
}

}  // namespace

std::vector<uint32_t> StandardPalette16() {
  return {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
          0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
}

IndexedImage ArrowImage() {
  IndexedImage image = BlankImage(kArrowSize, kArrowSize, StandardPalette16(), kMagenta);
  for (int y = 0; y < kArrowSize; ++y) {
    for (int x = 0; x < kArrowSize; ++x) {
      if (OnOutline(x, y)) {
        Put(image, x, y, kBlack);
      } else if (InArrow(x, y)) {
        Put(image, x, y, kLime);
      }
    }
  }
  return image;
}

IndexedImage IconImage(int size) {
  if (size != 16 && size != 32) throw std::invalid_argument("icon sizes are 16 and 32");
  IndexedImage image = BlankImage(size, size, IconPalette(), kYellow);
  if (size == 32) {
    DrawBevelledSquare(image, 2);
    const Glyph* line1[] = {&kLetterZ, &kLetterE, &kLetterF, &kLetterA, &kDigit1};
    int left = 4;
    for (const Glyph* glyph : line1) {
      DrawGlyph(image, *glyph, left, 5, kRed);
      left += 5;
    }
    DrawGlyph(image, kLargeI, 9, 15, kRed);
    DrawGlyph(image, kLargeD, 17, 15, kRed);
  } else {
    DrawBevelledSquare(image, 1);
    DrawGlyph(image, kSmallI, 4, 4, kRed);
    DrawGlyph(image, kSmallD, 9, 4, kRed);
  }
  return image;
}

std::vector<uint8_t> EncodeBitmap4(const IndexedImage& image) {
  if (image.palette.empty() || image.palette.size() > 16) throw std::invalid_argument("a 4-bit bitmap has 16 colours");
  const uint32_t imageSize = RowBytes(image.width, 4) * static_cast<uint32_t>(image.height);
  const uint32_t paletteBytes = static_cast<uint32_t>(image.palette.size()) * 4;
  const uint32_t offset = 14 + kInfoHeaderSize + paletteBytes;
  std::vector<uint8_t> out;
  out.push_back('B');
  out.push_back('M');
  Append32(out, offset + imageSize);
  Append32(out, 0);
  Append32(out, offset);
  AppendInfoHeader(out, image.width, image.height, 4, imageSize, static_cast<uint32_t>(image.palette.size()));
  AppendPalette(out, image.palette);
  AppendPixels4(out, image);
  return out;
}

std::vector<uint8_t> EncodeIcon8(const std::vector<IndexedImage>& images) {
  std::vector<std::vector<uint8_t>> data;
  for (const IndexedImage& image : images) data.push_back(IconImageData(image));

  std::vector<uint8_t> out;
  Append16(out, 0);
  Append16(out, 1);  // an icon, not a cursor
  Append16(out, static_cast<uint32_t>(images.size()));
  uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    out.push_back(static_cast<uint8_t>(images[i].width));
    out.push_back(static_cast<uint8_t>(images[i].height));
    out.push_back(0);  // 256 colours are written as 0
    out.push_back(0);
    Append16(out, 1);  // planes
    Append16(out, 8);  // bits per pixel
    Append32(out, static_cast<uint32_t>(data[i].size()));
    Append32(out, offset);
    offset += static_cast<uint32_t>(data[i].size());
  }
  for (const std::vector<uint8_t>& image : data) out.insert(out.end(), image.begin(), image.end());
  return out;
}

std::vector<GeneratedFile> GenerateAll() {
  return {
      {"arrow.bmp", EncodeBitmap4(ArrowImage())},
      {"zefa1id.ico", EncodeIcon8({IconImage(16), IconImage(32)})},
  };
}

}  // namespace resgen
}  // namespace zefa
