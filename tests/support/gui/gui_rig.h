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
  ProgressWatch();
  ~ProgressWatch() override;
  bool eventFilter(QObject* object, QEvent* event) override;
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
  explicit Watchdog(int ms = 60000);

 private:
  QTimer timer_;
};

struct Rig {
  explicit Rig(JobEnvironment env = JobEnvironment::FromSystem());
  ~Rig();

  bool Init(std::vector<const char*> args);
  int RunApp(std::vector<const char*> args);
  CKopiwartView& View() { return *app.GetView(); }
  CTreeListCtrl& List() { return frame.ViewWindow()->List(); }
  // Shows the window active with the list focused, so that keys reach it as a user's would.
  void Activate();
  void Settle();
  void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier);

  CMainFrame frame;
  CKopiwartApp app{frame};
};

// A job file row as the writer writes it.
std::string JobRow(const std::string& source, const std::string& target, const std::string& mode = "",
                   const std::string& extra = "", bool subdirs = true);

inline constexpr char kAlways[] = "/ZEITPLAN=0x0,1\r\n";

}  // namespace kpwgui
