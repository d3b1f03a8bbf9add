// Tests of the view window's decisions: menu greying, update-UI states, settings, drops and paths.
#include "app/view_commands.h"

#include "lib/system/vars.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

using namespace kpw::view;

namespace {

// "g" grey, "e" enabled, one letter per entry; separators are "-".
std::string Greying(const std::vector<MenuItem>& items) {
  std::string s;
  for (const MenuItem& m : items) s += m.id == 0 ? '-' : (m.grey ? 'g' : 'e');
  return s;
}

}  // namespace

TEST(ViewContextMenu, ItemsAndGreying) {
  struct Case {
    MenuSituation s;
    u32 lastId;
    const char* greying;
  };
  const Case cases[] = {
      {{0, true, false, false}, ID_SPECIAL_SETTINGS, "ee-eeg"},
      {{1, false, false, false}, ID_SPECIAL_SETTINGS, "gg-eeg"},
      {{2, true, false, false}, ID_EDIT_FILTER, "eg-gge"},
      {{3, true, false, false}, ID_EDIT_FILTER, "eg-gge"},
      {{2, true, false, true}, ID_SPECIAL_SETTINGS, "eg-ggg"},
      {{6, true, false, false}, ID_SPECIAL_SETTINGS, "eg-gge"},
      {{6, true, false, true}, ID_SPECIAL_SETTINGS, "eg-ggg"},
      {{0, true, false, true}, ID_SPECIAL_SETTINGS, "eg-ggg"},
      {{5, true, false, false}, ID_SPECIAL_SETTINGS, "eg-ggg"},
      // The bar row: no relative path, no extra settings written into filter texts.
      {{0, true, true, false}, ID_SPECIAL_SETTINGS, "ee-geg"},
      {{6, true, true, false}, ID_SPECIAL_SETTINGS, "eg-ggg"},
  };
  for (const Case& c : cases) {
    const auto items = ContextMenuItems(c.s);
    EXPECT_EQ(Greying(items), c.greying) << "column " << c.s.column;
    EXPECT_EQ(items.back().id, c.lastId);
  }
  const auto items = ContextMenuItems({2, true, false, false});
  const char* texts[] = {"Feld kopieren",           "Vollen Pfad kopieren", "",
                         "Relativen Pfad erzeugen", "Pfad öffnen",          "Filterstellungen"};
  for (size_t i = 0; i < items.size(); ++i) EXPECT_STREQ(items[i].text, texts[i]);
  EXPECT_STREQ(ContextMenuItems({6, true, false, false}).back().text, "Spezialeinstellungen");
}

TEST(ViewUpdateUi, CommandTable) {
  ViewUiState s;
  s.itemCount = 3;
  s.jobItems = 3;
  s.firstSelectedRow = 0;
  EXPECT_FALSE(UpdateCommandUi(32784, s)->enabled);  // top row cannot go up
  EXPECT_TRUE(UpdateCommandUi(32785, s)->enabled);
  s.firstSelectedRow = 2;
  EXPECT_TRUE(UpdateCommandUi(32784, s)->enabled);
  EXPECT_FALSE(UpdateCommandUi(32785, s)->enabled);
  s.firstSelectedRow = -1;
  for (u32 id : {32784u, 32785u, 57632u, 32788u}) EXPECT_FALSE(UpdateCommandUi(id, s)->enabled) << id;
  EXPECT_TRUE(UpdateCommandUi(32778, s)->enabled);
  // With the bar shown, row 0 is the bar: not a selection to move or delete.
  s.filterBarShown = true;
  s.firstSelectedRow = 0;
  for (u32 id : {32784u, 32785u, 57632u, 32788u}) EXPECT_FALSE(UpdateCommandUi(id, s)->enabled) << id;
  s.firstSelectedRow = 1;
  EXPECT_FALSE(UpdateCommandUi(32784, s)->enabled);
  EXPECT_TRUE(UpdateCommandUi(57632, s)->enabled);
  EXPECT_TRUE(UpdateCommandUi(32792, s)->checked);
  s.itemCount = 1;  // only the bar: the filter hides every job row, which still run
  EXPECT_TRUE(UpdateCommandUi(32778, s)->enabled);
  s.jobItems = 0;
  EXPECT_FALSE(UpdateCommandUi(32778, s)->enabled);
  s.registryPaneShown = true;
  s.pathBarShown = true;
  EXPECT_TRUE(UpdateCommandUi(ID_TOGGLE_REGISTRY, s)->checked);
  EXPECT_TRUE(UpdateCommandUi(ID_PATH_BARS, s)->checked);
  EXPECT_FALSE(UpdateCommandUi(ID_PARENT_FOLDER, s)->enabled);
  s.frontPaneHasParent = true;
  EXPECT_TRUE(UpdateCommandUi(ID_PARENT_FOLDER, s)->enabled);
  EXPECT_FALSE(UpdateCommandUi(57643, s)->enabled);
  EXPECT_FALSE(UpdateCommandUi(ID_COPY_FIELD, s).has_value());
}

TEST(ViewSettings, DialogByMode) {
  struct Case {
    const char* mode;
    const char* source;
    const char* target;
    SettingsDialog want;
  };
  const Case cases[] = {
      {"Copy", "/a", "/b", SettingsDialog::Copy},
      {"copy file", "/a", "/b", SettingsDialog::Copy},
      {"Zip", "/a/x.ZIP", "/b/y.zip", SettingsDialog::Subdir},
      {"Zip", "/a", "/b/y.Zip", SettingsDialog::Zip},
      {"Zip", "/a", "/b/y.zipx", SettingsDialog::Copy},
      {"Zip Add", "/a/x.zip", "/b", SettingsDialog::Copy},
      {"Zip Add", "/a", "/b.d/y.zip", SettingsDialog::Zip},
      {"Ftp Del", "/a", "/b", SettingsDialog::Subdir},
      {"Update", "/a", "/b", SettingsDialog::Subdir},
      {"Synch", "/a", "/b", SettingsDialog::Synch},
      {"Puffer", "/a", "/b", SettingsDialog::Puffer},
      {"Shrink", "/a", "/b", SettingsDialog::ShrinkThinning},
      {"Kopiwart", "/a", "/b", SettingsDialog::ShrinkSize},
      {"Move", "/a", "/b", SettingsDialog::None},
      {"Reg", "/a", "/b", SettingsDialog::None},
      {"Version", "/a", "/b", SettingsDialog::None},
      {"Unbekannt", "/a", "/b", SettingsDialog::Copy},
  };
  for (const Case& c : cases) EXPECT_EQ(SpecialSettingsDialog(c.mode, c.source, c.target), c.want) << c.mode;
  EXPECT_STREQ(FilterEditorFor(2)->caption, "Plusfilter");
  EXPECT_STREQ(FilterEditorFor(3)->label, "Welche Dateien sollen ignoriert werden :");
  EXPECT_FALSE(FilterEditorFor(6));
}

TEST(ViewDrops, HitCodesAndEffects) {
  EXPECT_FALSE(DropHitCode({false, 2, 0}));
  EXPECT_EQ(DropHitCode({true, -1, 0}), kDropNoRow);
  EXPECT_EQ(DropHitCode({true, 3, 1}), (1 << 16) | 3);
  EXPECT_EQ(DropHitCode({true, 3, 0}), 3);
  EXPECT_FALSE(DropHitCode({true, 3, 2}));
  const int none = kDropNoRow, target = (1 << 16) | 2, source = 2;
  EXPECT_EQ(DropEffect(8, &target, 0), 0);
  EXPECT_EQ(DropEffect(8, &none, 1), 1);
  EXPECT_EQ(DropEffect(0, &target, 1), 2);
  EXPECT_EQ(DropEffect(0, &source, 1), 1);
  EXPECT_EQ(DropEffect(8, &source, 1), 2);
}

TEST(ViewDrops, ShellAndPanePlans) {
  // Ctrl on a job row's target cell replaces it; on the bar row, elsewhere or without Ctrl: rows.
  DropAction a = PlanShellDrop({true, 2, 1}, true, true, 3);
  EXPECT_EQ(a.kind, DropAction::ReplaceCell);
  EXPECT_EQ(a.row, 2);
  EXPECT_EQ(a.column, 1);
  EXPECT_TRUE(a.markModified);
  for (const ListHit& hit : {ListHit{true, 0, 1}, ListHit{true, 2, 4}, ListHit{true, -1, 0}}) {
    a = PlanShellDrop(hit, true, true, 3);
    EXPECT_EQ(a.kind, DropAction::AppendRows);
    EXPECT_EQ(a.templateRow, -1);
    EXPECT_TRUE(a.markModified);
  }
  EXPECT_EQ(PlanShellDrop({true, 2, 1}, false, false, 3).kind, DropAction::AppendRows);
  EXPECT_EQ(PlanShellDrop({true, 2, 1}, true, false, 0).kind, DropAction::None);

  // Files from the file pane: template the hit job row, else the last job row.
  EXPECT_EQ(PlanPaneDrop(1, 2, "/x", true, 4, 1).templateRow, 2);
  EXPECT_EQ(PlanPaneDrop(1, 0, "/x", true, 4, 1).templateRow, -1);
  EXPECT_EQ(PlanPaneDrop(1, kDropNoRow, "/x", false, 4, 1).templateRow, -1);
  // Keys: only on a job row, only "HKEY_" in any case; nothing else is touched or marked.
  a = PlanPaneDrop(2, (1 << 16) | 2, "hkey_CURRENT_USER\\Software", true, 4, 1);
  EXPECT_EQ(a.kind, DropAction::ReplaceCell);
  EXPECT_EQ(a.column, 1);
  EXPECT_EQ(PlanPaneDrop(2, 2, "HKEY_X", true, 4, 1).column, 0);
  for (const DropAction& n :
       {PlanPaneDrop(2, 0, "HKEY_X", true, 4, 1), PlanPaneDrop(2, kDropNoRow, "HKEY_X", true, 4, 1),
        PlanPaneDrop(2, 9, "HKEY_X", true, 4, 1), PlanPaneDrop(2, 2, "HKEX_X", true, 4, 1)}) {
    EXPECT_EQ(n.kind, DropAction::None);
    EXPECT_FALSE(n.markModified);
  }
}

TEST(ViewPaths, RelativeAndFull) {
  struct Case {
    const char* file;
    const char* cell;
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"/home/u/jobs/a.kpw", "/home/u/jobs/sub/x", "$(KPW_PATH)/sub/x", nullptr},
      {"/home/u/jobs/a.kpw", "/home/u/jobs", "$(KPW_PATH)", nullptr},
      {"/home/u/jobs/a.kpw", "/home/u/other/x\\y", "$(KPW_PATH)/../other/x/y", nullptr},
      {"/home/u/jobs/a.kpw", "/etc", "$(KPW_PATH)/../../../etc", nullptr},
      {"/home/u/jobs/a.kpw", "/home/u/jobsX/z", "$(KPW_PATH)/../jobsX/z", nullptr},
      {"", "/x", "", kpw::texts::kNoFileNameText},
      {"/j/a.kpw", "rel/x", "", kpw::texts::kNotAbsoluteText},
      {"/j/a.kpw", "C:\\x", "", kpw::texts::kNotAbsoluteText},
      {"/j/a.kpw", "\\\\server\\s", "", kpw::texts::kNotAbsoluteText},
  };
  for (const Case& c : cases) {
    const PathText r = RelativePathText(c.file, c.cell);
    EXPECT_EQ(r.text, c.text) << c.cell;
    EXPECT_EQ(r.error, c.error) << c.cell;
  }
  ASSERT_TRUE(VarSet("KPW_PATH", "/home/u/jobs", 0));
  const std::string longName(3000, 'n');
  const PathText full = FullPathText("/home/u/jobs/a.kpw", "$(KPW_PATH)/" + longName);
  EXPECT_EQ(full.text, "/home/u/jobs/" + longName);  // never cut
  EXPECT_EQ(FullPathText("", "/x").error, kpw::texts::kNoFileNameText);
}

TEST(ViewPaths, OpenPathFolder) {
  const std::set<std::string> folders = {"/", "/data", "/data/b", "/data/b/c"};
  const auto isFolder = [&](const std::string& p) { return folders.count(p) > 0; };
  struct Case {
    const char* cell;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"/data/b/", "/data/b"},
      {"/data/b/file.txt", "/data/b"},
      {"/data/b/save#D#.zip", "/data/b"},
      {"/data/b/#1#/c", "/data/b/c"},
      {"/data/b#@1#x/c", "/data/b/c"},
      {"/data/b/#x#/c", std::nullopt},  // not a tag
      {"/none/x", std::nullopt},
      {"/x", "/"},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenPathFolder(c.cell, isFolder), c.want) << c.cell;
}

TEST(ViewInsertFiles, StartFolderAndTemplateRow) {
  kpwtest::TempDir dir("insert-start");
  ASSERT_EQ(::mkdir((dir / "quelle").c_str(), 0755), 0);
  kpwtest::WriteFile(dir / "quelle/a.txt", "a");
  const std::string job = dir / "jobs.kpw";
  // The template's source: a folder as it is, a file's folder, variables expanded.
  EXPECT_EQ(InsertFilesFolder(dir / "quelle", job, "/home/u"), dir / "quelle");
  EXPECT_EQ(InsertFilesFolder(dir / "quelle/", job, "/home/u"), dir / "quelle");
  EXPECT_EQ(InsertFilesFolder(dir / "quelle/a.txt", job, "/home/u"), dir / "quelle");
  ASSERT_TRUE(VarSet("KPW_PATH", dir.path().c_str(), 0));
  EXPECT_EQ(InsertFilesFolder("$(KPW_PATH)/quelle", job, "/home/u"), dir / "quelle");
  // Else the job file's folder, else home; never a drive form.
  for (const char* other : {"", "/nirgends/x", "C:\\Daten", "relativ"})
    EXPECT_EQ(InsertFilesFolder(other, job, "/home/u"), dir.path()) << other;
  EXPECT_EQ(InsertFilesFolder("", "", "/home/u"), "/home/u");
  EXPECT_EQ(InsertFilesFolder("", "/nirgends/jobs.kpw", ""), "/");
  EXPECT_EQ(InsertFilesFolder("/", "", "/home/u"), "/");
  EXPECT_STREQ(kInsertFilesFilter, "*");

  EXPECT_EQ(InsertFilesTemplateRow(-1, false), -1);
  EXPECT_EQ(InsertFilesTemplateRow(0, false), 0);
  EXPECT_EQ(InsertFilesTemplateRow(0, true), 1);
  EXPECT_EQ(InsertFilesTemplateRow(3, true), 3);
}
