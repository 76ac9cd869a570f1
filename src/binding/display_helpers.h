#pragma once
// Time texts and fitting arithmetic shared by the windows and the engine.
#include <cstdint>
#include <string>

namespace orvo {

// Signed microseconds to "%.2d:%.2d:%.2d.%.3d"; hours are not wrapped at 24.
std::string FormatClock(int64_t microseconds);
// Whole seconds to "H:MM:SS"; negative input counts as 0.
std::string FormatHMS(int64_t seconds);
// Microseconds to "%d.%.3d" (whole seconds, milliseconds).
std::string FormatSeconds(int64_t microseconds);

struct TFitRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool operator==(const TFitRect&) const = default;
};
// Fits content of contentWidth x contentHeight into a box keeping its aspect ratio, centred.
TFitRect FitRect(int contentWidth, int contentHeight, int boxWidth, int boxHeight);

}  // namespace orvo
