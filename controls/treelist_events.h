// Tree-list callbacks: the owner's notifications and the change observer of a model or widget.
#pragma once

#include "controls/treelist_types.h"

#include <cstdint>
#include <string>
#include <vector>

// The owner (the view or dialog that holds the list) gets the user's actions. The store calls it
// on the thread that called the action method (normally the GUI thread), with its lock released,
// so the owner may call the store again.
class ITreeListOwner {
 public:
  virtual ~ITreeListOwner() = default;
  // TLN_STARTEDIT, for columns with TLCF_ASKOWNER: answer TLSE_TEXTEDIT, TLSE_CHOICELIST (choices
  // in rec.text, each followed by "|") or TLSE_NONE.
  virtual DWORD OnStartEdit(TLNSTARTEDIT& rec) {
    (void)rec;
    return TLSE_TEXTEDIT;
  }
  // TVN_ENDLABELEDIT: 0 keeps rec.text (when delivered), 1 refuses it.
  virtual int OnEndLabelEdit(TLNENDEDIT& rec) {
    (void)rec;
    return 0;
  }
  // TLN_ENDDRAG: after the store has moved the row (or refused to).
  virtual void OnEndDrag(const TLNENDDRAG& rec) { (void)rec; }
  // TVN_KEYDOWN.
  virtual void OnKeyDown(const TLNKEYDOWN& rec) { (void)rec; }
};

// A change observer is told of every change, in order, while the store is still locked: it must
// not call the store; it records or queues what it needs. Row numbers are visible rows at the
// time of the change; each event carries the revision that its change left.
// A model on another thread can mirror the rows by item ids: on OnLayoutChanged (or whenever it
// lost track) it reads GetRowItems() with its revision and drops queued events of that revision
// or older.
class ITreeListObserver {
 public:
  virtual ~ITreeListObserver() = default;
  // The items now show in rows first .. first + size - 1 (new, shown again, or moved there).
  virtual void OnRowsInserted(std::uint64_t revision, int first, const std::vector<HTREEITEM>& items) {
    (void)revision, (void)first, (void)items;
  }
  // The rows first .. first + size - 1 that showed these items are gone (deleted, hidden, moved).
  virtual void OnRowsRemoved(std::uint64_t revision, int first, const std::vector<HTREEITEM>& items) {
    (void)revision, (void)first, (void)items;
  }
  // Texts, images, state or lParam of rows first .. last changed; column -1: more than one cell
  // or item data (state, lParam, selected image).
  virtual void OnRowsChanged(std::uint64_t revision, int first, int last, int column) {
    (void)revision, (void)first, (void)last, (void)column;
  }
  // The rows were rearranged or cleared wholesale (sort, delete all): read them again.
  virtual void OnLayoutChanged(std::uint64_t revision) { (void)revision; }
  // A column was inserted or its title, width, format or flags changed.
  virtual void OnColumnsChanged(std::uint64_t revision) { (void)revision; }
  virtual void OnFocusChanged(HTREEITEM item, int column) { (void)item, (void)column; }
  // A setting (index 0 .. 31) or, with index -1, the extended style changed.
  virtual void OnSettingChanged(int index, DWORD value) { (void)index, (void)value; }
  // Requests to the widget.
  virtual void OnEnsureVisible(HTREEITEM item, int column) { (void)item, (void)column; }
  // Open an editor of kind editor (TLSE_TEXTEDIT, or TLSE_CHOICELIST with "|"-ended choices) on
  // the cell; when it closes, the widget calls CTreeListStore::EndEdit.
  virtual void OnEditRequest(HTREEITEM item, int column, DWORD editor, const std::string& choices) {
    (void)item, (void)column, (void)editor, (void)choices;
  }
};
