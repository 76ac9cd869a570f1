#include "app/PlayerSurface.h"

#include <QMetaObject>
#include <QPainter>
#include <QResizeEvent>

#include <algorithm>
#include <cmath>

namespace orvo {

TPlayerSurfaceWidget::TPlayerSurfaceWidget(QWidget* parent) : QWidget(parent) {
  // Every pixel is painted: the background, then the picture.
  setAttribute(Qt::WA_OpaquePaintEvent);
  widgetSize_ = size();
}

TPlayerSurfaceWidget::~TPlayerSurfaceWidget() = default;

bool TPlayerSurfaceWidget::SetVideoMode(int width, int height) {
  if (width <= 0 || height <= 0) return false;
  std::lock_guard<std::mutex> guard(lock_);
  modeWidth_ = width;
  modeHeight_ = height;
  return true;
}

int TPlayerSurfaceWidget::Width() const {
  std::lock_guard<std::mutex> guard(lock_);
  return modeWidth_;
}

int TPlayerSurfaceWidget::Height() const {
  std::lock_guard<std::mutex> guard(lock_);
  return modeHeight_;
}

QSize TPlayerSurfaceWidget::ModeOrDefault(QSize fallback) const {
  std::lock_guard<std::mutex> guard(lock_);
  return modeWidth_ > 0 ? QSize(modeWidth_, modeHeight_) : fallback;
}

QRect TPlayerSurfaceWidget::MapArea(const TRect& area, QSize mode, QSize widget) {
  if (mode.isEmpty() || widget.isEmpty()) return {};
  const double scale = std::min(double(widget.width()) / mode.width(),
                                double(widget.height()) / mode.height());
  const double originX = (widget.width() - mode.width() * scale) / 2;
  const double originY = (widget.height() - mode.height() * scale) / 2;
  const int left = int(std::lround(originX + area.Left * scale));
  const int top = int(std::lround(originY + area.Top * scale));
  const int right = int(std::lround(originX + (area.Left + area.Width) * scale));
  const int bottom = int(std::lround(originY + (area.Top + area.Height) * scale));
  return QRect(left, top, right - left, bottom - top);
}

void TPlayerSurfaceWidget::DisplayOverlay(const TOverlay& overlay, const TRect& area) {
  if (overlay.Width() <= 0 || overlay.Height() <= 0 || area.Width <= 0 || area.Height <= 0) return;
  QSize widget;
  {
    std::lock_guard<std::mutex> guard(lock_);
    widget = widgetSize_;
  }
  const QSize mode = ModeOrDefault(QSize(area.Left + area.Width, area.Top + area.Height));
  // Converted at the size it will be shown at, so painting need not scale again.
  QRect target = MapArea(area, mode, widget);
  const int width = std::max(target.width(), 1);
  const int height = std::max(target.height(), 1);

  scaler_.reset(sws_getCachedContext(scaler_.release(), overlay.Width(), overlay.Height(),
                                     AV_PIX_FMT_YUV420P, width, height, AV_PIX_FMT_RGB24,
                                     SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler_) return;
  QImage image(width, height, QImage::Format_RGB888);
  if (image.isNull()) return;
  const uint8_t* const source[4] = {overlay.Plane(0), overlay.Plane(1), overlay.Plane(2), nullptr};
  const int sourcePitch[4] = {overlay.Pitch(0), overlay.Pitch(1), overlay.Pitch(2), 0};
  uint8_t* const destination[4] = {image.bits(), nullptr, nullptr, nullptr};
  const int destinationPitch[4] = {int(image.bytesPerLine()), 0, 0, 0};
  if (sws_scale(scaler_.get(), source, sourcePitch, 0, overlay.Height(), destination,
                destinationPitch) <= 0)
    return;
  Post(TPicture{std::move(image), area, mode});
}

void TPlayerSurfaceWidget::DisplayBitmap(const TBitmap& bitmap) {
  if (bitmap.Empty()) return;
  // A deep copy: the player reuses its bitmap.
  QImage image = QImage(bitmap.ScanLine(0), bitmap.Width(), bitmap.Height(),
                        bitmap.BytesPerLine(), QImage::Format_BGR888)
                     .copy();
  const TRect area{0, 0, bitmap.Width(), bitmap.Height()};
  Post(TPicture{std::move(image), area, ModeOrDefault(QSize(bitmap.Width(), bitmap.Height()))});
}

void TPlayerSurfaceWidget::SetCaption(const char* caption) {
  const QString text = QString::fromUtf8(caption ? caption : "");
  QMetaObject::invokeMethod(this, [this, text] { setWindowTitle(text); }, Qt::QueuedConnection);
}

void TPlayerSurfaceWidget::Post(TPicture picture) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    posted_ = std::move(picture);
    wake = !wakePending_;
    wakePending_ = true;
  }
  // Pictures that arrive before the GUI thread gets to them replace each other; one wake-up.
  // A queued call to a widget that has gone is dropped with it.
  if (wake) QMetaObject::invokeMethod(this, [this] { TakePosted(); }, Qt::QueuedConnection);
}

void TPlayerSurfaceWidget::TakePosted() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    wakePending_ = false;
    if (posted_.Image.isNull()) return;
    picture_ = std::move(posted_);
    posted_ = TPicture{};
  }
  update();
}

void TPlayerSurfaceWidget::SetBackgroundColor(const QColor& colour) {
  background_ = colour;
  update();
}

void TPlayerSurfaceWidget::ClearPicture() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    posted_ = TPicture{};
  }
  picture_ = TPicture{};
  update();
}

void TPlayerSurfaceWidget::resizeEvent(QResizeEvent* event) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    widgetSize_ = event->size();
  }
  QWidget::resizeEvent(event);
}

void TPlayerSurfaceWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), background_);
  if (picture_.Image.isNull()) return;
  const QRect target = MapArea(picture_.Area, picture_.Mode, size());
  if (target.isEmpty()) return;
  // After a resize the picture is scaled until the next one arrives at the new size.
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, picture_.Image);
}

}  // namespace orvo
