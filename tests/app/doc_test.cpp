// Document: opening and saving job files, variables, failed reads and writes.
#include "app/kopiwart_doc.h"

#include "app/headless_host.h"
#include "app/kopiwart_view.h"
#include "lib/system/vars.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

using kpwtest::ReadFile;
using kpwtest::WriteFile;

std::string Data(const std::string& name) {
  return std::string(KPW_TEST_DATA) + "/" + name;
}

class DocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    doc.SetView(&view);
    VarSet("KPW_PATH", nullptr, 0);
    VarSet("KPW_FILE", nullptr, 0);
  }
  // The job file of the test data copied into the test's folder and opened.
  std::string Open(const std::string& name) {
    fs::copy_file(Data(name), dir / name);
    EXPECT_TRUE(doc.OnOpenDocument(dir / name));
    return dir / name;
  }

  kpwtest::TempDir dir;
  ScriptedRunHost host;
  CKopiwartView view{host};
  CKopiwartDoc doc{host};
};

TEST_F(DocTest, OpenSetsVariablesAndKeepsModesAndAnUnchangedSaveKeepsTheBytes) {
  const std::string path = Open("crlf.kpw");
  EXPECT_EQ(VarGet("KPW_PATH").value_or("-"), dir.path());  // no trailing separator
  EXPECT_EQ(VarGet("KPW_FILE").value_or("-"), path);
  EXPECT_EQ(view.GetInfo(0), 3);
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0x8002, 3, 0x6553F100}));
  EXPECT_FALSE(doc.IsModified());
  EXPECT_EQ(doc.GetPathName(), path);
  EXPECT_EQ(view.GetEntryText(0, JOB_COL_MODE).value_or(""), "Copy Del");
  EXPECT_EQ(view.GetEntryText(1, JOB_COL_MODE).value_or(""), "Zip Add");
  ASSERT_TRUE(doc.OnSaveDocument(path));
  EXPECT_EQ(ReadFile(path), ReadFile(Data("crlf.kpw")));
  // A Windows-1252 file too; its schedule is reset to (0, 1, 0) before reading.
  const std::string ansi = Open("cp1252.kpw");
  EXPECT_EQ(view.GetEntryText(0, JOB_COL_SOURCE).value_or(""),
            "/home/j\xC3\xBCrgen/B\xC3\xBC"
            "cher");
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0, 1, 0}));
  ASSERT_TRUE(doc.OnSaveDocument(ansi));
  EXPECT_EQ(ReadFile(ansi), ReadFile(Data("cp1252.kpw")));
}

TEST_F(DocTest, FailedOpenLeavesListScheduleAndVariables) {
  const std::string good = Open("crlf.kpw");
  view.SetCell("/edited", 0, JOB_COL_TARGET);
  view.SetModified(1);
  const auto before = view.GetAllEntries();
  EXPECT_FALSE(doc.OnOpenDocument(dir / "missing.kpw"));
  EXPECT_FALSE(doc.OnOpenDocument(dir.path()));  // a folder
  EXPECT_EQ(view.GetAllEntries(), before);
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0x8002, 3, 0x6553F100}));
  EXPECT_TRUE(doc.IsModified());
  EXPECT_EQ(VarGet("KPW_FILE").value_or("-"), good);
  EXPECT_EQ(VarGet("KPW_PATH").value_or("-"), dir.path());
  const auto errors = host.Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "Fehler: " + JobFileOpenErrorText(dir / "missing.kpw", 2));
  EXPECT_NE(errors[0].find("konnte nicht geöffnet werden"), std::string::npos);
}

TEST_F(DocTest, SaveWritesEveryRowAtomicallyAndKeepsModeAndLinks) {
  view.AddEntry(-1, "/a", "/b", "", "", 0, JOB_MODE_COPY, "");
  view.AddEntry(-1, "/c", "/d", "", "", 1, JOB_MODE_ZIP, "");
  view.OnFilterBar();
  view.List().SetItemText(view.GetFilterBarItem(), "Zip", JOB_COL_MODE);
  view.ApplyFilter(true);
  ASSERT_EQ(view.List().GetRowCount(), 2);  // the first row is hidden, and saved
  view.SetModified(1);
  const std::string path = dir / "out.kpw";
  WriteFile(path, "old");
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

TEST_F(DocTest, FailedSaveLeavesTheOldFileAndReports) {
  view.AddEntry(-1, "/a", "/b", "", "", 0, JOB_MODE_COPY, "");
  view.SetModified(1);
  EXPECT_FALSE(doc.OnSaveDocument(dir / "no/such/folder/x.kpw"));
  EXPECT_FALSE(doc.OnSaveDocument(dir.path()));
  EXPECT_TRUE(doc.IsModified());
  const auto errors = host.Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("konnte nicht gespeichert werden"), std::string::npos);
  EXPECT_EQ(VarGet("KPW_FILE"), std::nullopt);
}

TEST(HeadlessHost, NeverBlocksAndAnswersUnattended) {
  HeadlessRunHost host;
  EXPECT_EQ(host.MessageBox("Test", "", MB_ABORTRETRYIGNORE | MB_ICONHAND), IDIGNORE);
  EXPECT_EQ(host.MessageBox("Test", "", MB_OKCANCEL | MB_ICONHAND), IDOK);
  EXPECT_EQ(host.FileIcon("/x", FileIconKind::Existing), kNoIcon);
  u32 word = 1;
  i32 count = 2;
  EXPECT_FALSE(host.EditSchedule(word, count, 0));
  EXPECT_EQ(word, 1u);
}

}  // namespace
