#pragma once
// The floating window a conversion shows its preview pictures in: a small tool window on top of
// the others, sized to the picture, captioned with the picture's time, moved by dragging it
// anywhere. Closing it turns the task's preview off.
#include <QImage>
#include <QPoint>
#include <QWidget>

#include <atomic>
#include <memory>

#include "binding/Previewer.h"

namespace orvo {

class TPreviewWindow : public QWidget {
  Q_OBJECT
 public:
  TPreviewWindow();
  void SetPicture(const QImage& picture, int64_t time);
  bool Closed() const { return closed_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  QImage picture_;
  QPoint dragOffset_;
  bool dragging_ = false;
  bool closed_ = false;
};

// The previewer the engine talks to from its worker thread; the window lives on the main thread.
class TQtPreviewer : public TPreviewer {
 public:
  TQtPreviewer() = default;
  ~TQtPreviewer() override;
  bool Show(const TBitmap& picture, int frameNumber, int64_t time) override;

 private:
  std::unique_ptr<TPreviewWindow> window_;  // created, used and freed on the main thread
  std::atomic<bool> closed_{false};
};

// Makes the engine's preview windows Qt windows.
void InstallQtPreviewer();

}  // namespace orvo
