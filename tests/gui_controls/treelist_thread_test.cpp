// Store changes made by a worker thread reach the widget through the event loop, without a Qt
// thread warning.
#include "controls/gui/treelist_ctrl.h"
#include "tests/support/deadline.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <string>
#include <thread>

namespace {

std::atomic<int> g_warnings{0};

// Counts warnings instead of dying on them, so a thread warning is reported as a failure.
void CountWarnings(QtMsgType type, const QMessageLogContext&, const QString&) {
  if (type != QtDebugMsg && type != QtInfoMsg) ++g_warnings;
}

TEST(TreeListThreads, AWorkersChangesArriveInTheView) {
  CTreeListStore store;
  store.InsertColumn(-1, "Quelle", LVCFMT_LEFT, -1);
  store.InsertColumn(-1, "Ziel", LVCFMT_LEFT, 100);
  CTreeListCtrl ctrl(store);
  ctrl.resize(400, 300);
  ctrl.show();
  g_warnings = 0;
  const QtMessageHandler previous = qInstallMessageHandler(CountWarnings);

  constexpr int kRows = 300;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < kRows; ++i) store.InsertRow(-1, "zeile " + std::to_string(i));
    for (int i = 0; i < kRows; i += 3) store.SetCellText(i, "neu", 1);
    store.SetItemState(store.GetItemOfRow(0), TLIS_HIDDEN, TLIS_HIDDEN);  // one row fewer
    store.SelectFocus(store.GetItemOfRow(5));
    done = true;
  });
  // Watchdog: the main loop is pumped for at most 10 s.
  QElapsedTimer watchdog;
  watchdog.start();
  auto arrived = [&] {
    return done && ctrl.model()->rowCount() == kRows - 1 &&
           ctrl.model()->index(2, 1).data().toString() == "neu";
  };
  while (!arrived() && watchdog.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  kpwtest::JoinWithin(worker, "the writing worker");
  QCoreApplication::processEvents();
  qInstallMessageHandler(previous);

  ASSERT_TRUE(arrived());
  EXPECT_EQ(g_warnings, 0);
  for (int row = 0; row < ctrl.model()->rowCount(); ++row)
    ASSERT_EQ(ctrl.model()->index(row, 0).data().toString().toStdString(), store.GetCellText(row, 0).value());
  EXPECT_EQ(ctrl.currentIndex().row(), 5);  // the worker's focus, in rows counted after the hiding
  EXPECT_TRUE(ctrl.selectionModel()->isRowSelected(5, {}));
}

}  // namespace
