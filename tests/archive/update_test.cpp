// Updating archives, the flags, and the commit: nothing replaces the old archive but a good Close.
#include "archive_test_util.h"

#include <dirent.h>

#include <map>

using namespace ziptest;

namespace {

std::map<std::string, std::string> Contents(const std::string& archive) {
  std::map<std::string, std::string> out;
  CZipFile zip;
  if (zip.Open(archive.c_str(), ARC_OPEN_READ, 9) != 0) return out;
  TempDir dir;
  zip.ExtractAll(dir.path().c_str(), nullptr);
  for (int i = 0; i < zip.GetEntryCount(); ++i) {
    std::string name;
    zip.GetEntryName(i, name);
    out[name] = zip.IsEntryFolder(i) ? "/" : ReadFile(dir / name);
  }
  return out;
}

// Names in a folder (to find left-over temporary files).
std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool UnzipTests(const std::string& archive) {
  if (Tool("unzip").empty()) return true;
  return Shell("unzip -tq '" + archive + "'").status == 0;
}

}  // namespace

TEST(Update, AddsReplacesAndKeepsEntries) {
  TempDir dir;
  WriteFile(dir / "one/a.txt", "a1");
  WriteFile(dir / "one/b.txt", "b1");
  SetMTime(dir / "one/a.txt", 1600000000);
  SetMTime(dir / "one/b.txt", 1600000000);
  const std::string archive = dir / "out/arc.zip";
  MakeDirs(dir / "out");
  Pack(archive, dir / "one");
  // Zip Add: a changed file is replaced, a new one added, the others kept.
  WriteFile(dir / "one/a.txt", "a2-longer");
  SetMTime(dir / "one/a.txt", 1700000000);
  WriteFile(dir / "one/c.txt", "c1");
  Pack(archive, dir / "one", ARC_OPEN_UPDATE);
  EXPECT_EQ(Contents(archive), (std::map<std::string, std::string>{{"a.txt", "a2-longer"}, {"b.txt", "b1"}, {"c.txt", "c1"}}));
  EXPECT_TRUE(UnzipTests(archive));
  EXPECT_EQ(Listing(dir / "out"), std::vector<std::string>{"arc.zip"});

  // Only newer: an older file does not replace its entry.
  WriteFile(dir / "one/a.txt", "a3-old");
  SetMTime(dir / "one/a.txt", 1500000000);
  WriteFile(dir / "one/b.txt", "b2-new");
  SetMTime(dir / "one/b.txt", 1800000000);
  Pack(archive, dir / "one", ARC_OPEN_UPDATE, 9, 0, nullptr, ARC_FLAG_RECURSE | ARC_FLAG_NEWER_ONLY);
  EXPECT_EQ(Contents(archive), (std::map<std::string, std::string>{{"a.txt", "a2-longer"}, {"b.txt", "b2-new"}, {"c.txt", "c1"}}));

  // Never overwrite: only new names go in.
  WriteFile(dir / "one/d.txt", "d1");
  Pack(archive, dir / "one", ARC_OPEN_UPDATE, 9, 0, nullptr, ARC_FLAG_RECURSE | ARC_FLAG_NO_OVERWRITE);
  EXPECT_EQ(Contents(archive), (std::map<std::string, std::string>{
                                   {"a.txt", "a2-longer"}, {"b.txt", "b2-new"}, {"c.txt", "c1"}, {"d.txt", "d1"}}));
  EXPECT_TRUE(UnzipTests(archive));

  // An update that changes nothing leaves the file alone.
  struct stat before {}, after {};
  ::stat(archive.c_str(), &before);
  Pack(archive, dir / "one", ARC_OPEN_UPDATE, 9, 0, nullptr, ARC_FLAG_RECURSE | ARC_FLAG_NO_OVERWRITE);
  ::stat(archive.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(Update, TwoRowsIntoOneOpenArchive) {
  TempDir dir;
  WriteFile(dir / "one/a.txt", "a");
  WriteFile(dir / "two/b.txt", "b");
  WriteFile(dir / "two/a.txt", "a from two");
  const std::string archive = dir / "arc.zip";
  CZipFile zip;
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_CREATE, 9), 0);
  zip.SetFlags(ARC_FLAG_RECURSE);
  EXPECT_EQ(zip.AddTree((dir / "one").c_str(), nullptr, nullptr, nullptr), 1);
  EXPECT_FALSE(Exists(archive));  // nothing is there before Close
  EXPECT_EQ(zip.AddTree((dir / "two").c_str(), nullptr, nullptr, nullptr), 2);
  EXPECT_EQ(zip.GetEntryCount(), 2);
  EXPECT_EQ(zip.Close(), 0);
  EXPECT_EQ(Contents(archive), (std::map<std::string, std::string>{{"a.txt", "a from two"}, {"b.txt", "b"}}));
  EXPECT_TRUE(UnzipTests(archive));
}

TEST(Update, KeptEntriesFromOtherPackersStayReadable) {
  if (Tool("zip").empty()) GTEST_SKIP() << "zip is not installed";
  TempDir dir;
  WriteFile(dir / "data.txt", TextData(50000, 9));
  // A data descriptor (from a pipe) and a traditionally encrypted entry are carried over as they are.
  ASSERT_EQ(Shell("cd '" + dir.path() + "' && cat data.txt | zip -q arc.zip - && zip -q -P pw arc.zip data.txt").status, 0);
  WriteFile(dir / "new/n.txt", "neu");
  Pack(dir / "arc.zip", dir / "new", ARC_OPEN_UPDATE);
  const RunResult t = Shell("cd '" + dir.path() + "' && unzip -P pw -tq arc.zip");
  EXPECT_EQ(t.status, 0) << t.output;
  const RunResult py = Python(R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert sorted(z.namelist()) == ["-", "data.txt", "n.txt"], z.namelist()
assert z.read("-") == open(sys.argv[2], "rb").read()
assert z.read("data.txt", pwd=b"pw") == open(sys.argv[2], "rb").read()
z.setpassword(b"pw")
assert z.testzip() is None
)PY", {dir / "arc.zip", dir / "data.txt"});
  EXPECT_EQ(py.status, 0) << py.output;
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
    EXPECT_EQ(zip.GetLastError(), ARC_ERR_USER_ABORT);
    EXPECT_NE(zip.GetErrorText().find("abgebrochen"), std::string::npos);
    zip.Discard();
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_TRUE(ReadFile(archive) == good);
    EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"arc.zip", "old", "src"}));
  }
  {
    // Destroyed without Close: nothing is committed.
    CZipFile zip;
    ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_CREATE, 9), 0);
    zip.SetFlags(ARC_FLAG_RECURSE);
    EXPECT_EQ(zip.AddTree((dir / "src").c_str(), nullptr, nullptr, nullptr), 20);
  }
  EXPECT_TRUE(ReadFile(archive) == good);
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"arc.zip", "old", "src"}));
}

TEST(Commit, AFailedCloseLeavesNoTemporaryFile) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  const std::string archive = dir / "arc.zip";
  CZipFile zip;
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_CREATE, 9), 0);
  zip.SetFlags(ARC_FLAG_RECURSE);
  EXPECT_EQ(zip.AddTree((dir / "src").c_str(), nullptr, nullptr, nullptr), 1);
  MakeDirs(archive + "/in-the-way");  // a folder took the name: the rename fails
  EXPECT_EQ(zip.Close(), ARC_ERR_COMMIT);
  EXPECT_NE(zip.GetErrorText().find("kann nicht gespeichert werden"), std::string::npos) << zip.GetErrorText();
  EXPECT_NE(zip.GetErrorText().find(archive), std::string::npos);
  EXPECT_FALSE(zip.IsOpen());
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"arc.zip", "src"}));
  EXPECT_TRUE(Exists(archive + "/in-the-way"));

  // A folder that does not exist: Open fails, and works once it is made.
  const std::string deep = dir / "x/y/arc.zip";
  EXPECT_EQ(zip.Open(deep.c_str(), ARC_OPEN_CREATE, 9), ARC_ERR_OPEN);
  EXPECT_NE(zip.GetErrorText().find("nicht gefunden"), std::string::npos) << zip.GetErrorText();
  MakeDirs(dir / "x/y");
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
    EXPECT_EQ(Contents(archive), (std::map<std::string, std::string>{{"a.txt", "a"}, {"sub/", "/"}, {"sub/b.txt", "b"}}));
  }
  // A link to the archive is the archive too.
  ASSERT_EQ(::symlink(archive.c_str(), (dir / "src/sub/link.zip").c_str()), 0);
  Pack(archive, dir / "src", ARC_OPEN_UPDATE);
  EXPECT_EQ(Contents(archive).count("sub/link.zip"), 0u);
}

TEST(Events, SkipQueryProgressAndCounts) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WriteFile(dir / "src/skipme/b.txt", "b");
  WriteFile(dir / "src/keep/sub/c.txt", TextData(3000000, 1));
  const std::string archive = dir / "arc.zip";
  CZipFile zip;
  ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_CREATE, 9), 0);
  zip.SetFlags(ARC_FLAG_RECURSE);
  struct Ctx {
    std::vector<std::string> queried, progress;
    int added = 0;
    i64 total = 0;
    CZipFile::NameOffsets offsets;
  } ctx;
  zip.SetCallback(&ctx, [](void* c, int event, int index, CArcFile* a, const char* text) {
    auto* x = static_cast<Ctx*>(c);
    auto* z = static_cast<CZipFile*>(a);
    if (event == ARC_EVENT_ENTRY) {
      std::string name;
      z->GetEntryName(index, name);
      x->queried.push_back(name + (z->IsEntryFolder(index) ? "/" : ""));
      return name.rfind("skipme", 0) == 0 ? 1 : 0;
    }
    if (event == ARC_EVENT_COMPRESS) {
      x->progress.push_back(text);
      x->offsets = z->GetNameOffsets();
      i64 pos = 0;
      EXPECT_TRUE(z->GetProgress(&pos, &x->total));
    }
    if (event == ARC_EVENT_FILE_ADDED) ++x->added;
    return 0;
  });
  zip.DisableEvent(-1, 1);
  for (int e : {ARC_EVENT_ENTRY, ARC_EVENT_COMPRESS, ARC_EVENT_FILE_ADDED, ARC_EVENT_ERROR}) zip.EnableEvent(e, 0);
  EXPECT_EQ(zip.AddTree((dir / "src").c_str(), nullptr, nullptr, "pre"), 2);
  // The query sees the names relative to the source; the archive has them under the folder.
  EXPECT_NE(std::find(ctx.queried.begin(), ctx.queried.end(), "skipme/"), ctx.queried.end());
  EXPECT_NE(std::find(ctx.queried.begin(), ctx.queried.end(), "keep/sub/c.txt"), ctx.queried.end());
  EXPECT_EQ(ctx.added, 2);
  EXPECT_EQ(ctx.total, 3000001);  // the skipped file left the total
  ASSERT_EQ(ctx.progress.size(), 2u);
  EXPECT_EQ(ctx.progress[1].substr(1), "pre/keep/sub/c.txt");
  EXPECT_EQ(ctx.offsets.head, 0);
  EXPECT_EQ(ctx.offsets.middle, 13);  // "pre/keep/sub/"
  EXPECT_EQ(ctx.offsets.keepTail, 1);
  i64 pos = 0, total = 0;
  EXPECT_FALSE(zip.GetProgress(&pos, &total));
  EXPECT_EQ(pos, 3000001);
  EXPECT_EQ(total, 3000001);
  std::string name;
  for (int i = 0; i < zip.GetEntryCount(); ++i) {
    zip.GetEntryName(i, name);
    EXPECT_EQ(name.find("skipme"), std::string::npos) << name;
  }
  EXPECT_EQ(zip.Close(), 0);
}

TEST(Extract, OverwriteFlagsAndReadOnlyTargets) {
  TempDir dir;
  WriteFile(dir / "src/old.txt", "archive old");
  WriteFile(dir / "src/new.txt", "archive new");
  WriteFile(dir / "src/ro.txt", "archive ro");
  SetMTime(dir / "src/old.txt", 1500000000);
  SetMTime(dir / "src/new.txt", 1700000000);
  const std::string archive = dir / "arc.zip";
  Pack(archive, dir / "src");
  auto prepare = [&](const std::string& target) {
    WriteFile(target + "/old.txt", "disk");
    WriteFile(target + "/new.txt", "disk");
    WriteFile(target + "/ro.txt", "disk");
    SetMTime(target + "/old.txt", 1600000000);
    SetMTime(target + "/new.txt", 1600000000);
    SetMTime(target + "/ro.txt", 1600000000);
    ::chmod((target + "/ro.txt").c_str(), 0444);
  };
  struct Case {
    u32 flags;
    const char *oldText, *newText, *roText;
  } cases[] = {
      {0, "archive old", "archive new", "archive ro"},
      {ARC_FLAG_NO_OVERWRITE, "disk", "disk", "disk"},
      {ARC_FLAG_NEWER_ONLY, "disk", "archive new", "archive ro"},
      {ARC_FLAG_KEEP_READONLY, "archive old", "archive new", "disk"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string target = dir / ("t" + std::to_string(n++));
    prepare(target);
    CZipFile zip;
    ASSERT_EQ(zip.Open(archive.c_str(), ARC_OPEN_READ, 9), 0);
    zip.SetFlags(c.flags);
    EXPECT_EQ(zip.ExtractAll(target.c_str(), nullptr), 0) << zip.GetErrorText();
    EXPECT_EQ(ReadFile(target + "/old.txt"), c.oldText) << c.flags;
    EXPECT_EQ(ReadFile(target + "/new.txt"), c.newText) << c.flags;
    EXPECT_EQ(ReadFile(target + "/ro.txt"), c.roText) << c.flags;
    EXPECT_EQ(Listing(target), (std::vector<std::string>{"new.txt", "old.txt", "ro.txt"}));
  }
}

TEST(Commit, AnArchiveBehindALinkIsReplacedWhereTheLinkPoints) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  MakeDirs(dir / "store");
  Pack(dir / "store/real.zip", dir / "src");
  ::chmod((dir / "store/real.zip").c_str(), 0640);
  ASSERT_EQ(::symlink((dir / "store/real.zip").c_str(), (dir / "link.zip").c_str()), 0);
  WriteFile(dir / "src/b.txt", "b");
  Pack(dir / "link.zip", dir / "src", ARC_OPEN_UPDATE);
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "link.zip").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat((dir / "store/real.zip").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Contents(dir / "store/real.zip"), (std::map<std::string, std::string>{{"a.txt", "a"}, {"b.txt", "b"}}));
  EXPECT_EQ(Listing(dir / "store"), std::vector<std::string>{"real.zip"});
}
