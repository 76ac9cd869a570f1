#pragma once
// Where the player's pictures go. The player draws each picture as a 4:2:0 overlay into a display
// surface of its own interface; the Qt preview widgets implement it, and TOffscreenSurface keeps
// what was shown for tools without a window and for tests. Every call comes from the player's play
// thread; implementations that show on another thread copy what they need.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/bitmap.h"

namespace orvo {

struct TRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
};

// A 4:2:0 planar picture ("YV12" in the old multimedia library): Y plane of Width x Height, U and
// V planes of (Width / 2) x (Height / 2); Width and Height are even. Locked while written or read.
class TOverlay {
 public:
  // Odd or negative sizes are rounded down to even (0 at least); the picture starts black.
  TOverlay(int width, int height);
  TOverlay(const TOverlay&) = delete;
  TOverlay& operator=(const TOverlay&) = delete;

  int Width() const { return width_; }
  int Height() const { return height_; }
  // Plane 0 Y, 1 U, 2 V.
  uint8_t* Plane(int i) { return planes_[i].data(); }
  const uint8_t* Plane(int i) const { return planes_[i].data(); }
  int Pitch(int i) const { return i == 0 ? width_ : width_ / 2; }

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  int width_;
  int height_;
  std::vector<uint8_t> planes_[3];
  std::mutex mutex_;
};

class TDisplaySurface {
 public:
  virtual ~TDisplaySurface() = default;

  // Sets the size of the output area (the old video mode); false when it cannot be used. A window
  // may keep its own size and scale what it is given; Width and Height then report the size set.
  virtual bool SetVideoMode(int width, int height) = 0;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // Shows the overlay scaled into `area` (inside the output area). The area around it is not
  // painted. The overlay is locked by the caller for the call.
  virtual void DisplayOverlay(const TOverlay& overlay, const TRect& area) = 0;
  // Shows an RGB picture of the output area's size (the waveform of files without video).
  virtual void DisplayBitmap(const TBitmap& bitmap) = 0;
  // The window caption when the player has no window of the application ("FFPlayer").
  virtual void SetCaption(const char* caption) {}
};

// Keeps the last picture shown and one record per call, with its time, for tools without a display
// and for tests. Thread safe: the records may be read while the player runs.
class TOffscreenSurface : public TDisplaySurface {
 public:
  using Clock = std::chrono::steady_clock;
  struct TShown {
    Clock::time_point Time;
    bool Overlay = false;  // false: a bitmap (waveform)
    TRect Area;
    double MeanLuma = 0;   // of the overlay's Y plane, or of the bitmap's green channel
  };

  bool SetVideoMode(int width, int height) override;
  int Width() const override;
  int Height() const override;
  void DisplayOverlay(const TOverlay& overlay, const TRect& area) override;
  void DisplayBitmap(const TBitmap& bitmap) override;

  // The most recent records (the oldest are dropped after some thousands) and the number of calls
  // since the start or the last Clear.
  std::vector<TShown> Shown() const;
  size_t ShownCount() const;
  // A copy of the last overlay shown (its Y, U, V planes) and of the last bitmap shown.
  bool LastOverlay(int& width, int& height, std::vector<uint8_t> planes[3]) const;
  void LastBitmap(TBitmap& bitmap) const;
  // Forgets the records and the pictures; the video mode stays.
  void Clear();

 private:
  void Record(const TShown& shown);  // under lock_

  mutable std::mutex lock_;
  int width_ = 0;
  int height_ = 0;
  std::vector<TShown> shown_;
  size_t shownCount_ = 0;
  int overlayWidth_ = 0;
  int overlayHeight_ = 0;
  std::vector<uint8_t> overlayPlanes_[3];
  TBitmap bitmap_;
};

}  // namespace orvo
