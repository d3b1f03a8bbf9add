// Document: opening and saving job files, variables, failed reads and writes, their German texts.
#include "app/kopiwart_doc.h"

#include "app/headless_host.h"
#include "app/kopiwart_view.h"
#include "lib/system/vars.h"
#include "tests/support/editor_child.h"
#include "tests/support/files.h"
#include "tests/support/recording_workers.h"
#include "tests/support/replace_fault.h"
#include "tests/support/scripted_host.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

using kpwtest::ReadFile;

class DocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    doc.SetView(&view);
    VarSet("KPW_PATH", nullptr, 0);
    VarSet("KPW_FILE", nullptr, 0);
  }

  kpwtest::TempDir dir;
  ScriptedRunHost host;
  CKopiwartView view{host};
  CKopiwartDoc doc{host};
};

TEST_F(DocTest, OpenSetsVariablesAndAFailedOpenLeavesListScheduleAndVariables) {
  const std::string path = dir / "crlf.kpw";
  fs::copy_file(std::string(KPW_TEST_DATA) + "/crlf.kpw", path);
  ASSERT_TRUE(doc.OnOpenDocument(path));
  EXPECT_EQ(VarGet("KPW_PATH").value_or("-"), dir.path());  // no trailing separator
  EXPECT_EQ(VarGet("KPW_FILE").value_or("-"), path);
  EXPECT_EQ(doc.GetPathName(), path);
  EXPECT_EQ(view.GetInfo(0), 3);
  EXPECT_FALSE(doc.IsModified());
  view.SetCell("/edited", 0, JOB_COL_TARGET);
  view.SetModified(1);
  const auto before = view.GetAllEntries();
  EXPECT_FALSE(doc.OnOpenDocument(dir / "missing.kpw"));
  EXPECT_FALSE(doc.OnOpenDocument(dir.path()));  // a folder
  EXPECT_EQ(view.GetAllEntries(), before);
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0x8002, 3, 0x6553F100}));
  EXPECT_TRUE(doc.IsModified());
  EXPECT_EQ(VarGet("KPW_FILE").value_or("-"), path);
  EXPECT_EQ(VarGet("KPW_PATH").value_or("-"), dir.path());
  ASSERT_EQ(host.Errors().size(), 2u);
  EXPECT_EQ(host.Errors()[0], "Fehler: " + JobFileOpenErrorText(dir / "missing.kpw", 2));
}

TEST_F(DocTest, AFileThatIsNoJobFileIsRefusedAndLeavesTheListAsItWas) {
  const std::string path = dir / "jobs.kpw";
  kpwtest::WriteFile(path, "[EINTRAG]\r\n\tQ:/a\r\n\tZ:/b\r\n/ZEITPLAN=0x0,1\r\n");
  ASSERT_TRUE(doc.OnOpenDocument(path));
  const auto before = view.GetAllEntries();
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 7919 + 13) % 256);
  const std::string random = dir / "zufall.bin";
  const std::string text = dir / "notiz.txt";
  kpwtest::WriteFile(random, noise);
  kpwtest::WriteFile(text, "Einkaufsliste\nMilch, Brot\n");
  for (const std::string& bad : {random, text}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(doc.OnOpenDocument(bad));
    EXPECT_EQ(host.Errors().back(), "Fehler: Die Datei " + bad + " kann nicht geöffnet werden.");
    EXPECT_EQ(view.GetAllEntries(), before);
    EXPECT_EQ(doc.GetPathName(), path);
    EXPECT_EQ(VarGet("KPW_FILE").value_or("-"), path);
  }
  EXPECT_EQ(ReadFile(random), noise);  // nothing was written
  // An empty file is an empty list.
  const std::string empty = dir / "leer.kpw";
  kpwtest::WriteFile(empty, "");
  EXPECT_TRUE(doc.OnOpenDocument(empty));
  EXPECT_EQ(view.GetInfo(0), 0);
}

TEST_F(DocTest, SaveWritesEveryRowAtomicallyKeepsModeAndLinksOrLeavesTheOldFile) {
  view.AddEntry(-1, "/a", "/b", "", "", 0, JOB_MODE_COPY, "");
  view.AddEntry(-1, "/c", "/d", "", "", 1, JOB_MODE_ZIP, "");
  view.OnFilterBar();
  view.List().SetItemText(view.GetFilterBarItem(), "Zip", JOB_COL_MODE);
  view.ApplyFilter(true);
  ASSERT_EQ(view.List().GetRowCount(), 2);  // the first row is hidden, and saved
  view.SetModified(1);
  EXPECT_FALSE(doc.OnSaveDocument(dir / "no/such/folder/x.kpw"));
  EXPECT_FALSE(doc.OnSaveDocument(dir.path()));
  EXPECT_TRUE(doc.IsModified());
  EXPECT_EQ(host.Errors().size(), 2u);
  EXPECT_EQ(VarGet("KPW_FILE"), std::nullopt);
  const std::string path = dir / "out.kpw";
  kpwtest::WriteFile(path, "old");
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(doc.OnSaveDocument(path));
  EXPECT_EQ(ReadFile(path),
            "[EINTRAG]\r\n\tQ:/a\r\n\tZ:/b\r\n[EINTRAG]\r\n\tQ:/c\r\n\tZ:/d\r\n\t/UNTER\r\n\t/ZIP\r\n"
            "/ZEITPLAN=0x0,1\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(doc.IsModified());
  EXPECT_EQ(VarGet("KPW_FILE").value_or("-"), path);
  // Saving through a link replaces the file it points to and keeps the link; nothing is left beside.
  fs::create_symlink(path, dir / "link.kpw");
  view.SetCell("/z", 1, JOB_COL_TARGET);
  ASSERT_TRUE(doc.OnSaveDocument(dir / "link.kpw"));
  EXPECT_TRUE(fs::is_symlink(dir / "link.kpw"));
  EXPECT_NE(ReadFile(path).find("\tZ:/z\r\n"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

// A save is durable when it returns: the new file was flushed before it took the old one's place,
// and the folder after the rename.
TEST_F(DocTest, SaveFlushesTheNewFileAndItsFolderBeforeItReturns) {
  view.AddEntry(-1, "/a", "/b", "", "", 0, JOB_MODE_COPY, "");
  const std::string path = dir / "jobs.kpw";
  kpwtest::WriteFile(path, "old");
  struct Flush {
    SysReplaceStep step;
    ino_t inode;
  };
  std::vector<Flush> flushes;
  {
    const kpwtest::ReplaceFlushWatch watch([&](SysReplaceStep step, int fd) {
      struct stat st {};
      EXPECT_EQ(::fstat(fd, &st), 0);
      flushes.push_back({step, st.st_ino});
    });
    ASSERT_TRUE(doc.OnSaveDocument(path));
  }
  struct stat file {}, folder {};
  ASSERT_EQ(::stat(path.c_str(), &file), 0);
  ASSERT_EQ(::stat(dir.path().c_str(), &folder), 0);
  ASSERT_EQ(flushes.size(), 2u);
  EXPECT_EQ(flushes[0].step, SysReplaceStep::Sync);
  EXPECT_EQ(flushes[0].inode, file.st_ino);  // the file that now has the name
  EXPECT_EQ(flushes[1].step, SysReplaceStep::SyncFolder);
  EXPECT_EQ(flushes[1].inode, folder.st_ino);
  EXPECT_EQ(ReadFile(path), "[EINTRAG]\r\n\tQ:/a\r\n\tZ:/b\r\n/ZEITPLAN=0x0,1\r\n");
}

// Cells longer than the limit survive an open and a save whole, ten megabytes included.
TEST_F(DocTest, OpenAndSaveKeepOverlongCellsWhole) {
  const std::string text = "[EINTRAG]\r\n\tQ:/quelle/" + std::string(2000, 'q') + "\r\n\tZ:$(KPW_PATH)/keep/" +
                           std::string(10'000'000, 'z') + "/sub\r\n\tP:" + std::string(1500, 'p') + "\r\n\tX:" +
                           std::string(1400, 'x') + "\r\n\t/UNTER\r\n\t/COPY_DEL\r\n/ZEITPLAN=0x0,1\r\n";
  const std::string path = dir / "long.kpw";
  kpwtest::WriteFile(path, text);
  ASSERT_TRUE(doc.OnOpenDocument(path));
  EXPECT_EQ(view.GetEntryText(0, JOB_COL_SOURCE).value_or("").size(), 2008u);
  ASSERT_TRUE(doc.OnSaveDocument(dir / "copy.kpw"));
  EXPECT_EQ(ReadFile(dir / "copy.kpw"), text);
}

// A document that lets an editor in a second process save the file while it is being read.
class EditedWhileReadDoc : public CKopiwartDoc {
 public:
  using CKopiwartDoc::CKopiwartDoc;
  int edits = 0;   // how many reads an edit follows
  std::vector<int> attempts;

 protected:
  void AfterJobFileRead(const std::string& path, int attempt) override {
    attempts.push_back(attempt);
    if (attempt > edits) return;
    // Each save adds a row, so that the size tells it even within one tick of the clock.
    std::string text;
    for (int i = 0; i <= attempt; ++i) text += "[EINTRAG]\r\n\tQ:/s" + std::to_string(i) + "\r\n\tZ:/t\r\n";
    EXPECT_TRUE(kpwtest::EditorSave(path, text, kpwtest::EditorStyle::InPlace));
  }
};

TEST_F(DocTest, AFileWrittenWhileItIsReadIsReadAgainThreeTimesAtMost) {
  const std::string path = dir / "jobs.kpw";
  kpwtest::WriteFile(path, "[EINTRAG]\r\n\tQ:/alt\r\n\tZ:/t\r\n");
  EditedWhileReadDoc twice{host};
  twice.SetView(&view);
  twice.edits = 2;
  ASSERT_TRUE(twice.OnOpenDocument(path));
  EXPECT_EQ(twice.attempts, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(view.GetInfo(0), 3);  // what the editor saved last, whole
  EXPECT_EQ(view.GetEntryText(2, JOB_COL_SOURCE).value_or(""), "/s2");

  // Still changing at the third read: the open fails with its text and the list stays.
  EditedWhileReadDoc always{host};
  always.SetView(&view);
  always.edits = 3;
  EXPECT_FALSE(always.OnOpenDocument(path));
  EXPECT_EQ(always.attempts, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(host.Errors(), std::vector<std::string>{"Fehler: " + JobFileOpenErrorText(path, 32)});
  EXPECT_EQ(JobFileOpenErrorText(path, 32),
            "Die Kopiwart-Datei\n" + path + "\nkonnte nicht geöffnet werden (Fehler 32).");
  EXPECT_EQ(view.GetInfo(0), 3);
}

// The German texts of the app, checked here once; other cases compare with these functions.
TEST(AppTexts, JobFileErrorsAndTheHeadlessHostsAnswers) {
  EXPECT_EQ(JobFileOpenErrorText("/a.kpw", 2),
            "Die Kopiwart-Datei\n/a.kpw\nkonnte nicht geöffnet werden (Fehler 2).");
  EXPECT_EQ(JobFileSaveErrorText("/a.kpw", 5),
            "Die Kopiwart-Datei\n/a.kpw\nkonnte nicht gespeichert werden (Fehler 5).");
  // The host of a run without a window never blocks and answers as an unattended run.
  HeadlessRunHost host;
  EXPECT_EQ(host.MessageBox("Test", "", MB_ABORTRETRYIGNORE | MB_ICONHAND), IDIGNORE);
  EXPECT_EQ(host.MessageBox("Test", "", MB_OKCANCEL | MB_ICONHAND), IDOK);
  EXPECT_EQ(host.FileIcon("/x", FileIconKind::Existing), kNoIcon);
  u32 word = 1;
  i32 count = 2;
  EXPECT_FALSE(host.EditSchedule(word, count, 0));
  // Its progress dialog draws nothing and ends with the run.
  RecordingWorkers workers;
  CKopiwartView view{host};
  view.SetEnvironment(kpwtest::TestEnv());
  view.AddEntry(-1, "/s", "/t", "", "", 1, JOB_MODE_COPY, "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(view.RunAll(RUN_DIALOG), JOB_DONE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Es wurden 0 Dateien kopiert!"), std::string::npos);
  EXPECT_EQ(workers.Calls().size(), 1u);
}

}  // namespace
