#include "component/DisplaySurface.h"

#include <algorithm>

namespace orvo {

namespace {

// Odd or negative sizes would leave a chroma sample half outside the picture.
int EvenSize(int size) { return std::max(size, 0) & ~1; }

// Records kept before the oldest half is dropped; a long run keeps its memory bounded.
constexpr size_t kMaxShownRecords = 16384;

}  // namespace

TOverlay::TOverlay(int width, int height) : width_(EvenSize(width)), height_(EvenSize(height)) {
  // Black in studio range: Y 16, neutral chroma.
  planes_[0].assign(static_cast<size_t>(width_) * height_, 16);
  planes_[1].assign(static_cast<size_t>(width_ / 2) * (height_ / 2), 128);
  planes_[2].assign(static_cast<size_t>(width_ / 2) * (height_ / 2), 128);
}

bool TOffscreenSurface::SetVideoMode(int width, int height) {
  if (width <= 0 || height <= 0) return false;
  std::lock_guard<std::mutex> guard(lock_);
  width_ = width;
  height_ = height;
  return true;
}

int TOffscreenSurface::Width() const {
  std::lock_guard<std::mutex> guard(lock_);
  return width_;
}

int TOffscreenSurface::Height() const {
  std::lock_guard<std::mutex> guard(lock_);
  return height_;
}

void TOffscreenSurface::DisplayOverlay(const TOverlay& overlay, const TRect& area) {
  TShown shown;
  shown.Time = Clock::now();
  shown.Overlay = true;
  shown.Area = area;
  const size_t lumaSize = static_cast<size_t>(overlay.Width()) * overlay.Height();
  if (lumaSize > 0) {
    uint64_t sum = 0;
    const uint8_t* y = overlay.Plane(0);
    for (size_t i = 0; i < lumaSize; ++i) sum += y[i];
    shown.MeanLuma = static_cast<double>(sum) / static_cast<double>(lumaSize);
  }

  std::lock_guard<std::mutex> guard(lock_);
  overlayWidth_ = overlay.Width();
  overlayHeight_ = overlay.Height();
  for (int i = 0; i < 3; ++i) {
    const size_t size = static_cast<size_t>(overlay.Pitch(i)) * (i == 0 ? overlayHeight_
                                                                         : overlayHeight_ / 2);
    overlayPlanes_[i].assign(overlay.Plane(i), overlay.Plane(i) + size);
  }
  Record(shown);
}

void TOffscreenSurface::DisplayBitmap(const TBitmap& bitmap) {
  TShown shown;
  shown.Time = Clock::now();
  shown.Overlay = false;
  shown.Area = TRect{0, 0, bitmap.Width(), bitmap.Height()};
  if (!bitmap.Empty()) {
    uint64_t sum = 0;
    for (int y = 0; y < bitmap.Height(); ++y) {
      const uint8_t* row = bitmap.ScanLine(y);
      for (int x = 0; x < bitmap.Width(); ++x) sum += row[x * 3 + 1];
    }
    shown.MeanLuma = static_cast<double>(sum) /
                     (static_cast<double>(bitmap.Width()) * bitmap.Height());
  }

  std::lock_guard<std::mutex> guard(lock_);
  bitmap_.Assign(bitmap);
  Record(shown);
}

void TOffscreenSurface::Record(const TShown& shown) {
  if (shown_.size() >= kMaxShownRecords)
    shown_.erase(shown_.begin(), shown_.begin() + kMaxShownRecords / 2);
  shown_.push_back(shown);
  ++shownCount_;
}

std::vector<TOffscreenSurface::TShown> TOffscreenSurface::Shown() const {
  std::lock_guard<std::mutex> guard(lock_);
  return shown_;
}

size_t TOffscreenSurface::ShownCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return shownCount_;
}

bool TOffscreenSurface::LastOverlay(int& width, int& height, std::vector<uint8_t> planes[3]) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (overlayWidth_ == 0 || overlayHeight_ == 0) return false;
  width = overlayWidth_;
  height = overlayHeight_;
  for (int i = 0; i < 3; ++i) planes[i] = overlayPlanes_[i];
  return true;
}

void TOffscreenSurface::LastBitmap(TBitmap& bitmap) const {
  std::lock_guard<std::mutex> guard(lock_);
  bitmap.Assign(bitmap_);
}

void TOffscreenSurface::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  shown_.clear();
  shownCount_ = 0;
  overlayWidth_ = 0;
  overlayHeight_ = 0;
  for (auto& plane : overlayPlanes_) plane.clear();
  bitmap_.SetSize(0, 0);
}

}  // namespace orvo
