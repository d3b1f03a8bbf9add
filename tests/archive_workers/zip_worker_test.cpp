// The "Zip" and "Zip Add" worker on real folders: rows that share one archive, updates, unpacking
// with the overwrite flags, failures and cancels that keep the old archive, the archive inside its
// own source, and archives checked by unzip.
#include "aw_test_util.h"

#include "archive/zip_file.h"
#include "jobs/job_model.h"
#include "tests/support/sys_seams.h"

#include <algorithm>

namespace {

using namespace awtest;

class ZipWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!EngineReady()) GTEST_SKIP() << "no archive engine in this build";
    src_ = dir_ / "src";
    WriteFile(src_ + "/a.txt", "alpha");
    WriteFile(src_ + "/sub/b.txt", "beta");
    archive_ = dir_ / "out/t.zip";
  }

  int Zip(const std::string& source, const std::string& target, u32 flags = 0, const std::string& extra = "",
          int subdirs = 1) {
    return rig_.Call(RunZip, source, target, flags, extra, subdirs);
  }
  // The entry names of an archive (zipinfo -1), sorted.
  static std::vector<std::string> Entries(const std::string& archive) {
    int status = 0;
    const std::string out = Shell("zipinfo -1 " + Quote(archive) + " 2>/dev/null", &status);
    std::vector<std::string> names;
    std::size_t pos = 0;
    while (pos < out.size()) {
      const std::size_t end = out.find('\n', pos);
      names.push_back(out.substr(pos, end - pos));
      pos = end == std::string::npos ? out.size() : end + 1;
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // unzip -t passes (skipped without unzip).
  static void ExpectSound(const std::string& archive) {
    if (!HaveTool("unzip")) return;
    int status = -1;
    const std::string out = Shell("unzip -t " + Quote(archive) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
  }
  static std::string Member(const std::string& archive, const std::string& name) {
    return Shell("unzip -p " + Quote(archive) + " " + Quote(name) + " 2>/dev/null");
  }
  // Whatever else lies beside the archive (temporary files left behind).
  static std::set<std::string> Beside(const std::string& archive) {
    std::set<std::string> names = Names(fs::path(archive).parent_path().string());
    names.erase(fs::path(archive).filename().string());
    return names;
  }

  ScratchDir dir_;
  RunRig rig_;
  std::string src_, archive_;
};

TEST_F(ZipWorker, ZipAndZipAddRowsWriteOneArchive) {
  const std::string src2 = dir_ / "src2";
  WriteFile(src2 + "/c.txt", "gamma");
  // The runner's flags for "Zip" followed by "Zip Add" with the same target text.
  EXPECT_EQ(Zip(src_, archive_, RUN_CONTINUE_NEXT), JOB_DONE);
  EXPECT_TRUE(rig_.state.SharedArchive().IsOpen());
  EXPECT_EQ(Zip(src2, archive_, RUN_ADD | RUN_CONTINUED), JOB_DONE);
  EXPECT_FALSE(rig_.state.SharedArchive().IsOpen());
  EXPECT_EQ(Entries(archive_), (std::vector<std::string>{"a.txt", "c.txt", "sub/", "sub/b.txt"}));
  ExpectSound(archive_);
  EXPECT_EQ(Member(archive_, "sub/b.txt"), "beta");
  EXPECT_EQ(rig_.Copied(), 3u);
  EXPECT_TRUE(Beside(archive_).empty());
}

TEST_F(ZipWorker, AContinuedRowChecksWhichArchiveIsOpen) {
  // The runner saw equal target texts; the expanded targets differ.
  const std::string other = dir_ / "out/other.zip";
  const std::string src2 = dir_ / "src2";
  WriteFile(src2 + "/c.txt", "gamma");
  EXPECT_EQ(Zip(src_, archive_, RUN_CONTINUE_NEXT), JOB_DONE);
  EXPECT_EQ(Zip(src2, other, RUN_ADD | RUN_CONTINUED), JOB_DONE);
  EXPECT_EQ(Entries(archive_), (std::vector<std::string>{"a.txt", "sub/", "sub/b.txt"}));
  EXPECT_EQ(Entries(other), (std::vector<std::string>{"c.txt"}));
}

TEST_F(ZipWorker, ZipAddReplacesAChangedEntry) {
  SetMTime(src_ + "/a.txt", 1700000000);
  ASSERT_EQ(Zip(src_, archive_), JOB_DONE);
  WriteFile(src_ + "/a.txt", "alpha, second edition");
  SetMTime(src_ + "/a.txt", 1700100000);
  WriteFile(src_ + "/new.txt", "new");
  EXPECT_EQ(Zip(src_, archive_, RUN_ADD), JOB_DONE);
  EXPECT_EQ(Entries(archive_), (std::vector<std::string>{"a.txt", "new.txt", "sub/", "sub/b.txt"}));
  EXPECT_EQ(Member(archive_, "a.txt"), "alpha, second edition");
  ExpectSound(archive_);
  // Never overwrite: the entry stays as it is.
  WriteFile(src_ + "/a.txt", "third");
  SetMTime(src_ + "/a.txt", 1700200000);
  EXPECT_EQ(Zip(src_, archive_, RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(Member(archive_, "a.txt"), "alpha, second edition");
}

TEST_F(ZipWorker, UnpackHonoursTheOverwriteFlags) {
  SetMTime(src_ + "/a.txt", 1700000000);
  SetMTime(src_ + "/sub/b.txt", 1700000000);
  ASSERT_EQ(Zip(src_, archive_), JOB_DONE);
  const std::string out = dir_ / "unpacked";
  const auto local = [&] {
    WriteFile(out + "/a.txt", "local, newer");
    SetMTime(out + "/a.txt", 1700050000);
    WriteFile(out + "/sub/b.txt", "local, older");
    SetMTime(out + "/sub/b.txt", 1699950000);
  };
  local();
  EXPECT_EQ(Zip(archive_, out, RUN_NO_OVERWRITE), JOB_DONE);
  EXPECT_EQ(ReadFile(out + "/a.txt"), "local, newer");
  EXPECT_EQ(ReadFile(out + "/sub/b.txt"), "local, older");
  EXPECT_EQ(Zip(archive_, out, RUN_NEWER_ONLY), JOB_DONE);
  EXPECT_EQ(ReadFile(out + "/a.txt"), "local, newer");
  EXPECT_EQ(ReadFile(out + "/sub/b.txt"), "beta");
  local();
  EXPECT_EQ(Zip(archive_, out + "/"), JOB_DONE);
  EXPECT_EQ(ReadFile(out + "/a.txt"), "alpha");
  EXPECT_EQ(ReadFile(out + "/sub/b.txt"), "beta");
  // A target folder that is not there yet is made; excluded folders are not unpacked.
  EXPECT_EQ(Zip(archive_, dir_ / "fresh/deep", 0, "sub"), JOB_DONE);
  EXPECT_EQ(ReadFile(dir_ / "fresh/deep/a.txt"), "alpha");
  EXPECT_FALSE(Exists(dir_ / "fresh/deep/sub/b.txt"));
}

TEST_F(ZipWorker, AZipSourceUnpacksButZipAddPacksIt) {
  ASSERT_EQ(Zip(src_, archive_), JOB_DONE);
  const std::string second = dir_ / "second.zip";
  EXPECT_EQ(Zip(archive_, second), JOB_DONE);
  EXPECT_EQ(ReadFile(second + "/a.txt"), "alpha");  // a folder named like an archive
  const std::string third = dir_ / "third.zip";
  EXPECT_EQ(Zip(archive_, third, RUN_ADD), JOB_DONE);
  EXPECT_EQ(Entries(third), (std::vector<std::string>{"t.zip"}));
  ExpectSound(third);
}

TEST_F(ZipWorker, NoArchiveOnEitherSideCopiesAndEndsTheOpenArchive) {
  EXPECT_EQ(Zip(src_, archive_, RUN_CONTINUE_NEXT), JOB_DONE);
  EXPECT_EQ(Zip(src_, dir_ / "copy"), JOB_DONE);
  EXPECT_EQ(ReadFile(dir_ / "copy/sub/b.txt"), "beta");
  EXPECT_FALSE(rig_.state.SharedArchive().IsOpen());
  EXPECT_EQ(Entries(archive_), (std::vector<std::string>{"a.txt", "sub/", "sub/b.txt"}));
}

TEST_F(ZipWorker, FolderInsideTheArchiveAndExcludedFolders) {
  WriteFile(src_ + "/skipme/x.txt", "x");
  EXPECT_EQ(Zip(src_, archive_, 0, "arch\\dir/;skipme"), JOB_DONE);
  EXPECT_EQ(Entries(archive_),
            (std::vector<std::string>{"arch/dir/a.txt", "arch/dir/sub/", "arch/dir/sub/b.txt"}));
  ExpectSound(archive_);
  // A folder that climbs out of wherever the archive is unpacked is refused.
  const std::string refused = dir_ / "refused.zip";
  EXPECT_EQ(Zip(src_, refused, RUN_DIALOG, "../up"), JOB_FAILED);
  EXPECT_FALSE(Exists(refused));
  ASSERT_EQ(rig_.boxes.size(), 1u);
}

TEST_F(ZipWorker, AMissingSourceKeepsTheOldArchive) {
  ASSERT_EQ(Zip(src_, archive_), JOB_DONE);
  const std::string old = ReadFile(archive_);
  EXPECT_EQ(Zip(dir_ / "unmounted", archive_, RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(rig_.boxes.size(), 1u);
  EXPECT_EQ(rig_.boxes[0].text, "Die Datei '" + dir_ / "unmounted" + "' wurde nicht gefunden !");
  EXPECT_EQ(ReadFile(archive_), old);
  EXPECT_FALSE(rig_.state.SharedArchive().IsOpen());
  // In a chain that makes the archive anew, the chain is dropped and the old archive stays.
  WriteFile(dir_ / "s2/c.txt", "gamma");
  EXPECT_EQ(Zip(dir_ / "s2", archive_, RUN_CONTINUE_NEXT), JOB_DONE);
  EXPECT_EQ(Zip(dir_ / "unmounted", archive_, RUN_ADD | RUN_CONTINUED), JOB_FAILED);
  EXPECT_FALSE(rig_.state.SharedArchive().IsOpen());
  EXPECT_EQ(ReadFile(archive_), old);
  EXPECT_TRUE(Beside(archive_).empty());
}

TEST_F(ZipWorker, ASourceWithoutFilesKeepsAnArchiveOrMakesAnEmptyOne) {
  ASSERT_EQ(Zip(src_, archive_), JOB_DONE);
  const std::string old = ReadFile(archive_);
  const std::string empty = dir_ / "empty";
  fs::create_directories(empty);
  EXPECT_EQ(Zip(empty, archive_, RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(rig_.boxes.size(), 1u);
  EXPECT_NE(rig_.boxes[0].text.find("bleibt unverändert"), std::string::npos);
  EXPECT_EQ(ReadFile(archive_), old);
  // Where no archive was, a valid empty one.
  const std::string fresh = dir_ / "fresh.zip";
  EXPECT_EQ(Zip(empty, fresh), JOB_DONE);
  const std::string bytes = ReadFile(fresh);
  ASSERT_EQ(bytes.size(), 22u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("PK\x05\x06", 4));
  if (HaveTool("python3")) {
    EXPECT_EQ(Shell("python3 -c 'import sys,zipfile; print(len(zipfile.ZipFile(sys.argv[1]).namelist()))' " + Quote(fresh)),
              "0\n");
  }
}

std::string g_faultyFolder;
bool FaultyFolder(const char* path) { return g_faultyFolder == path; }

TEST_F(ZipWorker, AnUnreadableSourceFolderKeepsTheOldArchive) {
  ASSERT_EQ(Zip(src_, archive_), JOB_DONE);
  const std::string old = ReadFile(archive_);
  WriteFile(src_ + "/a.txt", "alpha, changed");
  g_faultyFolder = src_ + "/sub";
  SysTestSetDirFault(&FaultyFolder);
  EXPECT_EQ(Zip(src_, archive_, RUN_DIALOG), JOB_FAILED);
  const std::string afterPlain = ReadFile(archive_);
  // Updating keeps the entries of what could not be read, so that goes through.
  EXPECT_EQ(Zip(src_, archive_, RUN_ADD), JOB_FAILED);
  SysTestSetDirFault(nullptr);
  EXPECT_EQ(afterPlain, old);
  ASSERT_EQ(rig_.boxes.size(), 1u);
  EXPECT_EQ(rig_.boxes[0].text, "'" + src_ + "' konnte nicht vollständig gelesen werden:\ndas Archiv '" + archive_ +
                                    "' bleibt unverändert !");
  EXPECT_EQ(Entries(archive_), (std::vector<std::string>{"a.txt", "sub/", "sub/b.txt"}));
  EXPECT_EQ(Member(archive_, "a.txt"), "alpha, changed");
  EXPECT_EQ(Member(archive_, "sub/b.txt"), "beta");
}

TEST_F(ZipWorker, ACancelledRunKeepsTheOldArchive) {
  ASSERT_EQ(Zip(src_, archive_), JOB_DONE);
  const std::string old = ReadFile(archive_);
  WriteFile(src_ + "/more.txt", "more");
  rig_.state.SetCancel();
  EXPECT_EQ(Zip(src_, archive_), JOB_STOP_ALL);
  EXPECT_EQ(ReadFile(archive_), old);
  EXPECT_FALSE(rig_.state.SharedArchive().IsOpen());
  EXPECT_TRUE(Beside(archive_).empty());
  // Also in a chain: the rows before are dropped with it.
  rig_.state.StartRun();
  EXPECT_EQ(Zip(src_, archive_, RUN_CONTINUE_NEXT), JOB_DONE);
  rig_.state.SetCancel();
  EXPECT_EQ(Zip(src_, archive_, RUN_ADD | RUN_CONTINUED), JOB_STOP_ALL);
  EXPECT_EQ(ReadFile(archive_), old);
  EXPECT_TRUE(Beside(archive_).empty());
}

TEST_F(ZipWorker, TheArchiveIsNeverPackedIntoItself) {
  const std::string inside = src_ + "/backup.zip";
  EXPECT_EQ(Zip(src_, inside), JOB_DONE);
  EXPECT_EQ(Zip(src_, inside), JOB_DONE);
  EXPECT_EQ(Zip(src_, inside, RUN_ADD), JOB_DONE);
  EXPECT_EQ(Entries(inside), (std::vector<std::string>{"a.txt", "sub/", "sub/b.txt"}));
  ExpectSound(inside);
}

TEST_F(ZipWorker, ArchiveErrorsAskOnlyWithQuestionsAllowed) {
  const std::string bogus = dir_ / "bogus.zip";
  WriteFile(bogus, "this is no archive at all");
  EXPECT_EQ(Zip(bogus, dir_ / "out2"), JOB_FAILED);
  EXPECT_TRUE(rig_.boxes.empty());
  EXPECT_EQ(Zip(bogus, dir_ / "out2", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(rig_.boxes.size(), 1u);
  EXPECT_EQ(rig_.boxes[0].type, 0x11u);
  EXPECT_NE(rig_.boxes[0].text.find(bogus), std::string::npos);
  EXPECT_EQ(rig_.boxes[0].text.substr(rig_.boxes[0].text.size() - 2), "\n\n");
  rig_.answers = {IDCANCEL};
  EXPECT_EQ(Zip(bogus, dir_ / "out2", RUN_DIALOG), JOB_STOP_ALL);
  EXPECT_TRUE(rig_.state.IsCancelled());
}

TEST_F(ZipWorker, UnpackingWantsATarget) {
  ASSERT_EQ(Zip(src_, archive_), JOB_DONE);
  EXPECT_EQ(Zip(archive_, "", RUN_DIALOG), JOB_FAILED);
  ASSERT_EQ(rig_.boxes.size(), 1u);
  EXPECT_EQ(rig_.boxes[0].text, "Es wurde kein Ziel zum Entpacken von '" + archive_ + "' angegeben !");
}

TEST_F(ZipWorker, ShrinkKeepsDatedArchivesOfAFolder) {
  const i64 today = DayOf(2026, 12, 6);
  FixedClock clock(today);
  WriteFile(src_ + "/skip/x.txt", "x");
  const std::string series = dir_ / "series";
  for (const i64 age : {8, 9, 10, 20}) WriteFile(series + "/arc_" + DateText(today - age) + ".zip", "old");
  EXPECT_EQ(rig_.Call(RunShrink, src_, series + "/arc_#D#.zip", 0, "7;skip"), JOB_DONE);
  const std::string made = series + "/arc_" + DateText(today) + ".zip";
  EXPECT_EQ(Entries(made), (std::vector<std::string>{"a.txt", "sub/", "sub/b.txt"}));
  ExpectSound(made);
  EXPECT_EQ(Names(series).size(), 4u);  // the copy of age 9 went
  EXPECT_FALSE(Exists(series + "/arc_" + DateText(today - 9) + ".zip"));
  // A folder whose name ends in ".zip" is packed, not taken for an archive.
  const std::string odd = dir_ / "odd.zip";
  WriteFile(odd + "/inside.txt", "inside");
  EXPECT_EQ(rig_.Call(RunShrink, odd, series + "/odd_#D#.zip"), JOB_DONE);
  EXPECT_EQ(Entries(series + "/odd_" + DateText(today) + ".zip"), (std::vector<std::string>{"inside.txt"}));
}

TEST_F(ZipWorker, CraftedNamesNeverLeaveTheTargetFolder) {
  if (!HaveTool("python3")) GTEST_SKIP() << "no python3";
  const std::string crafted = dir_ / "crafted.zip";
  const std::string script =
      "import zipfile,sys\n"
      "z=zipfile.ZipFile(sys.argv[1],'w')\n"
      "z.writestr('../evil.txt','evil')\n"
      "z.writestr('/abs.txt','abs')\n"
      "z.writestr('ok.txt','ok')\n"
      "z.close()\n";
  WriteFile(dir_ / "craft.py", script);
  int status = -1;
  Shell("python3 " + Quote(dir_ / "craft.py") + " " + Quote(crafted), &status);
  ASSERT_EQ(status, 0);
  const std::string out = dir_ / "box/inner";
  EXPECT_EQ(Zip(crafted, out), JOB_FAILED);
  EXPECT_EQ(ReadFile(out + "/ok.txt"), "ok");
  EXPECT_FALSE(Exists(dir_ / "box/evil.txt"));
  EXPECT_FALSE(Exists("/abs.txt") && ReadFile("/abs.txt") == "abs");
}

}  // namespace
