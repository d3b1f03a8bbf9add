// CTreeListCtrl: the tree-list widget, a QTreeView over a CTreeListStore.
#pragma once

#include "controls/gui/treelist_model.h"
#include "controls/gui/treelist_owner.h"

#include <QRect>
#include <QTreeView>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

class CTreeListIcons;

// Window styles the widget reads; the other bits are kept in the store only.
inline constexpr DWORD TL_WS_VISIBLE = 0x10000000u;
inline constexpr DWORD TL_WS_EX_CLIENTEDGE = 0x00000200u;

// The Qt property that names a control's id in a dialog (the placeholder of CreateFromDlgItem).
inline constexpr char kCtrlIdProperty[] = "kpwCtrlId";

// Virtual key of a Qt key (0 when it has none): what TLN_STARTEDIT and TVN_KEYDOWN carry.
UINT TreeListVirtualKey(int qtKey);

// The store holds rows, cells, selection and focus and tells the owner of the user's actions;
// the widget shows the rows, turns input into store actions and opens the editors the store
// asks for. The store may change on any thread; the widget lives on the main thread.
class CTreeListCtrl : public QTreeView {
 public:
  explicit CTreeListCtrl(CTreeListStore& store);
  ~CTreeListCtrl() override;

  // Places the widget in parent at rect (parent coordinates). style: TL_WS_VISIBLE shows it;
  // exStyle: TL_WS_EX_CLIENTEDGE draws a frame. False without a parent.
  bool Create(DWORD exStyle, DWORD style, const QRect& rect, QWidget* parent, int id);
  // Takes the place (rectangle and parent, or its place in a layout) of the dialog's child whose
  // id property is dlgItemId and hides that placeholder. False when there is none.
  bool CreateFromDlgItem(DWORD exStyle, DWORD style, int dlgItemId, QWidget* dialog, int id);
  int GetDlgCtrlID() const { return m_id; }

  CTreeListStore& Store() const { return m_store; }
  CTreeListModel& Model() const { return *m_model; }
  // The widget-level notifications; also becomes the store's owner. Null for none.
  void SetOwner(ITreeListCtrlOwner* owner);
  // TVM_SETIMAGELIST: the icon table the image numbers refer to (not owned).
  void SetImageList(CTreeListIcons* icons);

  // The store's operations under the names the callers use.
  int InsertColumn(int index, std::string_view title, int format, int width, UINT flags = 0) {
    return m_store.InsertColumn(index, title, format, width, flags);
  }
  bool SetColumnFlags(int column, UINT flags) { return m_store.SetColumnFlags(column, flags); }
  int InsertRow(int row, std::string_view text, int image = -1, int selectedImage = -1,
                UINT mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE) {
    return m_store.InsertRow(row, text, image, selectedImage, mask);
  }
  int GetCellText(int row, char* buffer, int size, int column) const {
    return m_store.GetCellText(row, buffer, size, column);
  }
  int SetItemsState(HTREEITEM item, UINT state, UINT mask) {
    return m_store.SetItemsState(item, state, mask);
  }
  bool SortChildrenEx(HTREEITEM parent, CTreeListStore::SortCompare compare, void* data, int column = 0) {
    return m_store.SortChildrenEx(parent, compare, data, column);
  }
  DWORD Setting(DWORD packedIndex, DWORD value) { return m_store.Setting(packedIndex, value); }

  // Item and column at a point of the viewport; null item when no row is there.
  HTREEITEM HitTest(const QPoint& pos, int* column = nullptr) const;
  // The packed form: the item's id with the column in the top byte; 0 for none.
  DWORD HitTestPacked(const QPoint& pos) const;

  // Applies the store's queued changes now (they also arrive by themselves from the event loop).
  void Sync() { m_model->Flush(); }
  // Widths of the columns: fixed ones as given, negative ones share the rest by their amounts. A
  // border the user drags fixes the columns up to it in the store; the shares behind give room.
  void LayoutColumns();
  // The open editor's widget, or null.
  QWidget* Editor() const { return m_editor; }
  // What an empty cell of the input bar (settings 4 and 5) shows in grey, and its editor too.
  void SetBarPlaceholder(const QString& text) { m_barPlaceholder = text; }
  // The drop of an internal row drag (the dragged item onto the row at pos); true when done.
  bool DropRow(HTREEITEM dragged, const QPoint& pos);

  // Mime type of an internal row drag: the dragged item's id as text.
  static constexpr char kRowMime[] = "application/x-kopiwart-treelist-row";

 protected:
  bool eventFilter(QObject* object, QEvent* event) override;
  void keyPressEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void startDrag(Qt::DropActions actions) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dragMoveEvent(QDragMoveEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
  void commitData(QWidget* editor) override;
  void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

 private:
  class Delegate;
  friend class Delegate;

  void OnRequest(const CTreeListModel::Request& r);
  std::vector<int> StoredWidths() const;
  void OnSectionResized(int column, int width);
  void ApplySettings();
  void SelectionFromStore();
  // Asks the store for an edit of the cell; typed: the key that asked, given to the editor as
  // its first input. True when an editor opened or the owner changed the list.
  bool StartEdit(const QModelIndex& index, UINT key, const QKeyEvent* typed = nullptr);
  bool MouseEditRepeated(const QModelIndex& index);
  void NoteMouseEdit(const QModelIndex& index);
  void OpenEditor(HTREEITEM item, int column, DWORD kind, const std::string& choices);
  bool IsBarRow(int row) const;

  CTreeListStore& m_store;
  std::unique_ptr<CTreeListModel> m_model;
  Delegate* m_delegate = nullptr;  // owned by the widget
  ITreeListCtrlOwner* m_owner = nullptr;
  int m_id = 0;
  bool m_syncing = false;  // selection or focus is being copied from the store
  bool m_layingOut = false;  // the widget itself sizes the columns
  bool m_headerPressed = false;  // a mouse button is down on the header

  // The open editor.
  QWidget* m_editor = nullptr;
  QMetaObject::Connection m_editorGone;  // the editor's destruction, while it is open
  HTREEITEM m_editItem = TLI_NULL;
  int m_editColumn = 0;
  DWORD m_editKind = TLSE_NONE;
  std::string m_editChoices;
  std::optional<std::string> m_committed;
  bool m_dropped = false;  // the running drag ended in a drop here
  QString m_barPlaceholder;
  // The cell and time of the last edit a mouse press or double click started.
  QPersistentModelIndex m_lastMouseEdit;
  std::chrono::steady_clock::time_point m_lastMouseEditTime;
};
