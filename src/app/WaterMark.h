#pragma once
// Watermark items and the picture adjustments drawn into every converted frame: the item records
// and the per-frame operations on a 24-bit bitmap. Adjustments are table driven; nothing is kept
// between frames. Text items are drawn with Qt's painter on an image, which needs the Qt
// application object (a QGuiApplication, the offscreen platform is enough).
#include <cstdint>
#include <string>

#include "platform/bitmap.h"

namespace orvo {

struct TlvFilesRecord;
class TWmLayer;  // the watermark dialog's view layer of an item

// Colours are 0x00BBGGRR: red in the lowest byte, as the dialog's colour pickers deliver them.
using TColor = uint32_t;

struct TWmFont {
  std::string Name = "DejaVu Sans";
  int Size = 12;  // points; pixels = Size x 96 / 72
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  TColor Color = 0x000000;
};

// What an item is, apart from its text: font and box of a text item, file and place of an image
// item, opacities, kind and the window of whole source seconds [StartSec, EndSec] it shows in.
struct TWmItemFields {
  TWmFont Font;
  int32_t TextLeft = 0;
  int32_t TextTop = 0;
  int32_t TextWidth = 0;
  int32_t TextHeight = 0;
  int32_t TextAlpha = 255;
  TColor BackColor = 0xFFFFFF;
  bool HasBackColor = false;
  std::string ImageFile;
  int32_t ImageLeft = 0;
  int32_t ImageTop = 0;
  int32_t ImageWidth = 0;   // the file's own size; drawing does not read it
  int32_t ImageHeight = 0;
  int32_t ImageAlpha = 255;
  int32_t Kind = 0;  // 0 text, 1 image
  int32_t StartSec = 0;
  int32_t EndSec = 0;
};

// One watermark item of a row.
struct TWmRec : TWmItemFields {
  std::string Text;
};

// The watermark dialog's working twin of an item: the dialog keeps the text in its list entry
// and adds the layer that shows the item (not owned).
struct TWmItemRec : TWmItemFields {
  TWmLayer* Layer = nullptr;
};

// Neutral adjustment values.
inline constexpr int kNeutralBrightness = 255;
inline constexpr int kNeutralContrast = 0;
inline constexpr int kNeutralSaturation = 255;
inline constexpr int kNeutralExposure = 0;

// Saturation, then brightness, then contrast around level 170, in place.
void AdjustColors(TBitmap& frame, int brightness, int contrast, int saturation);
// The exposure curve, in place; levels 0 and 255 stay.
void AdjustExposure(TBitmap& frame, double exposure);
// Draws overlay with its top-left corner at (x, y) and opacity alpha 0..255, clipped to frame.
void BlendBitmap(TBitmap& frame, const TBitmap& overlay, int x, int y, int alpha);
// Loads a BMP file of any colour depth as 24 bits. Raises std::runtime_error with the file's
// error when it cannot be opened or read.
void LoadBmp24(const std::string& fileName, TBitmap& bitmap);
// The extent of a one-line text in a font: what the watermark dialog makes an item's box.
void TextExtent(const TWmFont& font, const std::string& text, int32_t& width, int32_t& height);
// Draws one text item (its box, font and opacity) onto the frame.
void DrawTextItem(TBitmap& frame, const TWmRec& item);
// The conversion's per-frame step: the row's adjustments, then every item whose window holds
// pts (microseconds) in index order. Raises std::runtime_error when an image cannot be read.
void RenderWaterMarks(TBitmap& frame, const TlvFilesRecord& row, int64_t pts);

}  // namespace orvo
