#include "component/player_display.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace orvo {

namespace {

// Rounds to nearest (ties to even) and clears the lowest bit, so chroma stays whole.
int EvenRound(double value) {
  if (!std::isfinite(value) || value <= 0) return 0;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX & ~1;
  return static_cast<int>(std::nearbyint(value)) & ~1;
}

int RingIndex(int64_t index) {
  const int64_t m = index % kSampleArraySize;
  return static_cast<int>(m < 0 ? m + kSampleArraySize : m);
}

}  // namespace

TRect PictureArea(float aspectSetting, AVRational sampleAspect, int pictureWidth,
                  int pictureHeight, int displayLeft, int displayTop, int displayWidth,
                  int displayHeight) {
  const bool displayKnown = displayWidth > 0 && displayHeight > 0;
  double aspect;
  if (aspectSetting < 0 && displayKnown) {
    aspect = static_cast<double>(displayWidth) / displayHeight;
  } else if (aspectSetting > 0) {
    aspect = aspectSetting;
  } else {
    const double sar = sampleAspect.num > 0 && sampleAspect.den > 0 ? av_q2d(sampleAspect) : 1.0;
    aspect = pictureWidth > 0 && pictureHeight > 0
                 ? sar * pictureWidth / pictureHeight
                 : 1.0;
  }
  if (!std::isfinite(aspect) || aspect <= 0) aspect = 1.0;

  int height = std::max(displayHeight, 0);
  int width = EvenRound(height * aspect);
  if (width > displayWidth) {
    width = std::max(displayWidth, 0);
    height = EvenRound(width / aspect);
  }
  return TRect{displayLeft + (displayWidth - width) / 2, displayTop + (displayHeight - height) / 2,
               width, height};
}

int WaveformStart(const TWaveformInput& input, int displayWidth) {
  if (!input.Samples) return 0;
  const int n = std::max(input.Channels, 1);
  int64_t delay = input.UnplayedBytes / (2 * n);
  // What the device played since its last callback is no longer in the buffer.
  if (input.SinceLastCallbackUs >= 0)
    delay -= static_cast<int64_t>(input.SampleRate) * input.SinceLastCallbackUs / 1000000;
  delay += 2 * static_cast<int64_t>(displayWidth);
  delay = std::max<int64_t>(delay, displayWidth);
  const int from = RingIndex(input.WriteIndex - delay * n);

  // Lock onto a falling zero crossing near the playing position so a steady tone stands still.
  int start = from;
  int best = INT_MIN;
  const int16_t* s = input.Samples;
  for (int i = 0; i < 1000; i += n) {
    const int idx = RingIndex(int64_t{from} - i);
    const int b = s[RingIndex(int64_t{idx} + 4 * n)];
    const int c = s[RingIndex(int64_t{idx} + 5 * n)];
    const int score = s[idx] - s[RingIndex(int64_t{idx} + 9 * n)];
    if (score > best && ((b < 0) != (c < 0))) {
      best = score;
      start = idx;
    }
  }
  return start;
}

void DrawWaveform(const TWaveformInput& input, int start, TBitmap& bitmap) {
  bitmap.Fill(0x000000);
  const int width = bitmap.Width();
  const int height = bitmap.Height();
  if (!input.Samples || width == 0 || height == 0) return;
  const int n = std::max(input.Channels, 1);
  const int band = height / n;
  if (band == 0) return;

  auto setWhite = [&](int x, int y) {
    if (y < 0 || y >= height) return;
    uint8_t* p = bitmap.ScanLine(y) + x * 3;
    p[0] = p[1] = p[2] = 255;
  };

  const int scale = (band * 9) / 20;
  for (int c = 0; c < n; ++c) {
    const int centre = c * band + band / 2;
    int index = RingIndex(int64_t{start} + c);
    for (int x = 0; x < width; ++x) {
      const int s = (input.Samples[index] * scale) >> 15;
      // Positive samples extend downwards from the centre line, negative ones upwards.
      const int top = s >= 0 ? centre : centre + s;
      for (int y = top; y < top + std::abs(s); ++y) setWhite(x, y);
      index = RingIndex(int64_t{index} + n);
    }
  }
  for (int c = 1; c < n; ++c)
    for (int x = 0; x < width; ++x) setWhite(x, c * band);
}

namespace {

// BT.601 studio range, 10 fractional bits.
constexpr int kScaleBits = 10;
constexpr int Fix(double x) { return static_cast<int>(x * (1 << kScaleBits) + 0.5); }
constexpr int kHalf = 1 << (kScaleBits - 1);

}  // namespace

uint32_t PaletteEntryToYuva(uint32_t argb) {
  const int a = (argb >> 24) & 0xFF;
  const int r = (argb >> 16) & 0xFF;
  const int g = (argb >> 8) & 0xFF;
  const int b = argb & 0xFF;
  const int y = (Fix(0.29900 * 219.0 / 255.0) * r + Fix(0.58700 * 219.0 / 255.0) * g +
                 Fix(0.11400 * 219.0 / 255.0) * b + kHalf + (16 << kScaleBits)) >>
                kScaleBits;
  // Arithmetic shifts floor the negative sums, so adding half rounds to nearest.
  const int u = ((-Fix(0.16874 * 224.0 / 255.0) * r - Fix(0.33126 * 224.0 / 255.0) * g +
                  Fix(0.50000 * 224.0 / 255.0) * b + kHalf) >>
                 kScaleBits) +
                128;
  const int v = ((Fix(0.50000 * 224.0 / 255.0) * r - Fix(0.41869 * 224.0 / 255.0) * g -
                  Fix(0.08131 * 224.0 / 255.0) * b + kHalf) >>
                 kScaleBits) +
                128;
  auto clip = [](int value) { return static_cast<uint32_t>(std::clamp(value, 0, 255)); };
  return static_cast<uint32_t>(a) << 24 | clip(y) << 16 | clip(u) << 8 | clip(v);
}

void BlendSubtitleRect(TOverlay& overlay, const AVSubtitleRect& rect, const uint32_t* yuvaPalette) {
  if (!yuvaPalette || !rect.data[0] || rect.w <= 0 || rect.h <= 0) return;
  const int x0 = std::max(rect.x, 0);
  const int y0 = std::max(rect.y, 0);
  const int x1 = static_cast<int>(std::min<int64_t>(int64_t{rect.x} + rect.w, overlay.Width()));
  const int y1 = static_cast<int>(std::min<int64_t>(int64_t{rect.y} + rect.h, overlay.Height()));
  if (x0 >= x1 || y0 >= y1) return;

  // A palette index beyond the rectangle's colours counts as transparent.
  const int colours = rect.nb_colors > 0 ? std::min(rect.nb_colors, 256) : 256;
  auto entry = [&](int x, int y) -> uint32_t {
    const uint8_t index =
        rect.data[0][static_cast<ptrdiff_t>(y - rect.y) * rect.linesize[0] + (x - rect.x)];
    return index < colours ? yuvaPalette[index] : 0;
  };

  uint8_t* luma = overlay.Plane(0);
  const int lumaPitch = overlay.Pitch(0);
  for (int y = y0; y < y1; ++y) {
    uint8_t* row = luma + static_cast<ptrdiff_t>(y) * lumaPitch;
    for (int x = x0; x < x1; ++x) {
      const uint32_t yuva = entry(x, y);
      const int a = yuva >> 24;
      const int value = (yuva >> 16) & 0xFF;
      row[x] = static_cast<uint8_t>(((255 - a) * row[x] + a * value) / 255);
    }
  }

  // Each chroma sample once, from the rectangle's pixels of its 2 x 2 block.
  uint8_t* cb = overlay.Plane(1);
  uint8_t* cr = overlay.Plane(2);
  const int chromaPitch = overlay.Pitch(1);
  for (int cy = y0 / 2; cy <= (y1 - 1) / 2; ++cy) {
    for (int cx = x0 / 2; cx <= (x1 - 1) / 2; ++cx) {
      int k = 0, alphaSum = 0, uSum = 0, vSum = 0;
      for (int y = std::max(2 * cy, y0); y < std::min(2 * cy + 2, y1); ++y) {
        for (int x = std::max(2 * cx, x0); x < std::min(2 * cx + 2, x1); ++x) {
          const uint32_t yuva = entry(x, y);
          ++k;
          alphaSum += yuva >> 24;
          uSum += (yuva >> 8) & 0xFF;
          vSum += yuva & 0xFF;
        }
      }
      const int a = alphaSum / k;
      const ptrdiff_t at = static_cast<ptrdiff_t>(cy) * chromaPitch + cx;
      cb[at] = static_cast<uint8_t>(((255 - a) * cb[at] * k + a * uSum) / (255 * k));
      cr[at] = static_cast<uint8_t>(((255 - a) * cr[at] * k + a * vSum) / (255 * k));
    }
  }
}

}  // namespace orvo
