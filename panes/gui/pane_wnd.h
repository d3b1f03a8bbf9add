// CPaneWnd: what the browser panes share: the path bar, the hidden parts, the parent flag, drags.
#pragma once

#include "panes/pane_drag.h"
#include "platform/win_types.h"

#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

class QLineEdit;
class QMimeData;
class QVBoxLayout;

// A pane is a path bar over a content widget of the pane's own. Main thread only.
class CPaneWnd : public QWidget {
 public:
  // Mime type of a pane's own drag data (PaneDragBytes).
  static constexpr char kDragMime[] = "application/x-kopiwart-pane-drag";

  explicit CPaneWnd(QWidget* parent = nullptr);
  ~CPaneWnd() override;
  CPaneWnd(const CPaneWnd&) = delete;
  CPaneWnd& operator=(const CPaneWnd&) = delete;

  // The window's creation: style (the parts to show; kept), place in parent, identifier. FALSE
  // without a parent.
  virtual BOOL Create(DWORD style, const QRect& rect, QWidget* parent, UINT id);
  UINT GetDlgCtrlID() const { return m_id; }
  DWORD GetStyle() const { return m_style; }

  // The drag callbacks (see panes/pane_drag.h).
  void SetDropHandler(PaneDropFn fn, void* context) { m_target.SetDropHandler(std::move(fn), context); }
  void SetDragTarget(PaneHitTestFn hitTest, int reserved, PaneDropEffectFn effect) {
    m_target.SetDragTarget(std::move(hitTest), reserved, std::move(effect));
  }

  // The hidden-parts word (kPaneHidePathBar: the path bar); SetStyle changes the bits under mask.
  DWORD HiddenParts() const { return m_hidden; }
  void SetStyle(DWORD value, DWORD mask);
  // Whether the place shown has a parent to go to.
  bool ParentAvailable() const { return m_parentAvailable; }

  // Gives the keyboard focus to a part: 0 the first visible one, 1 the content.
  void FocusPane(int part);
  virtual void GoParent() = 0;
  // The pane's settings under a value name of the registry store: FALSE when there were none (the
  // pane keeps its start) or they could not be written.
  virtual BOOL LoadSettings(const char* valueName) = 0;
  virtual BOOL SaveSettings(const char* valueName) const = 0;
  // A command passed on to the pane; true when it handled it.
  virtual bool OnCommand(UINT id) {
    (void)id;
    return false;
  }

  // The drag data of texts of this pane: its own format, the texts as plain text for other
  // programs, and for files their URLs.
  QMimeData* MakeDragMime(const std::vector<std::string>& texts, int kind) const;
  // The live pane a drag comes from (null for another drag, or when that pane is gone), and the
  // texts it carries.
  static CPaneWnd* DragSource(const QMimeData* mime, PaneDragData* data = nullptr);
  // For the window under a pane's drag: the effect at a screen point, and the drop there (true
  // when the drop handler took the texts).
  int DragOverAt(const QMimeData* mime, const QPoint& global, u32 keyState) const;
  bool DropAt(const QMimeData* mime, const QPoint& global, u32 keyState) const;
  // The key state (PANE_MK_*) of the keys and buttons.
  static u32 DragKeyState(Qt::KeyboardModifiers mods, Qt::MouseButtons buttons);
  // The Qt action of an effect: copy for adding, link for replacing (never a move: no dragged file
  // is ever removed).
  static Qt::DropAction DropActionOf(int effect);

 protected:
  QLineEdit* PathBar() const { return m_bar; }
  QVBoxLayout* PaneLayout() const { return m_layout; }
  // The content widget below the bar (it gets the focus of part 1).
  void SetContent(QWidget* content);
  QWidget* Content() const { return m_content; }
  void SetParentAvailable(bool available) { m_parentAvailable = available; }
  void SetBarText(const std::string& text);
  // Enter in the path bar.
  virtual void OnPathBarEntered(const std::string& text) = 0;
  // Runs a drag of the texts until it is dropped or given up.
  void StartDrag(const std::vector<std::string>& texts, int kind);

 private:
  std::uint64_t m_paneId;
  UINT m_id = 0;
  DWORD m_style = 0;
  DWORD m_hidden = 0;
  bool m_parentAvailable = false;
  CPaneDragTarget m_target;
  QVBoxLayout* m_layout = nullptr;
  QLineEdit* m_bar = nullptr;
  QWidget* m_content = nullptr;
};
