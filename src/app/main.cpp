#include <QApplication>
#include <QStyleFactory>

#include "app/Previewer.h"
#include "app/WinMain.h"
#include "app/main_thread_qt.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setApplicationName("Orvo SWF Converter");
  orvo::InstallMainThreadQueueInEventLoop();
  orvo::InstallQtPreviewer();

  orvo::TfrmMain window;
  window.show();
  return app.exec();
}
