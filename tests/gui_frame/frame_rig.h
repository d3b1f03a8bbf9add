// What the frame's tests share: a job file of rows that copy one large file, so that a run is
// still busy when a test steps in, and a poll on the main loop for steps to take.
#pragma once

#include "tests/support/gui/fake_tray.h"
#include "tests/support/gui/gui_rig.h"
#include "tests/support/gui/pump.h"

#include <QTimer>

#include <functional>
#include <string>

namespace kpwframe {

using namespace kpwgui;

// rows rows, each copying the folder with one file of 128 MiB into a target of its own.
struct LargeRows {
  explicit LargeRows(int rows = 4, const std::string& name = "jobs")
      : file(dir / (name + ".kpw")), count(rows) {
    kpwtest::WriteFile(src + "/gross.bin", std::string(std::size_t{128} << 20, 'k'));
    std::string text;
    for (int i = 0; i < rows; ++i) text += JobRow(src, Target(i));
    kpwtest::WriteFile(file, text + kAlways);
  }
  std::string Target(int row) const { return dir / ("ziel" + std::to_string(row)); }
  // The run has begun copying: the first row's target folder is there.
  bool Begun() const { return kpwtest::Exists(Target(0)); }
  // The last row did not run.
  bool LastRowLeftOut() const { return !kpwtest::Exists(Target(count - 1) + "/gross.bin"); }

  kpwtest::TempDir dir{"gui-frame"};
  std::string src = dir / "quelle";
  std::string file;
  int count;
};

// Calls step every millisecond from whatever loop runs (the main loop, a dialog's, a menu's).
class Poll {
 public:
  explicit Poll(std::function<void()> step) : step_(std::move(step)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { step_(); });
    timer_.start(1);
  }

 private:
  std::function<void()> step_;
  QTimer timer_;
};

}  // namespace kpwframe
