// Document: opening and saving job files, variables, failed reads and writes.
#include "app/headless_host.h"
#include "app/kopiwart_doc.h"

#include "app/kopiwart_view.h"
#include "lib/system/vars.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

using kpwtest::ReadFile;

void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class DocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("kpw_doc_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    doc.SetView(&view);
    VarSet("KPW_PATH", nullptr, 0);
    VarSet("KPW_FILE", nullptr, 0);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string dir;
  ScriptedRunHost host;
  CKopiwartView view{host};
  CKopiwartDoc doc{host};
};

TEST_F(DocTest, OpenSetsVariablesAndLoadsUnmodified) {
  const std::string path = dir + "/jobs.kpw";
  fs::copy_file(std::string(KPW_TEST_DATA) + "/crlf.kpw", path);
  ASSERT_TRUE(doc.OnOpenDocument(path));
  EXPECT_EQ(VarGet("KPW_PATH").value_or("-"), dir);
  EXPECT_EQ(VarGet("KPW_FILE").value_or("-"), path);
  EXPECT_EQ(view.GetInfo(0), 3);
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0x8002, 3, 0x6553F100}));
  EXPECT_FALSE(doc.IsModified());
  EXPECT_EQ(doc.GetPathName(), path);
  // Loading keeps the modes: "Copy Del" and "Zip Add" come back as written.
  EXPECT_EQ(view.GetEntryText(0, JOB_COL_MODE).value_or(""), "Copy Del");
  EXPECT_EQ(view.GetEntryText(1, JOB_COL_MODE).value_or(""), "Zip Add");
  // A save writes the same bytes back.
  ASSERT_TRUE(doc.OnSaveDocument(path));
  EXPECT_EQ(ReadFile(path), ReadFile(std::string(KPW_TEST_DATA) + "/crlf.kpw"));
}

TEST_F(DocTest, AWindows1252FileSavedUnchangedKeepsItsBytes) {
  const std::string path = dir + "/ansi.kpw";
  fs::copy_file(std::string(KPW_TEST_DATA) + "/cp1252.kpw", path);
  ASSERT_TRUE(doc.OnOpenDocument(path));
  EXPECT_EQ(view.GetEntryText(0, JOB_COL_SOURCE).value_or(""), "/home/j\xC3\xBCrgen/B\xC3\xBC" "cher");
  ASSERT_TRUE(doc.OnSaveDocument(path));
  EXPECT_EQ(ReadFile(path), ReadFile(std::string(KPW_TEST_DATA) + "/cp1252.kpw"));
}

TEST_F(DocTest, ScheduleIsResetBeforeReading) {
  const std::string a = dir + "/a.kpw", b = dir + "/b.kpw";
  Spit(a, "/ZEITPLAN=0x4001,9\r\n/LETZTE=0x10\r\n");
  Spit(b, "[EINTRAG]\r\n\tQ:/s\r\n\tZ:/t\r\n");
  ASSERT_TRUE(doc.OnOpenDocument(a));
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0x4001, 9, 0x10}));
  ASSERT_TRUE(doc.OnOpenDocument(b));
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0, 1, 0}));
}

TEST_F(DocTest, FailedOpenLeavesListScheduleAndVariables) {
  const std::string good = dir + "/good.kpw";
  fs::copy_file(std::string(KPW_TEST_DATA) + "/crlf.kpw", good);
  ASSERT_TRUE(doc.OnOpenDocument(good));
  view.SetCell("/edited", 0, JOB_COL_TARGET);
  view.SetModified(1);
  const auto before = view.GetAllEntries();

  EXPECT_FALSE(doc.OnOpenDocument(dir + "/missing.kpw"));
  EXPECT_FALSE(doc.OnOpenDocument(dir));  // a folder
  EXPECT_EQ(view.GetAllEntries(), before);
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0x8002, 3, 0x6553F100}));
  EXPECT_TRUE(doc.IsModified());
  EXPECT_EQ(VarGet("KPW_FILE").value_or("-"), good);
  EXPECT_EQ(VarGet("KPW_PATH").value_or("-"), dir);
  const auto errors = host.Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "Fehler: " + JobFileOpenErrorText(dir + "/missing.kpw", 2));
  EXPECT_NE(errors[0].find("konnte nicht geöffnet werden"), std::string::npos);
}

TEST_F(DocTest, SaveWritesEveryRowAtomically) {
  view.AddEntry(-1, "/a", "/b", "", "", 0, JOB_MODE_COPY, "");
  view.AddEntry(-1, "/c", "/d", "", "", 1, JOB_MODE_ZIP, "");
  view.OnFilterBar();
  view.List().SetItemText(view.GetFilterBarItem(), "Zip", JOB_COL_MODE);
  view.ApplyFilter(true);
  ASSERT_EQ(view.List().GetRowCount(), 2);
  view.SetModified(1);

  const std::string path = dir + "/out.kpw";
  Spit(path, "old");
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(doc.OnSaveDocument(path));
  EXPECT_EQ(ReadFile(path),
            "[EINTRAG]\r\n\tQ:/a\r\n\tZ:/b\r\n[EINTRAG]\r\n\tQ:/c\r\n\tZ:/d\r\n\t/UNTER\r\n\t/ZIP\r\n"
            "/ZEITPLAN=0x0,1\r\n");
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the file keeps its permissions
  EXPECT_FALSE(doc.IsModified());
  EXPECT_EQ(VarGet("KPW_FILE").value_or("-"), path);
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1u);  // no temporary file left

  // Saving through a link replaces the file it points to and keeps the link.
  const std::string link = dir + "/link.kpw";
  fs::create_symlink(path, link);
  view.SetCell("/z", 1, JOB_COL_TARGET);
  ASSERT_TRUE(doc.OnSaveDocument(link));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_NE(ReadFile(path).find("\tZ:/z\r\n"), std::string::npos);
}

TEST_F(DocTest, FailedSaveLeavesTheOldFileAndReports) {
  view.AddEntry(-1, "/a", "/b", "", "", 0, JOB_MODE_COPY, "");
  view.SetModified(1);
  EXPECT_FALSE(doc.OnSaveDocument(dir + "/no/such/folder/x.kpw"));
  EXPECT_FALSE(doc.OnSaveDocument(dir));
  EXPECT_TRUE(doc.IsModified());
  const auto errors = host.Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("konnte nicht gespeichert werden"), std::string::npos);
  EXPECT_EQ(VarGet("KPW_FILE"), std::nullopt);
}

TEST_F(DocTest, NewDocumentClearsTheList) {
  view.AddEntry(-1, "/a", "/b", "", "", 0, JOB_MODE_COPY, "");
  view.SetSchedule(3, 5);
  EXPECT_TRUE(doc.OnNewDocument());
  EXPECT_EQ(view.GetInfo(0), 0);
  EXPECT_EQ(view.GetSchedule(), (JobSchedule{0, 1, 0}));
  EXPECT_EQ(doc.SerializeStore(), "/ZEITPLAN=0x0,1\r\n");
  CKopiwartDoc lonely(host);  // without a view, serialising does nothing
  lonely.SerializeLoad("[EINTRAG]\n\tQ:/a\n\tZ:/b\n");
  EXPECT_EQ(lonely.SerializeStore(), "");
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
