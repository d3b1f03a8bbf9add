// The frame's toolbar over QToolBar.
#include "controls/gui/toolbar_new.h"

#include "platform/gui/cmd_router.h"

#include <QAction>
#include <QMainWindow>
#include <QToolButton>

CToolBarNew::CToolBarNew(QWidget* parent) : QToolBar(parent) {}

BOOL CToolBarNew::CreateEx(QMainWindow* parent, DWORD ctrlStyle, UINT id) {
  if (!parent) return FALSE;
  m_style = ctrlStyle;
  m_id = id;
  setObjectName(QString::number(id));
  setMovable(true);
  setFloatable(true);
  setToolButtonStyle(Qt::ToolButtonIconOnly);
  parent->addToolBar(Qt::TopToolBarArea, this);
  ApplyStyle();
  return TRUE;
}

BOOL CToolBarNew::LoadToolBar(CCommandRouter& router, std::span<const ToolbarButton> buttons) {
  for (const ToolbarButton& button : buttons) {
    if (button.id == 0) {
      addSeparator();
      continue;
    }
    QAction* action = addAction(button.image, QString::fromUtf8(button.text ? button.text : ""));
    router.BindAction(action, button.id);
    if (m_commands.size() < kToolbarMaxImages) {
      m_commands.push_back(button.id);
      m_images.push_back(button.image);
    }
  }
  ApplyStyle();  // the buttons made now take the style too
  return TRUE;
}

void CToolBarNew::ModifyStyle(DWORD remove, DWORD add) {
  m_style = (m_style & ~remove) | add;
  ApplyStyle();
}

QIcon CToolBarNew::ImageOf(UINT id) const {
  for (std::size_t i = 0; i < m_commands.size(); ++i)
    if (m_commands[i] == id) return m_images[i];
  return {};
}

QAction* CToolBarNew::ActionOf(UINT id) const {
  for (QAction* action : actions())
    if (CCommandRouter::CommandIdOf(action) == id) return action;
  return nullptr;
}

void CToolBarNew::ApplyStyle() {
  const bool flat = (m_style & TBSTYLE_FLAT) != 0;
  for (QAction* action : actions())
    if (auto* button = qobject_cast<QToolButton*>(widgetForAction(action))) button->setAutoRaise(flat);
}
