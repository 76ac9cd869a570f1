#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QThread>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/GlobalUnit.h"
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
