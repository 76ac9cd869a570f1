#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QThread>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <thread>

#include "app/GlobalUnit.h"
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
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
