#include "app/WaterMark.h"

#include <QColor>
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

#include "app/FileList.h"

namespace orvo {

namespace {

inline uint8_t ClampLevel(int64_t v) { return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255)); }

// The interface colours a picker may offer (system colour flag in the high byte, index below),
// resolved to the classic desktop scheme.
constexpr uint32_t kSystemColors[] = {
    0xC8C8C8, 0x000000, 0xD1B499, 0xDBCDBF, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000,
    0x000000, 0x000000, 0xB4B4B4, 0xFCF7F4, 0xABABAB, 0xFF9933, 0xFFFFFF, 0xF0F0F0,
    0xA0A0A0, 0x6D6D6D, 0x000000, 0x000000, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000,
    0xE1FFFF, 0x000000, 0xCC6600, 0xEAD1B9, 0xF2E4D7, 0xFF9933, 0xF0F0F0};

QColor ToQColor(TColor color) {
  if ((color >> 24) == 0xFF) {
    const uint32_t index = color & 0xFF;
    color = index < std::size(kSystemColors) ? kSystemColors[index] : 0;
  }
  return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

void RequireGuiApplication() {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
    throw std::runtime_error(
        "Drawing a text watermark needs the Qt application object (QGuiApplication).");
}

// The item's font at 96 pixels per inch.
QFont ToQFont(const TWmFont& wmFont) {
  QFont font(QString::fromStdString(wmFont.Name));
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(std::abs(wmFont.Size) * 96.0 / 72.0))));
  font.setBold(wmFont.Bold);
  font.setItalic(wmFont.Italic);
  font.setUnderline(wmFont.Underline);
  font.setStrikeOut(wmFont.StrikeOut);
  return font;
}

// Copies the w x h pixels at (left, top) of a bitmap into the top-left of a BGR888 image.
void CopyToImage(const TBitmap& frame, int left, int top, int w, int h, QImage& image) {
  for (int y = 0; y < h; ++y)
    std::memcpy(image.scanLine(y), frame.ScanLine(top + y) + static_cast<size_t>(left) * 3,
                static_cast<size_t>(w) * 3);
}

void CopyFromImage(const QImage& image, TBitmap& bitmap) {
  bitmap.SetSize(image.width(), image.height());
  const size_t rowBytes = static_cast<size_t>(image.width()) * 3;
  for (int y = 0; y < image.height(); ++y)
    std::memcpy(bitmap.ScanLine(y), image.constScanLine(y), rowBytes);
}

}  // namespace

void AdjustColors(TBitmap& frame, int brightness, int contrast, int saturation) {
  if (contrast == 100) contrast = 99;
  // Beyond this the results are saturated anyway; the bound keeps the tables in 32 bits.
  saturation = std::clamp(saturation, -(1 << 20), 1 << 20);

  const double f = contrast > 0 ? 1.0 / std::cos(contrast * std::numbers::pi / 200.0)
                                : std::cos(contrast * 0.015708);
  uint8_t contrastTable[256];
  for (int i = 0; i < 256; ++i) {
    double v = 170.0 + (i - 170) * f;
    if (std::isnan(v)) v = 170.0;
    // Clamped before converting so that huge factors stay defined; nearbyint rounds ties to even.
    contrastTable[i] = ClampLevel(static_cast<int64_t>(std::nearbyint(std::clamp(v, -1.0, 256.0))));
  }

  uint8_t levelTable[256];
  for (int j = 0; j < 256; ++j) {
    const int64_t k = (static_cast<int64_t>(brightness) * j + 256 - brightness) / 256;
    levelTable[j] = contrastTable[ClampLevel(k)];
  }

  int32_t satTable[256];
  for (int x = 0; x < 256; ++x) satTable[x] = ((x + 1) * saturation) / 256;
  int32_t grayTable[766];
  for (int n = 0; n < 766; ++n) grayTable[n] = n / 3 - satTable[n / 3];

  const int width = frame.Width();
  for (int y = 0; y < frame.Height(); ++y) {
    uint8_t* p = frame.ScanLine(y);
    for (int x = 0; x < width; ++x, p += 3) {
      const int32_t gray = grayTable[p[0] + p[1] + p[2]];
      for (int c = 0; c < 3; ++c) {
        int32_t v = gray + satTable[p[c]];
        v = v < 0 ? 0 : (v > 255 ? 255 : v);
        p[c] = levelTable[v];
      }
    }
  }
}

void AdjustExposure(TBitmap& frame, double exposure) {
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) {
    double k = std::nearbyint(256.0 * (1.0 - std::exp(-(i / 128.0) * (exposure / 128.0))));
    if (std::isnan(k)) k = 0.0;
    // Past +-2^32 every level below 255 is pushed out of range anyway; the bound keeps the
    // product in 64 bits.
    const int64_t k64 = static_cast<int64_t>(std::clamp(k, -4294967296.0, 4294967296.0));
    table[i] = ClampLevel(i + (k64 * (255 - i)) / 256);
  }
  const size_t rowBytes = static_cast<size_t>(frame.Width()) * 3;
  for (int y = 0; y < frame.Height(); ++y) {
    uint8_t* p = frame.ScanLine(y);
    for (size_t i = 0; i < rowBytes; ++i) p[i] = table[p[i]];
  }
}

void BlendBitmap(TBitmap& frame, const TBitmap& overlay, int x, int y, int alpha) {
  const int a = std::clamp(alpha, 0, 255);
  // Rows and columns of the overlay that land inside the frame, in 64 bits so that far-off
  // positions cannot overflow.
  const int64_t rows = (int64_t{y} + overlay.Height() < frame.Height())
                           ? overlay.Height()
                           : int64_t{frame.Height()} - y;
  const int64_t cols = (int64_t{x} + overlay.Width() < frame.Width())
                           ? overlay.Width()
                           : int64_t{frame.Width()} - x;
  const int64_t firstRow = std::max<int64_t>(0, -int64_t{y});
  const int64_t firstCol = std::max<int64_t>(0, -int64_t{x});
  if (firstRow >= rows || firstCol >= cols) return;

  const int keep = 256 - a;
  const size_t bytes = static_cast<size_t>(cols - firstCol) * 3;
  for (int64_t r = firstRow; r < rows; ++r) {
    uint8_t* dst = frame.ScanLine(static_cast<int>(y + r)) + static_cast<size_t>(x + firstCol) * 3;
    const uint8_t* src = overlay.ScanLine(static_cast<int>(r)) + static_cast<size_t>(firstCol) * 3;
    for (size_t i = 0; i < bytes; ++i)
      dst[i] = static_cast<uint8_t>((keep * dst[i] + a * src[i]) >> 8);
  }
}

void LoadBmp24(const std::string& fileName, TBitmap& bitmap) {
  QFile file(QString::fromStdString(fileName));
  if (!file.open(QIODevice::ReadOnly))
    throw std::runtime_error("Cannot open file \"" + fileName + "\". " +
                             file.errorString().toStdString());
  QImageReader reader(&file, "BMP");
  const QImage image = reader.read();
  if (image.isNull())
    throw std::runtime_error("Cannot read bitmap file \"" + fileName + "\". " +
                             reader.errorString().toStdString());
  CopyFromImage(image.convertToFormat(QImage::Format_BGR888), bitmap);
}

void TextExtent(const TWmFont& font, const std::string& text, int32_t& width, int32_t& height) {
  RequireGuiApplication();
  const QFontMetrics metrics(ToQFont(font));
  width = metrics.horizontalAdvance(QString::fromStdString(text));
  height = metrics.height();
}

void DrawTextItem(TBitmap& frame, const TWmRec& item) {
  if (item.TextWidth <= 0 || item.TextHeight <= 0) return;
  // Only the part of the box inside the frame can show, so only that part is drawn; the painter
  // is moved so that the text still starts at the box's top-left corner.
  const int64_t boxLeft = item.TextLeft, boxTop = item.TextTop;
  const int64_t left = std::max<int64_t>(boxLeft, 0);
  const int64_t top = std::max<int64_t>(boxTop, 0);
  const int64_t right = std::min<int64_t>(boxLeft + item.TextWidth, frame.Width());
  const int64_t bottom = std::min<int64_t>(boxTop + item.TextHeight, frame.Height());
  if (left >= right || top >= bottom) return;
  RequireGuiApplication();

  const int w = static_cast<int>(right - left), h = static_cast<int>(bottom - top);
  QImage box(w, h, QImage::Format_BGR888);
  if (box.isNull()) throw std::runtime_error("Out of memory for a text watermark.");
  const QColor backColor = ToQColor(item.BackColor);
  if (item.HasBackColor)
    box.fill(backColor);
  else
    CopyToImage(frame, static_cast<int>(left), static_cast<int>(top), w, h, box);

  const QFont font = ToQFont(item.Font);
  {
    QPainter painter(&box);
    if (!painter.isActive()) throw std::runtime_error("Cannot draw a text watermark.");
    painter.translate(static_cast<int>(boxLeft - left), static_cast<int>(boxTop - top));
    painter.setFont(font);
    painter.setPen(ToQColor(item.Font.Color));
    if (item.HasBackColor) {
      painter.setBackgroundMode(Qt::OpaqueMode);
      painter.setBackground(backColor);
    } else {
      painter.setBackgroundMode(Qt::TransparentMode);
    }
    // One line from the top-left corner: the baseline sits one ascent below the box's top.
    painter.drawText(QPoint(0, painter.fontMetrics().ascent()), QString::fromStdString(item.Text));
  }

  TBitmap overlay;
  CopyFromImage(box, overlay);
  BlendBitmap(frame, overlay, static_cast<int>(left), static_cast<int>(top), item.TextAlpha);
}

void RenderWaterMarks(TBitmap& frame, const TlvFilesRecord& row, int64_t pts) {
  if (row.Brightness != kNeutralBrightness || row.Contrast != kNeutralContrast ||
      row.Saturation != kNeutralSaturation)
    AdjustColors(frame, row.Brightness, row.Contrast, row.Saturation);
  if (row.Exposure != kNeutralExposure) AdjustExposure(frame, row.Exposure);

  const int64_t t = pts / 1000000;
  for (const auto& item : row.WaterMarks) {
    if (!item || t < item->StartSec || t > item->EndSec) continue;
    if (item->Kind == 0 && !item->Text.empty()) {
      DrawTextItem(frame, *item);
    } else if (item->Kind == 1 && !item->ImageFile.empty()) {
      // Read again for every frame: the file may change between frames and nothing is cached.
      TBitmap image;
      LoadBmp24(item->ImageFile, image);
      BlendBitmap(frame, image, item->ImageLeft, item->ImageTop, item->ImageAlpha);
    }
  }
}

}  // namespace orvo
