#include "platform/bitmap.h"

#include <algorithm>
#include <cstring>

namespace orvo {

void TBitmap::SetSize(int width, int height) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  pixels_.assign(static_cast<size_t>(BytesPerLine()) * height_, 0);
}

void TBitmap::Assign(const TBitmap& other) {
  if (&other == this) return;
  width_ = other.width_;
  height_ = other.height_;
  pixels_ = other.pixels_;
}

void TBitmap::Fill(uint32_t rgb) {
  const uint8_t blue = rgb & 0xFF, green = (rgb >> 8) & 0xFF, red = (rgb >> 16) & 0xFF;
  for (int y = 0; y < height_; ++y) {
    uint8_t* p = ScanLine(y);
    for (int x = 0; x < width_; ++x, p += 3) {
      p[0] = blue;
      p[1] = green;
      p[2] = red;
    }
  }
}

}  // namespace orvo
