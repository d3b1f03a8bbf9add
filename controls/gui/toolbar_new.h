// The frame's toolbar: a Qt toolbar built from a table of command ids, with the flat style.
#pragma once

#include "platform/win_types.h"

#include <QIcon>
#include <QToolBar>

#include <span>
#include <vector>

class CCommandRouter;
class QMainWindow;

// Control styles of CreateEx.
inline constexpr DWORD TBSTYLE_FLAT = 0x800;
// The most commands the image table keeps.
inline constexpr std::size_t kToolbarMaxImages = 512;

// One button of the table; id 0 is a separator.
struct ToolbarButton {
  UINT id;
  QIcon image;
  const char* text;  // the tool tip (UTF-8)
};

// The buttons run their commands through the router, which also keeps them enabled and checked.
class CToolBarNew : public QToolBar {
 public:
  explicit CToolBarNew(QWidget* parent = nullptr);

  // Docks the bar at the top of the frame (movable, with tool tips); TBSTYLE_FLAT in ctrlStyle
  // makes the buttons flat (raised only under the mouse).
  BOOL CreateEx(QMainWindow* parent, DWORD ctrlStyle, UINT id);
  // Makes the buttons of the table, binds them to their commands and notes every non-zero command
  // in the image table (at most 512).
  BOOL LoadToolBar(CCommandRouter& router, std::span<const ToolbarButton> buttons);

  // TBSTYLE_FLAT removed and added; the buttons follow at once.
  void ModifyStyle(DWORD remove, DWORD add);
  DWORD GetStyle() const { return m_style; }
  UINT GetDlgCtrlID() const { return m_id; }

  // The commands in image order, and the image of a command (null when it has none).
  const std::vector<UINT>& CommandImages() const { return m_commands; }
  QIcon ImageOf(UINT id) const;
  QAction* ActionOf(UINT id) const;

 private:
  void ApplyStyle();

  DWORD m_style = 0;
  UINT m_id = 0;
  std::vector<UINT> m_commands;
  std::vector<QIcon> m_images;
};
