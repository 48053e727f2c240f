#include "QtMainThread.h"

#include "runtime/MainThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

void BindMainThreadToQt() {
  MarkMainThread();
  SetMainThreadWakeUp([] {
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(app, [] { ProcessMainThreadCalls(); }, Qt::QueuedConnection);
  });
  // User input waits until the main thread is free again, so no handler runs inside another.
  SetMainThreadIdle([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
}
