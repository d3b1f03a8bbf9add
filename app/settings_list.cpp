// Filling, reading, editing and sorting the special-settings dialogs' lists.
#include "app/settings_list.h"

#include "app/dialog_texts.h"

namespace {

constexpr UINT kFirstColumnFlags = 0x106;   // editable in place, typing starts the editor
constexpr UINT kSecondColumnFlags = 0x906;  // the same for the pair list's second column
constexpr DWORD kListExStyle = 0x508F0000;
constexpr DWORD kFolderListOptions = 802;

int CompareLines(HTREEITEM, HTREEITEM, const char* text1, const char* text2, int, void*) {
  const bool empty1 = !*text1, empty2 = !*text2;
  if (empty1 || empty2) return static_cast<int>(empty1) - static_cast<int>(empty2);
  return kpw::settings::ComparePairFirst(text1, text2);
}

}  // namespace

CSettingsList::CSettingsList(CTreeListStore& store, Kind kind) : m_store(store), m_kind(kind) {
  m_store.SetExtendedStyle(kListExStyle);
  if (IsPairs()) {
    const bool sizes = kind == SIZE_PAIRS;
    m_store.InsertColumn(-1, sizes ? kpw::texts::kSizesColumn1 : kpw::texts::kThinningColumn1, LVCFMT_LEFT, -1,
                         kFirstColumnFlags);
    m_store.InsertColumn(-1, sizes ? kpw::texts::kSizesColumn2 : kpw::texts::kThinningColumn2, LVCFMT_LEFT, -1,
                         kSecondColumnFlags);
  } else {
    m_store.InsertColumn(-1, kpw::texts::kFolderColumn, LVCFMT_LEFT, -1, kFirstColumnFlags);
    if (kind == FOLDERS) m_store.SetSetting(TLSETTING_OPTIONS, kFolderListOptions);
  }
  AddEmptyLine();
}

void CSettingsList::AddEmptyLine() { m_store.InsertRow(-1, ""); }

void CSettingsList::SetLines(const std::vector<std::string>& lines) {
  m_store.DeleteAllItems();
  for (const std::string& line : lines) m_store.InsertRow(-1, line);
  AddEmptyLine();
  m_edited = false;
}

void CSettingsList::SetPairs(const std::vector<kpw::settings::PairLine>& pairs) {
  m_store.DeleteAllItems();
  for (const kpw::settings::PairLine& pair : pairs) {
    const int row = m_store.InsertRow(-1, pair.first);
    m_store.SetCellText(row, pair.second, 1);
  }
  AddEmptyLine();
  m_edited = false;
}

std::vector<std::string> CSettingsList::Lines() const {
  std::vector<std::string> lines;
  for (HTREEITEM item : m_store.GetRowItems()) {
    std::string text = m_store.GetItemText(item, 0);
    if (!text.empty()) lines.push_back(std::move(text));
  }
  return lines;
}

std::vector<kpw::settings::PairLine> CSettingsList::Pairs() const {
  std::vector<kpw::settings::PairLine> pairs;
  for (HTREEITEM item : m_store.GetRowItems())
    pairs.push_back({m_store.GetItemText(item, 0), m_store.GetItemText(item, 1)});
  return pairs;
}

void CSettingsList::SortByNumber() { m_store.SortChildrenEx(TVI_ROOT, &CompareLines, nullptr, 0); }

int CSettingsList::OnEndLabelEdit(TLNENDEDIT& rec) {
  if (!(rec.mask & TLIF_NEWTEXT)) return 0;
  const int row = m_store.GetRowOfItem(rec.hItem);
  if (row < 0) return 1;
  if (IsPairs() && rec.column == 0) rec.text = kpw::settings::MarkPairFirst(rec.text, m_kind == SIZE_PAIRS);
  if (rec.text != m_store.GetItemText(rec.hItem, rec.column)) m_edited = true;
  const bool last = row + 1 == m_store.GetRowCount();
  if (last && !rec.text.empty()) {
    AddEmptyLine();
  } else if (!last && rec.text.empty() && rec.column == 0) {
    const HTREEITEM next = m_store.GetItemOfRow(row + 1);
    m_store.DeleteItem(rec.hItem);
    m_store.SelectFocus(next);
  }
  return 0;
}
