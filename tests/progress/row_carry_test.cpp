// What a row hands to the next: the archive and the connection are released once each, and the
// progress timer on another thread never reads a connection the row let go.
#include "jobs/progress/row_carry.h"

#include "archive/zip_file.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/progress/run_state.h"
#include "tests/support/counting_zip.h"
#include "tests/support/deadline.h"
#include "tests/support/logged_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using kpwtest::ConnectionLog;
using kpwtest::LoggedConnection;
using namespace std::chrono_literals;

TEST(RowCarry, AKeptArchiveIsClosedOnceAndAFailedCloseIsToldOnce) {
  CRowCarry carry;
  auto owned = std::make_unique<kpwtest::CountingZip>();
  kpwtest::CountingZip& zip = *owned;
  carry.SetArchive(std::move(owned));
  EXPECT_EQ(&carry.Archive(), &zip);
  std::vector<std::string> told;
  const auto tell = [&](const std::string& text) { told.push_back(text); };

  EXPECT_EQ(carry.Release(false, tell), 0);  // nothing open: nothing to close
  zip.OpenFake();
  EXPECT_EQ(carry.Release(false, tell), 0);
  EXPECT_EQ(carry.Release(false, tell), 0);
  EXPECT_EQ(zip.closes, 1);
  zip.OpenFake();
  EXPECT_EQ(carry.Release(true, tell), 0);  // a stopped run drops it uncommitted
  EXPECT_EQ(zip.discards, 1);
  EXPECT_EQ(zip.closes, 1);

  zip.closeResult = 1;
  zip.OpenFake();
  EXPECT_EQ(carry.Release(false, tell), -1);
  EXPECT_EQ(carry.Release(false, tell), 0);
  EXPECT_EQ(zip.closes, 2);
  EXPECT_EQ(told, std::vector<std::string>{"Das Archiv konnte nicht geschrieben werden"});
}

TEST(RowCarry, AHeldConnectionIsClosedAndDeletedOnce) {
  ConnectionLog first, second;
  {
    CRowCarry carry;
    EXPECT_EQ(carry.Connection(), nullptr);
    carry.HoldConnection(std::make_unique<LoggedConnection>(first));
    // Another connection in its place: the first one goes.
    carry.HoldConnection(std::make_unique<LoggedConnection>(second));
    EXPECT_EQ(first.closes, 1);
    EXPECT_EQ(first.deletes, 1);
    // Taken back, it is the taker's: the carry neither closes nor reads it.
    std::unique_ptr<CUrlConnection> back = carry.TakeConnection();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(carry.Connection(), nullptr);
    EXPECT_FALSE(carry.ReadConnection([](CUrlConnection&) { ADD_FAILURE(); }));
    EXPECT_EQ(carry.Release(false), 0);
    EXPECT_EQ(second.closes, 0);
    carry.HoldConnection(std::move(back));
    EXPECT_EQ(carry.Release(false), 0);
    EXPECT_EQ(carry.Release(false), 0);
    EXPECT_EQ(second.closes, 1);
    EXPECT_EQ(second.deletes, 1);
    carry.HoldConnection(std::make_unique<LoggedConnection>(first));
  }
  // Still held when the carry went: closed then.
  EXPECT_EQ(first.closes, 2);
  EXPECT_EQ(first.deletes, 2);
  EXPECT_EQ(second.deletes, 1);
}

// The timer reads on the dialog's thread while the row lets its connection go on its own: the read
// that runs ends on a live connection, and none starts after.
TEST(RowCarryTimer, NeverReadsAConnectionTheRowLetGo) {
  CRunState rs;
  ConnectionLog log;
  std::atomic<bool> releasing{false};
  log.done = 40;
  log.duringRead = [&] {
    EXPECT_TRUE(kpwtest::WaitUntil([&] { return releasing.load(); })) << "the row did not let go";
    std::this_thread::sleep_for(20ms);  // room for a release that does not wait
  };
  rs.Carry().HoldConnection(std::make_unique<LoggedConnection>(log));
  ProgressRecord& p = rs.Progress();
  p.kind = PROGRESS_KIND_TRANSFER;
  p.fileSize = 100;
  CProgressDlg dlg;
  std::thread timer([&] { rs.ProgressTimer(dlg); });
  EXPECT_TRUE(kpwtest::WaitUntil([&] { return log.reads > 0; })) << "the timer read nothing";
  releasing = true;
  EXPECT_EQ(rs.Carry().Release(false), 0);
  kpwtest::JoinWithin(timer, "the timer's read");
  EXPECT_FALSE(log.goneWhileRead);
  EXPECT_EQ(log.closes, 1);
  EXPECT_EQ(log.deletes, 1);
  EXPECT_EQ(dlg.GetPos(), 40);

  // Nothing held now: the timer shows the bytes before the file and reads nothing.
  rs.ProgressTimer(dlg);
  EXPECT_EQ(dlg.GetPos(), 0);
  p.kind = PROGRESS_KIND_CONNECTION;
  rs.ProgressTimer(dlg);
  EXPECT_EQ(log.reads, 1);
  EXPECT_EQ(log.readsAfterClose, 0);
}

}  // namespace
