// The window's test rig: a main frame with the application on it, a scripted prompter, a watchdog
// and a record of the progress windows shown.
#pragma once

#include "app/gui/gui_frame.h"
#include "app/gui/job_list_wnd.h"
#include "app/gui/progress_wnd.h"
#include "app/kopiwart_app.h"
#include "app/kopiwart_doc.h"
#include "app/kopiwart_view.h"
#include "controls/gui/treelist_ctrl.h"
#include "tests/support/files.h"
#include "tests/support/gui/scripted_prompter.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kpwgui {

// Records the caption of every progress window when it shows and its answer when it hides;
// optionally presses Esc in it once escWhen says so (checked on the main thread while it shows).
class ProgressWatch : public QObject {
 public:
  ProgressWatch() { qApp->installEventFilter(this); }
  ~ProgressWatch() override { qApp->removeEventFilter(this); }
  bool eventFilter(QObject* object, QEvent* event) override {
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
  std::vector<std::string> captions;
  std::function<bool()> escWhen;
  bool escPressed = false;
  bool cancelEnabledAfterEsc = true;
  bool visibleAfterEsc = false;
  int answer = -1;

 private:
  std::unique_ptr<QTimer> poll_;
};

// Ends every loop of the application with status 99 if a case hangs.
class Watchdog {
 public:
  explicit Watchdog(int ms = 60000) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [] {
      ADD_FAILURE() << "watchdog fired";
      QCoreApplication::exit(99);
    });
    timer_.start(ms);
  }

 private:
  QTimer timer_;
};

struct Rig {
  explicit Rig(JobEnvironment env = JobEnvironment::FromSystem()) {
    app.SetEnvironment(std::move(env));
    frame.AttachApp(&app);
  }
  ~Rig() { frame.DetachApp(); }

  bool Init(std::vector<const char*> args) {
    args.insert(args.begin(), "kopiwart");
    return app.InitInstance(static_cast<int>(args.size()), args.data()) != FALSE;
  }
  int RunApp(std::vector<const char*> args) {
    args.insert(args.begin(), "kopiwart");
    return app.Run(static_cast<int>(args.size()), args.data());
  }
  CKopiwartView& View() { return *app.GetView(); }
  CTreeListCtrl& List() { return frame.ViewWindow()->List(); }
  // Shows the window active with the list focused, so that keys reach it as a user's would.
  void Activate() {
    frame.show();
    QApplication::setActiveWindow(&frame);
    List().setFocus();
    Settle();
  }
  void Settle() {
    QCoreApplication::processEvents();
    if (frame.ViewWindow()) List().Sync();
    frame.Router().RunIdleUpdate();
  }
  void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    Settle();
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &frame,
                    static_cast<Qt::Key>(key), mods);
    Settle();
  }

  CMainFrame frame;
  CKopiwartApp app{frame};
};

// A job file row as the writer writes it.
inline std::string JobRow(const std::string& source, const std::string& target, const std::string& mode = "",
                          const std::string& extra = "", bool subdirs = true) {
  std::string row = "[EINTRAG]\r\n\tQ:" + source + "\r\n";
  if (!target.empty()) row += "\tZ:" + target + "\r\n";
  if (!extra.empty()) row += "\tX:" + extra + "\r\n";
  if (subdirs) row += "\t/UNTER\r\n";
  if (!mode.empty()) row += "\t" + mode + "\r\n";
  return row;
}

inline constexpr char kAlways[] = "/ZEITPLAN=0x0,1\r\n";

}  // namespace kpwgui
