// "Synch" on real files and trees: the decision table, the time rule, the two passes, conflicts,
// lookups and listings that fail, nested folders, and a cancelled progress dialog.
#include "jobs/progress/progress_dlg.h"
#include "jobs/workers/local_workers.h"
#include "tests/support/run_rig.h"
#include "tests/support/scripted_progress_view.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace kpwtest;

std::string g_unreadable;  // the folder the listing may not open

class Synch : public ::testing::Test {
 protected:
  void TearDown() override { SysTestSetDirFault(nullptr); }
  int Sync(u32 flags = RUN_DIALOG, const std::string& extra = "", int subdirs = 1,
           const std::string& plus = "", const std::string& minus = "") {
    return run.Call(RunSynch, s, t, flags, plus, minus, subdirs, extra);
  }
  int Between(const std::string& a, const std::string& b, u32 flags = RUN_DIALOG) {
    return run.Call(RunSynch, a, b, flags);
  }
  TempDir dir;
  std::string s = dir / "s", t = dir / "t";
  RunRig run;
  const ScopedTestEnv env;
};

TEST_F(Synch, NamesThatAreMissingOrOfDifferentKinds) {
  TestEnv().hostName = "testhost";
  EXPECT_EQ(Between("", t), JOB_FAILED);  // empty cells fail without a word
  // Both missing: refused, unless "*" wants existing folders; another computer's row does nothing.
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_EQ(Sync(RUN_DIALOG, "*[testhost];*"), JOB_DONE);
  EXPECT_EQ(Sync(RUN_DIALOG, "*[testhost]"), JOB_FAILED);  // a host alone is no "*"
  EXPECT_EQ(Sync(RUN_DIALOG, "*[otherhost]"), JOB_DONE);
  EXPECT_EQ(run.boxes.at(0).type, 0x10u);
  EXPECT_EQ(run.boxes.at(0).text, "Das Verzeichnis:\n" + s + "\nkann nicht mit dem Verzeichnis:\n" + t +
                                      "\nsynchronisiert werden.");
  EXPECT_EQ(run.boxes.size(), 2u);
  run.boxes.clear();
  // A file against a folder, both ways; without questions the row fails silently.
  Put(s, "datei");
  Put(t + "/x", "x");
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_EQ(Between(t, s), JOB_FAILED);
  EXPECT_EQ(Sync(0), JOB_FAILED);
  EXPECT_EQ(run.TakeBoxes(), "Die Datei:\n" + s + "\nkann nicht mit dem Verzeichnis:\n" + t +
                                 "\nsynchronisiert werden.\nDas Verzeichnis:\n" + t +
                                 "\nkann nicht mit der Datei:\n" + s + "\nsynchronisiert werden.\n");
  // A folder that cannot be made, and a file that cannot be copied.
  EXPECT_EQ(Between(s + "/sub", t), JOB_FAILED);
  EXPECT_EQ(Between(t + "/x", s + "/y"), JOB_FAILED);
  EXPECT_EQ(run.TakeBoxes(), "Das Verzeichnis:\n" + s +
                                 "/sub\nkonnte nicht erzeugt werden !\nFehler beim kopieren von:\n" + t +
                                 "/x\nnach:\n" + s + "/y\n");
}

TEST_F(Synch, AMissingFolderIsMadeUnlessTheSignWantsIt) {
  Put(t + "/a/x", "x");
  EXPECT_EQ(Sync(RUN_DIALOG, "*"), JOB_DONE);
  EXPECT_FALSE(Exists(s));
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(Listing(s), "a/ a/x");
}

TEST_F(Synch, TheLaterFileWinsOutsideTheTimeWindowAndTheFlags) {
  const struct {
    i64 d;  // target time minus source time
    bool copies;
  } cases[] = {{0, false},    {1, false},     {-1, false},   {2, true},     {-2, true},
               {3598, true},  {3599, false},  {3600, false}, {3601, false}, {3602, true},
               {-3598, true}, {-3600, false}, {-3602, true}};
  for (const auto& c : cases) {
    Put(s, "quelle", kT);
    Put(t, "ziel", kT + c.d);
    EXPECT_EQ(Sync(), JOB_DONE) << c.d;
    const std::string expected = !c.copies ? "quelleziel" : c.d > 0 ? "zielziel" : "quellequelle";
    EXPECT_EQ(ReadFile(s) + ReadFile(t), expected) << c.d;
    EXPECT_EQ(MTime(s), c.copies && c.d > 0 ? kT + c.d : kT) << c.d;
  }
  // 0x08 and 0x20 on a read-only side keep the older file; without them the copy takes the mode.
  Put(s, "neu", kT + 100);
  Put(t, "alt", kT);
  EXPECT_EQ(Sync(RUN_DIALOG | RUN_NO_OVERWRITE), JOB_DONE);
  ASSERT_EQ(::chmod(t.c_str(), 0444), 0);
  EXPECT_EQ(Sync(RUN_DIALOG | RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_EQ(ReadFile(t), "alt");
  ASSERT_EQ(::chmod(s.c_str(), 0444), 0);
  EXPECT_EQ(Between(t, s, RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_EQ(ReadFile(t), "alt");
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(ReadFile(t), "neu");
  EXPECT_EQ(fs::status(t).permissions(), fs::status(s).permissions());
}

// Both trees hold newer files: each side gets the other's, with its time, and an older file is
// never copied over a newer one, in either pass.
TEST_F(Synch, TwoTreesWithNewerFilesOnBothSidesMeetInTheNewest) {
  Put(s + "/a", "a neu", kT + 100);
  Put(t + "/a", "a alt", kT);
  Put(s + "/b", "b alt", kT);
  Put(t + "/b", "b neu", kT + 300);
  Put(s + "/sub/c", "c neu", kT + 7200);
  Put(t + "/sub/c", "c alt", kT);
  Put(s + "/sub/d", "d alt", kT);
  Put(t + "/sub/d", "d neu", kT + 60);
  Put(s + "/nur-s", "s", kT);
  Put(t + "/sub/nur-t", "t", kT);
  Put(s + "/gleich", "gleich s", kT);  // one time on both sides: left alone
  Put(t + "/gleich", "gleich t", kT + 1);
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(run.Copied(), 6u);
  EXPECT_EQ(Contents(s), "a=a neu b=b neu gleich=gleich s nur-s=s sub/c=c neu sub/d=d neu sub/nur-t=t");
  EXPECT_EQ(Contents(t), "a=a neu b=b neu gleich=gleich t nur-s=s sub/c=c neu sub/d=d neu sub/nur-t=t");
  for (const std::string& side : {s, t}) {
    EXPECT_EQ(MTime(side + "/a"), kT + 100);
    EXPECT_EQ(MTime(side + "/b"), kT + 300);
    EXPECT_EQ(MTime(side + "/sub/c"), kT + 7200);
    EXPECT_EQ(MTime(side + "/sub/d"), kT + 60);
  }
  // The same trees again: nothing to copy.
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(run.Copied(), 6u);
}

TEST_F(Synch, ANameThatCannotBeExaminedIsNotTakenAsMissing) {
  // Behind a link loop a name cannot be looked up; nothing is copied over it or from it.
  Put(s, "quelle", kT);
  const std::string loop = dir / "loop";
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  EXPECT_EQ(Between(s, loop + "/t"), JOB_FAILED);
  EXPECT_EQ(Between(loop + "/t", s), JOB_FAILED);
  EXPECT_EQ(run.boxes.at(0).type, 0x10u);
  EXPECT_EQ(run.boxes.at(0).text.rfind("Fehler beim Lesen von:\n" + loop + "/t", 0), 0u);
  EXPECT_EQ(run.Copied(), 0u);
  // The same inside trees: the other side's name is never written.
  fs::remove(s);
  Put(s + "/sub/f", "neu", kT + 100);
  Put(s + "/fine", "fine", kT);
  fs::create_directories(t);
  ASSERT_EQ(::symlink((t + "/sub").c_str(), (t + "/sub").c_str()), 0);
  run.boxes.clear();
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_TRUE(fs::is_symlink(t + "/sub"));
  EXPECT_EQ(ReadFile(t + "/fine"), "fine");
  EXPECT_EQ(run.boxes.at(0).type, 0x11u);
  EXPECT_EQ(run.boxes.at(0).text.rfind("Fehler beim Lesen von:\n" + t + "/sub/f", 0), 0u) << run.boxes.at(0).text;
}

// Cancel at the first failed copy: the second pass never runs.
TEST_F(Synch, AFailedCopyStopsWithCancel) {
  Put(s + "/a/f", "a");  // "a" is a file on the target
  Put(t + "/a", "file");
  Put(t + "/c", "c");
  run.answers = {IDCANCEL};
  EXPECT_EQ(Sync(), JOB_STOP_ALL);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_FALSE(Exists(s + "/c"));
}

TEST_F(Synch, ListingsThatAreNotWholeNestedFoldersAndLongMessages) {
  Put(s + "/x", "x");
  Put(t + "/hidden/y", "y");
  g_unreadable = t + "/hidden";
  SysTestSetDirFault([](const char* folder) { return g_unreadable == folder; });
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_EQ(ReadFile(t + "/x"), "x");
  EXPECT_EQ(run.TakeBoxes(), "Es gab einen Fehler beim Lesen von:\n\n" + t + "\n");
  // Nested or identical folders, also through a link, are refused before anything is made.
  ASSERT_EQ(::symlink(s.c_str(), (dir / "link").c_str()), 0);
  for (const std::string& other :
       {s + "/inner", s + "/missing/inner", s, s + "/./", dir.path(), dir / "link/sub"})
    EXPECT_EQ(Between(s, other), JOB_FAILED) << other;
  EXPECT_EQ(Listing(s), "x");
  EXPECT_EQ(run.boxes.size(), 6u);
  EXPECT_EQ(run.boxes[0].text, "Das Verzeichnis:\n" + s + "\nkann nicht mit dem Verzeichnis:\n" + s +
                                   "/inner\nsynchronisiert werden, da eines im anderen liegt.");
  // A neighbour whose name only begins alike is no nesting.
  EXPECT_EQ(Between(s, s + "2"), JOB_DONE);
  EXPECT_EQ(ReadFile(s + "2/x"), "x");
  // A message holds at most 1283 characters.
  const std::string a(240, 'a'), b(240, 'b');
  run.boxes.clear();
  EXPECT_EQ(Between(dir / (a + "/" + a + "/" + a), dir / (b + "/" + b + "/" + b)), JOB_FAILED);
  EXPECT_EQ(run.boxes.at(0).text.size(), 1283u);
}

// A dialog closed before the first file stops the run: nothing is copied.
TEST_F(Synch, ACancelledDialogStopsTheRun) {
  Put(s + "/a", "a");
  fs::create_directories(t);
  ScriptedProgressView view;
  CProgressDlg dlg;
  dlg.SetWorker([&](CProgressDlg& d) {
    CRunState::ScopedActiveDialog active(run.state, &d);
    d.Finish();
    return Sync();
  });
  dlg.DoModal(view);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_EQ(Listing(t), "");
}

}  // namespace
