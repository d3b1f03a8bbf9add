// Never a deletion from a damaged list, a read error or a stale copy; names the list cannot hold.
#include "puffer_test_util.h"

#include "tests/support/puffer_fault.h"
#include "tests/support/sys_seams.h"
#include "tests/support/test_env.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace puffertest;

namespace {

std::string g_faultPath;  // paths ending in this fail
int g_faultOp = 0;
int g_faultErr = EIO;

int FaultAt(const char* path, int op) {
  const std::string p = path;
  return op == g_faultOp && p.size() >= g_faultPath.size() &&
                 p.compare(p.size() - g_faultPath.size(), g_faultPath.size(), g_faultPath) == 0
             ? g_faultErr
             : 0;
}

std::string g_blockedFolder;
bool BlockedFolder(const char* path) { return g_blockedFolder == path; }

class PufferSafety : public PufferWorld {
 protected:
  void SetUp() override {
    PufferWorld::SetUp();
    WriteFile(src + "/a.txt", "a", 1000000000);
    WriteFile(src + "/m.txt", "m", 1000000000);
    WriteFile(src + "/sub/c.txt", "c", 1000000000);
    WriteFile(src + "/z.txt", "z", 1000000000);
    Converge();
    ASSERT_EQ(Tree(d1), Tree(src));
  }
  void TearDown() override {
    SysTestSetDirFault(nullptr);
    PufferWorld::TearDown();
  }
  int Records() {
    PufferListFile file;
    PufferParseList(ReadFile(list), file);
    return file.records.Count();
  }
  bool ListWhole() {
    PufferListFile file;
    PufferParseList(ReadFile(list), file);
    return file.Whole();
  }
  void Fault(const std::string& pathEnd, int op, int err = EIO) {
    g_faultPath = pathEnd;
    g_faultOp = op;
    g_faultErr = err;
    PufferTestSetFault(&FaultAt);
  }
};

}  // namespace

TEST_F(PufferSafety, ADamagedListDeletesNothingButStillCopies) {
  fs::remove(src + "/a.txt");
  WriteFile(src + "/z.txt", "z neu", 1000000100);
  ASSERT_EQ(Source(), 1);
  const std::string whole = ReadFile(list);
  const int count = Records();
  const std::string end = "END " + std::to_string(count) + "\n";
  ASSERT_TRUE(whole.ends_with(end)) << whole;
  const std::string body = whole.substr(0, whole.size() - end.size());
  WriteFile(d1 + "/nur-d1.txt", "lokal");
  const std::size_t lastRecord = whole.rfind("\n0\t");
  ASSERT_NE(lastRecord, std::string::npos);
  const std::vector<std::pair<const char*, std::string>> damaged = {
      {"no END line (a list without an END line only copies)", body},
      {"wrong count", body + "END " + std::to_string(count + 1) + "\n"},
      {"a rejected record", body + "0\t0x1 0x1 0x1\t\"..\\x\"\nEND " + std::to_string(count + 1) + "\n"},
      {"text after END", whole + "1\t0x1 0x1 0x1\t\"m.txt\"\n"},
      {"cut in the middle of the records", whole.substr(0, lastRecord / 2)},
  };
  for (const auto& [what, text] : damaged) {
    WriteFile(list, text);
    const auto before = Tree(d1);
    PufferReport report;
    EXPECT_GE(D1(&report), 0) << what;
    EXPECT_TRUE(report.deletionsWithheld) << what;
    for (const auto& [name, contents] : before) EXPECT_TRUE(Exists(d1 + "/" + name)) << what << ": " << name;
    // The list stays marked as not whole for the next reader.
    PufferListFile after;
    PufferParseList(ReadFile(list), after);
    EXPECT_FALSE(after.Whole()) << what;
  }
  EXPECT_EQ(ReadFile(d1 + "/z.txt"), "z neu");  // taken from the buffer all the same

  WriteFile(list, whole);
  ASSERT_GE(D1(), 0);
  EXPECT_FALSE(Exists(d1 + "/a.txt"));
  EXPECT_FALSE(Exists(d1 + "/nur-d1.txt"));
  // The source repairs a list that is not whole.
  WriteFile(list, body);
  ASSERT_GE(Source(), 0);
  EXPECT_TRUE(ListWhole());
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
    kpwtest::TestEnv().hostName = "buero-pc";
    PufferList engine(kpwtest::TestEnv().hostName);
    ::_exit(engine.Exchange(list.c_str(), src.c_str(), "buero-pc", 0) == PUFFER_FAILED ? 0 : 1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(list), before);
  EXPECT_FALSE(Exists(list + ".tmp"));
  EXPECT_FALSE(Exists(list + ".lock"));
  ASSERT_GE(D1(), 0);
  EXPECT_TRUE(Exists(d1 + "/m.txt"));
}

TEST_F(PufferSafety, ALookupErrorOnTheSourceKeepsTheRecord) {
  fs::remove(src + "/m.txt");
  Fault("/src/m.txt", PUFFER_FAULT_STAT);
  PufferReport report;
  EXPECT_EQ(Source(0, &report), 0);
  EXPECT_TRUE(report.Failed());
  ASSERT_GE(D1(), 0);
  EXPECT_TRUE(Exists(d1 + "/m.txt"));
  PufferTestSetFault(nullptr);
  ASSERT_GE(Source(), 0);
  ASSERT_GE(D1(), 0);
  EXPECT_FALSE(Exists(d1 + "/m.txt"));
}

TEST_F(PufferSafety, AnUnreadableNewFileOnTheSourceStopsAllDeletions) {
  WriteFile(src + "/neu.txt", "neu");
  WriteFile(d1 + "/neu.txt", "die Kopie auf D1");  // maybe the only good copy
  WriteFile(d1 + "/extra.txt", "extra");
  Fault("/src/neu.txt", PUFFER_FAULT_READ);
  PufferReport report;
  EXPECT_GE(Source(0, &report), 0);
  EXPECT_TRUE(report.Failed());
  EXPECT_FALSE(ListWhole());
  ASSERT_GE(D1(&report), 0);
  EXPECT_TRUE(report.deletionsWithheld);
  EXPECT_EQ(ReadFile(d1 + "/neu.txt"), "die Kopie auf D1");
  EXPECT_TRUE(Exists(d1 + "/extra.txt"));
  PufferTestSetFault(nullptr);
  Converge();
  EXPECT_EQ(Tree(d1), Tree(src));
}

TEST_F(PufferSafety, AnIncompleteOrEmptySourceListingRemovesNoRecord) {
  g_blockedFolder = src + "/sub";
  SysTestSetDirFault(&BlockedFolder);
  PufferReport report;
  EXPECT_GE(Source(0, &report), 0);
  EXPECT_TRUE(report.Failed());
  ASSERT_GE(D1(), 0);
  EXPECT_TRUE(Exists(d1 + "/sub/c.txt"));
  SysTestSetDirFault(nullptr);

  // An unmounted folder looks empty: nothing is touched.
  fs::rename(src, root + "/weg");
  fs::create_directory(src);
  const std::string text = ReadFile(list);
  EXPECT_EQ(Source(0, &report), PUFFER_FAILED);
  EXPECT_NE(report.Text().find("nicht erreichbar"), std::string::npos);
  EXPECT_EQ(ReadFile(list), text);
  ASSERT_GE(D1(), 0);
  EXPECT_EQ(Tree(d1).size(), 4u);
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
  WriteFile(src + "/normal.txt", "normal");
  PufferReport report;
  ASSERT_GE(Source(0, &report), 0);
  EXPECT_EQ(report.failures, 4);
  EXPECT_NE(report.Text().find("zitat\"x.txt"), std::string::npos);
  ASSERT_GE(D1(&report), 0);
  EXPECT_EQ(report.failures, 4);
  ASSERT_GE(Source(), 0);
  ASSERT_GE(D1(), 0);
  EXPECT_EQ(ReadFile(d1 + "/normal.txt"), "normal");
  for (const std::string& name : odd) EXPECT_EQ(ReadFile(d1 + "/" + name), "odd auf D1") << name;
  EXPECT_EQ(ReadFile(list).find("zitat"), std::string::npos);
}

TEST_F(PufferSafety, NothingIsWrittenOutsideTheDataAndBufferFolders) {
  // A crafted record that climbs out, with a "buffer copy" where it would be looked for.
  const std::string whole = ReadFile(list);
  const std::string end = "END " + std::to_string(Records()) + "\n";
  const std::string crafted = whole.substr(0, whole.size() - end.size()) +
                              "0\t0x00000001 0x3B9ACA00 0x00000078\t\"..\\boese.txt\"\nEND " +
                              std::to_string(Records() + 1) + "\n";
  WriteFile(carrier + "/boese.txt", "x");
  WriteFile(list, crafted);
  PufferReport report;
  EXPECT_GE(D1(&report), 0);
  EXPECT_TRUE(report.Failed());
  EXPECT_FALSE(Exists(root + "/boese.txt"));
  WriteFile(list, whole);

  // A folder of the destination that is a link to somewhere else is not written through.
  WriteFile(src + "/ext/neu.txt", "neu");
  fs::create_directories(root + "/anderswo");
  fs::create_directory_symlink(root + "/anderswo", d1 + "/ext");
  ASSERT_GE(Source(), 0);
  EXPECT_GE(D1(&report), 0);
  EXPECT_TRUE(report.Failed());
  EXPECT_FALSE(Exists(root + "/anderswo/neu.txt"));
  EXPECT_EQ(ReadFile(d2 + "/a.txt"), "a");
  ASSERT_GE(D2(), 0);
  EXPECT_EQ(ReadFile(d2 + "/ext/neu.txt"), "neu");
}
