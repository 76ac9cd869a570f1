#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QThread>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "app/GlobalUnit.h"
#include "app/PlayerSurface.h"
#include "app/Previewer.h"
#include "app/WinMain.h"
#include "app/main_thread_qt.h"
#include "binding/FFmpegLoader.h"
#include "platform/main_thread.h"

namespace orvo {
namespace {

QApplication& App() { return *static_cast<QApplication*>(QCoreApplication::instance()); }

TEST(GlobalObject, VersionTextAndSettersIgnoreUnsuitableValues) {
  EXPECT_EQ(TGlobalObject::GetFileVersionText(), " 3.600 ");
  TGlobalObject globals;
  EXPECT_EQ(globals.Title(), "Orvo SWF Converter");
  EXPECT_EQ(globals.VersionText(), " ver 1.30 ");
  globals.SetSettingsFile("/home/u/.config/orvoswfconverter/orvoswfconverter.ini");
  globals.SetSettingsFile("abc");
  EXPECT_EQ(globals.SettingsFile(), "/home/u/.config/orvoswfconverter/orvoswfconverter.ini");
  globals.SetTitle("");
  EXPECT_EQ(globals.Title(), "Orvo SWF Converter");
}

TEST(MainWindow, CaptionIsTitleAndVersionOnceShownAndLibrariesLoad) {
  App();
  TfrmMain window;
  EXPECT_EQ(window.windowTitle().toStdString(), "Orvo SWF Converter");
  window.show();
  QApplication::processEvents();
  EXPECT_EQ(window.windowTitle().toStdString(), "Orvo SWF Converter 3.600 ");
  EXPECT_TRUE(FFLoader().AreLoaded(PlayerLibraries));
  EXPECT_TRUE(window.LogView()->toPlainText().isEmpty());
  EXPECT_FALSE(window.LogView()->isVisible());
}

TEST(PreviewWindow, ShowsPicturesWithTheirTimeUntilClosed) {
  App();
  InstallMainThreadQueueInEventLoop();
  TQtPreviewer previewer;
  TBitmap picture(64, 48);
  for (int y = 0; y < picture.Height(); ++y)
    std::fill(picture.ScanLine(y), picture.ScanLine(y) + picture.BytesPerLine(), 200);
  // Shown from a worker, as the engine does; the window lives on the main thread.
  std::atomic<int> result{-1};
  auto showFromWorker = [&](int64_t time) {
    result = -1;
    std::thread worker([&] { result = previewer.Show(picture, 1, time) ? 1 : 0; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (result < 0 && std::chrono::steady_clock::now() < deadline)
      QApplication::processEvents(QEventLoop::AllEvents, 20);
    worker.join();
    return result.load();
  };
  EXPECT_EQ(showFromWorker(3723004000), 1);
  TPreviewWindow* window = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* p = dynamic_cast<TPreviewWindow*>(w)) window = p;
  }
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->size(), QSize(64, 48));
  EXPECT_EQ(window->windowTitle().toStdString(), "01:02:03.004");
  EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
  // Closed by the user: the next picture is refused and no window comes back.
  window->close();
  EXPECT_EQ(showFromWorker(4000000), 0);
  EXPECT_EQ(showFromWorker(5000000), 0);
}

TEST(MainWindow, EventLoopRunsCallsQueuedFromOtherThreads) {
  App();
  InstallMainThreadQueueInEventLoop();
  std::atomic<bool> ranInGuiThread{false}, done{false};
  std::thread worker([&] {
    RunInMainThread([&] { ranInGuiThread = QThread::currentThread() == App().thread(); });
    done = true;
  });
  // Only the Qt event loop runs here: the wake-up must make it process the queued call.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  worker.join();
  EXPECT_TRUE(done);
  EXPECT_TRUE(ranInGuiThread);
}


// The player draws from its play thread; the widget paints on the GUI thread.
TEST(PlayerSurface, ShowsPicturesFromThePlayThreadScaledOverItsBackground) {
  App();
  TPlayerSurfaceWidget surface;
  surface.resize(200, 100);
  surface.show();
  QApplication::processEvents();
  auto settle = [](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline)
      QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  };
  auto pixel = [&](int x, int y) { return surface.grab().toImage().pixelColor(x, y); };
  auto isRed = [](QColor c) { return c.red() > 240 && c.green() < 16 && c.blue() < 16; };
  auto isBlue = [](QColor c) { return c.blue() > 240 && c.red() < 16 && c.green() < 16; };

  // The player's output area is half the widget's size: the widget keeps its size and scales.
  ASSERT_TRUE(surface.SetVideoMode(100, 50));
  EXPECT_EQ(surface.Width(), 100);
  EXPECT_EQ(surface.Height(), 50);
  EXPECT_FALSE(surface.SetVideoMode(0, 50));

  // A red picture in the middle of the output area (25, 0, 50 x 50): the widget's (50, 0, 100 x 100).
  TOverlay overlay(32, 32);
  std::memset(overlay.Plane(0), 81, 32 * 32);
  std::memset(overlay.Plane(1), 90, 16 * 16);
  std::memset(overlay.Plane(2), 240, 16 * 16);
  std::thread player([&] {
    std::lock_guard<TOverlay> locked(overlay);
    surface.DisplayOverlay(overlay, TRect{25, 0, 50, 50});
  });
  player.join();
  ASSERT_TRUE(settle([&] { return surface.HasPicture(); }));
  QImage shot = surface.grab().toImage();
  for (QPoint p : {QPoint(100, 50), QPoint(50, 0), QPoint(149, 99)})
    EXPECT_TRUE(isRed(shot.pixelColor(p))) << p.x() << "," << p.y();
  for (QPoint p : {QPoint(0, 0), QPoint(48, 50), QPoint(151, 50), QPoint(199, 99)})
    EXPECT_EQ(shot.pixelColor(p), QColor(Qt::black)) << p.x() << "," << p.y();

  // A grey background, and a wider widget: the last picture is painted again, centred.
  surface.setProperty("backgroundColor", QColor(128, 128, 128));
  surface.resize(400, 100);
  ASSERT_TRUE(settle([&] { return isRed(pixel(200, 50)); }));
  shot = surface.grab().toImage();
  EXPECT_TRUE(isRed(shot.pixelColor(151, 50)));
  EXPECT_TRUE(isRed(shot.pixelColor(248, 50)));
  for (QPoint p : {QPoint(10, 50), QPoint(120, 50), QPoint(148, 50), QPoint(252, 50), QPoint(390, 0)})
    EXPECT_EQ(shot.pixelColor(p), QColor(128, 128, 128)) << p.x() << "," << p.y();

  // The waveform bitmap covers the whole output area: the widget's (100, 0, 200 x 100).
  TBitmap waveform(100, 50);
  waveform.Fill(0x0000FF);
  std::thread([&] { surface.DisplayBitmap(waveform); }).join();
  ASSERT_TRUE(settle([&] { return isBlue(pixel(200, 50)); }));
  shot = surface.grab().toImage();
  EXPECT_TRUE(isBlue(shot.pixelColor(101, 1)));
  EXPECT_TRUE(isBlue(shot.pixelColor(298, 98)));
  EXPECT_EQ(shot.pixelColor(98, 50), QColor(128, 128, 128));
  EXPECT_EQ(shot.pixelColor(302, 50), QColor(128, 128, 128));

  surface.ClearPicture();
  EXPECT_EQ(pixel(200, 50), QColor(128, 128, 128));
}

}  // namespace
}  // namespace orvo

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Window tests need no display.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The main window writes its settings at first start: into a folder of the tests' own.
  char folder[] = "/tmp/orvo-window-test-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  setenv("ORVO_CONFIG_DIR", folder, 1);
  setenv("HOME", folder, 1);
  QApplication app(argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return result;
}
