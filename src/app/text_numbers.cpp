#include "app/text_numbers.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace orvo {
namespace {

// The text without a leading "+" (which from_chars does not take); empty when nothing follows.
std::string_view Unsigned(const std::string& text) {
  std::string_view view(text);
  if (!view.empty() && view.front() == '+') view.remove_prefix(1);
  return view;
}

}  // namespace

std::optional<int32_t> ParseInteger(const std::string& text) {
  const std::string_view view = Unsigned(text);
  if (view.empty() || view.front() == '+') return std::nullopt;
  int32_t value = 0;
  const auto result = std::from_chars(view.data(), view.data() + view.size(), value);
  if (result.ec != std::errc() || result.ptr != view.data() + view.size()) return std::nullopt;
  return value;
}

std::optional<double> ParseNumber(const std::string& text) {
  const std::string_view view = Unsigned(text);
  size_t i = !view.empty() && view.front() == '-' ? 1 : 0;
  int digits = 0;
  bool point = false;
  for (; i < view.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(view[i]))) {
      ++digits;
    } else if (view[i] == '.' && !point) {
      point = true;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0) return std::nullopt;
  double value = 0;
  const auto result = std::from_chars(view.data(), view.data() + view.size(), value);
  if (result.ec != std::errc() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace orvo
