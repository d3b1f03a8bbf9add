// CTreeListStore: the Qt-free item store of the tree-list control, safe to use from any thread.
#pragma once

#include "controls/treelist_events.h"
#include "controls/treelist_index.h"
#include "controls/treelist_types.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A flat list of top-level items under TVI_ROOT (no item has children). Each item has one UTF-8
// text and one image per column (column 0's text and image are the item's own), a selected
// image, a state word and an lParam. The store sets no limit on a text's length.
//
// Items and rows. The items keep their order; an item with state TLIS_HIDDEN has no row. Rows
// number the visible items from 0 in item order, so GetItemOfRow, GetRowOfItem, GetRowCount and
// the row-taking methods see the list as it is shown, while TVGN_NEXT / TVGN_PREVIOUS / GetCount
// walk and count every item, hidden ones included (a caller that counts jobs whatever is shown
// walks items). A hidden item is never selected nor focused: hiding clears both.
//
// Threads. One mutex guards everything; every method is atomic. Item handles are ids that stay
// valid while the item lives; a stale id never reaches another item's data (until the 24-bit id
// counter wraps). Owner callbacks run without the lock; observer callbacks run under it.
//
// Columns. A column is valid for cell access when 0 <= column < max(1, GetColumnCount()).
class CTreeListStore {
 public:
  CTreeListStore();
  ~CTreeListStore();
  CTreeListStore(const CTreeListStore&) = delete;
  CTreeListStore& operator=(const CTreeListStore&) = delete;

  // ---- owner and observers
  // The owner gets the start-edit, end-edit, end-drag and key notifications; null for none. It
  // must outlive its registration.
  void SetOwner(ITreeListOwner* owner);
  void AddObserver(ITreeListObserver* observer);
  void RemoveObserver(ITreeListObserver* observer);
  // Grows by one with every call that changed items, rows, cells, state or columns.
  std::uint64_t GetRevision() const;

  // ---- columns
  // Inserts a column before index (clamped; -1 appends); cells of later columns move with it.
  // Returns the new column's index.
  int InsertColumn(int index, std::string_view title, int format = LVCFMT_LEFT, int width = 100,
                   UINT flags = 0);
  int GetColumnCount() const;
  // The column's record; nullopt for a bad index.
  std::optional<TLCOLUMN> GetColumn(int column) const;
  bool SetColumnWidth(int column, int width);
  // TLM_SETCOLUMNFLAGS: TLCF_EDITABLE / TLCF_EDITKEYS / TLCF_ASKOWNER. False for a bad column.
  bool SetColumnFlags(int column, UINT flags);
  UINT GetColumnFlags(int column) const;  // 0 for a bad column

  // ---- settings
  // TLM_SETTING: returns the old value; indices outside 0 .. 31 change nothing and answer 0.
  DWORD SetSetting(int index, DWORD value);
  DWORD GetSetting(int index) const;
  // The packed form: index | TLSETTING_SET sets to value and answers the old one; without the
  // bit it answers the current value.
  DWORD Setting(DWORD packedIndex, DWORD value);
  // Window extended style word, kept for the widget.
  DWORD SetExtendedStyle(DWORD style);
  DWORD GetExtendedStyle() const;

  // ---- inserting and deleting
  // Inserts a visible item before the item shown in row (at the end when row is negative or past
  // the last row) and returns its row, or -1. mask: TVIF_TEXT, TVIF_IMAGE, TVIF_SELECTEDIMAGE;
  // other bits are ignored.
  int InsertRow(int row, std::string_view text, int image = -1, int selectedImage = -1,
                UINT mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE);
  // Inserts an item under parent (TVI_ROOT or null) after insertAfter (TVI_FIRST, TVI_LAST,
  // TVI_SORT or a live item). mask: TVIF_TEXT, TVIF_IMAGE, TVIF_SELECTEDIMAGE, TVIF_STATE (state
  // under stateMask), TVIF_PARAM. Returns the item, or null for another parent or a stale
  // insertAfter.
  HTREEITEM InsertItem(UINT mask, std::string_view text, int image, int selectedImage, UINT state,
                       UINT stateMask, LPARAM lParam, HTREEITEM parent = TVI_ROOT,
                       HTREEITEM insertAfter = TVI_LAST);
  // Convenience: a visible item with a text after insertAfter.
  HTREEITEM InsertItem(std::string_view text, HTREEITEM insertAfter = TVI_LAST);
  // TVM_DELETEITEM: false for a stale item; TVI_ROOT deletes every item.
  bool DeleteItem(HTREEITEM item);
  void DeleteAllItems();

  // ---- rows and items
  HTREEITEM GetItemOfRow(int row) const;     // TLM_GETITEMOFROW: null when there is no such row
  int GetRowOfItem(HTREEITEM item) const;    // TLM_GETROWOFITEM: -1 for hidden, root, stale
  int GetRowCount() const;                   // TLM_GETROWCOUNT: visible items
  int GetCount() const;                      // every item, hidden ones included
  bool IsItem(HTREEITEM item) const;         // a live item
  HTREEITEM GetItemAt(int index) const;      // the item at index in item order, or null
  // Items of all rows in row order, and the revision they belong to (for resynchronising).
  std::vector<HTREEITEM> GetRowItems(std::uint64_t* revision = nullptr) const;
  std::vector<HTREEITEM> GetAllItems() const;  // every item in order

  // ---- navigation
  // TVM_GETNEXTITEM with a TVGN_* / TLGN_* code (TLGN_FOCUSCOLUMN: use GetFocusedColumn). Null
  // when there is none, for a stale item and an unknown code.
  HTREEITEM GetNextItem(HTREEITEM item, UINT code) const;
  HTREEITEM GetRootItem() const { return GetNextItem(TVI_ROOT, TVGN_ROOT); }
  HTREEITEM GetChildItem(HTREEITEM item) const { return GetNextItem(item, TVGN_CHILD); }
  HTREEITEM GetNextSiblingItem(HTREEITEM item) const { return GetNextItem(item, TVGN_NEXT); }
  HTREEITEM GetPrevSiblingItem(HTREEITEM item) const { return GetNextItem(item, TVGN_PREVIOUS); }
  // From TVI_ROOT (or null): the first selected item; from an item: the next selected after it.
  HTREEITEM GetNextSelectedItem(HTREEITEM item = TVI_ROOT) const {
    return GetNextItem(item, TLGN_NEXTSELECTED);
  }
  HTREEITEM GetFocusedItem() const { return GetNextItem(TVI_ROOT, TLGN_FOCUS); }
  // Focused column; 0 at start, kept while the focused item changes.
  int GetFocusedColumn() const;

  // ---- cells
  // The cell's text; empty for a stale item or bad column.
  std::string GetItemText(HTREEITEM item, int column = 0) const;
  // All cells of an item in column order, read at once; empty for a stale item.
  std::vector<std::string> GetItemTexts(HTREEITEM item) const;
  bool SetItemText(HTREEITEM item, std::string_view text, int column = 0);
  // By row: GetCellText copies at most size - 1 bytes, never cutting a UTF-8 sequence, and
  // terminates; it returns the bytes copied, -1 for a bad row or column or a size below 1.
  int GetCellText(int row, char* buffer, int size, int column) const;
  std::optional<std::string> GetCellText(int row, int column) const;
  bool SetCellText(int row, std::string_view text, int column);

  // Images: -1 for a stale item; the store does not interpret the numbers.
  int GetItemImage(HTREEITEM item, int column = 0) const;
  int GetItemSelectedImage(HTREEITEM item) const;
  // Column 0's image and the selected image (the item's own icon).
  bool SetItemImage(HTREEITEM item, int image, int selectedImage);
  // One cell's image (column 0: the item's image).
  bool SetCellImage(HTREEITEM item, int column, int image);

  LPARAM GetItemData(HTREEITEM item) const;  // 0 for a stale item
  bool SetItemData(HTREEITEM item, LPARAM data);

  // TVM_GETITEM / TVM_SETITEM: the fields named by rec.mask, with rec.hItem; with TLIF_SUBITEM
  // text and image are those of rec.column (mask 0x8002: a column's own image). False for a
  // stale item or bad column.
  bool GetItem(TLITEM& rec) const;
  bool SetItem(const TLITEM& rec);

  // ---- state and selection
  // State bits under mask (TVIS_FOCUSED reported for the focused item); 0 for a stale item.
  UINT GetItemState(HTREEITEM item, UINT mask = ~0u) const;
  // Sets the bits of state under mask. TVIS_FOCUSED is ignored; TVIS_SELECTED is ignored for a
  // hidden item; TLIS_HIDDEN clears selection and focus. Without TLO_MULTISELECT, selecting an
  // item deselects the others.
  bool SetItemState(HTREEITEM item, UINT state, UINT mask);
  // Applies the change to every descendant of item: TVI_ROOT = every item; an item has none.
  // Returns the number of items whose state changed.
  int SetItemsState(HTREEITEM item, UINT state, UINT mask);
  // TLM_SELECTFOCUS: the item becomes the only selected item and the focused one (the focused
  // column stays). False for a hidden or stale item.
  bool SelectFocus(HTREEITEM item);
  // TLM_SELECTSUBITEM: focuses column of item and selects it; other selections stay (one
  // selection only without TLO_MULTISELECT). False for a hidden or stale item or bad column.
  bool SelectSubItem(int column, HTREEITEM item);

  // ---- moving and sorting
  // TLM_MOVEITEM, "after" form: moves item behind insertAfter (TVI_FIRST: to the first place,
  // TVI_LAST: to the end). False for stale items or when item == insertAfter.
  bool MoveItemAfter(HTREEITEM item, HTREEITEM insertAfter);
  // The "before" form: moves item in front of before (TVI_LAST: to the end).
  bool MoveItemBefore(HTREEITEM item, HTREEITEM before);
  // TLM_SORTCHILDRENEX: sorts the children of parent (TVI_ROOT) stably by compare on the texts of
  // column; the fixed rows of setting 4 keep their place. The compare function runs under the
  // store's lock: it must not call the store. Negative: item1 first.
  using SortCompare = int (*)(HTREEITEM item1, HTREEITEM item2, const char* text1,
                              const char* text2, int column, void* data);
  bool SortChildrenEx(HTREEITEM parent, SortCompare compare, void* data, int column = 0);

  // ---- requests to the widget
  // TVM_ENSUREVISIBLE: asks the widget to scroll the item's row (and column, -1 = any) into view.
  // False for a hidden or stale item.
  bool EnsureVisible(HTREEITEM item, int column = -1);
  // TVM_EDITLABEL: starts an edit of the cell as StartEdit with key 0 does. True when an editor
  // was asked for.
  bool EditLabel(HTREEITEM item, int column);

  // ---- user actions, called by the widget (and tests)
  // An edit of a cell is to start. A column with TLCF_ASKOWNER asks the owner (TLN_STARTEDIT;
  // without an owner: TLSE_TEXTEDIT); otherwise TLCF_EDITABLE gives TLSE_TEXTEDIT, else none. An
  // answer of TLSE_TEXTEDIT or TLSE_CHOICELIST is passed to the observers as OnEditRequest and
  // returned (with the choices in *choices when given); anything else is returned as it is.
  DWORD StartEdit(HTREEITEM item, int column, UINT key, std::string* choices = nullptr);
  // The editor closed; newText is empty when it delivered nothing (cancelled). The owner is asked
  // (TVN_ENDLABELEDIT); on its answer 0 a delivered text (as the owner left it) is stored. Returns
  // the answer (1 without a delivered text and no owner; -1 for a stale item or bad column).
  int EndEdit(HTREEITEM item, int column, std::optional<std::string> newText);
  // The widget's own row drag ended on target (null: cancelled). With TLO_DRAGROWS the dragged
  // item takes the target's row (it lands behind the target when it came from above, in front of
  // it when from below; never among the fixed rows of setting 4). A fixed row is not moved, but
  // its drop onto another row is reported as done, for the owner to act on. The owner then gets
  // TLN_ENDDRAG, with TLDRAG_DROPPED for a done drop. Returns whether the drop was done.
  bool EndDrag(HTREEITEM dragged, HTREEITEM target);
  // A key in the list: passed to the owner as TVN_KEYDOWN.
  void KeyDown(UINT vkey, UINT flags = 0);

  // ---- test seam
  // Sets the id counter (a value outside 1 .. TLI_ID_LIMIT - 1 sets 1), so that a test reaches
  // its wrap without sixteen million inserts.
  void SetNextId(std::uint32_t id);

 private:
  struct Cell {
    std::string text;
    int image = -1;
  };
  struct Item {
    HTREEITEM id = TLI_NULL;
    std::vector<Cell> cells;  // may be shorter than the column count: missing cells are empty
    int selectedImage = -1;
    UINT state = 0;
    LPARAM lParam = 0;
  };

  // All below run with m_mutex held.
  int PosOf(HTREEITEM item) const;      // -1 when stale
  int RowOfPos(int pos) const;          // -1 when hidden
  int PosOfRow(int row) const;          // -1 when no such row
  int RowCount() const;
  void Invalidate() const;              // order changed other than at the end
  void Rebuild() const;
  bool ValidColumn(int column) const;
  HTREEITEM NewId();
  const Cell* CellAt(const Item& it, int column) const;
  Cell& CellRef(Item& it, int column);
  std::optional<std::string> TextAt(int pos, int column) const;  // nullopt: no such item or column
  bool SetTextAt(int pos, std::string_view text, int column);
  int InsertAt(int pos, Item&& item);   // returns the row, or -1 when hidden
  void EraseAt(int pos);
  bool MoveTo(int from, int to);        // to: index before the removal; false when unmoved
  bool ApplyState(int pos, UINT state, UINT mask);
  void KeepOneSelected(int preferPos);
  void SetFocusLocked(HTREEITEM item, int column);
  int FixedCount() const;
  void Changed(int pos, int column);     // one item's data changed
  void EmitInserted(int row, HTREEITEM id);
  void EmitRemoved(int row, HTREEITEM id);
  void EmitLayout();
  void ColumnsChanged();                 // a column was inserted or changed
  bool HasColumn(int column) const;      // a real column (unlike ValidColumn, not the implied one)
  void Bump() { ++m_revision; }

  mutable std::mutex m_mutex;
  std::vector<Item> m_items;
  std::vector<TLCOLUMN> m_columns;
  DWORD m_settings[TLSETTING_COUNT] = {};
  DWORD m_exStyle = 0;
  HTREEITEM m_focus = TLI_NULL;
  int m_focusColumn = 0;
  std::uint32_t m_nextId = 1;
  std::uint64_t m_revision = 0;
  ITreeListOwner* m_owner = nullptr;
  std::vector<ITreeListObserver*> m_observers;

  // Lookup index: kept up to date by appends, removals at the end and visibility changes,
  // rebuilt on demand after any other change of order.
  mutable bool m_cacheValid = false;
  mutable CTreeListIndex m_index;
};
