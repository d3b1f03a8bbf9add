// The job-list view's window.
#include "app/gui/job_list_wnd.h"

#include "app/kopiwart_view.h"
#include "controls/gui/treelist_ctrl.h"

#include <QVBoxLayout>

CJobListWnd::CJobListWnd(CKopiwartView& view, CTreeListIcons& icons, QWidget* parent)
    : QWidget(parent), m_view(view), m_list(new CTreeListCtrl(view.List())) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  m_list->Create(TL_WS_EX_CLIENTEDGE, TL_WS_VISIBLE, rect(), this, kJobListCtrlId);
  layout->addWidget(m_list);
  m_list->SetImageList(&icons);
  m_list->SetOwner(this);
  setFocusProxy(m_list);
}

CJobListWnd::~CJobListWnd() {
  // The view takes its rows' notifications back for runs without this window.
  m_list->SetOwner(nullptr);
  m_view.List().SetOwner(&m_view);
}

DWORD CJobListWnd::OnStartEdit(TLNSTARTEDIT& rec) {
  return m_view.OnCellChoice(rec);
}
int CJobListWnd::OnEndLabelEdit(TLNENDEDIT& rec) {
  return m_view.OnEndLabelEdit(rec);
}
void CJobListWnd::OnEndDrag(const TLNENDDRAG& rec) {
  m_view.OnTreeListNotify(rec);
}
void CJobListWnd::OnKeyDown(const TLNKEYDOWN& rec) {
  m_view.OnListKeyDown(rec);
}
