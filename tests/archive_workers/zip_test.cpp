// The "Zip" and "Zip Add" worker on real folders, checked by unzip: rows that share one archive,
// updates, unpacking with the overwrite flags, and every way a row keeps the old archive.
#include "jobs/progress/progress_dlg.h"
#include "jobs/workers/archive_workers.h"
#include "tests/support/deadline.h"
#include "tests/support/run.h"
#include "tests/support/run_rig.h"
#include "tests/support/scripted_progress_view.h"
#include "tests/support/sys_seams.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace kpwtest;

std::string g_unreadable;  // the folder the listing may not open

class Zip : public ::testing::Test {
 protected:
  void SetUp() override {
    Put(src + "/a.txt", "alpha");
    Put(src + "/sub/b.txt", "beta");
  }
  void TearDown() override { SysTestSetDirFault(nullptr); }
  int Row(const std::string& source, const std::string& target, u32 flags = 0,
          const std::string& extra = "") {
    return run.Call(RunZip, source, target, flags, "", "", 1, extra);
  }
  // The entry names as zipinfo lists them, sorted; unzip -t must accept the archive.
  static std::string Entries(const std::string& archive) {
    int status = -1;
    const std::string test = Shell("unzip -tq " + Quote(archive) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << test;
    return Words(Shell("zipinfo -1 " + Quote(archive)));
  }
  // Words as bytes, sorted, a blank between.
  static std::string Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    std::sort(words.begin(), words.end());
    std::string all;
    for (const std::string& word : words) all += (all.empty() ? "" : " ") + word;
    return all;
  }
  static std::string Member(const std::string& archive, const std::string& name) {
    return Shell("unzip -p " + Quote(archive) + " " + Quote(name));
  }
  TempDir dir;
  const std::string src = dir / "src", archive = dir / "out/t.zip";
  RunRig run;
};

TEST_F(Zip, RowsShareOneArchiveAndZipAddUpdatesIt) {
  Put(dir / "src2/c.txt", "gamma");
  // "Zip" followed by "Zip Add" with the same target; a continued row checks the path it gets.
  EXPECT_EQ(Row(src, archive, RUN_CONTINUE_NEXT), JOB_DONE);
  EXPECT_EQ(Row(dir / "src2", archive, RUN_ADD | RUN_CONTINUED | RUN_CONTINUE_NEXT), JOB_DONE);
  EXPECT_EQ(Row(dir / "src2", dir / "out/other.zip", RUN_ADD | RUN_CONTINUED), JOB_DONE);
  EXPECT_FALSE(run.state.SharedArchive().IsOpen());
  EXPECT_EQ(Entries(archive), "a.txt c.txt sub/ sub/b.txt");
  EXPECT_EQ(Entries(dir / "out/other.zip"), "c.txt");
  EXPECT_EQ(run.Copied(), 4u);
  // Zip Add replaces a changed entry; 0x08 leaves it as it is.
  Put(src + "/a.txt", "alpha, second edition", kT + 10);
  EXPECT_EQ(Row(src, archive, RUN_ADD), JOB_DONE);
  Put(src + "/a.txt", "third", kT + 20);
  EXPECT_EQ(Row(src, archive, RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(Entries(archive), "a.txt c.txt sub/ sub/b.txt");
  EXPECT_EQ(Listing(dir / "out"), "other.zip t.zip");
  EXPECT_EQ(Member(archive, "a.txt"), "alpha, second edition");
  // A folder inside the archive ("\" separates too), excluded folders, and a ".." step refused.
  Put(src + "/skipme/x.txt", "x");
  EXPECT_EQ(Row(src, dir / "in.zip", 0, "arch\\dir/;skipme"), JOB_DONE);
  EXPECT_EQ(Entries(dir / "in.zip"), "arch/dir/a.txt arch/dir/sub/ arch/dir/sub/b.txt");
  EXPECT_EQ(Row(src, dir / "refused.zip", RUN_DIALOG, "../up"), JOB_FAILED);
  EXPECT_EQ(run.TakeBoxes(), "Falscher Ordner im Archiv '../up' !\n");
  EXPECT_FALSE(Exists(dir / "refused.zip"));
  // The archive is never packed into itself.
  for (const u32 flags : {0u, 0u, u32{RUN_ADD}}) EXPECT_EQ(Row(src, src + "/in.zip", flags), JOB_DONE);
  EXPECT_EQ(Entries(src + "/in.zip"), "a.txt skipme/ skipme/x.txt sub/ sub/b.txt");
}

TEST_F(Zip, UnpackingHonoursTheFlagsAndWantsATarget) {
  SetMTime(src + "/a.txt", kT);
  SetMTime(src + "/sub/b.txt", kT);
  ASSERT_EQ(Row(src, archive), JOB_DONE);
  const std::string out = dir / "unpacked";
  const auto local = [&] {
    Put(out + "/a.txt", "local, newer", kT + 50);
    Put(out + "/sub/b.txt", "local, older", kT - 50);
  };
  local();
  EXPECT_EQ(Row(archive, out, RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(Contents(out), "a.txt=local, newer sub/b.txt=local, older");
  EXPECT_EQ(Row(archive, out, RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(Contents(out), "a.txt=local, newer sub/b.txt=beta");
  local();
  EXPECT_EQ(Row(archive, out + "/"), JOB_DONE);
  EXPECT_EQ(Contents(out), "a.txt=alpha sub/b.txt=beta");
  EXPECT_EQ(Row(archive, "", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(run.TakeBoxes(), "Es wurde kein Ziel zum Entpacken von '" + archive + "' angegeben !\n");
  // Zip Add packs a .zip source; with no archive on either side the row copies.
  EXPECT_EQ(Row(archive, dir / "third.zip", RUN_ADD | RUN_CONTINUE_NEXT), JOB_DONE);
  EXPECT_EQ(Row(src, dir / "copy"), JOB_DONE);
  EXPECT_FALSE(run.state.SharedArchive().IsOpen());
  EXPECT_EQ(Entries(dir / "third.zip"), "t.zip");
  EXPECT_EQ(Contents(dir / "copy"), "a.txt=alpha sub/b.txt=beta");
}

// File names that are not UTF-8 go in as their bytes: "Zip Add" finds them again, unzip and
// Python read them, unpacking gives them back.
TEST_F(Zip, NamesThatAreNotUtf8KeepTheirBytes) {
  Put(src + "/latin\xe9", "latin-1");
  Put(src + "/bad\xff", "no text");
  Put(src + "/dir\xe9/x.txt", "x");
  const std::string names = "a.txt bad\xff dir\xe9/ dir\xe9/x.txt latin\xe9 sub/ sub/b.txt";
  EXPECT_EQ(Row(src, archive), JOB_DONE);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Row(src, archive, RUN_ADD), JOB_DONE);
    EXPECT_EQ(Entries(archive), names);
  }
  EXPECT_EQ(run.Copied(), 15u);
  // Python reads a name without the UTF-8 flag as code page 437: encoded back, it is the bytes.
  const char* const kNames = R"PY(
import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    sys.stdout.buffer.write(i.filename.encode("utf-8" if i.flag_bits & 0x800 else "cp437") + b"\n")
)PY";
  Put(dir / "names.py", kNames);
  int status = -1;
  const std::string python =
      Shell("python3 " + Quote(dir / "names.py") + " " + Quote(archive) + " 2>&1", &status);
  EXPECT_EQ(status, 0) << python;
  EXPECT_EQ(Words(python), names);
  EXPECT_EQ(Row(archive, dir / "unpacked"), JOB_DONE);
  EXPECT_EQ(Listing(dir / "unpacked"), Listing(src));
  EXPECT_EQ(Contents(dir / "unpacked"), Contents(src));
}

// A missing, empty or unreadable source, a damaged archive and a cancel keep what was there.
TEST_F(Zip, EveryWayThatFailsKeepsTheOldArchive) {
  ASSERT_EQ(Row(src, archive), JOB_DONE);
  const std::string old = ReadFile(archive);
  fs::create_directories(dir / "empty");
  Put(dir / "bogus.zip", "this is no archive at all");
  EXPECT_EQ(Row(dir / "unmounted", archive, RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Row(dir / "empty", archive, RUN_DIALOG), JOB_FAILED);
  g_unreadable = src + "/sub";
  SysTestSetDirFault([](const char* path) { return g_unreadable == path; });
  EXPECT_EQ(Row(src, archive, RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Row(dir / "bogus.zip", dir / "out2"), JOB_FAILED);  // without 0x02 nothing is asked
  EXPECT_EQ(ReadFile(archive), old);
  EXPECT_EQ(run.TakeBoxes(), "Die Datei '" + dir / "unmounted" + "' wurde nicht gefunden !\nIn '" +
                                 dir / "empty" + "' wurden keine Dateien gefunden:\ndas Archiv '" + archive +
                                 "' bleibt unverändert !\n'" + src +
                                 "' konnte nicht vollständig gelesen werden:\n" + "das Archiv '" + archive +
                                 "' bleibt unverändert !\n");
  // Updating keeps the entries of what could not be read, so that goes through.
  Put(src + "/a.txt", "alpha, changed");
  EXPECT_EQ(Row(src, archive, RUN_ADD), JOB_FAILED);
  SysTestSetDirFault(nullptr);
  EXPECT_EQ(Member(archive, "a.txt") + Member(archive, "sub/b.txt"), "alpha, changedbeta");
  // In a chain that makes the archive anew, the chain is dropped; a cancel drops it as well.
  const std::string updated = ReadFile(archive);
  EXPECT_EQ(Row(dir / "src", archive, RUN_CONTINUE_NEXT), JOB_DONE);
  EXPECT_EQ(Row(dir / "unmounted", archive, RUN_ADD | RUN_CONTINUED), JOB_FAILED);
  EXPECT_EQ(Row(dir / "src", archive, RUN_CONTINUE_NEXT), JOB_DONE);
  run.state.SetCancel();
  EXPECT_EQ(Row(dir / "src", archive, RUN_ADD | RUN_CONTINUED), JOB_STOP_ALL);
  EXPECT_FALSE(run.state.SharedArchive().IsOpen());
  EXPECT_EQ(ReadFile(archive), updated);
  EXPECT_EQ(Listing(dir / "out"), "t.zip");
  // A damaged archive is asked about with 0x02; Cancel stops every row.
  run.state.StartRun();
  run.TakeBoxes();
  run.answers = {IDOK, IDCANCEL};
  EXPECT_EQ(Row(dir / "bogus.zip", dir / "out2", RUN_DIALOG), JOB_FAILED);
  EXPECT_EQ(Row(dir / "bogus.zip", dir / "out2", RUN_DIALOG), JOB_STOP_ALL);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_EQ(run.boxes.at(0).type, 0x11u);
  EXPECT_NE(run.boxes.at(0).text.find(dir / "bogus.zip"), std::string::npos);
  EXPECT_EQ(run.boxes.at(0).text.substr(run.boxes[0].text.size() - 2), "\n\n");
  // Where no archive was, an empty source makes a valid empty one.
  run.state.StartRun();
  EXPECT_EQ(Row(dir / "empty", dir / "fresh.zip"), JOB_DONE);
  EXPECT_EQ(ReadFile(dir / "fresh.zip"), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
}

// Packing under a progress dialog: the lines at the end, and the cancel button while packing.
TEST_F(Zip, UnderADialog) {
  ASSERT_EQ(Row(src, archive), JOB_DONE);
  const std::string old = ReadFile(archive);
  for (int i = 0; i < 3000; ++i) Put(src + "/many/f" + std::to_string(i), std::string(200, 'x'));
  ScriptedProgressView view;
  for (const bool cancel : {false, true}) {
    CProgressDlg dlg;
    int result = 99;
    dlg.SetWorker([&](CProgressDlg& d) {
      CRunState::ScopedActiveDialog active(run.state, &d);
      std::thread button([&] {
        if (!cancel) return;
        EXPECT_TRUE(WaitUntil([&] { return run.Copied() >= 5; })) << "packing did not begin";
        d.Finish();
      });
      result = Row(src, cancel ? archive : dir / "new.zip", RUN_DIALOG);
      JoinWithin(button, "the cancel button");
      EXPECT_EQ(d.GetLine(0) + "|" + d.GetLine(1), src + "|" + (cancel ? archive : dir / "new.zip"));
      return result;
    });
    run.state.StartRun();
    dlg.DoModal(view);
    EXPECT_EQ(result, cancel ? JOB_STOP_ALL : JOB_DONE);
  }
  EXPECT_LT(run.Copied(), 3002u) << "packing ended before the cancel";
  EXPECT_EQ(ReadFile(archive), old);
  EXPECT_EQ(Listing(dir / "out"), "t.zip");
  EXPECT_TRUE(view.CallsOf("Box").empty());
}

// An encrypted archive under a dialog: asked once, a wrong password asked again, cancel stops
// the run; unattended nothing is asked and the row fails.
TEST_F(Zip, EncryptedArchivesAskForTheirPasswordOnce) {
  Put(src + "/sub/c.txt", "gamma");
  const std::string enc = dir / "enc.zip";
  ASSERT_EQ(Shell("cd " + Quote(src) + " && 7zz a -tzip -pKw-Richtig-2 -mem=AES256 " + Quote(enc) + " . >/dev/null"),
            "");
  ScriptedProgressView view;
  auto underDialog = [&](const std::string& target) {
    CProgressDlg dlg;
    int result = 99;
    dlg.SetWorker([&](CProgressDlg& d) {
      CRunState::ScopedActiveDialog active(run.state, &d);
      return result = Row(enc, target, RUN_DIALOG);
    });
    run.state.StartRun();
    dlg.DoModal(view);
    return result;
  };
  view.QueuePassword("Kw-Falsch-1");
  view.QueuePassword("Kw-Richtig-2");
  EXPECT_EQ(underDialog(dir / "out1"), JOB_DONE);
  EXPECT_EQ(Contents(dir / "out1"), "a.txt=alpha sub/b.txt=beta sub/c.txt=gamma");
  const auto asked = view.CallsOf("Password");
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].text, "Der Eintrag 'a.txt' im Archiv '" + enc + "' ist verschlüsselt.\nBitte das Kennwort eingeben:");
  EXPECT_EQ(asked[1].text, "Das Kennwort für den Eintrag 'a.txt' im Archiv '" + enc +
                               "' ist falsch.\nBitte das Kennwort noch einmal eingeben:");
  EXPECT_TRUE(view.CallsOf("Box").empty());
  for (const auto& call : view.Calls()) EXPECT_EQ(call.text.find("Kw-"), std::string::npos) << call.text;

  // Cancel in the password box stops all rows; nothing is unpacked.
  view.Clear();
  view.QueuePassword(std::nullopt);
  EXPECT_EQ(underDialog(dir / "out2"), JOB_STOP_ALL);
  EXPECT_TRUE(run.state.IsCancelled());
  EXPECT_EQ(Listing(dir / "out2"), "");

  // Unattended: reported as today, the row fails, the rest is left.
  view.Clear();
  run.state.StartRun();
  EXPECT_EQ(Row(enc, dir / "out3"), JOB_FAILED);
  EXPECT_TRUE(view.CallsOf("Password").empty());
  EXPECT_EQ(Listing(dir / "out3"), "sub/");
}

}  // namespace
