// Never a deletion from a damaged list, a read error or a stale copy; names the list cannot hold.
#include "puffer_test_util.h"

#include "tests/support/sys_seams.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

using namespace puffertest;

std::string g_faultPath;  // paths ending in this fail
int g_faultOp = 0;
int FaultAt(const char* path, int op) {
  return op == g_faultOp && std::string_view(path).ends_with(g_faultPath) ? EIO : 0;
}

std::string g_blockedFolder;
bool BlockedFolder(const char* path) {
  return g_blockedFolder == path;
}

class PufferSafety : public PufferWorld {
 protected:
  void SetUp() override {
    WriteFile(src + "/a.txt", "a", 1000000000);
    WriteFile(src + "/m.txt", "m", 1000000000);
    WriteFile(src + "/sub/c.txt", "c", 1000000000);
    Converge();
    ASSERT_EQ(Tree(d1), Tree(src));
  }
  void TearDown() override {
    SysTestSetDirFault(nullptr);
    PufferWorld::TearDown();
  }
  void Fault(const std::string& path, int op) {
    g_faultPath = path;
    g_faultOp = op;
    PufferTestSetFault(&FaultAt);
  }
};

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
  ::waitpid(child, &status, 0);
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
