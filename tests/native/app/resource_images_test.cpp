// The committed images are exactly what the generator draws, and the files
// decode to the described geometry. Pixels are read back from the file
// bytes, so that the file formats are checked as well as the drawing.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ResourceImages.h"

namespace zefa {
namespace resgen {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Le16(const Bytes& b, size_t at) { return b.at(at) | (b.at(at + 1) << 8); }
uint32_t Le32(const Bytes& b, size_t at) { return Le16(b, at) | (Le16(b, at + 2) << 16); }

// A palette image inside a file: its info header at `header`, its palette
// right after it, its pixels at `pixels`, rows bottom-up.
struct DibView {
  const Bytes* file;
  size_t header;
  size_t pixels;
  int width;
  int height;  // of the colour image
  int bitCount;

  uint32_t PaletteColor(uint32_t index) const {
    const size_t at = header + Le32(*file, header) + 4 * index;
    return (file->at(at + 2) << 16) | (file->at(at + 1) << 8) | file->at(at);
  }
  uint32_t Index(int x, int y) const {
    const size_t rowBytes = static_cast<size_t>(((width * bitCount + 31) / 32) * 4);
    const size_t row = pixels + rowBytes * static_cast<size_t>(height - 1 - y);
    if (bitCount == 8) return file->at(row + x);
    const uint8_t pair = file->at(row + x / 2);
    return x % 2 == 0 ? pair >> 4 : pair & 0x0F;
  }
  uint32_t Color(int x, int y) const { return PaletteColor(Index(x, y)); }
};

DibView BitmapView(const Bytes& file) {
  return DibView{&file, 14, Le32(file, 10), static_cast<int>(Le32(file, 18)), static_cast<int>(Le32(file, 22)),
                 static_cast<int>(Le16(file, 28))};
}

DibView IconView(const Bytes& file, int entry) {
  const size_t dir = 6 + 16 * static_cast<size_t>(entry);
  const size_t header = Le32(file, dir + 12);
  const int width = static_cast<int>(Le32(file, header + 4));
  const int bitCount = static_cast<int>(Le16(file, header + 14));
  const size_t paletteBytes = 4u << bitCount;
  return DibView{&file, header, header + Le32(file, header) + paletteBytes, width,
                 static_cast<int>(Le32(file, header + 8)) / 2, bitCount};
}

std::string Where(int x, int y) { return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ")"; }

class CommittedImages : public ::testing::Test {
 protected:
  Bytes arrow = ReadFile(ZEFA_APP_RES_DIR "/arrow.bmp");
  Bytes icon = ReadFile(ZEFA_APP_RES_DIR "/zefa1id.ico");
};

TEST_F(CommittedImages, AreWhatTheGeneratorWrites) {
  for (const GeneratedFile& file : GenerateAll()) {
    const Bytes committed = ReadFile(std::string(ZEFA_APP_RES_DIR "/") + file.name);
    EXPECT_TRUE(committed == file.bytes)
        << file.name << " differs from the generator's output; remake it with build/native/tools/resgen/resgen app/res";
  }
}

TEST_F(CommittedImages, ArrowIsA48PixelSixteenColourBitmap) {
  ASSERT_GE(arrow.size(), 118u);
  EXPECT_EQ('B', arrow[0]);
  EXPECT_EQ('M', arrow[1]);
  EXPECT_EQ(arrow.size(), Le32(arrow, 2));
  const DibView view = BitmapView(arrow);
  EXPECT_EQ(48, view.width);
  EXPECT_EQ(48, view.height);  // positive: rows bottom-up
  EXPECT_EQ(4, view.bitCount);
  EXPECT_EQ(0u, Le32(arrow, 30));  // uncompressed
  EXPECT_EQ(arrow.size(), view.pixels + 48 * 24);
  const std::vector<uint32_t> standard = StandardPalette16();
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(standard[i], view.PaletteColor(i)) << "palette entry " << i;
}

TEST_F(CommittedImages, ArrowGeometry) {
  const DibView view = BitmapView(arrow);
  // The transparent colour is the bottom-left pixel's.
  EXPECT_EQ(kMagenta, view.Color(0, 47));

  // Shaft: outline on its left, top and bottom; lime inside; magenta around.
  for (int x = 5; x <= 22; ++x) {
    EXPECT_EQ(kBlack, view.Color(x, 16)) << Where(x, 16);
    EXPECT_EQ(kBlack, view.Color(x, 31)) << Where(x, 31);
    EXPECT_EQ(kMagenta, view.Color(x, 15)) << Where(x, 15);
    EXPECT_EQ(kMagenta, view.Color(x, 32)) << Where(x, 32);
    for (int y = 17; y <= 30; ++y) {
      EXPECT_EQ(x == 5 ? kBlack : kLime, view.Color(x, y)) << Where(x, y);
    }
  }
  for (int y = 16; y <= 31; ++y) EXPECT_EQ(kMagenta, view.Color(4, y)) << Where(4, y);

  // Head: back edge on column 23 from row 5 to row 42, black where it
  // borders the outside and lime where the shaft runs into the head.
  for (int y = 0; y < 48; ++y) {
    const uint32_t expected = y < 5 || y > 42 ? kMagenta : y >= 17 && y <= 30 ? kLime : kBlack;
    EXPECT_EQ(expected, view.Color(23, y)) << Where(23, y);
  }
  // Slanted edges one pixel per row, meeting at the point on column 42.
  for (int y = 5; y <= 42; ++y) {
    const int right = 24 + std::min(y - 5, 42 - y);
    EXPECT_EQ(kBlack, view.Color(right, y)) << Where(right, y);
    EXPECT_EQ(kMagenta, view.Color(right + 1, y)) << Where(right + 1, y);
    if (y >= 7 && y <= 40) {
      EXPECT_EQ(kLime, view.Color(right - 1, y)) << Where(right - 1, y);
    }
  }
  EXPECT_EQ(kBlack, view.Color(42, 23));
  EXPECT_EQ(kBlack, view.Color(42, 24));
  EXPECT_EQ(kMagenta, view.Color(42, 22));
  EXPECT_EQ(kMagenta, view.Color(42, 25));

  // One shape with one outline: every pixel of the arrow beside the outside
  // is black, and every black pixel touches the outside.
  const auto outside = [&view](int x, int y) {
    return x < 0 || y < 0 || x >= 48 || y >= 48 || view.Color(x, y) == kMagenta;
  };
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 48; ++x) {
      if (outside(x, y)) continue;
      const bool besideOutside = outside(x - 1, y) || outside(x + 1, y) || outside(x, y - 1) || outside(x, y + 1);
      bool touchesOutside = false;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) touchesOutside = touchesOutside || outside(x + dx, y + dy);
      }
      if (besideOutside) {
        EXPECT_EQ(kBlack, view.Color(x, y)) << Where(x, y);
      }
      if (view.Color(x, y) == kBlack) {
        EXPECT_TRUE(touchesOutside) << Where(x, y) << " is black inside the arrow";
      }
    }
  }

  // Only the three colours appear; the shape is symmetric about its axis.
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 48; ++x) {
      const uint32_t color = view.Color(x, y);
      EXPECT_TRUE(color == kBlack || color == kLime || color == kMagenta) << Where(x, y);
      EXPECT_EQ(color, view.Color(x, 47 - y)) << Where(x, y);
    }
  }
}

TEST_F(CommittedImages, IconHoldsA16AndA32PixelImageIn256Colours) {
  ASSERT_GE(icon.size(), 38u);
  EXPECT_EQ(0u, Le16(icon, 0));
  EXPECT_EQ(1u, Le16(icon, 2));  // icon
  ASSERT_EQ(2u, Le16(icon, 4));
  const int sizes[] = {16, 32};
  for (int entry = 0; entry < 2; ++entry) {
    const size_t dir = 6 + 16 * static_cast<size_t>(entry);
    EXPECT_EQ(sizes[entry], icon[dir]);
    EXPECT_EQ(sizes[entry], icon[dir + 1]);
    EXPECT_EQ(8u, Le16(icon, dir + 6));
    const DibView view = IconView(icon, entry);
    EXPECT_EQ(sizes[entry], view.width);
    EXPECT_EQ(sizes[entry], view.height);
    EXPECT_EQ(8, view.bitCount);
    // Each image ends where the next begins, the last at the end of the file.
    const size_t end = Le32(icon, dir + 12) + Le32(icon, dir + 8);
    EXPECT_EQ(entry == 0 ? Le32(icon, dir + 16 + 12) : icon.size(), end);
    // The mask after the colour rows leaves every pixel opaque.
    const size_t mask = view.pixels + static_cast<size_t>(sizes[entry] * sizes[entry]);
    for (size_t i = mask; i < mask + 4u * static_cast<size_t>(sizes[entry]); ++i) EXPECT_EQ(0, icon.at(i));
  }
}

struct IconPixel {
  int entry;  // 0: 16 x 16, 1: 32 x 32
  int x;
  int y;
  uint32_t color;
  const char* what;
};

TEST_F(CommittedImages, IconPixels) {
  const IconPixel cases[] = {
      {1, 0, 0, kLightOrange, "top-left bevel"},
      {1, 15, 1, kLightOrange, "top bevel"},
      {1, 1, 15, kLightOrange, "left bevel"},
      {1, 31, 31, kMaroon, "bottom-right bevel"},
      {1, 15, 30, kMaroon, "bottom bevel"},
      {1, 30, 15, kMaroon, "right bevel"},
      {1, 15, 2, kGrey, "shadow under the top edge"},
      {1, 2, 15, kGrey, "shadow beside the left edge"},
      {1, 15, 29, kYellow, "no shadow over the bottom edge"},
      {1, 3, 3, kYellow, "face"},
      {1, 4, 5, kRed, "Z"},
      {1, 24, 11, kRed, "1"},
      {1, 15, 13, kYellow, "between the lines"},
      {1, 11, 20, kRed, "I"},
      {1, 17, 20, kRed, "D"},
      {0, 0, 0, kLightOrange, "top-left bevel"},
      {0, 15, 15, kMaroon, "bottom-right bevel"},
      {0, 8, 1, kGrey, "shadow"},
      {0, 4, 4, kRed, "I"},
      {0, 9, 8, kRed, "D"},
      {0, 8, 8, kYellow, "between the letters"},
      {0, 2, 13, kYellow, "face"},
  };
  for (const IconPixel& c : cases) {
    EXPECT_EQ(c.color, IconView(icon, c.entry).Color(c.x, c.y))
        << (c.entry == 0 ? "16: " : "32: ") << c.what << " at " << Where(c.x, c.y);
  }
}

}  // namespace
}  // namespace resgen
}  // namespace zefa
