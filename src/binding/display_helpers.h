#pragma once
// Time texts and fitting arithmetic shared by the windows and the engine.
#include <cstdint>
#include <string>

namespace orvo {

// Signed microseconds to "%.2d:%.2d:%.2d.%.3d"; hours are not wrapped at 24. Every field comes
// from division truncated toward zero, so a negative time gives negative fields.
std::string FormatClock(int64_t microseconds);
// Whole seconds to "H:MM:SS"; negative input counts as 0.
std::string FormatHMS(int64_t seconds);
// Microseconds to "%d.%.3d" (whole seconds, milliseconds), truncated toward zero as above.
std::string FormatSeconds(int64_t microseconds);

struct TFitRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool operator==(const TFitRect&) const = default;
};
// Fits content of contentWidth x contentHeight into a box keeping its aspect ratio, centred.
// a = cw / bw, b = ch / bh: when a >= b the result spans the box's width with top and bottom
// margins round((bh - ch / a) / 2), otherwise its height with left and right margins
// round((bw - cw / b) / 2); rounding to nearest, ties to even. When any size is 0 or negative
// the result is the box itself (negative box sizes taken as 0).
TFitRect FitRect(int contentWidth, int contentHeight, int boxWidth, int boxHeight);

}  // namespace orvo
