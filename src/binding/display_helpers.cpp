#include "binding/display_helpers.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace orvo {

// Integer division truncates toward zero, so a negative time shows negative fields
// (-1.5 s is "00:00:-01.-500").
std::string FormatClock(int64_t microseconds) {
  const int64_t seconds = microseconds / 1000000;
  const int64_t hours = seconds / 3600;
  const int64_t minutes = seconds / 60 % 60;
  const int64_t secondsOfMinute = seconds % 60;
  const int64_t milliseconds = microseconds % 1000000 * 1000 / 1000000;
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64,
                hours, minutes, secondsOfMinute, milliseconds);
  return buffer;
}

std::string FormatHMS(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%" PRId64 ":%.2" PRId64 ":%.2" PRId64, seconds / 3600,
                seconds / 60 % 60, seconds % 60);
  return buffer;
}

std::string FormatSeconds(int64_t microseconds) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%" PRId64 ".%.3" PRId64, microseconds / 1000000,
                microseconds / 1000 % 1000);
  return buffer;
}

TFitRect FitRect(int contentWidth, int contentHeight, int boxWidth, int boxHeight) {
  // Nothing to scale (or no room): the content takes the whole box.
  if (contentWidth <= 0 || contentHeight <= 0 || boxWidth <= 0 || boxHeight <= 0)
    return TFitRect{0, 0, boxWidth > 0 ? boxWidth : 0, boxHeight > 0 ? boxHeight : 0};
  const double a = static_cast<double>(contentWidth) / boxWidth;
  const double b = static_cast<double>(contentHeight) / boxHeight;
  // std::nearbyint in the default rounding mode: to nearest, ties to even.
  if (a >= b) {
    const int margin = static_cast<int>(std::nearbyint((boxHeight - contentHeight / a) / 2));
    return TFitRect{0, margin, boxWidth, boxHeight - 2 * margin};
  }
  const int margin = static_cast<int>(std::nearbyint((boxWidth - contentWidth / b) / 2));
  return TFitRect{margin, 0, boxWidth - 2 * margin, boxHeight};
}

}  // namespace orvo
