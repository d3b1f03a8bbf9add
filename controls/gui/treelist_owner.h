// ITreeListCtrlOwner: what the holder of a tree-list widget is told beyond the store's notifications.
#pragma once

#include "controls/treelist_events.h"

#include <QPoint>

// The store's notifications (TLN_STARTEDIT, TVN_ENDLABELEDITA, TVN_KEYDOWN, TLN_ENDDRAG) reach the
// owner through ITreeListOwner; the widget adds the ones only a window has. Every call comes on the
// main thread.
class ITreeListCtrlOwner : public ITreeListOwner {
 public:
  // WM_CONTEXTMENU over the list: the item and column under the point (null item: empty area).
  virtual void OnListContextMenu(int ctrlId, HTREEITEM item, int column, QPoint globalPos) {
    (void)ctrlId, (void)item, (void)column, (void)globalPos;
  }
  // WM_SETFOCUS: the list got the keyboard focus.
  virtual void OnListSetFocus(int ctrlId) { (void)ctrlId; }
};
