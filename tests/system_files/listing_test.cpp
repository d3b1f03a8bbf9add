// CDirListing: order, patterns, exclude lists, links, unreadable folders, lazy reading, sorting.
#include "lib/system/dirlisting.h"
#include "test_util.h"
#include "tests/support/sys_seams.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using V = std::vector<std::string>;

V All(CDirListing& list) {
  V out;
  while (const char* p = list.Next(CDirListing::DL_NEXT_RELATIVE)) out.emplace_back(p);
  return out;
}

V All(const std::string& path, int flags, const char* include = nullptr, const char* exclude = nullptr) {
  CDirListing list(path.c_str(), flags, include, exclude);
  return All(list);
}

class Listing : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "b.txt", "bb");
    WriteFile(dir / "a.txt", "a");
    WriteFile(dir / "B.txt", "BBB");
    WriteFile(dir / "sub/c.txt", "cccc");
    WriteFile(dir / "sub/deeper/d.txt", "ddddd");
    WriteFile(dir / "zsub/e.log", "eeeeee");
  }
  TempDir dir;
};

TEST_F(Listing, ByteOrderFoldersAfterTheFolderThatHoldsThemAndFilters) {
  CDirListing list;
  EXPECT_EQ(list.Open(dir.path().c_str(), 0x3000, nullptr, nullptr), 6);
  EXPECT_EQ(All(list), (V{"B.txt", "a.txt", "b.txt", "sub/c.txt", "zsub/e.log", "sub/deeper/d.txt"}));
  EXPECT_EQ(list.GetTotalSize(), 21u);
  EXPECT_EQ(All(dir.path(), 0x7000), (V{"B.txt", "a.txt", "b.txt", "sub", "zsub", "sub/c.txt", "sub/deeper",
                                        "zsub/e.log", "sub/deeper/d.txt"}));
  // Include lists ignore letter case and hold back no folder; exclude lists drop whole folders.
  EXPECT_EQ(All(dir.path(), 0x7000, "*.TXT"),
            (V{"B.txt", "a.txt", "b.txt", "sub", "zsub", "sub/c.txt", "sub/deeper", "sub/deeper/d.txt"}));
  EXPECT_EQ(All(dir.path(), 0x7000, nullptr, "SUB; b.*"), (V{"a.txt", "zsub", "zsub/e.log"}));
  EXPECT_EQ(All(dir.path(), 0x3000, "*.txt;*.log", "*.log"),
            (V{"B.txt", "a.txt", "b.txt", "sub/c.txt", "sub/deeper/d.txt"}));
  // A name in the path counts letter case and applies at every level.
  EXPECT_EQ(All(dir / "b*", 0x3000), (V{"b.txt"}));
  EXPECT_EQ(All(dir / "?.txt", 0x3000), (V{"B.txt", "a.txt", "b.txt", "sub/c.txt", "sub/deeper/d.txt"}));
  CDirListing none((dir / "nothing.txt").c_str(), 0x1000, nullptr, nullptr);
  EXPECT_EQ(none.GetCount(), 0);
  EXPECT_EQ(none.GetReadState(), 1);
  // A backslash is a byte of a name, never a way into a folder.
  EXPECT_EQ(All(dir.path() + "/sub\\*.txt", 0x1000), V{});
}

TEST_F(Listing, PathModesAndEntryRecords) {
  CDirListing list(dir.path().c_str(), 0x3000, nullptr, nullptr);
  int len = 0;
  EXPECT_STREQ(list.Next(CDirListing::DL_NEXT_NAME, &len), "B.txt");
  EXPECT_EQ(len, 5);
  EXPECT_EQ(list.GetCurrent(), 0);
  EXPECT_EQ(std::string(list.GetPath(3, &len, CDirListing::DL_PATH_FULL)), dir / "sub/c.txt");
  EXPECT_EQ(list.GetPath(6, nullptr, 0), nullptr);
  EXPECT_EQ(list.GetPathLength(3, CDirListing::DL_PATH_RELATIVE), 9);
  const CDirListing::Entry* e = list.GetEntry(3);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->info.qwSize, 4u);
  EXPECT_EQ(e->info.dwAttr & (SYS_ATTR_FOLDER | SYS_ATTR_WRITABLE), SYS_ATTR_WRITABLE);
  EXPECT_STREQ(list.GetEntryPath(e, nullptr, CDirListing::DL_PATH_NAME), "c.txt");
  EXPECT_STREQ(list.Next(CDirListing::DL_NEXT_FULL), (dir / "a.txt").c_str());
}

TEST(ListingLinks, LinksAreListedButNeverEntered) {
  TempDir dir, outside;
  WriteFile(outside / "secret", "s");
  WriteFile(dir / "d/f", "f");
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "d/out").c_str()), 0);
  ASSERT_EQ(::symlink(dir.path().c_str(), (dir / "d/loop").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "d/f").c_str(), (dir / "flink").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);
  CDirListing list(dir.path().c_str(), 0x7000, nullptr, nullptr);
  EXPECT_EQ(All(list), (V{"d", "dangling", "flink", "d/f", "d/loop", "d/out"}));
  EXPECT_EQ(list.GetReadState(), 0);
  EXPECT_EQ(list.GetEntry(5)->info.dwAttr & (SYS_ATTR_FOLDER | SYS_ATTR_LINK),
            SYS_ATTR_FOLDER | SYS_ATTR_LINK);
  EXPECT_EQ(list.GetEntry(2)->info.dwAttr & (SYS_ATTR_FOLDER | SYS_ATTR_LINK), SYS_ATTR_LINK);
  EXPECT_EQ(All(dir.path(), 0x3000), (V{"dangling", "flink", "d/f"}));  // folder links are no files
}

TEST_F(Listing, UnreadableFoldersAreReported) {
  static std::string blocked;
  blocked = dir / "sub";
  SysTestSetDirFault([](const char* path) { return blocked == path; });
  CDirListing list(dir.path().c_str(), 0x3000, nullptr, nullptr);
  SysTestSetDirFault(nullptr);
  EXPECT_EQ(All(list), (V{"B.txt", "a.txt", "b.txt", "zsub/e.log"}));
  EXPECT_EQ(list.GetReadState(), 2);

  // A folder that is gone by the time it is read: also incomplete, never "empty".
  CDirListing lazy;
  EXPECT_EQ(lazy.Read(dir.path().c_str(), 0x2000, nullptr, nullptr), 3);
  EXPECT_EQ(lazy.Read(nullptr, 0, nullptr, nullptr), 4);  // sub
  std::filesystem::remove_all(dir / "zsub");
  EXPECT_EQ(All(lazy).size(), 5u);
  EXPECT_EQ(lazy.GetReadState(), 2);
  EXPECT_EQ(lazy.Read(nullptr, 0, nullptr, nullptr), -1);  // nothing left

  CDirListing missing;
  EXPECT_EQ(missing.Open((dir / "no/such/folder").c_str(), 0x3000, nullptr, nullptr), -1);
  EXPECT_EQ(missing.GetReadState(), 2);
  ::mkdir((dir / "empty").c_str(), 0755);
  CDirListing empty((dir / "empty").c_str(), 0x3000, nullptr, nullptr);
  EXPECT_EQ(empty.GetReadState(), 1);
}

TEST_F(Listing, SortRemoveAndTheFirstWord) {
  CDirListing list(dir.path().c_str(), 0x7000, nullptr, nullptr);
  ASSERT_EQ(list.GetCount(), 9);
  list.Sort(CDirListing::DL_SORT_FOLDER, 0x4000);
  V order;
  for (int i = 0; i < list.GetCount(); ++i) order.emplace_back(list.GetPath(i, nullptr, 1));
  EXPECT_EQ(order, (V{"a.txt", "B.txt", "b.txt", "sub", "zsub", "sub/c.txt", "sub/deeper", "sub/deeper/d.txt",
                      "zsub/e.log"}));
  // Key 9: the caller's word, signed; folders first without 0x4000.
  for (int i = 0; i < list.GetCount(); ++i) list.GetEntry(i)->dwUser = static_cast<DWORD>(10 - i);
  list.GetEntry(8)->dwUser = static_cast<DWORD>(-1);
  list.Sort(CDirListing::DL_SORT_USER, 0);
  EXPECT_STREQ(list.GetPath(0, nullptr, 1), "sub/deeper");
  EXPECT_STREQ(list.GetPath(3, nullptr, 1), "zsub/e.log");
  EXPECT_STREQ(list.Next(CDirListing::DL_NEXT_RELATIVE), "sub/deeper");
  EXPECT_EQ(list.Remove(0), 1);
  EXPECT_EQ(list.GetCurrent(), -1);
  EXPECT_EQ(list.Remove(8), 0);
  EXPECT_EQ(list.GetCount(), 8);
  EXPECT_STREQ(list.Next(CDirListing::DL_NEXT_RELATIVE), "zsub");
}

}  // namespace
