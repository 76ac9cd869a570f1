#pragma once
// The widget the player draws into. The player calls it on its play thread: each picture is
// converted to RGB there, at the size it will have on screen, and handed to the GUI thread, which
// paints the last picture over a plain background whenever the widget is exposed or resized.
// The output area the player asks for (its video mode) is fitted into the widget, centred and
// keeping its shape; the widget keeps its own size. The player must be stopped before the widget
// is destroyed.
#include <QColor>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <mutex>

#include "binding/av_handles.h"
#include "component/DisplaySurface.h"

namespace orvo {

class TPlayerSurfaceWidget : public QWidget, public TDisplaySurface {
  Q_OBJECT
  Q_PROPERTY(QColor backgroundColor READ BackgroundColor WRITE SetBackgroundColor)

 public:
  explicit TPlayerSurfaceWidget(QWidget* parent = nullptr);
  ~TPlayerSurfaceWidget() override;

  // TDisplaySurface, called from the player's play thread.
  bool SetVideoMode(int width, int height) override;
  int Width() const override;
  int Height() const override;
  void DisplayOverlay(const TOverlay& overlay, const TRect& area) override;
  void DisplayBitmap(const TBitmap& bitmap) override;
  void SetCaption(const char* caption) override;

  // The colour around the picture (black unless set); GUI thread.
  QColor BackgroundColor() const { return background_; }
  void SetBackgroundColor(const QColor& colour);
  // Forgets the last picture, leaving only the background; GUI thread.
  void ClearPicture();
  bool HasPicture() const { return !picture_.Image.isNull(); }

  // Where `area` of an output area of `mode` lands in a widget of `widget`: the output area is
  // scaled to fit, centred.
  static QRect MapArea(const TRect& area, QSize mode, QSize widget);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct TPicture {
    QImage Image;
    TRect Area;
    QSize Mode;
  };
  // Play thread: leaves the picture for the GUI thread, waking it once per batch of pictures.
  void Post(TPicture picture);
  // GUI thread: takes the newest posted picture.
  void TakePosted();
  QSize ModeOrDefault(QSize fallback) const;

  // Shared between the play thread and the GUI thread.
  mutable std::mutex lock_;
  int modeWidth_ = 0;
  int modeHeight_ = 0;
  QSize widgetSize_;
  TPicture posted_;
  bool wakePending_ = false;

  // Play thread only.
  SwsContextPtr scaler_;

  // GUI thread only.
  TPicture picture_;
  QColor background_ = Qt::black;
};

}  // namespace orvo
