#include "app/Previewer.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "binding/display_helpers.h"
#include "platform/main_thread.h"

namespace orvo {

TPreviewWindow::TPreviewWindow()
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                           Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPreviewWindow::SetPicture(const QImage& picture, int64_t time) {
  const bool first = picture_.isNull();
  picture_ = picture;
  setWindowTitle(QString::fromStdString(FormatClock(time)));
  if (size() != picture.size()) setFixedSize(picture.size());
  if (first) {
    // Centred on the screen the first time it appears.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      move(area.center() - QPoint(picture.width() / 2, picture.height() / 2));
    }
    show();
  }
  update();
}

void TPreviewWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (picture_.isNull())
    painter.fillRect(rect(), Qt::black);
  else
    painter.drawImage(QPoint(0, 0), picture_);
}

void TPreviewWindow::closeEvent(QCloseEvent* event) {
  closed_ = true;
  event->accept();
}

// Dragging anywhere on the picture moves the window, as dragging its caption would.
void TPreviewWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragging_ = true;
  dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
  event->accept();
}

void TPreviewWindow::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_ || !(event->buttons() & Qt::LeftButton)) {
    dragging_ = false;
    return;
  }
  move(event->globalPosition().toPoint() - dragOffset_);
  event->accept();
}

TQtPreviewer::~TQtPreviewer() {
  if (!window_) return;
  // The window belongs to the main thread.
  RunInMainThread([this] { window_.reset(); });
}

bool TQtPreviewer::Show(const TBitmap& picture, int, int64_t time) {
  if (closed_) return false;
  // A deep copy: the engine reuses its bitmap for the next picture.
  const QImage image = QImage(picture.ScanLine(0), picture.Width(), picture.Height(),
                              int(picture.BytesPerLine()), QImage::Format_BGR888)
                           .copy();
  RunInMainThread([this, &image, time] {
    if (!window_) window_ = std::make_unique<TPreviewWindow>();
    if (window_->Closed()) {
      closed_ = true;
      return;
    }
    window_->SetPicture(image, time);
  });
  return !closed_;
}

void InstallQtPreviewer() {
  SetPreviewerFactory([] { return std::make_unique<TQtPreviewer>(); });
}

}  // namespace orvo
