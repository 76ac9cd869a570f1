#pragma once
// The number and case tests the settings' texts go through, shared by the parameter editor and
// the output options builder.
#include <cstdint>
#include <optional>
#include <string>

namespace orvo {

// The whole text as a 32-bit decimal integer with an optional sign; no blanks, nothing else.
std::optional<int32_t> ParseInteger(const std::string& text);
// An integer or a decimal number with "." as separator, optionally signed (no exponent).
std::optional<double> ParseNumber(const std::string& text);
std::string LowerCase(std::string text);

}  // namespace orvo
