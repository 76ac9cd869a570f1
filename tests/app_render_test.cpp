// Picture adjustments, overlay blending, text and image watermarks and the per-frame rendering.
#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/FileList.h"
#include "app/WaterMark.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using Rgb = std::array<int, 3>;  // red, green, blue

Rgb PixelAt(const TBitmap& bmp, int x, int y) {
  const uint8_t* p = bmp.ScanLine(y) + x * 3;
  return {p[2], p[1], p[0]};
}

void SetPixel(TBitmap& bmp, int x, int y, Rgb c) {
  uint8_t* p = bmp.ScanLine(y) + x * 3;
  p[0] = static_cast<uint8_t>(c[2]);
  p[1] = static_cast<uint8_t>(c[1]);
  p[2] = static_cast<uint8_t>(c[0]);
}

// A frame of pseudo-random pixels: every position has its own value, so a pixel written to the
// wrong place or copied from the wrong place shows.
void FillNoise(TBitmap& bmp, unsigned seed) {
  std::mt19937 gen(seed);
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width() * 3; ++x) bmp.ScanLine(y)[x] = static_cast<uint8_t>(gen());
}

bool SamePixels(const TBitmap& a, const TBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int y = 0; y < a.Height(); ++y)
    if (std::memcmp(a.ScanLine(y), b.ScanLine(y), static_cast<size_t>(a.Width()) * 3) != 0)
      return false;
  return true;
}

Rgb Blend(Rgb frame, Rgb over, int alpha) {
  Rgb r;
  for (int c = 0; c < 3; ++c) r[c] = ((256 - alpha) * frame[c] + alpha * over[c]) >> 8;
  return r;
}

Rgb FromTColor(TColor c) { return {int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)}; }

// ---------------------------------------------------------------------------------------------
// Adjustments

struct PixelCase {
  const char* name;
  std::function<void(TBitmap&)> op;
  std::vector<Rgb> in, out;
};

TEST(AdjustmentTest, KnownLevels) {
  auto colors = [](int b, int c, int s) {
    return [=](TBitmap& f) { AdjustColors(f, b, c, s); };
  };
  auto exposure = [](double x) { return [=](TBitmap& f) { AdjustExposure(f, x); }; };
  const std::vector<PixelCase> cases = {
      {"neutral-ish 255/0/255", colors(255, 0, 255),
       {{255, 255, 255}, {100, 150, 200}, {0, 0, 0}},
       {{254, 254, 254}, {99, 149, 199}, {0, 0, 0}}},
      {"saturation 0", colors(256, 0, 0), {{10, 20, 90}}, {{40, 40, 40}}},
      {"saturation 512", colors(256, 0, 512), {{10, 20, 90}}, {{0, 0, 140}}},
      {"contrast -100", colors(256, -100, 256), {{0, 128, 255}, {170, 1, 254}},
       {{170, 170, 170}, {170, 170, 170}}},
      {"contrast 100 acts as 99", colors(256, 100, 256),
       {{0, 167, 168}, {169, 170, 171}, {172, 200, 255}},
       {{0, 0, 43}, {106, 170, 234}, {255, 255, 255}}},
      {"contrast 50", colors(256, 50, 256), {{0, 128, 255}}, {{0, 111, 255}}},
      {"contrast -50", colors(256, -50, 256), {{0, 128, 255}}, {{50, 140, 230}}},
      {"brightness 0", colors(0, 0, 256), {{0, 128, 255}}, {{1, 1, 1}}},
      {"brightness 512", colors(512, 0, 256), {{10, 100, 200}, {0, 0, 0}},
       {{19, 199, 255}, {0, 0, 0}}},
      {"exposure 0", exposure(0), {{64, 128, 192}, {0, 1, 255}}, {{64, 128, 192}, {0, 1, 255}}},
      {"exposure 255", exposure(255), {{64, 128, 192}, {0, 255, 0}},
       {{184, 237, 251}, {0, 255, 0}}},
      {"exposure 100 rounds to nearest", exposure(100), {{3, 4, 5}}, {{7, 9, 12}}},
      {"exposure -100", exposure(-100), {{64, 128, 192}, {255, 0, 255}},
       {{0, 0, 52}, {255, 0, 255}}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    // One pixel per column; the width 3 pads every row and the padding is left alone.
    TBitmap frame(3, static_cast<int>(tc.in.size()));
    std::fill(frame.Bits(), frame.Bits() + frame.SizeInBytes(), 0xA5);
    for (size_t i = 0; i < tc.in.size(); ++i) SetPixel(frame, 1, static_cast<int>(i), tc.in[i]);
    tc.op(frame);
    for (size_t i = 0; i < tc.out.size(); ++i) {
      EXPECT_EQ(PixelAt(frame, 1, static_cast<int>(i)), tc.out[i]) << "pixel " << i;
      EXPECT_EQ(frame.ScanLine(static_cast<int>(i))[9], 0xA5) << "row padding";
    }
  }
}

TEST(AdjustmentTest, IdentitySettingsKeepEveryPixel) {
  TBitmap frame(97, 61), before;
  FillNoise(frame, 7);
  for (int v = 0; v < 256; ++v) SetPixel(frame, v % 97, v / 97, {v, 255 - v, v});
  before.Assign(frame);
  AdjustColors(frame, 256, 0, 256);
  EXPECT_TRUE(SamePixels(frame, before));
  AdjustExposure(frame, 0);
  EXPECT_TRUE(SamePixels(frame, before));
}

// ---------------------------------------------------------------------------------------------
// Blending

TEST(BlendBitmapTest, ClipsToTheFrame) {
  struct Case {
    const char* name;
    int ow, oh, x, y, alpha;
  };
  const Case cases[] = {
      {"inside", 5, 4, 3, 2, 128},
      {"left of and above", 7, 6, -3, -2, 200},
      {"larger than the frame at 0,0", 30, 25, 0, 0, 255},
      {"larger than the frame, off to the upper left", 30, 25, -4, -5, 255},
      {"past the right and bottom edges", 8, 8, 15, 10, 100},
      {"exactly at the bottom-right edge", 4, 3, 16, 13, 255},
      {"wholly right", 4, 4, 20, 0, 255},
      {"wholly below", 4, 4, 0, 16, 255},
      {"wholly left", 4, 4, -4, 3, 255},
      {"wholly above", 4, 4, 3, -4, 255},
      {"alpha 0", 5, 5, 1, 1, 0},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TBitmap frame(20, 16), overlay(tc.ow, tc.oh), before;
    FillNoise(frame, 1);
    FillNoise(overlay, 2);
    before.Assign(frame);
    BlendBitmap(frame, overlay, tc.x, tc.y, tc.alpha);
    for (int y = 0; y < frame.Height(); ++y)
      for (int x = 0; x < frame.Width(); ++x) {
        const int ox = x - tc.x, oy = y - tc.y;
        const bool covered = ox >= 0 && oy >= 0 && ox < tc.ow && oy < tc.oh;
        const Rgb expected = covered
                                 ? Blend(PixelAt(before, x, y), PixelAt(overlay, ox, oy), tc.alpha)
                                 : PixelAt(before, x, y);
        ASSERT_EQ(PixelAt(frame, x, y), expected) << "at " << x << "," << y;
      }
  }
}

TEST(BlendBitmapTest, OpaqueKeepsOne256thOfTheFrame) {
  TBitmap frame(1, 1), overlay(1, 1);
  SetPixel(frame, 0, 0, {100, 0, 255});
  SetPixel(overlay, 0, 0, {200, 255, 0});
  BlendBitmap(frame, overlay, 0, 0, 255);
  EXPECT_EQ(PixelAt(frame, 0, 0), (Rgb{199, 254, 0}));  // (d + 255 v) >> 8
}

// ---------------------------------------------------------------------------------------------
// Text items

TWmRec TextItem(const std::string& text, int left, int top, int w, int h) {
  TWmRec item;
  item.Kind = 0;
  item.Text = text;
  item.TextLeft = left;
  item.TextTop = top;
  item.TextWidth = w;
  item.TextHeight = h;
  item.Font.Name = "DejaVu Sans";
  item.Font.Size = 18;
  item.Font.Bold = true;
  return item;
}

TEST(TextItemTest, BoxFillClippedAndBlended) {
  // A text of spaces has no glyph pixels: with a box colour the whole box is that colour.
  struct Case {
    const char* name;
    int left, top, w, h, alpha;
  };
  const Case cases[] = {
      {"inside, opaque", 10, 8, 40, 20, 255},
      {"inside, half", 10, 8, 40, 20, 128},
      {"partly left of and above", -12, -6, 30, 20, 255},
      {"partly past the right and bottom", 60, 40, 30, 30, 255},
      {"wholly outside", 100, 10, 20, 20, 255},
      {"alpha 0", 10, 8, 40, 20, 0},
      {"zero width", 10, 8, 0, 20, 255},
      {"negative height", 10, 8, 40, -5, 255},
  };
  const TColor back = 0x00C08040;  // blue C0, green 80, red 40
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TBitmap frame(80, 50), before;
    FillNoise(frame, 3);
    before.Assign(frame);
    TWmRec item = TextItem("     ", tc.left, tc.top, tc.w, tc.h);
    item.HasBackColor = true;
    item.BackColor = back;
    item.TextAlpha = tc.alpha;
    DrawTextItem(frame, item);
    for (int y = 0; y < frame.Height(); ++y)
      for (int x = 0; x < frame.Width(); ++x) {
        const bool inBox = x >= tc.left && y >= tc.top && x < tc.left + tc.w && y < tc.top + tc.h;
        const Rgb expected =
            inBox ? Blend(PixelAt(before, x, y), FromTColor(back), tc.alpha) : PixelAt(before, x, y);
        ASSERT_EQ(PixelAt(frame, x, y), expected) << "at " << x << "," << y;
      }
  }
}

TEST(TextItemTest, TransparentBoxChangesOnlyGlyphPixels) {
  // The text is longer than its box, and the box sits partly outside the frame, so cutting and
  // clipping are both in play.
  const struct {
    int left, top;
  } boxes[] = {{-6, 9}, {23, -5}};
  const int w = 120, h = 30;
  for (const auto& box : boxes) {
    SCOPED_TRACE(std::to_string(box.left) + "," + std::to_string(box.top));
    TWmRec item = TextItem("Orvo WATERMARK text that runs past the box", box.left, box.top, w, h);
    item.Font.Color = 0x000000FF;  // red

    // Glyph pixels: drawn black on a white box over a black frame, every pixel of the box that
    // is not the blended white (254) is touched by a glyph.
    TBitmap mask(160, 60);
    {
      TWmRec opaque = item;
      opaque.HasBackColor = true;
      opaque.BackColor = 0xFFFFFF;
      opaque.Font.Color = 0x000000;
      DrawTextItem(mask, opaque);
    }

    TBitmap frame(160, 60), before;
    FillNoise(frame, 4);
    before.Assign(frame);
    DrawTextItem(frame, item);

    int glyphPixels = 0, changed = 0;
    for (int y = 0; y < frame.Height(); ++y)
      for (int x = 0; x < frame.Width(); ++x) {
        const bool inBox = x >= box.left && y >= box.top && x < box.left + w && y < box.top + h;
        const bool glyph = inBox && PixelAt(mask, x, y) != Rgb{254, 254, 254};
        if (!inBox) {
          ASSERT_EQ(PixelAt(mask, x, y), (Rgb{0, 0, 0})) << "mask at " << x << "," << y;
        }
        glyphPixels += glyph;
        if (PixelAt(frame, x, y) != PixelAt(before, x, y)) {
          ++changed;
          ASSERT_TRUE(glyph) << "non-glyph pixel changed at " << x << "," << y;
        }
      }
    EXPECT_GT(glyphPixels, 100);
    EXPECT_GT(changed, glyphPixels / 2);
  }
}

TEST(TextItemTest, ClippedBoxKeepsItsTextInPlace) {
  // The same box drawn partly above-left of the frame and wholly inside: the visible part of the
  // first is the matching part of the second.
  TWmRec item = TextItem("Wg|", 0, 0, 40, 30);
  item.Font.Size = 20;
  item.HasBackColor = true;
  item.BackColor = 0x202020;
  item.Font.Color = 0xF0F0F0;
  TBitmap clipped(40, 40), whole(60, 60);
  item.TextLeft = -9;
  item.TextTop = -7;
  DrawTextItem(clipped, item);
  item.TextLeft = 10;
  item.TextTop = 10;
  DrawTextItem(whole, item);
  int glyph = 0;
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 31; ++x) {
      const Rgb p = PixelAt(whole, x + 19, y + 17);
      glyph += p != Rgb{31, 31, 31};  // box colour 32 blended at 255 over black
      ASSERT_EQ(PixelAt(clipped, x, y), p) << "at " << x << "," << y;
    }
  EXPECT_GT(glyph, 20);
}

TEST(TextItemTest, WorkerThreadDrawsLikeTheMainThread) {
  // Conversions draw on their worker thread; the painter's font caches there are its own.
  TWmRec item = TextItem("Thread 42", 3, 4, 90, 30);
  item.Font.Italic = true;
  item.Font.Underline = true;
  TBitmap onMain(100, 40), onWorker(100, 40);
  FillNoise(onMain, 6);
  onWorker.Assign(onMain);
  DrawTextItem(onMain, item);
  std::string error;
  std::thread worker([&] {
    try {
      DrawTextItem(onWorker, item);
    } catch (const std::exception& e) {
      error = e.what();
    }
  });
  worker.join();
  EXPECT_EQ(error, "");
  EXPECT_TRUE(SamePixels(onMain, onWorker));
}

TEST(TextItemTest, FontColourIsRedInTheLowestByte) {
  TBitmap frame(100, 40);
  TWmRec item = TextItem("MMMM", 0, 0, 100, 40);
  item.Font.Size = 24;
  item.HasBackColor = true;
  item.BackColor = 0x000000;
  item.Font.Color = 0x000000FF;
  DrawTextItem(frame, item);
  int red = 0, other = 0;
  for (int y = 0; y < frame.Height(); ++y)
    for (int x = 0; x < frame.Width(); ++x) {
      const Rgb p = PixelAt(frame, x, y);
      if (p == Rgb{254, 0, 0}) ++red;  // full glyph coverage, blended at 255
      if (p[1] != 0 || p[2] != 0) ++other;
    }
  EXPECT_GT(red, 50);
  EXPECT_EQ(other, 0);
}

// ---------------------------------------------------------------------------------------------
// BMP files

void Put16(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

// A bottom-up BI_RGB bitmap: `raw` holds one value per pixel, top row first (a palette index,
// a 5-5-5 word or 0x00RRGGBB, by depth).
std::string BmpBytes(int width, int height, int bpp, const std::vector<Rgb>& palette,
                     const std::vector<uint32_t>& raw) {
  const int stride = ((width * bpp + 31) / 32) * 4;
  std::string pixels;
  for (int y = height - 1; y >= 0; --y) {
    std::string row(stride, '\0');
    for (int x = 0; x < width; ++x) {
      const uint32_t v = raw[y * width + x];
      const int bit = x * bpp;
      switch (bpp) {
        case 1:
        case 4:
          row[bit / 8] = static_cast<char>(row[bit / 8] | (v << (8 - bpp - bit % 8)));
          break;
        case 8: row[x] = static_cast<char>(v); break;
        case 16:
          row[x * 2] = static_cast<char>(v & 0xFF);
          row[x * 2 + 1] = static_cast<char>(v >> 8);
          break;
        case 32:
          for (int i = 0; i < 4; ++i) row[x * 4 + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
          break;
      }
    }
    pixels += row;
  }
  const uint32_t offset = 14 + 40 + 4 * static_cast<uint32_t>(palette.size());
  std::string f = "BM";
  Put32(f, offset + static_cast<uint32_t>(pixels.size()));
  Put32(f, 0);
  Put32(f, offset);
  Put32(f, 40);
  Put32(f, width);
  Put32(f, height);
  Put16(f, 1);
  Put16(f, bpp);
  Put32(f, 0);  // BI_RGB
  Put32(f, static_cast<uint32_t>(pixels.size()));
  Put32(f, 2835);
  Put32(f, 2835);
  Put32(f, static_cast<uint32_t>(palette.size()));
  Put32(f, 0);
  for (const Rgb& c : palette) {
    f += static_cast<char>(c[2]);
    f += static_cast<char>(c[1]);
    f += static_cast<char>(c[0]);
    f += '\0';
  }
  return f + pixels;
}

// 3 x 2 pixels: rows of 3 pixels are padded at every depth. Levels are multiples of 8 so that
// 5-bit channels hold them exactly.
const std::vector<Rgb> kColors = {{200, 16, 40}, {8, 240, 96}, {120, 56, 248},
                                  {0, 0, 0},     {248, 248, 248}, {64, 128, 192}};

std::string WriteBmp(const std::string& name, int bpp) {
  const std::string path = testing::MediaPath(name);
  std::vector<Rgb> palette;
  std::vector<uint32_t> raw;
  if (bpp == 24) {
    QImage image(3, 2, QImage::Format_RGB888);
    for (int i = 0; i < 6; ++i)
      image.setPixel(i % 3, i / 3, qRgb(kColors[i][0], kColors[i][1], kColors[i][2]));
    if (!image.save(QString::fromStdString(path), "BMP")) throw std::runtime_error("save");
    return path;
  }
  if (bpp == 1) {
    palette = {kColors[0], kColors[1]};
    raw = {0, 1, 0, 1, 1, 0};
  } else if (bpp == 4 || bpp == 8) {
    // The used entries sit at the top of the palette, so a misread index width shows.
    const int entries = 1 << bpp, first = entries - 6;
    palette.assign(entries, Rgb{1, 2, 3});
    for (int i = 0; i < 6; ++i) {
      palette[first + i] = kColors[i];
      raw.push_back(first + i);
    }
  } else {
    for (const Rgb& c : kColors)
      raw.push_back(bpp == 16 ? ((c[0] >> 3) << 10) | ((c[1] >> 3) << 5) | (c[2] >> 3)
                              : (c[0] << 16) | (c[1] << 8) | c[2]);
  }
  return testing::WriteBytes(path, BmpBytes(3, 2, bpp, palette, raw));
}

TEST(LoadBmpTest, EveryDepthGivesTheSameColours) {
  for (int bpp : {1, 4, 8, 16, 24, 32}) {
    SCOPED_TRACE("bpp " + std::to_string(bpp));
    const std::string path = WriteBmp("depth" + std::to_string(bpp) + ".bmp", bpp);
    ASSERT_EQ(static_cast<uint8_t>(testing::ReadBytes(path).at(28)), bpp);
    TBitmap bmp(9, 9);
    LoadBmp24(path, bmp);
    ASSERT_EQ(bmp.Width(), 3);
    ASSERT_EQ(bmp.Height(), 2);
    for (int i = 0; i < 6; ++i) {
      const Rgb expected = bpp == 1 ? kColors[i == 1 || i == 3 || i == 4 ? 1 : 0] : kColors[i];
      EXPECT_EQ(PixelAt(bmp, i % 3, i / 3), expected) << "pixel " << i;
    }
  }
}

TEST(LoadBmpTest, UnreadableFilesRaiseNamingTheFile) {
  const std::string missing = testing::MediaPath("no such image.bmp");
  const std::string garbage = testing::WriteRandomBytes(testing::MediaPath("garbage.bmp"), 300, 5);
  const std::string truncated =
      testing::WriteBytes(testing::MediaPath("truncated.bmp"), BmpBytes(3, 2, 24, {}, {0, 0, 0, 0, 0, 0}).substr(0, 40));
  for (const std::string& path : {missing, garbage, truncated, testing::TestMediaDir()}) {
    SCOPED_TRACE(path);
    TBitmap bmp;
    try {
      LoadBmp24(path, bmp);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + path + "\""), std::string::npos) << e.what();
    }
  }
  TBitmap bmp;
  try {
    LoadBmp24(missing, bmp);
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"" + missing + "\".", 0), 0u) << e.what();
  }
}

// ---------------------------------------------------------------------------------------------
// Per-frame rendering

std::unique_ptr<TWmRec> BoxItem(int left, int top, TColor back, int startSec, int endSec) {
  auto item = std::make_unique<TWmRec>(TextItem("  ", left, top, 10, 10));
  item->HasBackColor = true;
  item->BackColor = back;
  item->StartSec = startSec;
  item->EndSec = endSec;
  return item;
}

std::unique_ptr<TWmRec> ImageItem(const std::string& file, int left, int top, int alpha) {
  auto item = std::make_unique<TWmRec>();
  item->Kind = 1;
  item->ImageFile = file;
  item->ImageLeft = left;
  item->ImageTop = top;
  item->ImageAlpha = alpha;
  item->EndSec = 1000;
  return item;
}

std::string WriteSolidBmp(const std::string& name, int w, int h, Rgb c) {
  const std::vector<uint32_t> raw(w * h, (c[0] << 16) | (c[1] << 8) | c[2]);
  return testing::WriteBytes(testing::MediaPath(name), BmpBytes(w, h, 32, {}, raw));
}

TEST(RenderWaterMarksTest, ItemsShowInTheirWholeSecondWindow) {
  TlvFilesRecord row;
  row.WaterMarks.push_back(BoxItem(2, 2, 0xFFFFFF, 5, 10));
  const struct {
    int64_t pts;
    bool drawn;
  } cases[] = {{4999999, false}, {5000000, true}, {7500000, true}, {10999999, true},
               {11000000, false}, {-1, false}};
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.pts);
    TBitmap frame(16, 16);
    RenderWaterMarks(frame, row, tc.pts);
    EXPECT_EQ(PixelAt(frame, 5, 5), (tc.drawn ? Rgb{254, 254, 254} : Rgb{0, 0, 0}));
    EXPECT_EQ(PixelAt(frame, 13, 13), (Rgb{0, 0, 0}));
  }
}

TEST(RenderWaterMarksTest, NeutralRowAndSkippedItemsLeaveTheFrame) {
  TlvFilesRecord row;
  auto emptyText = BoxItem(0, 0, 0x00FF00, 0, 100);
  emptyText->Text.clear();
  auto textAsImage = BoxItem(0, 0, 0x00FF00, 0, 100);
  textAsImage->Kind = 1;  // an image item with no file: its old text is not read
  auto imageAsText = ImageItem(WriteSolidBmp("skip.bmp", 4, 4, {0, 255, 0}), 0, 0, 255);
  imageAsText->Kind = 0;  // a text item with no text: its old file is not read
  row.WaterMarks.push_back(std::move(emptyText));
  row.WaterMarks.push_back(std::move(textAsImage));
  row.WaterMarks.push_back(std::move(imageAsText));

  TBitmap frame(12, 12), before;
  FillNoise(frame, 9);
  SetPixel(frame, 11, 11, {255, 255, 255});  // AdjustColors(255, 0, 255) would make it 254
  before.Assign(frame);
  RenderWaterMarks(frame, row, 1000000);
  EXPECT_TRUE(SamePixels(frame, before));
}

TEST(RenderWaterMarksTest, AdjustsFirstThenDrawsItemsInIndexOrder) {
  TlvFilesRecord row;
  row.Brightness = 0;  // every level becomes 1
  row.Exposure = 255;  // level 1 becomes 2; the items drawn afterwards are not adjusted
  row.WaterMarks.push_back(BoxItem(0, 0, 0xFFFFFF, 0, 100));
  row.WaterMarks.push_back(ImageItem(WriteSolidBmp("blue.bmp", 6, 6, {0, 0, 200}), 5, 5, 255));
  TBitmap frame(20, 20);
  FillNoise(frame, 11);
  RenderWaterMarks(frame, row, 3000000);

  uint8_t exposed = 1;
  {
    TBitmap one(1, 1);
    one.Fill(0x010101);
    AdjustExposure(one, 255);
    exposed = one.ScanLine(0)[0];
  }
  ASSERT_GT(exposed, 1);
  const int d = exposed, white = (d + 255 * 255) >> 8;
  EXPECT_EQ(PixelAt(frame, 15, 15), (Rgb{d, d, d}));                 // neither item
  EXPECT_EQ(PixelAt(frame, 2, 2), (Rgb{white, white, white}));       // text box only
  EXPECT_EQ(PixelAt(frame, 7, 7), (Rgb{white >> 8, white >> 8, (white + 255 * 200) >> 8}));
  EXPECT_EQ(PixelAt(frame, 10, 10), (Rgb{d >> 8, d >> 8, (d + 255 * 200) >> 8}));  // image only
}

TEST(RenderWaterMarksTest, ImageIsReadAgainForEveryFrame) {
  const std::string path = WriteSolidBmp("changing.bmp", 4, 4, {0, 0, 248});
  TlvFilesRecord row;
  row.WaterMarks.push_back(ImageItem(path, 1, 1, 255));
  TBitmap frame(8, 8);
  RenderWaterMarks(frame, row, 0);
  EXPECT_EQ(PixelAt(frame, 2, 2), (Rgb{0, 0, 247}));

  WriteSolidBmp("changing.bmp", 4, 4, {248, 0, 0});
  frame.Fill(0);
  RenderWaterMarks(frame, row, 0);
  EXPECT_EQ(PixelAt(frame, 2, 2), (Rgb{247, 0, 0}));

  testing::WriteBytes(path, "");
  EXPECT_THROW(RenderWaterMarks(frame, row, 0), std::runtime_error);
  std::remove(path.c_str());
  try {
    RenderWaterMarks(frame, row, 0);
    ADD_FAILURE() << "a missing image must fail the frame";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace orvo
