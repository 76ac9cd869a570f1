#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "component/DisplaySurface.h"
#include "component/player_display.h"

namespace orvo {

// Found by argument lookup from the test macros.
static bool operator==(const TRect& a, const TRect& b) {
  return a.Left == b.Left && a.Top == b.Top && a.Width == b.Width && a.Height == b.Height;
}
static std::ostream& operator<<(std::ostream& os, const TRect& r) {
  return os << "(" << r.Left << ", " << r.Top << ", " << r.Width << " x " << r.Height << ")";
}

namespace {

// ---- Fitting a picture into the display ----

struct AreaCase {
  const char* name;
  float aspect;
  AVRational sar;
  int pictureWidth, pictureHeight;
  int left, top, displayWidth, displayHeight;
  TRect expected;
};

TEST(PictureArea, FitsThePictureByTheAspectSetting) {
  const AreaCase cases[] = {
      {"fill stretches 4:3 over 16:9", -1, {1, 1}, 640, 480, 0, 0, 1280, 720, {0, 0, 1280, 720}},
      {"own aspect letter-boxes, centred", 0, {1, 1}, 640, 480, 0, 0, 1280, 720,
       {160, 0, 960, 720}},
      {"display offset moves the area", 0, {1, 1}, 640, 480, 10, 20, 1280, 720,
       {170, 20, 960, 720}},
      {"unknown sample aspect counts as 1", 0, {0, 1}, 640, 480, 0, 0, 1280, 720,
       {160, 0, 960, 720}},
      {"sample aspect widens the picture", 0, {4, 3}, 640, 480, 0, 0, 1280, 720,
       {0, 0, 1280, 720}},
      {"tall display: bands above and below", 0, {1, 1}, 640, 480, 0, 0, 400, 600,
       {0, 150, 400, 300}},
      // 720 x 2.35 = 1692 is too wide: 1280 / 2.35 = 544.7 rounds to 545, cleared to 544.
      {"fixed ratio, odd height cleared", 2.35f, {1, 1}, 640, 480, 0, 0, 1280, 720,
       {0, 88, 1280, 544}},
      // 300 x 1.25 = 375, cleared to 374.
      {"fixed ratio, odd width cleared", 1.25f, {1, 1}, 640, 480, 0, 0, 500, 300,
       {63, 0, 374, 300}},
      {"fixed ratio ignores the picture", 1.0f, {16, 11}, 720, 576, 0, 0, 640, 480,
       {80, 0, 480, 480}},
  };
  for (const AreaCase& c : cases) {
    EXPECT_EQ(PictureArea(c.aspect, c.sar, c.pictureWidth, c.pictureHeight, c.left, c.top,
                          c.displayWidth, c.displayHeight),
              c.expected)
        << c.name;
  }
}

TEST(PictureArea, DegenerateInputsGiveAnAreaInsideTheDisplay) {
  // No picture size: a square.
  EXPECT_EQ(PictureArea(0, {1, 1}, 0, 0, 0, 0, 200, 100), (TRect{50, 0, 100, 100}));
  // Fill without a known display size falls back to the picture's aspect; nothing to show.
  const TRect none = PictureArea(-1, {1, 1}, 640, 480, 0, 0, 0, 0);
  EXPECT_EQ(none.Width, 0);
  EXPECT_EQ(none.Height, 0);
}

// ---- Waveform ----

struct Ring {
  std::vector<int16_t> samples = std::vector<int16_t>(kSampleArraySize, 0);
  TWaveformInput Input(int channels, int writeIndex = 0) const {
    TWaveformInput in;
    in.Samples = samples.data();
    in.Channels = channels;
    in.WriteIndex = writeIndex;
    in.SampleRate = 44100;
    return in;
  }
};

bool White(const TBitmap& bitmap, int x, int y) {
  const uint8_t* p = bitmap.ScanLine(y) + x * 3;
  return p[0] == 255 && p[1] == 255 && p[2] == 255;
}
bool Black(const TBitmap& bitmap, int x, int y) {
  const uint8_t* p = bitmap.ScanLine(y) + x * 3;
  return p[0] == 0 && p[1] == 0 && p[2] == 0;
}
// The white rows of one column as [first, last], or {-1, -1}; fails when they are not one run
// (separator rows excluded).
std::pair<int, int> WhiteRun(const TBitmap& bitmap, int x, const std::vector<int>& skipRows = {}) {
  int first = -1, last = -1;
  for (int y = 0; y < bitmap.Height(); ++y) {
    if (std::find(skipRows.begin(), skipRows.end(), y) != skipRows.end()) continue;
    if (!White(bitmap, x, y)) {
      EXPECT_TRUE(Black(bitmap, x, y)) << x << "," << y;
      continue;
    }
    if (first < 0) first = y;
    EXPECT_TRUE(last < 0 || last == y - 1) << "column " << x << " has two runs";
    last = y;
  }
  return {first, last};
}

TEST(Waveform, OneChannelIsOneBandOfTheWholeHeight) {
  Ring ring;
  std::fill(ring.samples.begin(), ring.samples.end(), int16_t{16384});
  TBitmap bitmap(40, 100);
  bitmap.Fill(0x123456);  // drawing clears what was there
  DrawWaveform(ring.Input(1), 0, bitmap);
  // Centre line 50; scale 100 x 9 / 20 = 45; 16384 x 45 >> 15 = 22 rows downward.
  for (int x = 0; x < 40; ++x) EXPECT_EQ(WhiteRun(bitmap, x), std::make_pair(50, 71)) << x;
}

TEST(Waveform, TwoChannelsAreTwoBandsWithASeparator) {
  Ring ring;
  for (int i = 0; i < kSampleArraySize; i += 2) {
    ring.samples[i] = 16384;       // left: downward from its centre
    ring.samples[i + 1] = -16384;  // right: upward from its centre
  }
  TBitmap bitmap(30, 101);
  DrawWaveform(ring.Input(2), 0, bitmap);
  // Bands of 50 rows, scale 22, |s| = 11; the separator is row 50; row 100 is left over.
  for (int x = 0; x < 30; ++x) {
    EXPECT_TRUE(White(bitmap, x, 50)) << x;
    // Rows 25..35 (left), rows 64..74 (right).
    int whites = 0;
    for (int y = 0; y < 101; ++y) {
      const bool expected = (y >= 25 && y <= 35) || y == 50 || (y >= 64 && y <= 74);
      EXPECT_EQ(White(bitmap, x, y), expected) << x << "," << y;
      whites += White(bitmap, x, y);
    }
    EXPECT_EQ(whites, 23);
  }
  // Starting on an odd index swaps the channels.
  DrawWaveform(ring.Input(2), 1, bitmap);
  EXPECT_TRUE(White(bitmap, 0, 14) && White(bitmap, 0, 24) && !White(bitmap, 0, 25));
  EXPECT_TRUE(White(bitmap, 0, 75) && White(bitmap, 0, 85) && !White(bitmap, 0, 74));
}

TEST(Waveform, SineBarsFollowTheSamplesAndWrapTheRing) {
  Ring ring;
  // A full-scale sine with a period of 64 samples, starting 16 samples before the ring's end.
  const int start = kSampleArraySize - 16;
  for (int x = 0; x < 128; ++x)
    ring.samples[(start + x) % kSampleArraySize] =
        static_cast<int16_t>(std::lround(32767 * std::sin(2 * M_PI * x / 64)));
  TBitmap bitmap(128, 200);
  DrawWaveform(ring.Input(1), start, bitmap);
  // Centre 100, scale 90: the crest 32767 gives 89 rows down; the trough -32767 gives
  // -2949030 >> 15 = -90, 90 rows up; zero gives no bar.
  for (int x : {0, 32, 64, 96}) EXPECT_EQ(WhiteRun(bitmap, x), std::make_pair(-1, -1)) << x;
  for (int x : {16, 80}) EXPECT_EQ(WhiteRun(bitmap, x), std::make_pair(100, 188)) << x;
  for (int x : {48, 112}) EXPECT_EQ(WhiteRun(bitmap, x), std::make_pair(10, 99)) << x;
  // Half-way up the slope: 32767 x sin(pi/4) = 23170; 23170 x 90 >> 15 = 63.
  EXPECT_EQ(WhiteRun(bitmap, 8), std::make_pair(100, 162));
  EXPECT_EQ(WhiteRun(bitmap, 40), std::make_pair(100 - 64, 99));
}

// A sine with a period of 100 frames on channel 0: its falling zero crossing has sample 50 of
// each period at 0 and 51 below it, so the search settles on frames 46 mod 100.
Ring CrossingRing(int channels) {
  Ring ring;
  for (int i = 0; i < kSampleArraySize / channels; ++i)
    ring.samples[i * channels] =
        static_cast<int16_t>(std::lround(10000 * std::sin(2 * M_PI * (i % 100) / 100)));
  return ring;
}

TEST(Waveform, StartLocksOntoAFallingCrossingBeforeThePlayingPosition) {
  const Ring mono = CrossingRing(1);
  TWaveformInput in = mono.Input(1, 50000);
  // Nothing buffered: 2 x 200 samples back, 49600; the crossing before it: 49546.
  EXPECT_EQ(WaveformStart(in, 200), 49546);
  // 2000 samples still buffered, 441 of them played since the callback: 1959 back.
  in.UnplayedBytes = 4000;
  in.SinceLastCallbackUs = 10000;
  EXPECT_EQ(WaveformStart(in, 200), 47946);
  // Never less than one display width back.
  in.SinceLastCallbackUs = 1000000;
  EXPECT_EQ(WaveformStart(in, 200), 49746);

  // Two channels: 1000 frames buffered and 400 for the display, 2800 samples back.
  const Ring stereo = CrossingRing(2);
  TWaveformInput in2 = stereo.Input(2, 100000);
  in2.UnplayedBytes = 4000;
  EXPECT_EQ(WaveformStart(in2, 200), 2 * 48546);
}

TEST(Waveform, SilenceStartsAtThePlayingPositionWrappedIntoTheRing) {
  const Ring silence;
  // 100 - 400 wraps to the ring's end; no crossing to lock onto.
  EXPECT_EQ(WaveformStart(silence.Input(1, 100), 200), kSampleArraySize - 300);
}

// ---- Subtitle palette and blending ----

TEST(SubtitlePalette, ConvertsKnownColoursToStudioRange) {
  struct {
    uint32_t argb, yuva;
  } cases[] = {
      {0xFF000000, 0xFF108080},  // black
      {0x80FFFFFF, 0x80EB8080},  // white, half transparent
      {0xFFFF0000, 0xFF515AF0},  // red
      {0xFF00FF00, 0xFF903622},  // green
      {0x000000FF, 0x0029F06E},  // blue, transparent
      {0xFF808080, 0xFF7E8080},  // grey
  };
  for (const auto& c : cases)
    EXPECT_EQ(PaletteEntryToYuva(c.argb), c.yuva) << std::hex << c.argb;
}

constexpr uint32_t Yuva(int a, int y, int u, int v) {
  return uint32_t(a) << 24 | uint32_t(y) << 16 | uint32_t(u) << 8 | uint32_t(v);
}

class SubtitleBlend : public ::testing::Test {
 protected:
  static constexpr int kSize = 6;
  // 0: transparent; 1: opaque; 2: half; 3: transparent, chroma 10.
  const uint32_t palette_[4] = {Yuva(0, 0, 0, 0), Yuva(255, 200, 50, 60),
                                Yuva(128, 200, 50, 60), Yuva(0, 10, 10, 10)};
  TOverlay overlay_{kSize, kSize};
  std::vector<uint8_t> pixels_;
  AVSubtitleRect rect_{};

  void SetUp() override {
    std::memset(overlay_.Plane(0), 100, kSize * kSize);
    std::memset(overlay_.Plane(1), 100, kSize * kSize / 4);
    std::memset(overlay_.Plane(2), 200, kSize * kSize / 4);
  }
  // A rectangle of palette indexes, row by row.
  void Rect(int x, int y, int w, int h, std::vector<uint8_t> indexes) {
    pixels_ = std::move(indexes);
    rect_ = {};
    rect_.x = x;
    rect_.y = y;
    rect_.w = w;
    rect_.h = h;
    rect_.nb_colors = 4;
    rect_.type = SUBTITLE_BITMAP;
    rect_.data[0] = pixels_.data();
    rect_.linesize[0] = w;
  }
  void Blend() { BlendSubtitleRect(overlay_, rect_, palette_); }
  int Y(int x, int y) const { return overlay_.Plane(0)[y * kSize + x]; }
  int U(int cx, int cy) const { return overlay_.Plane(1)[cy * (kSize / 2) + cx]; }
  int V(int cx, int cy) const { return overlay_.Plane(2)[cy * (kSize / 2) + cx]; }
  int ChangedLuma() const {
    int n = 0;
    for (int i = 0; i < kSize * kSize; ++i) n += overlay_.Plane(0)[i] != 100;
    return n;
  }
};

TEST_F(SubtitleBlend, TransparentLeavesTheOverlayAndOpaqueReplacesIt) {
  // Indexes beyond the rectangle's colours count as transparent too.
  Rect(0, 0, kSize, kSize, std::vector<uint8_t>(kSize * kSize, 0));
  pixels_[7] = 9;
  Blend();
  EXPECT_EQ(ChangedLuma(), 0);
  for (int c = 0; c < 9; ++c) EXPECT_EQ(U(c % 3, c / 3) * 1000 + V(c % 3, c / 3), 100200);

  Rect(2, 2, 2, 2, std::vector<uint8_t>(4, 1));
  Blend();
  EXPECT_EQ(ChangedLuma(), 4);
  EXPECT_EQ(Y(2, 2), 200);
  EXPECT_EQ(Y(3, 3), 200);
  EXPECT_EQ(U(1, 1), 50);
  EXPECT_EQ(V(1, 1), 60);
  EXPECT_EQ(U(0, 0), 100);
  EXPECT_EQ(V(2, 2), 200);
}

TEST_F(SubtitleBlend, PartialAlphaMixesOldAndNew) {
  Rect(0, 0, kSize, kSize, std::vector<uint8_t>(kSize * kSize, 2));
  Blend();
  // (127 x 100 + 128 x 200) / 255 = 150; chroma (127 x 100 x 4 + 128 x 200) / 1020 = 74,
  // (127 x 200 x 4 + 128 x 240) / 1020 = 129.
  for (int i = 0; i < kSize * kSize; ++i) EXPECT_EQ(overlay_.Plane(0)[i], 150);
  for (int i = 0; i < kSize * kSize / 4; ++i) {
    EXPECT_EQ(overlay_.Plane(1)[i], 74);
    EXPECT_EQ(overlay_.Plane(2)[i], 129);
  }
}

TEST_F(SubtitleBlend, ChromaAveragesTheCoveredPixelsOfEachBlock) {
  // A 3 x 3 rectangle at the odd corner (1, 1) covers one pixel of block (0, 0), two of blocks
  // (1, 0) and (0, 1), and all four of block (1, 1).
  Rect(1, 1, 3, 3, {1, 3, 1,  //
                    3, 1, 1,  //
                    1, 1, 3});
  Blend();
  EXPECT_EQ(Y(1, 1), 200);
  EXPECT_EQ(Y(2, 1), 100);
  EXPECT_EQ(Y(3, 3), 100);
  EXPECT_EQ(ChangedLuma(), 6);
  // k = 1, opaque: the pixel's chroma.
  EXPECT_EQ(U(0, 0), 50);
  EXPECT_EQ(V(0, 0), 60);
  // k = 2, alpha (255 + 0) / 2 = 127, sums 60 and 70: (128 x 100 x 2 + 127 x 60) / 510 = 65,
  // (128 x 200 x 2 + 127 x 70) / 510 = 117.
  EXPECT_EQ(U(1, 0), 65);
  EXPECT_EQ(V(1, 0), 117);
  EXPECT_EQ(U(0, 1), 65);
  EXPECT_EQ(V(0, 1), 117);
  // k = 4, alpha 765 / 4 = 191, sums 160 and 190: (64 x 100 x 4 + 191 x 160) / 1020 = 55,
  // (64 x 200 x 4 + 191 x 190) / 1020 = 85.
  EXPECT_EQ(U(1, 1), 55);
  EXPECT_EQ(V(1, 1), 85);
  // Blocks the rectangle does not reach.
  EXPECT_EQ(U(2, 1), 100);
  EXPECT_EQ(V(1, 2), 200);
}

TEST_F(SubtitleBlend, RectanglesAreClippedToTheOverlay) {
  // Over the top left corner: only pixels (0..1, 0..1) are inside.
  Rect(-1, -1, 3, 3, std::vector<uint8_t>(9, 1));
  pixels_[0] = pixels_[1] = pixels_[3] = 2;  // outside: must not count
  Blend();
  EXPECT_EQ(ChangedLuma(), 4);
  EXPECT_EQ(Y(0, 0), 200);
  EXPECT_EQ(Y(1, 1), 200);
  EXPECT_EQ(U(0, 0), 50);

  // Over the bottom right corner: one pixel inside, the block's k is 1.
  Rect(5, 5, 4, 4, std::vector<uint8_t>(16, 1));
  Blend();
  EXPECT_EQ(ChangedLuma(), 5);
  EXPECT_EQ(Y(5, 5), 200);
  EXPECT_EQ(U(2, 2), 50);
  EXPECT_EQ(V(2, 2), 60);

  // Wholly outside.
  Rect(6, 0, 2, 2, std::vector<uint8_t>(4, 1));
  Blend();
  Rect(-2, 3, 2, 2, std::vector<uint8_t>(4, 1));
  Blend();
  EXPECT_EQ(ChangedLuma(), 5);
}

// ---- Surfaces ----

TEST(Overlay, SizesAreEvenAndThePictureStartsBlack) {
  TOverlay overlay(11, 7);
  EXPECT_EQ(overlay.Width(), 10);
  EXPECT_EQ(overlay.Height(), 6);
  EXPECT_EQ(overlay.Pitch(0), 10);
  EXPECT_EQ(overlay.Pitch(2), 5);
  EXPECT_EQ(overlay.Plane(0)[59], 16);
  EXPECT_EQ(overlay.Plane(1)[14], 128);
  EXPECT_EQ(overlay.Plane(2)[0], 128);
  TOverlay empty(-4, 1);
  EXPECT_EQ(empty.Width() + empty.Height(), 0);
}

TEST(OffscreenSurface, RecordsEveryPictureShownAndKeepsTheLast) {
  TOffscreenSurface surface;
  EXPECT_FALSE(surface.SetVideoMode(0, 240));
  ASSERT_TRUE(surface.SetVideoMode(320, 240));
  EXPECT_EQ(surface.Width(), 320);
  EXPECT_EQ(surface.Height(), 240);

  TOverlay overlay(4, 2);
  const uint8_t luma[8] = {10, 20, 30, 40, 50, 60, 70, 80};
  std::memcpy(overlay.Plane(0), luma, 8);
  overlay.Plane(1)[0] = 1;
  overlay.Plane(2)[1] = 2;
  surface.DisplayOverlay(overlay, TRect{8, 0, 304, 240});
  overlay.Plane(0)[0] = 99;  // the surface keeps its own copy

  TBitmap waveform(4, 3);
  waveform.Fill(0x00FF00);
  waveform.ScanLine(2)[1] = 0;  // green of pixel (0, 2)
  surface.DisplayBitmap(waveform);

  ASSERT_EQ(surface.ShownCount(), 2u);
  const auto shown = surface.Shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_TRUE(shown[0].Overlay);
  EXPECT_EQ(shown[0].Area, (TRect{8, 0, 304, 240}));
  EXPECT_DOUBLE_EQ(shown[0].MeanLuma, 45.0);
  EXPECT_FALSE(shown[1].Overlay);
  EXPECT_EQ(shown[1].Area, (TRect{0, 0, 4, 3}));
  EXPECT_DOUBLE_EQ(shown[1].MeanLuma, 255.0 * 11 / 12);
  EXPECT_LE(shown[0].Time, shown[1].Time);

  int width = 0, height = 0;
  std::vector<uint8_t> planes[3];
  ASSERT_TRUE(surface.LastOverlay(width, height, planes));
  EXPECT_EQ(width, 4);
  EXPECT_EQ(height, 2);
  EXPECT_EQ(planes[0], std::vector<uint8_t>(luma, luma + 8));
  EXPECT_EQ(planes[1], (std::vector<uint8_t>{1, 128}));
  EXPECT_EQ(planes[2], (std::vector<uint8_t>{128, 2}));
  TBitmap last;
  surface.LastBitmap(last);
  ASSERT_EQ(last.Width(), 4);
  ASSERT_EQ(last.Height(), 3);
  EXPECT_EQ(last.ScanLine(2)[1], 0);
  EXPECT_EQ(last.ScanLine(2)[4], 255);

  surface.Clear();
  EXPECT_EQ(surface.ShownCount(), 0u);
  EXPECT_TRUE(surface.Shown().empty());
  EXPECT_FALSE(surface.LastOverlay(width, height, planes));
  EXPECT_EQ(surface.Width(), 320);
}

}  // namespace
}  // namespace orvo
