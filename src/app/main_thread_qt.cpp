#include "app/main_thread_qt.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "platform/main_thread.h"

namespace orvo {

void InstallMainThreadQueueInEventLoop() {
  SetMainThread();
  SetMainThreadWakeUp([] {
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] { ProcessPendingCalls(); },
                              Qt::QueuedConnection);
  });
}

}  // namespace orvo
