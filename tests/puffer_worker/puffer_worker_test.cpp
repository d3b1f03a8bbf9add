// The Puffer worker on real folders and through the program: roles, questions, messages, stopping.
#include "jobs/job_model.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/progress/run_state.h"
#include "jobs/run_host.h"
#include "jobs/run_rules.h"
#include "jobs/workers/remote_workers.h"
#include "tests/support/files.h"
#include "tests/support/puffer_fault.h"
#include "tests/support/puffer_folders.h"
#include "tests/support/run.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using kpwtest::ReadFile;
using kpwtest::WriteFile;

std::map<std::string, std::string> Tree(const std::string& dir) {
  return kpwtest::FileContents(dir);
}

std::string Question(const char* host) {
  return std::string("Der Host ") + host +
         " ist noch nicht in der Kopiwart-Liste\nSoll er eingefügt werden ?";
}

class PufferWorkerTest : public ::testing::Test, protected kpwtest::PufferFolders {
 protected:
  void SetUp() override {
    run.SetMessageBox([this](const std::string& text, const char*, u32 type) {
      boxes.push_back({text, type});
      if (answers.empty()) return UnattendedAnswer(type);
      const int a = answers.front();
      answers.pop_front();
      return a;
    });
  }
  void TearDown() override { kpwtest::TestEnv().hostName = kpwtest::kTestHost; }

  // One row as this host: target, extra cell, RunFlags.
  int Row(const char* host, const std::string& target, const std::string& extra, u32 flags = RUN_DIALOG,
          int subdirs = 1) {
    kpwtest::TestEnv().hostName = host;
    JobArgs args;
    args.source = list.c_str();
    args.target = target.c_str();
    args.subdirs = subdirs;
    args.extra = extra.c_str();
    args.flags = flags;
    JobContext ctx{run, kpwtest::TestEnv()};
    return RunPuffer(ctx, args);
  }
  // The source knows itself by its full name; its rows name the short one in capitals.
  int Source(const std::string& extra = "BUERO-PC:0") { return Row("buero-pc.example.org", src, extra); }
  int D1(u32 flags = RUN_DIALOG) { return Row("laptop", d1, "BUERO-PC", flags); }
  int D2(u32 flags = RUN_DIALOG) { return Row("heim-pc", d2, "BUERO-PC", flags); }
  void Answer(std::initializer_list<int> list) { answers.insert(answers.end(), list); }

  struct Box {
    std::string text;
    u32 type;
  };
  CRunState run;
  std::vector<Box> boxes;
  std::deque<int> answers;
};

TEST_F(PufferWorkerTest, RegistrationNeedsQuestionsAndConsentToDeletions) {
  WriteFile(src + "/a.txt", "a");
  ASSERT_EQ(Source(), JOB_DONE);
  WriteFile(d2 + "/old1.txt", "1");
  WriteFile(d2 + "/old2.txt", "2");
  const std::string before = ReadFile(list);

  // Unattended: nothing is asked, the row fails, the list stays as it was.
  testing::internal::CaptureStderr();
  EXPECT_EQ(D2(0), JOB_FAILED);
  EXPECT_NE(
      testing::internal::GetCapturedStderr().find("Der Host heim-pc ist noch nicht in der Kopiwart-Liste"),
      std::string::npos);
  EXPECT_TRUE(boxes.empty());

  Answer({IDNO});
  EXPECT_EQ(D2(), JOB_DONE);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, Question("heim-pc"));
  EXPECT_EQ(boxes[0].type, 0x14u);
  // Yes to registering, but no once the files that would go are counted.
  Answer({IDYES, IDNO});
  EXPECT_EQ(D2(), JOB_DONE);
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[2].text, "Dabei werden in\n" + d2 +
                               "\n2 Dateien gelöscht, die nicht in der Kopiwart-Liste stehen.\n"
                               "Trotzdem fortfahren ?");
  EXPECT_EQ(ReadFile(list), before);
  EXPECT_EQ(Tree(d2).size(), 2u);

  Answer({IDYES, IDYES});
  EXPECT_EQ(D2(), JOB_DONE);
  EXPECT_TRUE(Tree(d2).empty());
  EXPECT_NE(ReadFile(list).find("HOST1 \"heim-pc\"\n"), std::string::npos);
  ASSERT_EQ(Source(), JOB_DONE);
  ASSERT_EQ(D2(), JOB_DONE);
  EXPECT_EQ(Tree(d2), Tree(src));
  EXPECT_EQ(run.FilesCopied().load(), 2u);  // into the buffer and out of it
  // A cancelled question stops all rows.
  Answer({IDCANCEL});
  EXPECT_EQ(D1(), JOB_STOP_ALL);
  EXPECT_TRUE(run.IsCancelled());
}

TEST_F(PufferWorkerTest, RowsThatCannotRunSayWhyAndTheRoomIsRead64Bit) {
  WriteFile(root + "/file", "x");
  const std::string missing = root + "/nowhere";
  const std::string noHost = "Es ist kein Hostname im Zusatz angegeben !\nFromat:   [Host:Größe]";
  const std::pair<std::string, std::string> refused[] = {
      {missing, "Das Verzeichnis:\n" + missing + "\nexistiert nicht !"},
      {"E:\\Daten", DriveOrUncPathText("E:\\Daten")},
  };
  for (const auto& [target, text] : refused) {
    boxes.clear();
    EXPECT_EQ(Row("buero-pc", target, "buero-pc"), JOB_FAILED) << target;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, text);
    EXPECT_EQ(boxes[0].type, 0x10u);
  }
  for (const char* extra : {"", "  :5"}) {
    boxes.clear();
    EXPECT_EQ(Row("buero-pc", src, extra), JOB_FAILED) << extra;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, noHost);
  }
  // A room that is no number would give a carrier of a stray byte count.
  boxes.clear();
  EXPECT_EQ(Source("buero-pc:12MB"), JOB_FAILED);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text.rfind("Die Größe \"12MB\" im Zusatz ist keine Zahl !", 0), 0u) << boxes[0].text;
  EXPECT_FALSE(fs::exists(list));
  const std::pair<const char*, const char*> rooms[] = {
      {"buero-pc", "104857600"},
      {"buero-pc:0x100000", "1048576"},
      {" buero-pc : 8589934592 ", "8589934592"},
  };
  for (const auto& [extra, size] : rooms) {
    fs::remove(list);
    ASSERT_EQ(Source(extra), JOB_DONE) << extra;
    EXPECT_NE(ReadFile(list).find(std::string("SIZE  ") + size + "\n"), std::string::npos) << extra;
  }

  // Unattended: only standard error; Cancel to a message stops all rows.
  boxes.clear();
  testing::internal::CaptureStderr();
  EXPECT_EQ(Row("buero-pc", missing, "buero-pc", 0), JOB_FAILED);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("existiert nicht !"), std::string::npos);
  EXPECT_TRUE(boxes.empty());
  Answer({IDCANCEL});
  EXPECT_EQ(Row("buero-pc", missing, "buero-pc"), JOB_STOP_ALL);
  EXPECT_TRUE(run.IsCancelled());
}

CRunState* g_cancelRun = nullptr;

TEST_F(PufferWorkerTest, CancelStopsAllRowsWithoutAMessage) {
  WriteFile(src + "/a.txt", "a");
  ASSERT_EQ(Source(), JOB_DONE);
  WriteFile(src + "/a.txt", "a changed");
  const std::string before = ReadFile(list);
  // The user cancels while the changed file is read.
  g_cancelRun = &run;
  PufferTestSetFault([](const char*, int op) {
    if (op == PUFFER_FAULT_READ) g_cancelRun->SetCancel();
    return 0;
  });
  const int result = Source();
  PufferTestSetFault(nullptr);
  EXPECT_EQ(result, JOB_STOP_ALL);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(ReadFile(list), before);

  // So does the progress dialog's cancel button.
  CProgressDlg dialog;
  CRunState::ScopedActiveDialog active(run, &dialog);
  run.StartRun();
  dialog.Finish();
  EXPECT_EQ(Source(), JOB_STOP_ALL);
  EXPECT_TRUE(run.IsCancelled());
  EXPECT_EQ(ReadFile(list), before);
}

TEST_F(PufferWorkerTest, TakeoverIsReportedAndEngineFailuresFailTheRow) {
  WriteFile(src + "/a.txt", "a");
  ASSERT_EQ(Source(), JOB_DONE);
  WriteFile(d1 + "/mine.txt", "m");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Row("laptop", d1, "LAPTOP"), JOB_DONE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("buero-pc"), std::string::npos);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "Die Liste\n" + list +
                "\ngehörte dem Host buero-pc.\nSie wurde für diesen Computer (laptop) neu angelegt.");
  EXPECT_NE(ReadFile(list).find("HOST0 \"laptop\"\n"), std::string::npos);

  // A record that points out of the data folder is never acted on, and the row fails.
  boxes.clear();
  std::string text = ReadFile(list);
  text.insert(text.rfind("END "), "0\t0x00000001 0x00000001 0x00000001\t\"..\\evil.txt\"\n");
  WriteFile(list, text);
  WriteFile(carrier + "/evil.txt", "x");  // where its buffer copy would be looked for
  EXPECT_EQ(Row("laptop", d1, "LAPTOP"), JOB_FAILED);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text.rfind("Es gab einen Fehler bei\n" + list + "\n\n", 0), 0u) << boxes[0].text;
  EXPECT_FALSE(fs::exists(root + "/evil.txt"));
}

// "kopiwart <job> -S -A -N" as host (the program's test build takes its name from KPW_HOSTNAME).
int RunProgram(const std::string& root, const std::string& list, const char* host, const std::string& target,
               std::string* err) {
  const std::string job = root + "/" + host + ".kpw";
  WriteFile(job, "[EINTRAG]\n\tQ:" + list + "\n\tZ:" + target + "\n\tX:BUERO-PC:0\n\t/UNTER\n\t/BUFFER\n");
  const std::string command = "cd '" + root + "' && env -u DISPLAY -u WAYLAND_DISPLAY HOME='" + root +
                              "' XDG_CONFIG_HOME='" + root + "/config' KPW_HOSTNAME=" + host +
                              " '" KPW_BUILD_DIR "/tests/support/kopiwart-test' '" + job + "' -S -A -N 2>'" +
                              root + "/stderr'";
  const int status = kpwtest::System(command);
  *err = ReadFile(root + "/stderr");
  return status;
}

TEST_F(PufferWorkerTest, ThroughTheProgramASourceAndTwoDestinationsConverge) {
  WriteFile(src + "/a.txt", "alpha");
  WriteFile(src + "/sub/b.txt", "beta");
  WriteFile(src + "/gone.txt", "soon gone");
  WriteFile(src + "/K\xC3\xA4se.txt", "cheese");  // Käse: the list is then written in Windows-1252
  EXPECT_EQ(D1(), JOB_DONE);                      // no list yet: nothing to do
  EXPECT_TRUE(boxes.empty());
  std::string err;
  ASSERT_EQ(RunProgram(root, list, "buero-pc", src, &err), 0) << err;
  EXPECT_NE(ReadFile(list).find("\"K\xE4se.txt\""), std::string::npos);
  // Entered once with a question, then unattended from there on.
  Answer({IDYES, IDYES});
  ASSERT_EQ(D1(), JOB_DONE);
  ASSERT_EQ(D2(), JOB_DONE);
  for (int round = 0; round < 2; ++round) {
    if (round == 1) fs::remove(src + "/gone.txt");
    for (const auto& [host, target] : {std::pair{"buero-pc", src}, {"laptop", d1}, {"heim-pc", d2}})
      ASSERT_EQ(RunProgram(root, list, host, target, &err), 0) << host << ": " << err;
    EXPECT_EQ(Tree(d1), Tree(src)) << "round " << round;
    EXPECT_EQ(Tree(d2), Tree(src)) << "round " << round;
  }
}

}  // namespace
