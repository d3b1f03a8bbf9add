// The row commands that open the special-settings and filter dialogs and store what they give.
#include "app/settings_dialogs.h"

#include "app/kopiwart_view.h"

namespace {

// Writes the cell when the text differs; the dialogs see and give whole cells, never cut ones.
bool StoreIfChanged(CKopiwartView& view, HTREEITEM item, int column, const std::string& old,
                    const std::optional<std::string>& edited) {
  if (!edited || *edited == old) return false;
  if (!view.List().SetItemText(item, JobCellSanitize(*edited), column)) return false;
  view.SetModified(1);
  return true;
}

bool IsJobRow(const CKopiwartView& view, HTREEITEM item) {
  return item != TLI_NULL && view.List().IsItem(item) && !(view.GetInfo(4) && item == view.GetFilterBarItem());
}

}  // namespace

bool EditRowSpecialSettings(CKopiwartView& view, HTREEITEM item, ISettingsDialogs& dialogs) {
  if (!IsJobRow(view, item)) return false;
  const std::vector<std::string> cells = view.List().GetItemTexts(item);
  auto cell = [&](int column) {
    return static_cast<std::size_t>(column) < cells.size() ? cells[static_cast<std::size_t>(column)] : std::string();
  };
  const kpw::view::SettingsDialog kind =
      kpw::view::SpecialSettingsDialog(cell(JOB_COL_MODE), cell(JOB_COL_SOURCE), cell(JOB_COL_TARGET));
  if (kind == kpw::view::SettingsDialog::None) return false;
  const std::string extra = cell(JOB_COL_EXTRA);
  return StoreIfChanged(view, item, JOB_COL_EXTRA, extra, dialogs.EditSpecialSettings(kind, extra));
}

bool EditRowFilter(CKopiwartView& view, HTREEITEM item, int column, ISettingsDialogs& dialogs) {
  const std::optional<kpw::view::FilterEditor> editor = kpw::view::FilterEditorFor(column);
  if (!editor || !IsJobRow(view, item)) return false;
  const std::string text = view.List().GetItemText(item, column);
  return StoreIfChanged(view, item, column, text, dialogs.EditFilter(*editor, text));
}
