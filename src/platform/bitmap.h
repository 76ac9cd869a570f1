#pragma once
// A 24-bit blue-green-red bitmap: rows top to bottom, each padded to a multiple of 4 bytes, with
// direct row access and a lock for sharing between a worker thread and the window that shows it.
// The layout matches QImage::Format_BGR888 with the same bytes per line, so the window code can
// wrap the pixels without copying.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace orvo {

class TBitmap {
 public:
  TBitmap() = default;
  TBitmap(int width, int height) { SetSize(width, height); }
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  // Bytes in one row of a 24-bit bitmap of this width, padded to 32-bit boundaries.
  static int BytesPerLineFor(int width) { return (width * 3 + 3) & ~3; }

  // Resizes the bitmap; the contents become black. Negative sizes count as 0.
  void SetSize(int width, int height);
  void Assign(const TBitmap& other);

  int Width() const { return width_; }
  int Height() const { return height_; }
  int BytesPerLine() const { return BytesPerLineFor(width_); }
  bool Empty() const { return width_ == 0 || height_ == 0; }

  uint8_t* ScanLine(int row) { return pixels_.data() + static_cast<size_t>(row) * BytesPerLine(); }
  const uint8_t* ScanLine(int row) const {
    return pixels_.data() + static_cast<size_t>(row) * BytesPerLine();
  }
  uint8_t* Bits() { return pixels_.data(); }
  const uint8_t* Bits() const { return pixels_.data(); }
  size_t SizeInBytes() const { return pixels_.size(); }

  // Fills the whole bitmap with one colour given as 0xRRGGBB.
  void Fill(uint32_t rgb);

  // The canvas lock (usable with std::lock_guard).
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<uint8_t> pixels_;
  std::mutex mutex_;
};

}  // namespace orvo
