// The Puffer worker on real folders: roles, registration, messages, the room, stopping.
#include "puffer_worker_util.h"

#include "jobs/progress/progress_dlg.h"
#include "jobs/puffer/puffer_list.h"
#include "jobs/run_rules.h"
#include "tests/support/puffer_fault.h"

namespace pufferworker {
namespace {

constexpr const char* kNoHost = "Es ist kein Hostname im Zusatz angegeben !\nFromat:   [Host:Größe]";

std::string Question(const char* host) {
  return std::string("Der Host ") + host +
         " ist noch nicht in der Kopiwart-Liste\nSoll er eingefügt werden ?";
}

TEST_F(PufferWorkerTest, FirstRunCreatesTheListAndDestinationsTakeTheFiles) {
  Write(src + "/a.txt", "alpha");
  Write(src + "/sub/b.txt", "beta");
  Write(buffer + "/junk.bin", "left from before");
  // The subdirectories cell "Nein" still takes subfolders.
  ASSERT_EQ(Row("buero-pc.example.org", src, "BUERO-PC", RUN_DIALOG, "", 0), JOB_DONE);
  EXPECT_TRUE(boxes.empty());
  const std::string text = Read(list);
  EXPECT_NE(text.find("HOST0 \"buero-pc\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("SIZE  104857600\n"), std::string::npos) << "no room means the default";
  EXPECT_TRUE(Tree(buffer).empty()) << "the buffer was emptied; no destination lacks anything yet";

  Answer({IDYES});
  ASSERT_EQ(D1(), JOB_DONE);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, Question("laptop"));
  EXPECT_EQ(boxes[0].type, 0x14u);
  EXPECT_NE(Read(list).find("HOST1 \"laptop\"\n"), std::string::npos);
  ASSERT_EQ(Source(), JOB_DONE);
  EXPECT_EQ(Tree(buffer), Tree(src));
  EXPECT_EQ(run.FilesCopied().load(), 2u);
  run.StartRun();
  ASSERT_EQ(D1(), JOB_DONE);
  EXPECT_EQ(Tree(d1), Tree(src));
  EXPECT_EQ(run.FilesCopied().load(), 2u);

  // Further rounds ask nothing; a change travels, and the room written first stays.
  Write(src + "/a.txt", "alpha, second edition");
  Round("BUERO-PC:16");
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(Tree(d1), Tree(src));
  EXPECT_NE(Read(list).find("SIZE  104857600\n"), std::string::npos);
}

TEST_F(PufferWorkerTest, DeletionsTravelOnlyWithAWholeList) {
  Write(src + "/keep.txt", "k");
  Write(src + "/gone.txt", "g");
  ASSERT_EQ(Source(), JOB_DONE);
  Answer({IDYES});
  ASSERT_EQ(D1(), JOB_DONE);
  Round();
  ASSERT_TRUE(fs::exists(d1 + "/gone.txt"));

  fs::remove(src + "/gone.txt");
  ASSERT_EQ(Source(), JOB_DONE);
  // Without its END line the list may be cut short: the destination deletes nothing.
  std::string text = Read(list);
  text.erase(text.rfind("END "));
  Write(list, text);
  testing::internal::CaptureStderr();
  EXPECT_EQ(D1(), JOB_DONE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("nichts gelöscht"), std::string::npos);
  EXPECT_TRUE(fs::exists(d1 + "/gone.txt"));

  ASSERT_EQ(Source(), JOB_DONE);  // writes the list whole again
  ASSERT_EQ(D1(), JOB_DONE);
  EXPECT_EQ(Tree(d1), Tree(src));
}

TEST_F(PufferWorkerTest, RegistrationNeedsQuestionsAndConsentToDeletions) {
  Write(src + "/a.txt", "a");
  ASSERT_EQ(Source(), JOB_DONE);
  Write(d2 + "/old1.txt", "1");
  Write(d2 + "/old2.txt", "2");
  const std::string before = Read(list);

  // Unattended: nothing is asked, the row fails, the list stays as it was.
  testing::internal::CaptureStderr();
  EXPECT_EQ(D2(0), JOB_FAILED);
  EXPECT_NE(
      testing::internal::GetCapturedStderr().find("Der Host heim-pc ist noch nicht in der Kopiwart-Liste"),
      std::string::npos);
  EXPECT_TRUE(boxes.empty());

  Answer({IDNO});
  EXPECT_EQ(D2(), JOB_DONE);
  // Yes to registering, but no once the files that would go are counted.
  Answer({IDYES, IDNO});
  EXPECT_EQ(D2(), JOB_DONE);
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[2].text, "Dabei werden in\n" + d2 +
                               "\n2 Dateien gelöscht, die nicht in der Kopiwart-Liste stehen.\n"
                               "Trotzdem fortfahren ?");
  EXPECT_EQ(Read(list), before);
  EXPECT_EQ(Tree(d2).size(), 2u);

  Answer({IDYES, IDYES});
  EXPECT_EQ(D2(), JOB_DONE);
  EXPECT_TRUE(Tree(d2).empty());
  ASSERT_EQ(Source(), JOB_DONE);
  ASSERT_EQ(D2(), JOB_DONE);
  EXPECT_EQ(Tree(d2), Tree(src));
  EXPECT_NE(Read(list).find("HOST1 \"heim-pc\"\n"), std::string::npos);

  // A cancelled question stops all rows.
  Answer({IDCANCEL});
  EXPECT_EQ(D1(), JOB_STOP_ALL);
  EXPECT_TRUE(run.IsCancelled());
}

TEST_F(PufferWorkerTest, RowsThatCannotRunSayWhy) {
  Write(root + "/file", "x");
  const std::string missing = root + "/nowhere";
  for (const std::string& target : {missing, root + "/file", std::string("/")}) {
    boxes.clear();
    EXPECT_EQ(Row("buero-pc", target, "buero-pc"), JOB_FAILED) << target;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Das Verzeichnis:\n" + target + "\nexistiert nicht !");
    EXPECT_EQ(boxes[0].type, 0x10u);
  }
  for (const char* extra : {"", ":123", "  :5"}) {
    boxes.clear();
    EXPECT_EQ(Row("buero-pc", src, extra), JOB_FAILED) << extra;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kNoHost);
  }
  boxes.clear();
  EXPECT_EQ(Row("buero-pc", "E:\\Daten", "buero-pc"), JOB_FAILED);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, DriveOrUncPathText("E:\\Daten"));
  // A room that is no number would give a carrier of a stray byte count.
  boxes.clear();
  EXPECT_EQ(Source("buero-pc:12MB"), JOB_FAILED);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text.rfind("Die Größe \"12MB\" im Zusatz ist keine Zahl !", 0), 0u) << boxes[0].text;
  EXPECT_FALSE(fs::exists(list));

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

TEST_F(PufferWorkerTest, RoomForms) {
  const std::pair<const char*, const char*> cases[] = {
      {"buero-pc", "104857600"},     {"buero-pc:", "104857600"}, {"buero-pc:0x100000", "1048576"},
      {" buero-pc : 2048 ", "2048"}, {"buero-pc:0b1000", "8"},   {"buero-pc:8589934592", "8589934592"},
  };
  for (const auto& [extra, size] : cases) {
    fs::remove(list);
    ASSERT_EQ(Source(extra), JOB_DONE) << extra;
    EXPECT_NE(Read(list).find(std::string("SIZE  ") + size + "\n"), std::string::npos) << extra;
  }
  EXPECT_TRUE(boxes.empty());
}

TEST_F(PufferWorkerTest, DestinationWithoutAListDoesNothing) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(D1(), JOB_DONE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(run.FilesCopied().load(), 0u);
  EXPECT_FALSE(fs::exists(list));
  EXPECT_FALSE(fs::exists(buffer));
}

CRunState* g_cancelRun = nullptr;

TEST_F(PufferWorkerTest, CancelStopsAllRowsWithoutAMessage) {
  Write(src + "/a.txt", "a");
  Write(src + "/b.txt", "b");
  ASSERT_EQ(Source(), JOB_DONE);
  Write(src + "/a.txt", "a changed");
  const std::string before = Read(list);
  // The user cancels while the changed file is read.
  g_cancelRun = &run;
  PufferTestSetFault([](const char*, int op) {
    if (op == PUFFER_FAULT_READ) g_cancelRun->SetCancel();
    return 0;
  });
  const int result = Source();
  PufferTestSetFault(nullptr);
  EXPECT_EQ(result, JOB_STOP_ALL);
  EXPECT_TRUE(run.IsCancelled());
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(Read(list), before);

  // So does the progress dialog's cancel button.
  CProgressDlg dialog;
  CRunState::ScopedActiveDialog active(run, &dialog);
  run.StartRun();
  dialog.Finish();
  EXPECT_EQ(Source(), JOB_STOP_ALL);
  EXPECT_TRUE(run.IsCancelled());
  EXPECT_EQ(Read(list), before);
}

TEST_F(PufferWorkerTest, TakeoverIsReportedAndEngineFailuresFailTheRow) {
  Write(src + "/a.txt", "a");
  ASSERT_EQ(Source(), JOB_DONE);
  Write(d1 + "/mine.txt", "m");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Row("laptop", d1, "LAPTOP"), JOB_DONE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("buero-pc"), std::string::npos);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "Die Liste\n" + list +
                "\ngehörte dem Host buero-pc.\nSie wurde für diesen Computer (laptop) neu angelegt.");
  EXPECT_NE(Read(list).find("HOST0 \"laptop\"\n"), std::string::npos);

  // A record that points out of the data folder is never acted on, and the row fails.
  boxes.clear();
  std::string text = Read(list);
  text.insert(text.rfind("END "), "0\t0x00000001 0x00000001 0x00000001\t\"..\\evil.txt\"\n");
  Write(list, text);
  EXPECT_EQ(Row("laptop", d1, "LAPTOP"), JOB_FAILED);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text.rfind("Es gab einen Fehler bei\n" + list + "\n\n", 0), 0u) << boxes[0].text;
  EXPECT_FALSE(fs::exists(root + "/evil.txt"));
}

}  // namespace
}  // namespace pufferworker
