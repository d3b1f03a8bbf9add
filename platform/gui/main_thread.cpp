// Handing calls to the main thread: blocking (sent) and queued (posted).
#include "platform/gui/main_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

bool IsMainThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return !app || QThread::currentThread() == app->thread();
}

void CallOnMainThread(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

void PostToMainThread(std::function<void()> fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}
