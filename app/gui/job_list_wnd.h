// The job-list view's window: the tree-list widget over the view's rows, its notifications passed on.
#pragma once

#include "controls/gui/treelist_owner.h"

#include <QWidget>

class CKopiwartView;
class CTreeListCtrl;
class CTreeListIcons;

// Control id of the job list.
inline constexpr int kJobListCtrlId = 17;

// Every notification goes to the view's own handler; this window adds no logic of its own.
class CJobListWnd : public QWidget, public ITreeListCtrlOwner {
 public:
  CJobListWnd(CKopiwartView& view, CTreeListIcons& icons, QWidget* parent = nullptr);
  ~CJobListWnd() override;

  CKopiwartView& View() const { return m_view; }
  CTreeListCtrl& List() const { return *m_list; }

  // ITreeListOwner (the view's handlers of control 17)
  DWORD OnStartEdit(TLNSTARTEDIT& rec) override;
  int OnEndLabelEdit(TLNENDEDIT& rec) override;
  void OnEndDrag(const TLNENDDRAG& rec) override;
  void OnKeyDown(const TLNKEYDOWN& rec) override;

 private:
  CKopiwartView& m_view;
  CTreeListCtrl* m_list = nullptr;  // a child
};
