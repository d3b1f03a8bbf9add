// Exchanges between a source and two destinations through one carrier, over several rounds, and
// what never deletes or overwrites: damaged lists, read errors, stale copies, links.
#include "jobs/puffer/puffer_list.h"
#include "tests/support/deadline.h"
#include "tests/support/files.h"
#include "tests/support/puffer_fault.h"
#include "tests/support/puffer_folders.h"
#include "tests/support/sys_seams.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

using kpwtest::Exists;
using kpwtest::ReadFile;

std::map<std::string, std::string> Tree(const std::string& dir) {
  return kpwtest::FileContents(dir);
}

void WriteFile(const std::string& path, const std::string& text, long long mtime = 0) {
  kpwtest::WriteFile(path, text);
  if (mtime) kpwtest::SetMTime(path, mtime);
}

PufferListFile ParseFile(const std::string& path) {
  PufferListFile file;
  PufferParseList(ReadFile(path), file);
  return file;
}

std::string g_faultPath;  // paths ending in this fail
int g_faultOp = 0;
int FaultAt(const char* path, int op) {
  return op == g_faultOp && std::string_view(path).ends_with(g_faultPath) ? EIO : 0;
}

std::string g_blockedFolder;
bool BlockedFolder(const char* path) {
  return g_blockedFolder == path;
}

// The source is "buero-pc.example.org" (its rows name "BUERO-PC"); "laptop" and "heim-pc" take.
class PufferExchange : public ::testing::Test, protected kpwtest::PufferFolders {
 protected:
  void TearDown() override {
    PufferTestSetFault(nullptr);
    SysTestSetDirFault(nullptr);
  }
  void Fault(const std::string& path, int op) {
    g_faultPath = path;
    g_faultOp = op;
    PufferTestSetFault(&FaultAt);
  }

  // The source's run: a new list when there is none, then an exchange.
  int Source(u64 room = 0, PufferReport* report = nullptr) {
    PufferList engine("buero-pc.example.org");
    int r = Exists(list) ? 0 : engine.Save(list.c_str(), src.c_str(), "", "", room);
    if (r >= 0) r = engine.Exchange(list.c_str(), src.c_str(), "BUERO-PC", 0);
    if (report) *report = engine.Report();
    return r;
  }
  // A destination's run, registering it when need be.
  int Dest(const char* host, const std::string& dir, PufferReport* report = nullptr) {
    PufferList engine(host);
    int r = engine.Exchange(list.c_str(), dir.c_str(), host, 1);
    if (r == PUFFER_NOT_REGISTERED) r = engine.Exchange(list.c_str(), dir.c_str(), nullptr, 0);
    if (report) *report = engine.Report();
    return r;
  }
  int D1(PufferReport* report = nullptr) { return Dest("laptop", d1, report); }
  int D2(PufferReport* report = nullptr) { return Dest("heim-pc", d2, report); }
  // Rounds of source, D1, D2 until nothing more is copied.
  void Converge() {
    for (int i = 0; i < 6; ++i) {
      const int a = Source(), b = D1(), c = D2();
      ASSERT_TRUE(a >= 0 && b >= 0 && c >= 0) << a << " " << b << " " << c;
      if (a + b + c == 0 && i > 0) return;
    }
  }
};

// Three files that every side holds already.
class PufferSafety : public PufferExchange {
 protected:
  void SetUp() override {
    WriteFile(src + "/a.txt", "a", 1000000000);
    WriteFile(src + "/m.txt", "m", 1000000000);
    WriteFile(src + "/sub/c.txt", "c", 1000000000);
    Converge();
    ASSERT_EQ(Tree(d1), Tree(src));
  }
};

ino_t Inode(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_ino;
}

TEST_F(PufferExchange, TwoDestinationsFollowFirstCopiesChangesDeletionsAndRenames) {
  WriteFile(src + "/a.txt", "eins", 1709284542);
  WriteFile(src + "/sub/b.txt", "zwei", 1000000000);
  WriteFile(src + "/sub/tief/c.txt", "drei", 1000000000);
  WriteFile(src + "/leer.txt", "");
  WriteFile(src + "/A.txt", "another file: names compare byte by byte");
  WriteFile(buffer + "/junk.bin", "left from before");
  PufferReport report;
  EXPECT_EQ(Source(), 0);  // the list is made; no destination lacks anything yet
  EXPECT_EQ(D1(&report), 0);
  EXPECT_EQ(report.slot, 1);
  EXPECT_EQ(D2(&report), 0);
  EXPECT_EQ(report.slot, 2);
  EXPECT_EQ(Source(), 5);
  EXPECT_EQ(Tree(buffer), Tree(src));
  EXPECT_EQ(D1(), 5);
  EXPECT_EQ(D2(), 5);
  EXPECT_EQ(Tree(d2), Tree(src));
  EXPECT_EQ(Source(), 0);
  EXPECT_FALSE(Exists(buffer + "/sub"));                 // emptied folders go too
  EXPECT_EQ(kpwtest::MTime(d1 + "/a.txt"), 1709284542);  // so the next scan need not read it
  const PufferListFile file = ParseFile(list);
  EXPECT_TRUE(file.Whole());
  EXPECT_EQ(file.hosts[0], "buero-pc");
  EXPECT_EQ(file.records.Count(), 15);
  // Nothing changed: nothing is copied and the list is not written again.
  const ino_t inode = Inode(list);
  EXPECT_EQ(Source() + D1() + D2(), 0);
  EXPECT_EQ(Inode(list), inode);

  WriteFile(src + "/a.txt", "eins, geändert", 1709284600);
  WriteFile(src + "/sub/b.txt", "ZWEI", 1000000200);  // same size, other contents
  fs::remove(src + "/sub/tief/c.txt");
  fs::rename(src + "/sub", src + "/neu");
  WriteFile(d1 + "/A.txt", "lokal bearbeitet", 1000000300);  // the source wins
  WriteFile(d2 + "/nur-hier.txt", "nur auf D2");             // the source does not list it
  Converge();
  EXPECT_EQ(Tree(d1), Tree(src));
  EXPECT_EQ(Tree(d2), Tree(src));
  EXPECT_TRUE(Tree(buffer).empty());
}

// A new list leaves out what could not be read, so that destinations would delete their copies
// of it: a save that cannot read a file, or a folder, writes no list and keeps the old one and
// the buffer.
class PufferSave : public PufferExchange {
 protected:
  void SetUp() override {
    WriteFile(src + "/a.txt", "a", 1000000000);
    WriteFile(src + "/sub/c.txt", "c", 1000000000);
    ASSERT_EQ(Save(), 2);
    WriteFile(buffer + "/kept.bin", "a copy some destination lacks");
    old = ReadFile(list);
  }
  int Save(PufferReport* report = nullptr) {
    PufferList engine("buero-pc.example.org");
    const int r = engine.Save(list.c_str(), src.c_str(), "", "", 0);
    if (report) *report = engine.Report();
    return r;
  }
  void ExpectNothingSaved(const PufferReport& report, const std::string& unread) {
    EXPECT_TRUE(report.Failed());
    EXPECT_NE(report.Text().find(unread), std::string::npos) << report.Text();
    EXPECT_EQ(ReadFile(list), old);
    EXPECT_EQ(ReadFile(buffer + "/kept.bin"), "a copy some destination lacks");
    fs::remove(list);
    EXPECT_EQ(Save(), PUFFER_FAILED);
    EXPECT_FALSE(Exists(list));
  }
  std::string old;
};

TEST_F(PufferSave, AFileThatCannotBeReadWritesNoList) {
  Fault("/src/sub/c.txt", PUFFER_FAULT_READ);
  PufferReport report;
  EXPECT_EQ(Save(&report), PUFFER_FAILED);
  ExpectNothingSaved(report, src + "/sub/c.txt");
}

TEST_F(PufferSave, AFolderThatCannotBeReadWritesNoList) {
  g_blockedFolder = src + "/sub";
  SysTestSetDirFault(&BlockedFolder);
  PufferReport report;
  EXPECT_EQ(Save(&report), PUFFER_FAILED);
  ExpectNothingSaved(report, src);
}

TEST_F(PufferExchange, AStaleBufferCopyNeverOverwritesANewerVersion) {
  WriteFile(src + "/x.txt", "version 1", 1000000000);
  ASSERT_EQ(Source() + D1() + D2(), 0);
  ASSERT_EQ(Source(), 1);
  ASSERT_EQ(D1(), 1);  // D2 stays away while the source changes the file twice
  WriteFile(src + "/x.txt", "version 2!", 1000000100);
  ASSERT_EQ(Source(), 1);
  ASSERT_EQ(D1(), 1);
  WriteFile(src + "/x.txt", "version 3", 1000000200);  // the size of version 1
  ASSERT_EQ(Source(), 1);
  EXPECT_EQ(D2(), 1);
  EXPECT_EQ(ReadFile(d2 + "/x.txt"), "version 3");

  // A buffer copy that is not what the list says is refused, dropped and sent again.
  WriteFile(src + "/x.txt", "version 4", 1000000300);
  ASSERT_EQ(Source(), 1);
  WriteFile(buffer + "/x.txt", "VERSION 4", 1000000300);
  PufferReport report;
  EXPECT_EQ(D1(&report), 0);
  EXPECT_TRUE(report.Failed());
  EXPECT_EQ(ReadFile(d1 + "/x.txt"), "version 2!");
  EXPECT_FALSE(Exists(buffer + "/x.txt"));
  EXPECT_EQ(Source(), 1);
  EXPECT_EQ(D1(), 1);
  EXPECT_EQ(ReadFile(d1 + "/x.txt"), "version 4");
}

TEST_F(PufferExchange, NoFreeSlotAndAHeldLockLeaveTheListAlone) {
  WriteFile(src + "/a.txt", "a");
  ASSERT_EQ(Source(), 0);
  std::string full = "PLUS  \"\"\nMINUS \"\"\nHOST0 \"buero-pc\"\n";
  for (int k = 1; k < 10; ++k) full += "HOST" + std::to_string(k) + " \"pc" + std::to_string(k) + "\"\n";
  WriteFile(list, full + "SIZE  1000\nEND 0\n");
  PufferReport report;
  EXPECT_EQ(D1(&report), PUFFER_FAILED);
  EXPECT_TRUE(report.Failed());
  EXPECT_EQ(ReadFile(list), full + "SIZE  1000\nEND 0\n");
  fs::remove(list);
  ASSERT_EQ(Source(), 0);

  const std::string lock = list + ".lock";
  const long long now = std::time(nullptr);
  WriteFile(lock, "heim-pc 4242 " + std::to_string(now) + "\n");
  EXPECT_EQ(D1(&report), PUFFER_FAILED);
  EXPECT_NE(report.Text().find("heim-pc"), std::string::npos);
  WriteFile(lock, "heim-pc 4242 " + std::to_string(now - 13 * 3600) + "\n");  // twelve hours are over
  EXPECT_EQ(D1(), 0);
  EXPECT_FALSE(Exists(lock));
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_TRUE(kpwtest::WaitProcess(child, nullptr, "a child that ends at once"));  // a process of this host that is gone
  WriteFile(lock, "buero-pc " + std::to_string(child) + " " + std::to_string(now) + "\n");
  EXPECT_EQ(Source(), 1);
  EXPECT_FALSE(Exists(lock));
  // The run's clock judges a lock: one hour old by it is in use, however old by the system's.
  constexpr i64 kRunNow = 1000000000;
  WriteFile(lock, "heim-pc 4242 " + std::to_string(kRunNow - 3600) + "\n");
  PufferList clocked("laptop", [] { return kRunNow; });
  EXPECT_EQ(clocked.Exchange(list.c_str(), d1.c_str(), "laptop", 1), PUFFER_FAILED);
  EXPECT_NE(clocked.Report().Text().find("heim-pc"), std::string::npos);
}

TEST_F(PufferExchange, EveryDeletionCanBeStopped) {
  WriteFile(src + "/a.txt", "a");
  WriteFile(src + "/b.txt", "b");
  Converge();
  WriteFile(src + "/c.txt", "c");
  fs::remove(src + "/a.txt");
  ASSERT_GE(Source(), 0);
  // Every deletion asks first: a destination stopped there deletes nothing.
  std::string deleting;
  PufferList dest("laptop");
  dest.SetProgress(&deleting, [](void* ctx, int code, const char* path) -> int {
    if (code == PUFFER_DELETE) *static_cast<std::string*>(ctx) = path;
    return code == PUFFER_DELETE;
  });
  const std::string before = ReadFile(list);
  EXPECT_EQ(dest.Exchange(list.c_str(), d1.c_str(), "laptop", 1), PUFFER_STOPPED);
  EXPECT_EQ(deleting, d1 + "/a.txt");
  EXPECT_TRUE(Exists(d1 + "/a.txt"));
  EXPECT_EQ(ReadFile(list), before);
  dest.SetProgress(nullptr, nullptr);
  EXPECT_EQ(dest.Exchange(list.c_str(), d1.c_str(), "laptop", 1), 1);
  EXPECT_FALSE(Exists(d1 + "/a.txt"));
  EXPECT_EQ(dest.Report().deleted, 1);
}

TEST_F(PufferExchange, AListOrBufferInsideTheDataFolderOrABufferLinkIsRefused) {
  WriteFile(src + "/a.txt", "a");
  PufferList engine("buero-pc");
  EXPECT_EQ(engine.Save((src + "/sub/Docs.ssy").c_str(), src.c_str(), "", "", 0), PUFFER_FAILED);
  fs::create_directories(buffer + "/data");
  EXPECT_EQ(engine.Save(list.c_str(), (buffer + "/data").c_str(), "", "", 0), PUFFER_FAILED);
  fs::remove_all(buffer);
  // A buffer folder that is a link would let the engine delete and write elsewhere.
  WriteFile(d2 + "/fremd.txt", "bleibt");
  fs::create_directory_symlink(d2, buffer);
  EXPECT_EQ(engine.Save(list.c_str(), src.c_str(), "", "", 0), PUFFER_FAILED);
  EXPECT_EQ(ReadFile(d2 + "/fremd.txt"), "bleibt");
  EXPECT_FALSE(Exists(list));
}

TEST_F(PufferSafety, ADamagedListDeletesNothingButStillCopies) {
  fs::remove(src + "/a.txt");
  WriteFile(src + "/m.txt", "m neu", 1000000100);
  ASSERT_EQ(Source(), 1);
  const std::string whole = ReadFile(list);
  const std::string body = whole.substr(0, whole.rfind("END "));
  const std::string crafted =
      "0\t0x1 0x1 0x1\t\"..\\x\"\nEND " + std::to_string(ParseFile(list).records.Count() + 1);
  WriteFile(d1 + "/nur-d1.txt", "lokal");
  for (const std::string& text : {body, body + crafted + "\n"}) {
    WriteFile(list, text);
    PufferReport report;
    EXPECT_GE(D1(&report), 0);
    EXPECT_TRUE(report.deletionsWithheld);
    EXPECT_TRUE(Exists(d1 + "/a.txt"));
    EXPECT_TRUE(Exists(d1 + "/nur-d1.txt"));
    EXPECT_FALSE(ParseFile(list).Whole());  // still marked for the next reader
  }
  EXPECT_EQ(ReadFile(d1 + "/m.txt"), "m neu");  // taken from the buffer all the same
  // The source repairs the list; then the deletions travel.
  ASSERT_GE(Source(), 0);
  EXPECT_TRUE(ParseFile(list).Whole());
  ASSERT_GE(D1(), 0);
  EXPECT_EQ(Tree(d1), Tree(src));
}

TEST_F(PufferSafety, AListWriteCutShortKeepsTheOldList) {
  fs::remove(src + "/m.txt");
  WriteFile(src + "/neu.txt", "neu");
  const std::string before = ReadFile(list);
  const pid_t child = ::fork();
  if (child == 0) {
    // A carrier that is full after half of the list.
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {before.size() / 2, before.size() / 2};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    PufferList engine("buero-pc");
    ::_exit(engine.Exchange(list.c_str(), src.c_str(), "buero-pc", 0) == PUFFER_FAILED ? 0 : 1);
  }
  int status = -1;
  ASSERT_TRUE(kpwtest::WaitProcess(child, &status, "the exchange onto a full carrier"));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(list), before);
  EXPECT_FALSE(Exists(list + ".lock"));
  ASSERT_GE(D1(), 0);
  EXPECT_TRUE(Exists(d1 + "/m.txt"));
}

TEST_F(PufferSafety, WhatTheSourceCannotLookUpOrReadRemovesNoRecord) {
  fs::remove(src + "/m.txt");
  Fault("/src/m.txt", PUFFER_FAULT_STAT);
  PufferReport report;
  EXPECT_EQ(Source(0, &report), 0);
  EXPECT_TRUE(report.Failed());
  ASSERT_GE(D1(), 0);
  EXPECT_TRUE(Exists(d1 + "/m.txt"));

  // A new file that cannot be read has no record: no destination may delete on this list.
  WriteFile(src + "/neu.txt", "neu");
  WriteFile(d1 + "/neu.txt", "die Kopie auf D1");  // maybe the only good copy
  Fault("/src/neu.txt", PUFFER_FAULT_READ);
  EXPECT_GE(Source(0, &report), 0);
  EXPECT_TRUE(report.Failed());
  EXPECT_FALSE(ParseFile(list).Whole());
  ASSERT_GE(D1(&report), 0);
  EXPECT_TRUE(report.deletionsWithheld);
  EXPECT_EQ(ReadFile(d1 + "/neu.txt"), "die Kopie auf D1");

  // A folder that cannot be listed, then an unmounted folder that looks empty.
  PufferTestSetFault(nullptr);
  g_blockedFolder = src + "/sub";
  SysTestSetDirFault(&BlockedFolder);
  EXPECT_GE(Source(0, &report), 0);
  EXPECT_TRUE(report.Failed());
  ASSERT_GE(D1(), 0);
  EXPECT_TRUE(Exists(d1 + "/sub/c.txt"));
  SysTestSetDirFault(nullptr);
  fs::rename(src, root + "/weg");
  fs::create_directory(src);
  const std::string text = ReadFile(list);
  EXPECT_EQ(Source(0, &report), PUFFER_FAILED);
  EXPECT_NE(report.Text().find("nicht erreichbar"), std::string::npos);
  EXPECT_EQ(ReadFile(list), text);
}

TEST_F(PufferSafety, ADestinationFileThatCannotBeReadIsNeitherReplacedNorDeleted) {
  WriteFile(src + "/a.txt", "a neu", 1000000100);
  ASSERT_EQ(Source(), 1);
  WriteFile(d1 + "/a.txt", "lokal", 1000000200);
  Fault("/d1/a.txt", PUFFER_FAULT_READ);
  PufferReport report;
  EXPECT_EQ(D1(&report), 0);
  EXPECT_TRUE(report.Failed());
  EXPECT_EQ(ReadFile(d1 + "/a.txt"), "lokal");

  PufferTestSetFault(nullptr);
  WriteFile(d1 + "/extra.txt", "extra");
  g_blockedFolder = d1 + "/sub";
  SysTestSetDirFault(&BlockedFolder);
  EXPECT_EQ(D1(&report), 1);
  EXPECT_TRUE(report.Failed());
  EXPECT_TRUE(Exists(d1 + "/extra.txt"));
  EXPECT_EQ(ReadFile(d1 + "/a.txt"), "a neu");
}

TEST_F(PufferSafety, NamesTheListCannotHoldAreSkippedAndReported) {
  const std::vector<std::string> odd = {"zitat\"x.txt", "back\\slash.txt", "tab\tname.txt", "bad\xFF.txt"};
  for (const std::string& name : odd) {
    WriteFile(src + "/" + name, "odd");
    WriteFile(d1 + "/" + name, "odd auf D1");
  }
  PufferReport report;
  ASSERT_GE(Source(0, &report), 0);
  EXPECT_EQ(report.failures, 4);
  EXPECT_NE(report.Text().find("zitat\"x.txt"), std::string::npos);
  ASSERT_GE(D1(&report), 0);
  EXPECT_EQ(report.failures, 4);
  for (const std::string& name : odd) EXPECT_EQ(ReadFile(d1 + "/" + name), "odd auf D1") << name;
  EXPECT_EQ(ReadFile(list).find("zitat"), std::string::npos);
}

TEST_F(PufferSafety, AFolderOfTheDestinationThatIsALinkIsNotWrittenThrough) {
  WriteFile(src + "/ext/neu.txt", "neu");
  fs::create_directories(root + "/anderswo");
  fs::create_directory_symlink(root + "/anderswo", d1 + "/ext");
  ASSERT_GE(Source(), 0);
  PufferReport report;
  EXPECT_GE(D1(&report), 0);
  EXPECT_TRUE(report.Failed());
  EXPECT_FALSE(Exists(root + "/anderswo/neu.txt"));
  ASSERT_GE(D2(), 0);
  EXPECT_EQ(ReadFile(d2 + "/ext/neu.txt"), "neu");
}

}  // namespace
