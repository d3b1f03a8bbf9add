// The panes without a window: settings round trip, folder listings and paths, the registry tree, drags.
#include "controls/splitter_track.h"
#include "lib/system/registry.h"
#include "lib/system/vars.h"
#include "panes/folder_list.h"
#include "panes/pane_drag.h"
#include "panes/pane_settings.h"
#include "panes/tree_paths.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

struct PaneStore : ::testing::Test {
  kpwtest::TempDir config{"pane-settings"};
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }
};

TEST_F(PaneStore, SettingsRoundTripUnderTheirValueNames) {
  EXPECT_FALSE(LoadPaneSettings("FileList"));
  const PaneSettings file{4, "/home/u/a;b\\c", {220, 80, 0, 130}, 3, true};
  const PaneSettings reg{0, "HKEY_CURRENT_USER\\Software\\Tavrin", {}, 0, false};
  ASSERT_TRUE(SavePaneSettings("FileList", file));
  ASSERT_TRUE(SavePaneSettings("RegList", reg));
  EXPECT_EQ(LoadPaneSettings("FileList"), file);
  EXPECT_EQ(LoadPaneSettings("reglist"), reg);  // value names ignore letter case
  // Where they live: REG_SZ values under the application's "Settings".
  CRegistry store;
  ASSERT_TRUE(store.Open(HKEY_CURRENT_USER, (CRegistry::ApplicationKeyPath() + "\\Settings").c_str(),
                         REG_OPEN_READ));
  std::string text;
  ASSERT_TRUE(store.GetString("FileList", text));
  EXPECT_EQ(text, "1;4;3;1;220,80,0,130;/home/u/a;b\\c");
  // A value of another form is no settings at all.
  CRegistry write;
  ASSERT_TRUE(write.Open(HKEY_CURRENT_USER, (CRegistry::ApplicationKeyPath() + "\\Settings").c_str(),
                         REG_OPEN_WRITE));
  ASSERT_TRUE(write.SetDword("RegList", 7));
  EXPECT_FALSE(LoadPaneSettings("RegList"));
  for (const char* bad : {"", "2;0;0;0;;/x", "1;x;0;0;;/x", "1;0;0;0;5,,6;/x", "1;0;0;0;5"})
    EXPECT_FALSE(ParsePaneSettingsText(bad)) << bad;
}

TEST_F(PaneStore, RegistryTreeShowsTheStoresKeys) {
  CRegistry reg;
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Kopiwart\\Beta", REG_OPEN_CREATE));
  ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, "Software\\Tavrin\\Kopiwart\\alpha", REG_OPEN_CREATE));
  EXPECT_EQ(RegTreeRoots(), (std::vector<std::string>{"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"}));
  EXPECT_EQ(RegTreeSubKeys("HKEY_CURRENT_USER"), std::vector<std::string>{"Software"});
  EXPECT_EQ(RegTreeSubKeys("HKEY_CURRENT_USER\\software\\TAVRIN\\Kopiwart"),
            (std::vector<std::string>{"alpha", "Beta"}));
  EXPECT_TRUE(RegTreeSubKeys("HKEY_CURRENT_USER\\Software\\Nirgends").empty());
  EXPECT_TRUE(RegTreeSubKeys("HKEY_NIRGENDS").empty());
  EXPECT_EQ(TreeParentPath("HKEY_CURRENT_USER\\Software\\Tavrin", '\\'), "HKEY_CURRENT_USER\\Software");
  EXPECT_FALSE(TreeParentPath("HKEY_CURRENT_USER", '\\'));
  EXPECT_EQ(TreePathParts("\\a\\\\b\\", '\\'), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(TreePartEqual("Software", "SOFTWARE"));
  EXPECT_FALSE(TreePartEqual("Software", "Softwar"));
}

TEST(FolderList, EntriesParentsAndTypedFolders) {
  kpwtest::TempDir dir("pane-folder");
  ASSERT_EQ(::mkdir((dir / "zeta").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "Alpha").c_str(), 0755), 0);
  kpwtest::WriteFile(dir / "b.txt", "12345");
  kpwtest::WriteFile(dir / "A.doc", "");
  kpwtest::WriteFile(dir / "back\\slash", "x");
  ASSERT_EQ(::symlink("zeta", (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink("nirgends", (dir / "broken").c_str()), 0);
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(dir.path(), entries));
  std::vector<std::string> names;
  for (const FolderEntry& e : entries) names.push_back(e.name + (e.folder ? "/" : ""));
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha/", "link/", "zeta/", "A.doc", "b.txt", "back\\slash", "broken"}));
  EXPECT_EQ(entries[4].size, 5);
  EXPECT_GT(entries[4].modified, 0);
  EXPECT_FALSE(ListFolder(dir / "b.txt", entries));
  EXPECT_TRUE(entries.empty());

  EXPECT_EQ(FolderParent("/a/b"), "/a");
  EXPECT_EQ(FolderParent("/a/"), "/");
  EXPECT_FALSE(FolderParent("/"));
  EXPECT_FALSE(FolderParent("relativ"));
  EXPECT_EQ(FolderJoin("/", "x"), "/x");
  EXPECT_EQ(FolderJoin("/a", "x"), "/a/x");

  ASSERT_TRUE(VarSet("KPW_PATH", "/jobs/here", 0));
  EXPECT_EQ(FolderFromText("$(KPW_PATH)/../da", "/home/u"), "/jobs/da");
  EXPECT_EQ(FolderFromText("~", "/home/u"), "/home/u");
  EXPECT_EQ(FolderFromText("~/x//y/.", "/home/u"), "/home/u/x/y");
  EXPECT_EQ(FolderFromText("/a/b\\c", "/home/u"), "/a/b\\c");
  EXPECT_EQ(FolderFromText("/..", "/home/u"), "/");
  for (const char* bad : {"", "relativ", "C:\\Daten", "\\\\server\\s"}) EXPECT_FALSE(FolderFromText(bad, "/h")) << bad;
}

TEST(PaneDrag, CallbacksDecideTheEffectAndTheDrop) {
  CPaneDragTarget target;
  std::vector<std::string> got;
  int gotKind = 0, gotCode = 0;
  void* gotContext = nullptr;
  int context = 0;
  EXPECT_EQ(target.DragOver(1, 1, 0, 1), PANE_DROPEFFECT_NONE);  // nothing registered
  target.SetDropHandler(
      [&](const std::vector<std::string>& texts, int kind, int code, void* ctx) {
        got = texts;
        gotKind = kind;
        gotCode = code;
        gotContext = ctx;
      },
      &context);
  target.SetDragTarget(
      [](int x, int y, int* code) {
        if (x < 0) return false;  // outside
        *code = y;
        return true;
      },
      0, [](u32 keys, const int* code, int count) { return count == 0 ? 0 : (keys & PANE_MK_CONTROL) ? 2 : *code; });
  int code = 0;
  EXPECT_EQ(target.DragOver(-5, 1, 0, 1), PANE_DROPEFFECT_NONE);
  EXPECT_EQ(target.DragOver(5, 1, PANE_MK_CONTROL, 1, &code), PANE_DROPEFFECT_MOVE);
  EXPECT_EQ(code, 1);
  EXPECT_EQ(target.DragOver(5, 1, 0, 0), PANE_DROPEFFECT_NONE);
  EXPECT_FALSE(target.Drop(5, 0, 0, {"/a"}, kPaneDragFiles));  // the effect says none
  EXPECT_TRUE(got.empty());
  EXPECT_FALSE(target.Drop(-5, 1, 0, {"/a"}, kPaneDragFiles));
  EXPECT_TRUE(target.Drop(5, 1, 0, {"/a", "/b"}, kPaneDragFiles));
  EXPECT_EQ(got, (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(gotKind, kPaneDragFiles);
  EXPECT_EQ(gotCode, 1);
  EXPECT_EQ(gotContext, &context);

  const PaneDragData data{42, kPaneDragKey, {"HKEY_CURRENT_USER\\A b", "", "zwei\nZeilen"}};
  const std::optional<PaneDragData> back = ParsePaneDragBytes(PaneDragBytes(data));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->paneId, 42u);
  EXPECT_EQ(back->kind, kPaneDragKey);
  EXPECT_EQ(back->texts, data.texts);
  using namespace std::string_literals;
  for (const std::string& bad : {""s, "42"s, "x\0" "1\0"s, "1\0" "2\0" "abc"s}) EXPECT_FALSE(ParsePaneDragBytes(bad));
}

TEST(SplitterTrack, StaysWithinTheWindow) {
  EXPECT_EQ(SplitterTrack(100, 30, 400), 130);
  EXPECT_EQ(SplitterTrack(100, -500, 400), 0);  // above the top: height 0
  EXPECT_EQ(SplitterTrack(100, 900, 400), 399);
  EXPECT_EQ(SplitterTrack(100, 0, 0), 0);
  EXPECT_EQ(SplitterTrack(2000000000, 2000000000, 400), 399);
}

}  // namespace
