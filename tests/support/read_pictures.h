#pragma once
// Decoding a written file's pictures to RGB, to check colours and drawn items pixel by pixel.
#include <cstdint>
#include <string>
#include <vector>

namespace orvo::testing {

struct TRgbPicture {
  double Time = 0;  // s
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Rgb;  // Width x Height x 3, rows without padding

  const uint8_t* At(int x, int y) const { return Rgb.data() + (size_t(y) * Width + x) * 3; }
  // Mean of one channel (0 red, 1 green, 2 blue) over a rectangle.
  double Mean(int x, int y, int w, int h, int channel) const;
};

// Every picture of the file's best video stream; empty when it cannot be read.
std::vector<TRgbPicture> ReadRgbPictures(const std::string& path);

}  // namespace orvo::testing
