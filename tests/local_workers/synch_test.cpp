// "Synch" on real files and trees: the decision table, the time rule, the two passes, conflicts,
// lookups that fail, messages and progress.
#include "lw_test_util.h"

#include "jobs/job_extra.h"
#include "jobs/progress/progress_dlg.h"
#include "tests/support/scripted_progress_view.h"
#include "tests/support/sys_seams.h"
#include "tests/support/test_env.h"

using namespace lwtest;

namespace {

class Synch : public ::testing::Test {
 protected:
  void SetUp() override {
    kpwtest::TestEnv().hostName = "testhost";
    s_ = dir_ / "s";
    t_ = dir_ / "t";
  }
  void TearDown() override { kpwtest::TestEnv().hostName = kpwtest::kTestHost; }
  int Sync(u32 flags = RUN_DIALOG, const std::string& extra = "", bool subdirs = true, const std::string& plus = "",
           const std::string& minus = "") {
    return run_(RunSynch, s_, t_, flags, plus, minus, subdirs, extra);
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const Box& b : run_.Boxes()) out.push_back(b.text);
    return out;
  }
  Scratch dir_;
  WorkerRun run_;
  std::string s_, t_;
};

using Files = std::map<std::string, std::string>;

// ---- the decision table ------------------------------------------------------------------------

TEST_F(Synch, BothMissing) {
  EXPECT_EQ(run_(RunSynch, "", t_), JOB_FAILED);  // empty cells fail without a word
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Das Verzeichnis:\n" + s_ + "\nkann nicht mit dem Verzeichnis:\n" + t_ +
                                              "\nsynchronisiert werden."});
  EXPECT_EQ(run_.Boxes()[0].type, 0x10u);
  EXPECT_EQ(Sync(RUN_DIALOG, "*"), JOB_DONE);
  EXPECT_EQ(Sync(RUN_DIALOG, "*[testhost];*"), JOB_DONE);
  // A host restriction alone is no "*".
  EXPECT_EQ(Sync(RUN_DIALOG, "*[testhost]"), JOB_FAILED);
  EXPECT_EQ(run_.Boxes().size(), 2u);
  // Another computer's row does nothing.
  EXPECT_EQ(Sync(RUN_DIALOG, "*[otherhost]"), JOB_DONE);
  run_.Answer(IDCANCEL);
  EXPECT_EQ(Sync(), JOB_STOP_ALL);
  EXPECT_TRUE(run_.state.IsCancelled());
  EXPECT_FALSE(Exists(s_));
  EXPECT_FALSE(Exists(t_));
}

TEST_F(Synch, AMissingFileSideIsCopied) {
  WriteAt(t_, "vom ziel", kT);
  EXPECT_EQ(Sync(RUN_DIALOG, "*"), JOB_DONE);  // "*" is only for folders
  EXPECT_EQ(Read(s_), "vom ziel");
  EXPECT_EQ(MTime(s_), kT);
  ASSERT_EQ(::unlink(t_.c_str()), 0);
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(Read(t_), "vom ziel");
  EXPECT_EQ(run_.Copied(), 2u);
}

TEST_F(Synch, AMissingFolderSideIsCreatedAndFilled) {
  WriteAt(t_ + "/a/x", "x", kT);
  EXPECT_EQ(Sync(RUN_DIALOG, "*"), JOB_DONE);
  EXPECT_FALSE(Exists(s_));
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(Tree(s_), (Files{{"a/x", "x"}}));
  fs::remove_all(t_);
  EXPECT_EQ(Sync(RUN_DIALOG, "*"), JOB_DONE);
  EXPECT_FALSE(Exists(t_));
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(Tree(t_), (Files{{"a/x", "x"}}));
  EXPECT_TRUE(run_.Boxes().empty());
}

TEST_F(Synch, AFolderThatCannotBeCreated) {
  Write(dir_ / "file", "f");
  s_ = dir_ / "file/s";
  Write(t_ + "/x", "x");
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Das Verzeichnis:\n" + s_ + "\nkonnte nicht erzeugt werden !"});
}

TEST_F(Synch, FileAgainstFolder) {
  Write(s_, "datei");
  Write(t_ + "/x", "x");
  EXPECT_EQ(Sync(), JOB_FAILED);
  std::swap(s_, t_);
  EXPECT_EQ(Sync(), JOB_FAILED);
  const auto texts = Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Die Datei:\n" + t_ + "\nkann nicht mit dem Verzeichnis:\n" + s_ + "\nsynchronisiert werden.");
  EXPECT_EQ(texts[1], "Das Verzeichnis:\n" + s_ + "\nkann nicht mit der Datei:\n" + t_ + "\nsynchronisiert werden.");
  EXPECT_EQ(Read(t_), "datei");
  EXPECT_EQ(Tree(s_), (Files{{"x", "x"}}));
  // Without questions the same rows fail silently.
  EXPECT_EQ(Sync(0), JOB_FAILED);
  EXPECT_EQ(run_.Boxes().size(), 2u);
}

// ---- two files ------------------------------------------------------------------------------

TEST_F(Synch, TimeRuleForTwoFiles) {
  struct Case {
    i64 d;  // target time minus source time
    bool copies;
  };
  for (const Case c : {Case{0, false}, Case{1, false}, Case{-1, false}, Case{2, true}, Case{-2, true},
                       Case{3598, true}, Case{3599, false}, Case{3600, false}, Case{3601, false}, Case{3602, true},
                       Case{-3598, true}, Case{-3600, false}, Case{-3602, true}}) {
    WriteAt(s_, "quelle", kT);
    WriteAt(t_, "ziel", kT + c.d);
    EXPECT_EQ(Sync(), JOB_DONE) << c.d;
    if (!c.copies) {
      EXPECT_EQ(Read(s_), "quelle") << c.d;
      EXPECT_EQ(Read(t_), "ziel") << c.d;
    } else if (c.d > 0) {
      EXPECT_EQ(Read(s_), "ziel") << c.d;  // the later target wins
      EXPECT_EQ(MTime(s_), kT + c.d);
    } else {
      EXPECT_EQ(Read(t_), "quelle") << c.d;
    }
  }
}

TEST_F(Synch, NeverOverwriteAndReadOnlySidesForTwoFiles) {
  WriteAt(s_, "neu", kT + 100);
  WriteAt(t_, "alt", kT);
  EXPECT_EQ(Sync(RUN_DIALOG | RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(Read(t_), "alt");
  ASSERT_EQ(::chmod(t_.c_str(), 0444), 0);
  EXPECT_EQ(Sync(RUN_DIALOG | RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_EQ(Read(t_), "alt");
  EXPECT_EQ(run_.Copied(), 0u);
  // Without 0x20 a read-only older side is replaced, and the copy carries the source's mode.
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(Read(t_), "neu");
  EXPECT_EQ(Mode(t_), Mode(s_));
}

TEST_F(Synch, AFileThatCannotBeExaminedIsNotTakenAsMissing) {
  // Behind a link loop a name cannot be looked up; that is no "missing" file.
  WriteAt(s_, "quelle", kT);
  const std::string loop = dir_ / "loop";
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  t_ = loop + "/t";
  EXPECT_EQ(Sync(), JOB_FAILED);
  ASSERT_EQ(run_.Boxes().size(), 1u);
  EXPECT_EQ(run_.Boxes()[0].text.rfind("Fehler beim Lesen von:\n" + t_, 0), 0u) << run_.Boxes()[0].text;
  EXPECT_EQ(run_.Boxes()[0].type, 0x10u);
  EXPECT_EQ(run_.Copied(), 0u);
  std::swap(s_, t_);
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_EQ(Read(t_), "quelle");
}

TEST_F(Synch, AFailedSingleCopyIsReported) {
  WriteAt(s_, "neu", kT + 100);
  WriteAt(t_, "alt", kT);
  ASSERT_EQ(::chmod(s_.c_str(), 0), 0);
  const int status = InChild([&] {
    if (::chmod(dir_.path().c_str(), 0777) != 0 || !BecomeNobody()) return 77;
    WorkerRun run;
    run.Answer(IDCANCEL);
    const int rc = run(RunSynch, s_, t_);
    const auto boxes = run.Boxes();
    if (boxes.size() != 1 || boxes[0].text != "Fehler beim kopieren von:\n" + s_ + "\nnach:\n" + t_) return 1;
    return rc == JOB_STOP_ALL && run.state.IsCancelled() ? 0 : 2;
  });
  if (status == 77) GTEST_SKIP() << "cannot run as nobody";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Read(t_), "alt");
}

// ---- two trees ------------------------------------------------------------------------------

TEST_F(Synch, TwoPassesNewerWinsNothingIsDeleted) {
  WriteAt(s_ + "/same", "s", kT);
  WriteAt(t_ + "/same", "t", kT + 1);
  WriteAt(s_ + "/newer-on-source", "s", kT + 50);
  WriteAt(t_ + "/newer-on-source", "t", kT);
  WriteAt(s_ + "/sub/newer-on-target", "s", kT);
  WriteAt(t_ + "/sub/newer-on-target", "t", kT + 50);
  WriteAt(s_ + "/only-source", "s", kT);
  WriteAt(t_ + "/deep/er/only-target", "t", kT);
  fs::create_directories(s_ + "/empty-folder");
  EXPECT_EQ(Sync(), JOB_DONE);
  const Files expectS{{"same", "s"},
                      {"newer-on-source", "s"},
                      {"sub/newer-on-target", "t"},
                      {"only-source", "s"},
                      {"deep/er/only-target", "t"}};
  Files expectT = expectS;
  expectT["same"] = "t";
  EXPECT_EQ(Tree(s_), expectS);
  EXPECT_EQ(Tree(t_), expectT);
  EXPECT_EQ(MTime(t_ + "/newer-on-source"), kT + 50);
  EXPECT_EQ(MTime(s_ + "/sub/newer-on-target"), kT + 50);
  EXPECT_FALSE(Exists(t_ + "/empty-folder"));  // folders come only as parents of files
  EXPECT_EQ(run_.Copied(), 4u);
  // A file deleted on one side comes back.
  ASSERT_EQ(::unlink((s_ + "/only-source").c_str()), 0);
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(Read(s_ + "/only-source"), "s");
  EXPECT_EQ(run_.Copied(), 5u);
  EXPECT_TRUE(run_.Boxes().empty());
}

TEST_F(Synch, ReadOnlyOtherSidesAndNeverOverwriteInTrees) {
  WriteAt(s_ + "/f", "neu", kT + 10);
  WriteAt(t_ + "/f", "alt", kT);
  ASSERT_EQ(::chmod((t_ + "/f").c_str(), 0444), 0);
  EXPECT_EQ(Sync(RUN_DIALOG | RUN_KEEP_READONLY), JOB_DONE);
  EXPECT_EQ(Read(t_ + "/f"), "alt");
  // "Never overwrite" is for two single files only.
  EXPECT_EQ(Sync(RUN_DIALOG | RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(Read(t_ + "/f"), "neu");
}

TEST_F(Synch, TopLevelOnlyAndFilters) {
  WriteAt(s_ + "/a.txt", "a", kT);
  WriteAt(s_ + "/b.log", "b", kT);
  WriteAt(s_ + "/sub/c.txt", "c", kT);
  WriteAt(t_ + "/d.txt", "d", kT);
  WriteAt(t_ + "/e.txt", "e", kT);
  WriteAt(t_ + "/sub2/f.txt", "f", kT);
  EXPECT_EQ(Sync(RUN_DIALOG, "", false, "*.txt", "e.txt"), JOB_DONE);
  EXPECT_EQ(Tree(t_), (Files{{"a.txt", "a"}, {"d.txt", "d"}, {"e.txt", "e"}, {"sub2/f.txt", "f"}}));
  EXPECT_EQ(Tree(s_), (Files{{"a.txt", "a"}, {"b.log", "b"}, {"d.txt", "d"}, {"sub/c.txt", "c"}}));
}

TEST_F(Synch, AFileAgainstAFolderOfItsNameChangesNothing) {
  WriteAt(s_ + "/x", "datei", kT + 100);
  WriteAt(t_ + "/x/inner", "i", kT);
  WriteAt(s_ + "/ok", "ok", kT);
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_EQ(Tree(s_), (Files{{"x", "datei"}, {"ok", "ok"}}));
  EXPECT_EQ(Tree(t_), (Files{{"x/inner", "i"}, {"ok", "ok"}}));
  const auto texts = Texts();
  ASSERT_GE(texts.size(), 1u);
  EXPECT_EQ(texts[0], "Fehler beim Kopieren von:\n\n" + s_ + "/x\nnach:\n" + t_ + "/x");
  EXPECT_EQ(run_.Boxes()[0].type, 0x11u);
}

TEST_F(Synch, AFailedCopyGoesOnWithOkAndStopsWithCancel) {
  WriteAt(s_ + "/a/f", "a", kT);  // "a" is a file on the target: fails in both passes
  WriteAt(t_ + "/a", "file", kT);
  WriteAt(s_ + "/b", "b", kT);
  WriteAt(t_ + "/c", "c", kT);
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_EQ(Read(t_ + "/b"), "b");
  EXPECT_EQ(Read(s_ + "/c"), "c");
  EXPECT_EQ(Read(t_ + "/a"), "file");
  EXPECT_EQ(Tree(s_), (Files{{"a/f", "a"}, {"b", "b"}, {"c", "c"}}));
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Fehler beim Kopieren von:\n\n" + s_ + "/a/f\nnach:\n" + t_ + "/a/f",
                                               "Fehler beim Kopieren von:\n\n" + t_ + "/a\nnach:\n" + s_ + "/a"}));

  // Cancel at the first failure: the top files of the pass came first, the second pass never runs.
  ASSERT_EQ(::unlink((t_ + "/b").c_str()), 0);
  ASSERT_EQ(::unlink((s_ + "/c").c_str()), 0);
  run_.Answer(IDCANCEL);
  EXPECT_EQ(Sync(), JOB_STOP_ALL);
  EXPECT_TRUE(run_.state.IsCancelled());
  EXPECT_EQ(Read(t_ + "/b"), "b");
  EXPECT_FALSE(Exists(s_ + "/c"));
  EXPECT_EQ(run_.Boxes().size(), 3u);
}

TEST_F(Synch, AnOtherSideThatCannotBeExaminedIsNeverWritten) {
  WriteAt(s_ + "/sub/f", "neu", kT + 100);
  WriteAt(s_ + "/fine", "fine", kT);
  fs::create_directories(t_);
  ASSERT_EQ(::symlink((t_ + "/sub").c_str(), (t_ + "/sub").c_str()), 0);
  EXPECT_EQ(Sync(), JOB_FAILED);
  struct stat st {};
  ASSERT_EQ(::lstat((t_ + "/sub").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Read(t_ + "/fine"), "fine");
  EXPECT_EQ(Tree(s_), (Files{{"sub/f", "neu"}, {"fine", "fine"}}));
  ASSERT_FALSE(run_.Boxes().empty());
  EXPECT_EQ(run_.Boxes()[0].text.rfind("Fehler beim Lesen von:\n" + t_ + "/sub/f", 0), 0u) << run_.Boxes()[0].text;
  EXPECT_EQ(run_.Boxes()[0].type, 0x11u);
}

TEST_F(Synch, AFolderNobodyMayEnterIsNotTakenAsMissing) {
  WriteAt(s_ + "/locked/f", "neu", kT + 100);
  WriteAt(t_ + "/locked/f", "alt", kT);
  WriteAt(s_ + "/open", "o", kT);
  for (const std::string& p : {dir_.path(), s_, t_, s_ + "/locked"}) ::chmod(p.c_str(), 0777);
  ::chmod((s_ + "/locked/f").c_str(), 0666);
  ::chmod((t_ + "/locked").c_str(), 0);
  const int status = InChild([&] {
    if (!BecomeNobody()) return 77;
    WorkerRun run;
    const int rc = run(RunSynch, s_, t_);
    const auto boxes = run.Boxes();
    if (boxes.empty() || boxes[0].text.rfind("Fehler beim Lesen von:\n" + t_ + "/locked/f", 0) != 0) return 1;
    return rc == JOB_FAILED ? 0 : 2;
  });
  if (status == 77) GTEST_SKIP() << "cannot run as nobody";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Read(t_ + "/locked/f"), "alt");
  EXPECT_EQ(Read(t_ + "/open"), "o");
}

TEST_F(Synch, AListingThatIsNotWholeFailsTheRow) {
  WriteAt(s_ + "/x", "x", kT);
  WriteAt(t_ + "/hidden/y", "y", kT);
  static std::string hidden;
  hidden = t_ + "/hidden";
  SysTestSetDirFault([](const char* folder) { return hidden == folder; });
  const int rc = Sync();
  SysTestSetDirFault(nullptr);
  EXPECT_EQ(rc, JOB_FAILED);
  EXPECT_EQ(Read(t_ + "/x"), "x");
  EXPECT_EQ(Texts(), std::vector<std::string>{"Es gab einen Fehler beim Lesen von:\n\n" + t_});
}

TEST_F(Synch, NestedFoldersAreRefused) {
  WriteAt(s_ + "/x", "x", kT);
  for (const std::string& inner : {s_ + "/inner", s_ + "/missing/inner", s_, s_ + "/./"}) {
    t_ = inner;
    EXPECT_EQ(Sync(), JOB_FAILED) << inner;
  }
  t_ = dir_.path();  // the source inside the target
  EXPECT_EQ(Sync(), JOB_FAILED);
  // Through a link, too.
  ASSERT_EQ(::symlink(s_.c_str(), (dir_ / "link").c_str()), 0);
  t_ = dir_ / "link/sub";
  EXPECT_EQ(Sync(), JOB_FAILED);
  EXPECT_EQ(Tree(s_), (Files{{"x", "x"}}));
  EXPECT_FALSE(Exists(s_ + "/inner"));
  EXPECT_FALSE(Exists(s_ + "/missing"));
  const auto texts = Texts();
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[0], "Das Verzeichnis:\n" + s_ + "\nkann nicht mit dem Verzeichnis:\n" + s_ +
                          "/inner\nsynchronisiert werden, da eines im anderen liegt.");
  // A neighbour whose name only begins alike is no nesting.
  t_ = s_ + "2";
  EXPECT_EQ(Sync(), JOB_DONE);
  EXPECT_EQ(Read(t_ + "/x"), "x");
}

TEST_F(Synch, MessagesHoldAtMost1283Characters) {
  const std::string a(240, 'a'), b(240, 'b');
  s_ = dir_ / (a + "/" + a + "/" + a);
  t_ = dir_ / (b + "/" + b + "/" + b);
  EXPECT_EQ(Sync(), JOB_FAILED);
  ASSERT_EQ(run_.Boxes().size(), 1u);
  EXPECT_EQ(run_.Boxes()[0].text.size(), 1283u);
}

// ---- with a progress dialog -----------------------------------------------------------------

TEST_F(Synch, ProgressAndQuestionsGoThroughTheDialog) {
  WriteAt(s_ + "/a", std::string(5000, 'a'), kT);
  WriteAt(t_ + "/b", std::string(3000, 'b'), kT);
  WriteAt(s_ + "/c/d", "d", kT);  // fails: "c" is a file on the target
  WriteAt(t_ + "/c", "c", kT);
  ScriptedProgressView view;
  view.QueueAnswer(IDOK);
  CProgressDlg dlg;
  int rc = 99;
  dlg.SetWorker([&](CProgressDlg& d) {
    CRunState::ScopedActiveDialog active(run_.state, &d);
    rc = Sync();
    return rc;
  });
  dlg.DoModal(view);
  EXPECT_EQ(rc, JOB_FAILED);
  EXPECT_EQ(Read(t_ + "/a"), std::string(5000, 'a'));
  EXPECT_EQ(Read(s_ + "/b"), std::string(3000, 'b'));
  const auto boxes = view.CallsOf("Box");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "Fehler beim Kopieren von:\n\n" + s_ + "/c/d\nnach:\n" + t_ + "/c/d");
  EXPECT_EQ(boxes[1].text, "Fehler beim Kopieren von:\n\n" + t_ + "/c\nnach:\n" + s_ + "/c");
  EXPECT_TRUE(run_.Boxes().empty());  // the run's own box is not used while a dialog is active
  constexpr int kTotal = 5000 + 3000 + 1 + 1;
  EXPECT_EQ(dlg.GetRange(), kTotal + kTotal / 256);
}

TEST_F(Synch, ACancelledDialogStopsTheRun) {
  WriteAt(s_ + "/a", "a", kT);
  WriteAt(s_ + "/b", "b", kT);
  fs::create_directories(t_);
  ScriptedProgressView view;
  CProgressDlg dlg;
  int rc = 99;
  dlg.SetWorker([&](CProgressDlg& d) {
    CRunState::ScopedActiveDialog active(run_.state, &d);
    d.Finish();
    rc = Sync();
    return rc;
  });
  dlg.DoModal(view);
  EXPECT_EQ(rc, JOB_DONE);
  EXPECT_TRUE(run_.state.IsCancelled());
  EXPECT_TRUE(Tree(t_).empty());
}

}  // namespace
