// The status bar's lock-key panes.
#include "app/gui/lock_key_watch.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QWidget>

#ifdef KPW_HAVE_XKB
#include "app/gui/xkb_lock_keys.h"
#endif

CLockKeyWatch::CLockKeyWatch(CStatusPanes& panes, QWidget* window, std::unique_ptr<ILockKeySource> source)
    : panes_(panes), window_(window) {
  timer_.setInterval(kIntervalMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (window_ && window_->isVisible()) Update();
  });
  SetSource(std::move(source));
}

CLockKeyWatch::~CLockKeyWatch() = default;

void CLockKeyWatch::SetSource(std::unique_ptr<ILockKeySource> source) {
  source_ = std::move(source);
  if (source_) {
    QCoreApplication::instance()->installEventFilter(this);
    timer_.start();
  } else {
    QCoreApplication::instance()->removeEventFilter(this);
    timer_.stop();
  }
  Update();
}

void CLockKeyWatch::Update() {
  panes_.SetLockKeys(source_ ? source_->Read() : std::nullopt);
}

bool CLockKeyWatch::eventFilter(QObject* object, QEvent* event) {
  // Once per key: at its window, before it goes on to the widgets.
  if (object->isWindowType() && (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    // The server has changed the state before it sends the key.
    if (key == Qt::Key_CapsLock || key == Qt::Key_NumLock || key == Qt::Key_ScrollLock) Update();
  }
  return QObject::eventFilter(object, event);
}

std::unique_ptr<ILockKeySource> MakeLockKeySource(std::string_view platformName) {
#ifdef KPW_HAVE_XKB
  if (platformName == "xcb") return CXkbLockKeys::Open();
#else
  (void)platformName;
#endif
  return nullptr;
}

std::unique_ptr<ILockKeySource> MakeLockKeySource() {
  return MakeLockKeySource(QGuiApplication::platformName().toStdString());
}
