// CDirListing: order, patterns, exclude lists, links, unreadable folders, lazy reading, sorting.
#include "lib/system/dirlisting.h"
#include "test_util.h"
#include "tests/support/sys_seams.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> All(CDirListing& list, int mode = CDirListing::DL_NEXT_RELATIVE) {
  std::vector<std::string> out;
  while (const char* p = list.Next(mode)) out.emplace_back(p);
  return out;
}

void Tree(const TempDir& dir) {
  ::mkdir((dir / "sub").c_str(), 0755);
  ::mkdir((dir / "sub/deeper").c_str(), 0755);
  ::mkdir((dir / "zsub").c_str(), 0755);
  WriteText(dir / "b.txt", "bb");
  WriteText(dir / "a.txt", "a");
  WriteText(dir / "B.txt", "BBB");
  WriteText(dir / "sub/c.txt", "cccc");
  WriteText(dir / "sub/deeper/d.txt", "ddddd");
  WriteText(dir / "zsub/e.log", "eeeeee");
}

using V = std::vector<std::string>;

TEST(Listing, ByteOrderFoldersAfterTheFolderThatHoldsThem) {
  TempDir dir;
  Tree(dir);
  CDirListing list;
  EXPECT_EQ(list.Open(dir.path().c_str(), 0x3000, nullptr, nullptr), 6);
  EXPECT_EQ(All(list), (V{"B.txt", "a.txt", "b.txt", "sub/c.txt", "zsub/e.log", "sub/deeper/d.txt"}));
  EXPECT_EQ(list.GetTotalSize(), 21u);
  EXPECT_EQ(list.GetReadState(), 0);

  CDirListing withFolders(dir.path().c_str(), 0x7000, nullptr, nullptr);
  EXPECT_EQ(All(withFolders),
            (V{"B.txt", "a.txt", "b.txt", "sub", "zsub", "sub/c.txt", "sub/deeper", "zsub/e.log", "sub/deeper/d.txt"}));
  EXPECT_EQ(withFolders.GetTotalSize(), 21u);  // folders add nothing

  CDirListing top(dir.path().c_str(), 0x1000, nullptr, nullptr);
  EXPECT_EQ(All(top), (V{"B.txt", "a.txt", "b.txt"}));
}

TEST(Listing, PathModesAndEntryRecords) {
  TempDir dir;
  Tree(dir);
  CDirListing list(dir.path().c_str(), 0x3000, nullptr, nullptr);
  int len = 0;
  EXPECT_STREQ(list.Next(CDirListing::DL_NEXT_NAME, &len), "B.txt");
  EXPECT_EQ(len, 5);
  EXPECT_EQ(list.GetCurrent(), 0);
  EXPECT_EQ(std::string(list.GetPath(3, &len, CDirListing::DL_PATH_FULL)), dir / "sub/c.txt");
  EXPECT_STREQ(list.GetPath(3, nullptr, CDirListing::DL_PATH_RELATIVE), "sub/c.txt");
  EXPECT_EQ(list.GetPathLength(3, CDirListing::DL_PATH_RELATIVE), 9);
  EXPECT_EQ(list.GetPath(6, nullptr, 0), nullptr);
  const CDirListing::Entry* e = list.GetEntry(3);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->info.qwSize, 4u);
  EXPECT_EQ(e->info.dwAttr & (SYS_ATTR_FOLDER | SYS_ATTR_WRITABLE), SYS_ATTR_WRITABLE);
  EXPECT_STREQ(list.GetEntryPath(e, nullptr, CDirListing::DL_PATH_NAME), "c.txt");
  EXPECT_STREQ(list.Next(CDirListing::DL_NEXT_FULL), (dir / "a.txt").c_str());
}

TEST(Listing, IncludeAndExcludeLists) {
  TempDir dir;
  Tree(dir);
  // Include: letter case ignored, folders not held back.
  CDirListing inc(dir.path().c_str(), 0x7000, "*.TXT", nullptr);
  EXPECT_EQ(All(inc), (V{"B.txt", "a.txt", "b.txt", "sub", "zsub", "sub/c.txt", "sub/deeper", "sub/deeper/d.txt"}));
  // Exclude drops files and whole folders.
  CDirListing exc(dir.path().c_str(), 0x7000, nullptr, "SUB; b.*");
  EXPECT_EQ(All(exc), (V{"a.txt", "zsub", "zsub/e.log"}));
  CDirListing both(dir.path().c_str(), 0x3000, "*.txt;*.log", "*.log");
  EXPECT_EQ(All(both), (V{"B.txt", "a.txt", "b.txt", "sub/c.txt", "sub/deeper/d.txt"}));
}

TEST(Listing, WildcardAndFileNamesInThePath) {
  TempDir dir;
  Tree(dir);
  // The name in the path counts letter case; it applies at every level.
  CDirListing lower((dir / "b*").c_str(), 0x3000, nullptr, nullptr);
  EXPECT_EQ(All(lower), (V{"b.txt"}));
  CDirListing deep((dir / "?.txt").c_str(), 0x3000, nullptr, nullptr);
  EXPECT_EQ(All(deep), (V{"B.txt", "a.txt", "b.txt", "sub/c.txt", "sub/deeper/d.txt"}));
  CDirListing one((dir / "a.txt").c_str(), 0x1000, nullptr, nullptr);
  EXPECT_EQ(All(one), (V{"a.txt"}));
  CDirListing none((dir / "nothing.txt").c_str(), 0x1000, nullptr, nullptr);
  EXPECT_EQ(none.GetCount(), 0);
  EXPECT_EQ(none.GetReadState(), 1);
  // A backslash is a byte of a name, never a way into a folder.
  const std::string back = dir.path() + "/sub\\*.txt";
  CDirListing b(back.c_str(), 0x1000, nullptr, nullptr);
  EXPECT_EQ(b.GetCount(), 0);
}

TEST(Listing, Flag0x8000ListsOnlyTheFolderSeries) {
  TempDir dir;
  ::mkdir((dir / "copy_2024-01-01").c_str(), 0755);
  ::mkdir((dir / "copy_2024-02-01").c_str(), 0755);
  WriteText(dir / "copy_2024-02-01/inner", "x");
  WriteText(dir / "copy_note.txt", "not a copy");
  ::mkdir((dir / "Copy_other").c_str(), 0755);
  CDirListing series((dir / "copy_*").c_str(), 0x9000, nullptr, nullptr);
  EXPECT_EQ(All(series), (V{"copy_2024-01-01", "copy_2024-02-01"}));
  CDirListing files((dir / "copy_*").c_str(), 0x1000, nullptr, nullptr);
  EXPECT_EQ(All(files), (V{"copy_note.txt"}));
}

TEST(Listing, LinksAreListedButNeverEntered) {
  TempDir dir;
  TempDir outside;
  WriteText(outside / "secret", "s");
  ::mkdir((dir / "d").c_str(), 0755);
  WriteText(dir / "d/f", "f");
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "d/out").c_str()), 0);
  ASSERT_EQ(::symlink(dir.path().c_str(), (dir / "d/loop").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "d/f").c_str(), (dir / "flink").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling").c_str()), 0);
  CDirListing list(dir.path().c_str(), 0x7000, nullptr, nullptr);
  EXPECT_EQ(All(list), (V{"d", "dangling", "flink", "d/f", "d/loop", "d/out"}));
  EXPECT_EQ(list.GetReadState(), 0);
  const auto* out = list.GetEntry(5);
  EXPECT_EQ(out->info.dwAttr & (SYS_ATTR_FOLDER | SYS_ATTR_LINK), SYS_ATTR_FOLDER | SYS_ATTR_LINK);
  const auto* flink = list.GetEntry(2);
  EXPECT_EQ(flink->info.dwAttr & (SYS_ATTR_FOLDER | SYS_ATTR_LINK), SYS_ATTR_LINK);
  EXPECT_EQ(flink->info.qwSize, 1u);  // the target's size
  // Files only: folder links are not files.
  CDirListing files(dir.path().c_str(), 0x3000, nullptr, nullptr);
  EXPECT_EQ(All(files), (V{"dangling", "flink", "d/f"}));
}

TEST(Listing, UnreadableFoldersAreReported) {
  TempDir dir;
  Tree(dir);
  static std::string blocked;
  blocked = dir / "sub";
  SysTestSetDirFault([](const char* path) { return blocked == path; });
  CDirListing list(dir.path().c_str(), 0x3000, nullptr, nullptr);
  SysTestSetDirFault(nullptr);
  EXPECT_EQ(All(list), (V{"B.txt", "a.txt", "b.txt", "zsub/e.log"}));
  EXPECT_EQ(list.GetReadState(), 2);

  // A folder that is gone by the time it is read: also incomplete, never "empty".
  CDirListing lazy(dir.path().c_str(), 0x2000, nullptr, nullptr);
  EXPECT_EQ(lazy.GetCount(), 3);
  ASSERT_EQ(std::system(("rm -rf '" + (dir / "zsub") + "'").c_str()), 0);
  EXPECT_EQ(All(lazy).size(), 5u);
  EXPECT_EQ(lazy.GetReadState(), 2);

  CDirListing missing((dir / "no/such/folder").c_str(), 0x3000, nullptr, nullptr);
  EXPECT_EQ(missing.GetReadState(), 2);
  EXPECT_EQ(missing.Open((dir / "no/such/folder").c_str(), 0x3000, nullptr, nullptr), -1);

  ::mkdir((dir / "empty").c_str(), 0755);
  CDirListing empty((dir / "empty").c_str(), 0x3000, nullptr, nullptr);
  EXPECT_EQ(empty.GetReadState(), 1);
  EXPECT_EQ(empty.Next(0), nullptr);
}

TEST(Listing, LazyReadingAndReadOfTheNextFolder) {
  TempDir dir;
  Tree(dir);
  CDirListing list;
  EXPECT_EQ(list.Read(dir.path().c_str(), 0x2000, nullptr, nullptr), 3);
  EXPECT_EQ(list.Read(nullptr, 0, nullptr, nullptr), 4);   // sub
  EXPECT_EQ(list.Read(nullptr, 0, nullptr, nullptr), 5);   // zsub
  EXPECT_EQ(list.Read(nullptr, 0, nullptr, nullptr), 6);   // sub/deeper
  EXPECT_EQ(list.Read(nullptr, 0, nullptr, nullptr), -1);  // nothing left
}

TEST(Listing, SortRemoveAndTheFirstWord) {
  TempDir dir;
  Tree(dir);
  CDirListing list(dir.path().c_str(), 0x7000, nullptr, nullptr);
  ASSERT_EQ(list.GetCount(), 9);
  list.Sort(CDirListing::DL_SORT_FOLDER, 0x4000);
  std::vector<std::string> order;
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

TEST(Listing, CreationTimeSeamFollowsTheFile) {
  TempDir dir;
  WriteText(dir / "gen1", "x");
  ASSERT_EQ(SysTestSetCreationTime((dir / "gen1").c_str(), 1500000000), 0);
  ASSERT_EQ(::rename((dir / "gen1").c_str(), (dir / "gen2").c_str()), 0);
  CDirListing list(dir.path().c_str(), 0x1000, nullptr, nullptr);
  ASSERT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.GetEntry(0)->info.timeCreate, 1500000000);
  SysTestClearCreationTimes();
  CDirListing again(dir.path().c_str(), 0x1000, nullptr, nullptr);
  EXPECT_GT(again.GetEntry(0)->info.timeCreate, 1500000000);
}

}  // namespace
