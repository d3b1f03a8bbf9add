// The window's test rig, shared by the window's test programs that run the whole application.
#include "tests/support/gui/gui_rig.h"

namespace kpwgui {

ProgressWatch::ProgressWatch() { qApp->installEventFilter(this); }

ProgressWatch::~ProgressWatch() { qApp->removeEventFilter(this); }

bool ProgressWatch::eventFilter(QObject* object, QEvent* event) {
  auto* wnd = qobject_cast<CProgressWnd*>(object);
  if (wnd && event->type() == QEvent::Show) {
    captions.push_back(wnd->windowTitle().toStdString());
    if (escWhen) {
      poll_ = std::make_unique<QTimer>();
      QObject::connect(poll_.get(), &QTimer::timeout, [this, wnd] {
        if (escPressed || !escWhen()) return;
        QTest::keyClick(wnd, Qt::Key_Escape);
        escPressed = true;
        cancelEnabledAfterEsc = wnd->CancelButton()->isEnabled();
        visibleAfterEsc = wnd->isVisible();
      });
      poll_->start(1);
    }
  } else if (wnd && event->type() == QEvent::Hide) {
    poll_.reset();
    answer = wnd->result();
  }
  return false;
}

Watchdog::Watchdog(int ms) {
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, [] {
    ADD_FAILURE() << "watchdog fired";
    QCoreApplication::exit(99);
  });
  timer_.start(ms);
}

Rig::Rig(JobEnvironment env) {
  app.SetEnvironment(std::move(env));
  frame.AttachApp(&app);
}

Rig::~Rig() { frame.DetachApp(); }

bool Rig::Init(std::vector<const char*> args) {
  args.insert(args.begin(), "kopiwart");
  return app.InitInstance(static_cast<int>(args.size()), args.data()) != FALSE;
}

int Rig::RunApp(std::vector<const char*> args) {
  args.insert(args.begin(), "kopiwart");
  return app.Run(static_cast<int>(args.size()), args.data());
}

void Rig::Activate() {
  frame.show();
  QApplication::setActiveWindow(&frame);
  List().setFocus();
  Settle();
}

void Rig::Settle() {
  QCoreApplication::processEvents();
  if (frame.ViewWindow()) List().Sync();
  frame.Router().RunIdleUpdate();
}

void Rig::Key(int key, Qt::KeyboardModifiers mods) {
  Settle();
  QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &frame,
                  static_cast<Qt::Key>(key), mods);
  Settle();
}

std::string JobRow(const std::string& source, const std::string& target, const std::string& mode,
                   const std::string& extra, bool subdirs) {
  std::string row = "[EINTRAG]\r\n\tQ:" + source + "\r\n";
  if (!target.empty()) row += "\tZ:" + target + "\r\n";
  if (!extra.empty()) row += "\tX:" + extra + "\r\n";
  if (subdirs) row += "\t/UNTER\r\n";
  if (!mode.empty()) row += "\t" + mode + "\r\n";
  return row;
}

}  // namespace kpwgui
