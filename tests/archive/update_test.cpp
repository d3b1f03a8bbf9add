// Updating archives, the flags, and the commit: nothing replaces the old archive but a good Close.
#include "archive_test_util.h"

#include <sys/stat.h>

using namespace ziptest;

namespace {

using Files = std::map<std::string, std::string>;

TEST(Update, AddsReplacesAndKeepsEntries) {
  TempDir dir;
  WriteFile(dir / "one/a.txt", "a1");
  WriteFile(dir / "one/b.txt", "b1");
  SetMTime(dir / "one/a.txt", 1600000000);
  SetMTime(dir / "one/b.txt", 1600000000);
  const std::string archive = dir / "out/arc.zip";
  fs::create_directories(dir / "out");
  Pack(archive, dir / "one");
  // Zip Add: a changed file is replaced, a new one added, the others kept.
  WriteFile(dir / "one/a.txt", "a2-longer");
  SetMTime(dir / "one/a.txt", 1700000000);
  WriteFile(dir / "one/c.txt", "c1");
  Pack(archive, dir / "one", ARC_OPEN_UPDATE);
  EXPECT_EQ(Contents(archive), (Files{{"a.txt", "a2-longer"}, {"b.txt", "b1"}, {"c.txt", "c1"}}));
  EXPECT_EQ(Shell("unzip -tq " + kpwtest::Quote(archive)).status, 0);
  EXPECT_EQ(Names(dir / "out"), std::set<std::string>{"arc.zip"});
  // Only newer: an older file does not replace its entry.
  WriteFile(dir / "one/a.txt", "a3-old");
  SetMTime(dir / "one/a.txt", 1500000000);
  WriteFile(dir / "one/b.txt", "b2-new");
  SetMTime(dir / "one/b.txt", 1800000000);
  Pack(archive, dir / "one", ARC_OPEN_UPDATE, 9, 0, nullptr, ARC_FLAG_RECURSE | ARC_FLAG_NEWER_ONLY);
  EXPECT_EQ(Contents(archive), (Files{{"a.txt", "a2-longer"}, {"b.txt", "b2-new"}, {"c.txt", "c1"}}));
  // Never overwrite: only new names go in.
  WriteFile(dir / "one/d.txt", "d1");
  Pack(archive, dir / "one", ARC_OPEN_UPDATE, 9, 0, nullptr, ARC_FLAG_RECURSE | ARC_FLAG_NO_OVERWRITE);
  EXPECT_EQ(Contents(archive),
            (Files{{"a.txt", "a2-longer"}, {"b.txt", "b2-new"}, {"c.txt", "c1"}, {"d.txt", "d1"}}));
  // An update that changes nothing leaves the file alone.
  struct stat before {
  }, after{};
  ::stat(archive.c_str(), &before);
  Pack(archive, dir / "one", ARC_OPEN_UPDATE, 9, 0, nullptr, ARC_FLAG_RECURSE | ARC_FLAG_NO_OVERWRITE);
  ::stat(archive.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(Update, KeptEntriesFromOtherPackersStayReadable) {
  TempDir dir;
  WriteFile(dir / "data.txt", TextData(50000, 9));
  // A data descriptor (from a pipe) and a traditionally encrypted entry are carried over as they are.
  ASSERT_EQ(ShellIn(dir.path(), "zip -q arc.zip - <data.txt && zip -q -P pw arc.zip data.txt"), 0);
  WriteFile(dir / "new/n.txt", "neu");
  Pack(dir / "arc.zip", dir / "new", ARC_OPEN_UPDATE);
  EXPECT_EQ(ShellIn(dir.path(), "unzip -P pw -tq arc.zip"), 0);
  const RunResult py = Python(R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert sorted(z.namelist()) == ["-", "data.txt", "n.txt"], z.namelist()
assert z.read("-") == open(sys.argv[2], "rb").read()
assert z.read("data.txt", pwd=b"pw") == open(sys.argv[2], "rb").read()
)PY",
                              {dir / "arc.zip", dir / "data.txt"});
  EXPECT_EQ(py.status, 0) << py.output;
}

// Data in front of the archive (a self-extractor's stub) shifts every offset its directory
// records: every entry still unpacks, and an update keeps them readable.
TEST(Update, AnArchiveBehindAStubUnpacksWholeAndAnAddKeepsItsEntries) {
  TempDir dir;
  const Files files{{"a.txt", TextData(3000, 3)}, {"sub/b.bin", RandomData(200, 4)}, {"c.txt", "c"}};
  for (const auto& [name, bytes] : files) WriteFile(dir / ("src/" + name), bytes);
  const std::string archive = dir / "sfx.zip";
  Pack(dir / "plain.zip", dir / "src");
  WriteFile(archive, RandomData(1000, 5) + ReadFile(dir / "plain.zip"));
  EXPECT_EQ(Contents(archive), files);
  WriteFile(dir / "new/n.txt", "neu");
  Pack(archive, dir / "new", ARC_OPEN_UPDATE);
  Files all = files;
  all["n.txt"] = "neu";
  EXPECT_EQ(Contents(archive), all);
  const RunResult unzip = Shell("unzip -tq " + kpwtest::Quote(archive));
  EXPECT_EQ(unzip.status, 0) << unzip.output;
}

TEST(Commit, CancelDiscardAndDestructionKeepTheOldArchive) {
  TempDir dir;
  for (int i = 0; i < 20; ++i) WriteFile(dir / ("src/f" + std::to_string(i) + ".txt"), TextData(5000, i));
  const std::string archive = dir / "arc.zip";
  WriteFile(dir / "old/keep.txt", "last night");
  Pack(archive, dir / "old");
  const std::string good = ReadFile(archive);
  for (int mode : {ARC_OPEN_CREATE, ARC_OPEN_UPDATE}) {
    // The callback stops after the fifth file: error 23, and Discard leaves the old archive.
    CZipFile zip;
    EventLog log;
    log.abortAtEvent = ARC_EVENT_FILE_ADDED;
    log.abortAfter = 5;
    ASSERT_EQ(zip.Open(archive.c_str(), mode, 9), 0);
    zip.SetFlags(ARC_FLAG_RECURSE);
    zip.SetCallback(&log, &EventLog::Callback);
    EXPECT_EQ(zip.AddTree((dir / "src").c_str(), nullptr, nullptr, nullptr), 5);
    EXPECT_EQ(zip.GetErrorText(), "Die Bearbeitung des Archivs '" + archive + "' wurde abgebrochen.");
    zip.Discard();
    EXPECT_TRUE(ReadFile(archive) == good);
  }
  {
    // Destroyed without Close: nothing is committed.
    CZipFile zip;
    ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_CREATE, 9), 0);
    zip.SetFlags(ARC_FLAG_RECURSE);
    EXPECT_EQ(zip.AddTree((dir / "src").c_str(), nullptr, nullptr, nullptr), 20);
  }
  EXPECT_TRUE(ReadFile(archive) == good);
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"arc.zip", "old", "src"}));
}

TEST(Commit, AFailedCloseLeavesNoTemporaryFile) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  const std::string archive = dir / "arc.zip";
  CZipFile zip;
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_CREATE, 9), 0);
  zip.SetFlags(ARC_FLAG_RECURSE);
  EXPECT_EQ(zip.AddTree((dir / "src").c_str(), nullptr, nullptr, nullptr), 1);
  fs::create_directories(archive + "/in-the-way");  // a folder took the name: the rename fails
  EXPECT_EQ(zip.Close(), ARC_ERR_COMMIT);
  EXPECT_EQ(zip.GetErrorText(),
            "Das Archiv '" + archive +
                "' kann nicht gespeichert werden: Ein Ordner hat diesen Namen. Das bisherige "
                "Archiv bleibt erhalten.");
  EXPECT_FALSE(zip.IsOpen());
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"arc.zip", "src"}));
  // A folder that does not exist: Open fails, and works once it is made.
  const std::string deep = dir / "x/y/arc.zip";
  EXPECT_EQ(zip.Open(deep.c_str(), ARC_OPEN_CREATE, 9), ARC_ERR_OPEN);
  EXPECT_EQ(zip.GetErrorText(),
            "Das Archiv '" + deep + "' kann nicht geöffnet werden: Datei oder Ordner nicht gefunden.");
  fs::create_directories(dir / "x/y");
  EXPECT_EQ(zip.Open(deep.c_str(), ARC_OPEN_CREATE, 9), 0);
  EXPECT_EQ(zip.Close(), 0);
}

TEST(Commit, TheArchiveNeverPacksItself) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WriteFile(dir / "src/sub/b.txt", "b");
  const std::string archive = dir / "src/backup.zip";
  for (int mode : {ARC_OPEN_CREATE, ARC_OPEN_UPDATE, ARC_OPEN_CREATE}) {
    Pack(archive, dir / "src", mode);
    EXPECT_EQ(Contents(archive), (Files{{"a.txt", "a"}, {"sub/b.txt", "b"}}));
  }
  // A link to the archive is the archive too.
  fs::create_symlink(archive, dir / "src/sub/link.zip");
  Pack(archive, dir / "src", ARC_OPEN_UPDATE);
  EXPECT_EQ(Contents(archive), (Files{{"a.txt", "a"}, {"sub/b.txt", "b"}}));
}

TEST(Commit, AnArchiveBehindALinkIsReplacedWhereTheLinkPoints) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  fs::create_directories(dir / "store");
  Pack(dir / "store/real.zip", dir / "src");
  ::chmod((dir / "store/real.zip").c_str(), 0640);
  fs::create_symlink(dir / "store/real.zip", dir / "link.zip");
  WriteFile(dir / "src/b.txt", "b");
  Pack(dir / "link.zip", dir / "src", ARC_OPEN_UPDATE);
  EXPECT_TRUE(fs::is_symlink(dir / "link.zip"));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "store/real.zip").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Contents(dir / "store/real.zip"), (Files{{"a.txt", "a"}, {"b.txt", "b"}}));
  EXPECT_EQ(Names(dir / "store"), std::set<std::string>{"real.zip"});
}

}  // namespace
