// The extra cell's head: host restriction, target sign, excluded folders and their matching.
#include "jobs/exclude_list.h"
#include "jobs/job_extra.h"
#include "jobs/workers/worker_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

TEST(HostList, MatchesTheHostAndMovesPastTheRestriction) {
  const std::string longName(63, 'h');
  const std::string longCell = "*[" + longName + "]";
  const std::string cutCell = "*[" + longName.substr(0, 31) + "]";
  const struct {
    const char* cell;
    std::string host;
    int applies;
    const char* rest;  // the text after the restriction
  } cases[] = {
      {"*[BUILDHOST]", "Buildhost", 1, ""},
      {"*[buildhost]", "buildhost2", 0, ""},
      {"", "a", 1, ""},
      {"*;x", "a", 1, "*;x"},
      {"[a]", "a", 1, "[a]"},
      {"*[pc;rest", "pc", 1, "rest"},
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
  for (const auto& c : cases) {
    const char* p = c.cell;
    EXPECT_EQ(HostListMatch(&p, c.host), c.applies) << c.cell << " on " << c.host;
    EXPECT_STREQ(p, c.rest) << c.cell;
  }
}

TEST(ExtraHead, ParseAndBuildTakeTheSignAndTheFolders) {
  const JobExtraHead h = ExtraHeadParse("*[pc];*;Tmp;\\Obj\\Debug ");
  EXPECT_TRUE(h.hostRestricted);
  EXPECT_EQ(h.host, "pc");
  EXPECT_TRUE(h.targetMustExist);
  EXPECT_EQ(h.restOffset, 8u);
  EXPECT_EQ(h.excludedFolders, (Names{"tmp", "obj/debug"}));
  const JobExtraHead plain = ExtraHeadParse("a;b");
  EXPECT_FALSE(plain.hostRestricted || plain.targetMustExist);
  EXPECT_EQ(plain.excludedFolders, (Names{"a", "b"}));

  const struct {
    const char* text;
    int flags;
    Names patterns;
    int result;
  } cases[] = {
      {"*;MixedCase;\\Second ", EXCLUDE_TARGET_SIGN, {"mixedcase", "second"}, 1},
      {"*;MixedCase;\\Second ", 0, {"*", "mixedcase", "second"}, 0},
      {"*x", EXCLUDE_TARGET_SIGN, {"*x"}, 0},
      {"a\t \t;/B/C;\\d\\e;", EXCLUDE_TARGET_SIGN, {"a", "b/c", "d/e"}, 0},
      {"Ärger;ÖL", EXCLUDE_TARGET_SIGN, {"Ärger", "Öl"}, 0},  // ASCII folding only
      {nullptr, EXCLUDE_TARGET_SIGN, {}, 0},
  };
  for (const auto& c : cases) {
    CExcludeList list;
    EXPECT_EQ(ExcludeListBuild(list, c.text, c.flags), c.result) << (c.text ? c.text : "null");
    EXPECT_EQ(list.Patterns(), c.patterns) << (c.text ? c.text : "null");
  }
}

TEST(ExcludeListMatch, FoldersAndEverythingBelowInAnyCaseAndWholePaths) {
  CExcludeList list;
  // The cell is user text: "\" separates there.
  ExcludeListBuild(list, "Build;obj\\debug;a*;?bj2;*/cache", 0);
  for (const char* p :
       {"build", "BUILD", "Build/x/y", "/build/x", "OBJ/Debug/sub", "ab\\c/d", "obj2/x", "a/b/cache/z"})
    EXPECT_EQ(ExcludeListMatch(list, p, -1), 1) << p;
  // Paths come from listings: there "\" is a byte of a name.
  for (const char* p : {"buildx", "xbuild", "src/build", "obj", "obj/debugger", "", "/", "build\\x",
                        "\\build", "obj\\debug", "oobj2", "x/cached"})
    EXPECT_EQ(ExcludeListMatch(list, p, -1), 0) << p;
  EXPECT_EQ(ExcludeListMatch(list, "buildx", 5), 1);
  EXPECT_EQ(ExcludeListMatch(list, "build", 4), 0);
  // A path cut to 255 characters would look like the folder "aaa..." itself.
  const std::string deep(300, 'a');
  ExcludeListBuild(list, std::string(255, 'a').c_str(), 0);
  EXPECT_EQ(ExcludeListMatch(list, deep.c_str(), -1), 0);
  ExcludeListBuild(list, (deep + "/x").c_str(), 0);
  EXPECT_EQ(ExcludeListMatch(list, (deep + "/x/y").c_str(), -1), 1);
}

TEST(ExcludeListCacheMatch, HitsWhileEntriesStayInTheFolder) {
  CExcludeList list;
  ExcludeListBuild(list, "Tmp;t*p", 0);
  ASSERT_EQ(ExcludeListMatch(list, "tmp/a", -1), 1);
  EXPECT_EQ(ExcludeListCacheMatch(list, "/TMP/c/d"), 1);
  EXPECT_EQ(ExcludeListCacheMatch(list, "tmp\\x"), 0);  // another folder: "\" is part of its name
  EXPECT_EQ(list.Remembered(), "");                     // a miss forgets the pattern
  ASSERT_EQ(ExcludeListMatch(list, "temp/a", -1), 1);
  EXPECT_EQ(ExcludeListCacheMatch(list, "temp/b"), 0);  // wildcards are not compared literally
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
  char one[1] = {'x'};
  EXPECT_EQ(ConnectNetworkDrive("Z:", one, 0), 0);
  EXPECT_EQ(one[0], 'x');
}

}  // namespace
