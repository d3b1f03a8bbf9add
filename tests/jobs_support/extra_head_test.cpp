// The extra cell's head: host restriction, target sign, excluded folders and their matching.
#include "jobs/exclude_list.h"
#include "jobs/job_extra.h"
#include "jobs/worker.h"
#include "jobs/workers/worker_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Cell, host name, whether the row applies there, and the text after the restriction.
struct HostCase {
  const char* cell;
  std::string host;
  int applies;
  const char* rest;
};

TEST(HostList, MatchesTheHostAndMovesPastTheRestriction) {
  const std::string longName(63, 'h');
  const std::string longCell = "*[" + longName + "]";
  const std::string cutCell = "*[" + longName.substr(0, 31) + "]";
  const HostCase cases[] = {
      {"*[BUILDHOST]", "Buildhost", 1, ""},
      {"*[buildhost]", "Buildhost", 1, ""},
      {"*[buildhost]", "buildhost2", 0, ""},
      {"*[buildhost]", "build", 0, ""},
      {"*[]", "build", 0, ""},
      {"", "a", 1, ""},
      {"*", "a", 1, "*"},
      {"*;x", "a", 1, "*;x"},
      {"[a]", "a", 1, "[a]"},
      {"* [a]", "a", 1, "* [a]"},
      {"x*[a]", "a", 1, "x*[a]"},
      {"*[pc;rest", "pc", 1, "rest"},
      {"*[pc];rest", "pc", 1, "rest"},
      {"*[pc];;rest", "pc", 1, ";rest"},
      {"*[other]*;tmp", "pc", 0, "*;tmp"},
      // A host reporting its domain name is named by the short form too.
      {"*[server1]", "Server1.example.org", 1, ""},
      {"*[SERVER1.EXAMPLE.ORG]", "Server1.example.org", 1, ""},
      {"*[server1.example]", "Server1.example.org", 0, ""},
      {"*[example]", "Server1.example.org", 0, ""},
      {longCell.c_str(), longName, 1, ""},
      {cutCell.c_str(), longName, 0, ""},
  };
  for (const HostCase& c : cases) {
    const char* p = c.cell;
    EXPECT_EQ(HostListMatch(&p, c.host), c.applies) << c.cell << " on " << c.host;
    EXPECT_STREQ(p, c.rest) << c.cell;
  }
}

TEST(HostList, TheSystemsNameIsWholeAndMatchesItself) {
  const std::string name = JobEnvironment::FromSystem().hostName;
  ASSERT_FALSE(name.empty());
  EXPECT_LT(name.size(), 256u);
  const std::string cell = "*[" + name + "]";
  const char* p = cell.c_str();
  EXPECT_EQ(HostListMatch(&p, name), 1);
}

TEST(ExtraHead, ParseFillsTheModelsShape) {
  const JobExtraHead h = ExtraHeadParse("*[pc];*;Tmp;\\Obj\\Debug ");
  EXPECT_TRUE(h.hostRestricted);
  EXPECT_EQ(h.host, "pc");
  EXPECT_TRUE(h.targetMustExist);
  EXPECT_EQ(h.restOffset, 8u);
  EXPECT_EQ(h.excludedFolders, (std::vector<std::string>{"tmp", "obj/debug"}));

  const JobExtraHead plain = ExtraHeadParse("a;b");
  EXPECT_FALSE(plain.hostRestricted);
  EXPECT_FALSE(plain.targetMustExist);
  EXPECT_EQ(plain.restOffset, 0u);
  EXPECT_EQ(plain.excludedFolders, (std::vector<std::string>{"a", "b"}));
}

std::vector<std::string> Build(const char* text, int flags, int* result = nullptr) {
  CExcludeList list;
  const int r = ExcludeListBuild(list, text, flags);
  if (result) *result = r;
  return list.Patterns();
}

TEST(ExcludeListBuild, SignMixedCaseSeparatorsAndBlanks) {
  int r = -1;
  EXPECT_EQ(Build("*;MixedCase;\\Second ", 1, &r), (std::vector<std::string>{"mixedcase", "second"}));
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Build("*;MixedCase;\\Second ", 0, &r), (std::vector<std::string>{"*", "mixedcase", "second"}));
  EXPECT_EQ(r, 0);
}

TEST(ExcludeListBuild, ItemForms) {
  int r = -1;
  EXPECT_TRUE(Build("*", 1, &r).empty());
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Build("*x", 1, &r), (std::vector<std::string>{"*x"}));
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Build("a;b;", 1), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Build("a\t \t;/B/C;\\d\\e", 1), (std::vector<std::string>{"a", "b/c", "d/e"}));
  EXPECT_EQ(Build(";;  ;a", 1), (std::vector<std::string>{"a"}));
  EXPECT_EQ(Build("a;/", 1), (std::vector<std::string>{"a"}));
  EXPECT_EQ(Build("Ärger;ÖL", 1), (std::vector<std::string>{"Ärger", "Öl"}));  // ASCII folding only
  EXPECT_TRUE(Build(nullptr, 1, &r).empty());
  EXPECT_EQ(r, 0);
}

TEST(ExcludeListBuild, RebuildForgetsEverything) {
  CExcludeList list;
  ExcludeListBuild(list, "tmp", 0);
  ASSERT_EQ(ExcludeListMatch(list, "tmp/x", -1), 1);
  EXPECT_EQ(list.Remembered(), "tmp");
  ExcludeListBuild(list, "other", 0);
  EXPECT_EQ(list.Remembered(), "");
  EXPECT_EQ(ExcludeListMatch(list, "tmp/x", -1), 0);
}

TEST(ExcludeListMatch, FolderAndEverythingBelowInAnyCase) {
  CExcludeList list;
  // The cell is user text: "\\" separates there.
  ExcludeListBuild(list, "Build;obj\\debug;a*", 0);
  for (const char* p : {"build", "BUILD", "build/x", "Build/x/y", "/build/x", "obj/debug", "OBJ/Debug/sub",
                        "ab\\c/d"})
    EXPECT_EQ(ExcludeListMatch(list, p, -1), 1) << p;
  // Paths come from listings: there "\\" is a byte of a name.
  for (const char* p : {"buildx", "builds/x", "xbuild", "src/build", "obj", "obj/debugger", "", "/",
                        "build\\x", "\\build", "obj\\debug"})
    EXPECT_EQ(ExcludeListMatch(list, p, -1), 0) << p;
  // The length counts.
  EXPECT_EQ(ExcludeListMatch(list, "buildx", 5), 1);
  EXPECT_EQ(ExcludeListMatch(list, "build", 4), 0);
}

TEST(ExcludeListMatch, Wildcards) {
  CExcludeList list;
  ExcludeListBuild(list, "tmp*;?bj;*/cache", 0);
  EXPECT_EQ(ExcludeListMatch(list, "tmpdir/a", -1), 1);
  EXPECT_EQ(ExcludeListMatch(list, "tmp", -1), 1);
  EXPECT_EQ(ExcludeListMatch(list, "obj/x", -1), 1);
  EXPECT_EQ(ExcludeListMatch(list, "oobj", -1), 0);
  EXPECT_EQ(ExcludeListMatch(list, "a/b/cache/z", -1), 1);
  EXPECT_EQ(ExcludeListMatch(list, "a/cached", -1), 0);
}

TEST(ExcludeListMatch, LongPathsAreTestedWhole) {
  CExcludeList list;
  const std::string deep = std::string(300, 'a');
  ExcludeListBuild(list, (deep + "/x").c_str(), 0);
  EXPECT_EQ(ExcludeListMatch(list, (deep + "/x/y").c_str(), -1), 1);
  // A path cut to 255 characters would look like the folder "aaa..." itself.
  ExcludeListBuild(list, std::string(255, 'a').c_str(), 0);
  EXPECT_EQ(ExcludeListMatch(list, deep.c_str(), -1), 0);
}

TEST(ExcludeListCacheMatch, HitsWhileEntriesStayInTheFolder) {
  CExcludeList list;
  ExcludeListBuild(list, "Tmp;other", 0);
  EXPECT_EQ(ExcludeListCacheMatch(list, "tmp/a"), 0);  // nothing remembered yet
  ASSERT_EQ(ExcludeListMatch(list, "tmp/a", -1), 1);
  EXPECT_EQ(ExcludeListCacheMatch(list, "tmp/b"), 1);
  EXPECT_EQ(ExcludeListCacheMatch(list, "/TMP/c/d"), 1);
  EXPECT_EQ(ExcludeListCacheMatch(list, "tmp"), 1);
  EXPECT_EQ(ExcludeListCacheMatch(list, "tmp\\x"), 0);  // another folder: "\\" is part of its name
  ASSERT_EQ(ExcludeListMatch(list, "tmp/a", -1), 1);
  EXPECT_EQ(ExcludeListCacheMatch(list, "tmpx/a"), 0);  // a miss forgets the pattern
  EXPECT_EQ(list.Remembered(), "");
  EXPECT_EQ(ExcludeListCacheMatch(list, "tmp/a"), 0);
}

TEST(ExcludeListCacheMatch, WildcardPatternsMissAndFallBack) {
  CExcludeList list;
  ExcludeListBuild(list, "t*p", 0);
  ASSERT_EQ(ExcludeListMatch(list, "temp/a", -1), 1);
  EXPECT_EQ(ExcludeListCacheMatch(list, "temp/b"), 0);
  EXPECT_EQ(ExcludeListMatch(list, "temp/b", -1), 1);
}

TEST(ExcludeListMatch, MissForgetsTheRememberedPattern) {
  CExcludeList list;
  ExcludeListBuild(list, "a", 0);
  ASSERT_EQ(ExcludeListMatch(list, "a/1", -1), 1);
  EXPECT_EQ(ExcludeListMatch(list, "b/1", -1), 0);
  EXPECT_EQ(ExcludeListCacheMatch(list, "a/2"), 0);
}

TEST(WorkerSupport, CancelCallbacksAndDriveStub) {
  SysCancelFlag flag{0};
  CancelSetFlag(&flag);
  EXPECT_EQ(flag.load(), 1);
  CancelSetFlag(nullptr);
  CancelBreakConnection(nullptr);

  char buf[16] = "unchanged";
  EXPECT_EQ(ConnectNetworkDrive("Z:", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(ConnectNetworkDrive("Z:", nullptr, 10), 0);
  char one[1] = {'x'};
  EXPECT_EQ(ConnectNetworkDrive("Z:", one, 0), 0);
  EXPECT_EQ(one[0], 'x');
}

}  // namespace
