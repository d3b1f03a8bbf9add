// The lists of the special-settings dialogs: lines in a tree-list store, edited in place.
#pragma once

#include "app/settings_forms.h"
#include "controls/treelist_store.h"

#include <string>
#include <vector>

// One item per line, and always one empty line at the end, the place for a new item. The list is
// the store's owner: an edit that fills the last line adds a new empty one; an edit that empties
// the first cell of another line deletes that line and selects the next. In the pair list of the
// size form a 0 typed into the first column gets "  <DEL>".
class CSettingsList : public ITreeListOwner {
 public:
  enum Kind {
    FOLDERS,          // one column, the dialogs' folder lists (setting 3 = 802)
    ARCHIVE_FOLDERS,  // one column, the zip dialog's list (without that setting)
    THINNING_PAIRS,   // two columns of the "Shrink" numbers
    SIZE_PAIRS,       // two columns of the "Kopiwart" numbers
  };
  // Gives the store its columns, column flags and settings.
  CSettingsList(CTreeListStore& store, Kind kind);

  Kind GetKind() const { return m_kind; }
  bool IsPairs() const { return m_kind == THINNING_PAIRS || m_kind == SIZE_PAIRS; }
  CTreeListStore& Store() const { return m_store; }

  // Replaces the lines; the empty line follows. Not an edit.
  void SetLines(const std::vector<std::string>& lines);
  void SetPairs(const std::vector<kpw::settings::PairLine>& pairs);
  // The non-empty first cells in list order.
  std::vector<std::string> Lines() const;
  // Every line's two cells in list order, the empty last one included.
  std::vector<kpw::settings::PairLine> Pairs() const;
  // Whether an edit has changed, added or deleted a line since the lines were set.
  bool Edited() const { return m_edited; }
  // TLM_SORTCHILDRENEX: the lines ascending by the number their first cell begins with (stable;
  // lines with an empty first cell last).
  void SortByNumber();

  int OnEndLabelEdit(TLNENDEDIT& rec) override;

 private:
  void AddEmptyLine();

  CTreeListStore& m_store;
  Kind m_kind;
  bool m_edited = false;
};
