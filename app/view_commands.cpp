// The view window's decisions without a window: context menu, update-UI states, settings, drops, paths.
#include "app/view_commands.h"

#include "jobs/job_model.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_path.h"
#include "lib/system/vars.h"

#include <algorithm>
#include <cctype>

namespace kpw::view {

std::vector<MenuItem> ContextMenuItems(const MenuSituation& s) {
  const bool pathColumn = s.column < 2;
  const bool pathGrey = !pathColumn || s.registryPaneFront;
  // The filter bar holds filter texts, not paths of a job: writing a job path or a mode's extra
  // settings into it makes no sense.
  std::vector<MenuItem> items = {
      {ID_COPY_FIELD, texts::kMenuCopyField, !s.hasSelection},
      {ID_COPY_FULL_PATH, texts::kMenuCopyFullPath, !s.hasSelection || pathGrey},
      {0, "", false},
      {ID_MAKE_RELATIVE, texts::kMenuMakeRelative, pathGrey || s.filterBarRow},
      {ID_OPEN_PATH, texts::kMenuOpenPath, pathGrey},
  };
  if ((s.column == 2 || s.column == 3) && !s.registryPaneFront)
    items.push_back({ID_EDIT_FILTER, texts::kMenuEditFilter, false});
  else
    items.push_back({ID_SPECIAL_SETTINGS, texts::kMenuSpecialSettings,
                     s.column != 6 || s.registryPaneFront || s.filterBarRow});
  return items;
}

std::optional<UiState> UpdateCommandUi(u32 id, const ViewUiState& s) {
  const int firstJob = s.filterBarShown ? 1 : 0;
  const int row = s.firstSelectedRow;
  // The bar row is never moved, deleted or swapped with.
  const bool jobSelected = row >= firstJob && row < s.itemCount;
  switch (id) {
    case 57643:
      return UiState{s.undoAvailable, false};
    case ID_PATH_BARS:
      return UiState{true, s.pathBarShown};
    case 32784:
      return UiState{jobSelected && row > firstJob, false};
    case 32785:
      return UiState{jobSelected && row + 1 < s.itemCount, false};
    case 57632:
    case 32788:
      return UiState{jobSelected, false};
    case 32778:
      return UiState{s.jobItems > 0, false};  // a run runs the rows the filter hides too
    case ID_TOGGLE_REGISTRY:
      return UiState{true, s.registryPaneShown};
    case ID_PARENT_FOLDER:
      return UiState{s.frontPaneHasParent, false};
    case 32792:
      return UiState{true, s.filterBarShown};
    default:
      return std::nullopt;
  }
}

namespace {

bool HasZipExtension(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view ext = name.substr(dot + 1);
  return ext.size() == 3 && std::toupper(static_cast<unsigned char>(ext[0])) == 'Z' &&
         std::toupper(static_cast<unsigned char>(ext[1])) == 'I' &&
         std::toupper(static_cast<unsigned char>(ext[2])) == 'P';
}

}  // namespace

SettingsDialog SpecialSettingsDialog(std::string_view modeText, std::string_view source,
                                     std::string_view target) {
  switch (JobModeFromName(modeText)) {
    case JOB_MODE_COPY:
    case JOB_MODE_COPY_DEL:
    case JOB_MODE_COPY_FILE:
      return SettingsDialog::Copy;
    case JOB_MODE_ZIP:
      if (HasZipExtension(source)) return SettingsDialog::Subdir;
      return HasZipExtension(target) ? SettingsDialog::Zip : SettingsDialog::Copy;
    case JOB_MODE_ZIP_ADD:
      return HasZipExtension(target) ? SettingsDialog::Zip : SettingsDialog::Copy;
    case JOB_MODE_FTP:
    case JOB_MODE_FTP_DEL:
    case JOB_MODE_UPDATE:
      return SettingsDialog::Subdir;
    case JOB_MODE_SYNCH:
      return SettingsDialog::Synch;
    case JOB_MODE_PUFFER:
      return SettingsDialog::Puffer;
    case JOB_MODE_SHRINK:
      return SettingsDialog::ShrinkThinning;
    case JOB_MODE_KOPIWART:
      return SettingsDialog::ShrinkSize;
    default:
      return SettingsDialog::None;
  }
}

std::optional<FilterEditor> FilterEditorFor(int column) {
  if (column == 2) return FilterEditor{texts::kPlusFilterCaption, texts::kPlusFilterLabel};
  if (column == 3) return FilterEditor{texts::kMinusFilterCaption, texts::kMinusFilterLabel};
  return std::nullopt;
}

std::optional<int> DropHitCode(const ListHit& hit) {
  if (!hit.insideList) return std::nullopt;
  if (hit.row < 0) return kDropNoRow;
  if (hit.column != 0 && hit.column != 1) return std::nullopt;
  return (hit.column << 16) | (hit.row & 0xFFFF);
}

int DropEffect(u32 keyState, const int* code, int third) {
  if (third == 0 || code == nullptr) return 0;
  if (*code == kDropNoRow) return 1;
  if ((*code >> 16) != 0) return 2;
  return (keyState & 8) ? 2 : 1;
}

DropAction PlanShellDrop(const ListHit& hit, bool ctrl, bool barShown, int pathCount) {
  DropAction a;
  if (pathCount <= 0) return a;
  const bool barRow = barShown && hit.row == 0;
  if (ctrl && hit.insideList && hit.row >= 0 && !barRow && (hit.column == 0 || hit.column == 1)) {
    a.kind = DropAction::ReplaceCell;
    a.row = hit.row;
    a.column = hit.column;
  } else {
    a.kind = DropAction::AppendRows;
    a.templateRow = -1;
  }
  a.markModified = true;  // new rows are work that a close must not lose
  return a;
}

DropAction PlanPaneDrop(int kind, int code, std::string_view firstText, bool barShown, int rowCount,
                        int textCount) {
  DropAction a;
  if (textCount <= 0) return a;
  const int row = code == kDropNoRow ? -1 : (code & 0xFFFF);
  const bool jobRow = row >= (barShown ? 1 : 0) && row < rowCount;
  if (kind == 1) {
    a.kind = DropAction::AppendRows;
    a.templateRow = jobRow ? row : -1;
    a.markModified = true;
    return a;
  }
  // A key on the bar row would overwrite a filter text; on no row there is nothing to replace.
  if (!jobRow || firstText.size() < 5) return a;
  for (size_t i = 0; i < 5; ++i)
    if (std::toupper(static_cast<unsigned char>(firstText[i])) != "HKEY_"[i]) return a;
  a.kind = DropAction::ReplaceCell;
  a.row = row;
  a.column = (code >> 16) != 0 ? 1 : 0;
  a.markModified = true;
  return a;
}

namespace {

std::vector<std::string> Components(std::string_view path) {
  const std::vector<std::string_view> parts = SysPathDotParts(path, 0);
  return {parts.begin(), parts.end()};
}

std::string Slashes(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    if (c == '\\') c = '/';
  return s;
}

}  // namespace

PathText FullPathText(std::string_view jobFilePath, std::string_view cell) {
  if (jobFilePath.empty()) return {{}, texts::kNoFileNameText};
  return {VarExpandString(cell), nullptr};
}

PathText RelativePathText(std::string_view jobFilePath, std::string_view cell) {
  if (jobFilePath.empty()) return {{}, texts::kNoFileNameText};
  // Only "/" makes a path absolute here; "C:\..." and "\\server" are not paths of this system.
  if (cell.empty() || cell[0] != '/') return {{}, texts::kNotAbsoluteText};
  const std::string file = Slashes(jobFilePath);
  if (file[0] != '/') return {{}, texts::kCannotConvertText};
  std::vector<std::string> base = Components(file);
  if (!base.empty()) base.pop_back();  // the job file's name
  const std::vector<std::string> target = Components(Slashes(cell));
  size_t common = 0;
  while (common < base.size() && common < target.size() && base[common] == target[common]) ++common;
  std::string out = "$(KPW_PATH)";
  for (size_t i = common; i < base.size(); ++i) out += "/..";
  for (size_t i = common; i < target.size(); ++i) out += "/" + target[i];
  return {out, nullptr};
}

std::string InsertFilesFolder(std::string_view templateSource, std::string_view jobFilePath,
                              const std::string& home) {
  std::string source = Slashes(VarExpandString(templateSource));
  if (source.size() > 1 && source.back() == '/') source.pop_back();
  if (!source.empty() && source[0] == '/') {
    const int kind = SysFileExist(source.c_str());
    if (kind >= 2) return source;
    if (kind == 1) return source.substr(0, std::max<size_t>(source.rfind('/'), 1));
  }
  const std::string file = Slashes(jobFilePath);
  const size_t slash = file.rfind('/');
  if (!file.empty() && file[0] == '/' && slash != std::string::npos) {
    std::string folder = file.substr(0, std::max<size_t>(slash, 1));
    if (SysFileExist(folder.c_str()) >= 2) return folder;
  }
  return home.empty() ? "/" : home;
}

int InsertFilesTemplateRow(int focusedRow, bool barShown) {
  if (focusedRow < 0) return -1;
  return barShown && focusedRow == 0 ? 1 : focusedRow;
}

std::optional<std::string> OpenPathFolder(std::string_view cell,
                                          const std::function<bool(const std::string&)>& isFolder) {
  std::string path = Slashes(VarExpandString(cell));
  const size_t hash = path.find('#');
  if (hash != std::string::npos && hash + 1 < path.size()) {
    const char c = path[hash + 1];
    const bool tagStart = c == 'D' || c == 'd' || (c >= '1' && c <= '5') || c == '@';
    const size_t close = tagStart ? path.find('#', hash + 1) : std::string::npos;
    if (close != std::string::npos) {
      size_t end = path.find('/', close);
      if (end == std::string::npos) end = path.size();
      // A component that was only the tag goes with its separator.
      if (hash > 0 && path[hash - 1] == '/' && end < path.size()) ++end;
      path.erase(hash, end - hash);
    }
  }
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty()) return std::nullopt;
  if (isFolder(path)) return path;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  path.erase(slash == 0 ? 1 : slash);
  if (isFolder(path)) return path;
  return std::nullopt;
}

}  // namespace kpw::view
