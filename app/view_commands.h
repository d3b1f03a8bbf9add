// The view window's decisions without a window: context menu, update-UI states, settings, drops, paths.
#pragma once

#include "app/app_texts.h"

#include "platform/win_types.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Command ids of the view window (the list's own are in kopiwart_view.h).
enum : u32 {
  ID_INSERT_FILES = 32776,      // "Einfügen"
  ID_PARENT_FOLDER = 32780,     // "Übergeordneter Ordner"
  ID_TOGGLE_REGISTRY = 32781,   // "Registry"
  ID_PATH_BARS = 32793,         // "Pfadleisten"
  ID_COPY_FIELD = 14728,        // "Feld kopieren"
  ID_COPY_FULL_PATH = 14729,    // "Vollen Pfad kopieren"
  ID_MAKE_RELATIVE = 14730,     // "Relativen Pfad erzeugen"
  ID_OPEN_PATH = 14731,         // "Pfad öffnen"
  ID_SPECIAL_SETTINGS = 14732,  // "Spezialeinstellungen"
  ID_EDIT_FILTER = 14733,       // "Filterstellungen"
};

namespace kpw::view {

// ---- context menu

struct MenuSituation {
  int column = 0;                  // the focused column
  bool hasSelection = false;       // a selected item exists
  bool filterBarRow = false;       // the selected item is the filter-bar row
  bool registryPaneFront = false;  // the registry pane is in front, not the file pane
};

struct MenuItem {
  u32 id = 0;  // 0: a separator
  const char* text = "";
  bool grey = false;
};

// The popup's entries in order with their greying.
std::vector<MenuItem> ContextMenuItems(const MenuSituation& s);

// ---- update-UI states

struct ViewUiState {
  bool undoAvailable = false;  // undo enabled and its list not empty
  bool pathBarShown = false;   // the file pane's path bar
  int firstSelectedRow = -1;   // control row of the first selected item from the top, -1 none
  int itemCount = 0;           // rows in the control, the filter bar included
  int jobItems = 0;            // job rows, hidden ones included
  bool filterBarShown = false;
  bool registryPaneShown = false;
  bool frontPaneHasParent = false;
};

struct UiState {
  bool enabled = true;
  bool checked = false;
};

// The state of a view command; nothing for ids the view does not update.
std::optional<UiState> UpdateCommandUi(u32 id, const ViewUiState& s);

// ---- special settings and filter editing

enum class SettingsDialog { None, Copy, Subdir, Zip, Synch, Puffer, ShrinkThinning, ShrinkSize };

// The dialog a row's extra cell opens, from its mode cell (unknown names count as "Copy").
SettingsDialog SpecialSettingsDialog(std::string_view modeText, std::string_view source,
                                     std::string_view target);

struct FilterEditor {
  const char* caption;
  const char* label;
};
// The pattern editor of a filter column (2 plus, 3 minus); nothing for other columns.
std::optional<FilterEditor> FilterEditorFor(int column);

// ---- drops

inline constexpr int kDropNoRow = -1;  // hit code of a point in the list but on no row

// Where a point lies in the job list.
struct ListHit {
  bool insideList = false;
  int row = -1;  // control row, -1 none
  int column = 0;
};
// The code a pane's drag gets: nothing outside the list or on columns 2 and up, kDropNoRow on no
// row, else (column << 16) | row.
std::optional<int> DropHitCode(const ListHit& hit);
// 0 none, 1 add rows, 2 replace the cell. keyState bit 8 is Ctrl.
int DropEffect(u32 keyState, const int* code, int third);

struct DropAction {
  enum Kind { None, AppendRows, ReplaceCell } kind = None;
  int templateRow = -1;  // AppendRows: control row copied for cells 1-6; -1 the last job row
  int row = -1;          // ReplaceCell: control row
  int column = 0;        // ReplaceCell: 0 source, 1 target
  bool markModified = false;
};

// Files dropped from the shell at hit. barShown: control row 0 is the filter bar.
DropAction PlanShellDrop(const ListHit& hit, bool ctrl, bool barShown, int pathCount);
// A pane's drop: kind 1 files from the file pane, else a registry key (first text). rowCount
// counts the control's rows, the filter bar included.
DropAction PlanPaneDrop(int kind, int code, std::string_view firstText, bool barShown, int rowCount,
                        int textCount);

// ---- path texts

struct PathText {
  std::string text;             // the result when error is null
  const char* error = nullptr;  // a German message for a box captioned kPathErrorCaption
};

// "Vollen Pfad kopieren": the cell with its variables expanded, never shortened.
PathText FullPathText(std::string_view jobFilePath, std::string_view cell);
// "Relativen Pfad erzeugen": "$(KPW_PATH)/..." relative to the job file's folder.
PathText RelativePathText(std::string_view jobFilePath, std::string_view cell);
// "Einfügen": the file dialog's filter, and the folder it starts in: the template row's source
// (variables expanded) when it is a folder, its folder when it is a file; else the job file's
// folder; else home.
inline constexpr char kInsertFilesFilter[] = "*";
std::string InsertFilesFolder(std::string_view templateSource, std::string_view jobFilePath,
                              const std::string& home);
// "Einfügen": the control row whose cells 2-7 the new rows copy: the focused row (-1: none, then
// -1 for the last job row), never the filter bar's row 0.
int InsertFilesTemplateRow(int focusedRow, bool barShown);

// "Pfad öffnen": the folder to show for a source or target cell, or nothing. A path tag is taken
// out with the rest of its path component; isFolder tests a path.
std::optional<std::string> OpenPathFolder(std::string_view cell,
                                          const std::function<bool(const std::string&)>& isFolder);

}  // namespace kpw::view
