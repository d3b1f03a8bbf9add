// CTreeListCtrl: input, selection, editors, drags and column widths of the tree-list widget.
#include "controls/gui/treelist_ctrl.h"

#include "controls/gui/treelist_icons.h"
#include "controls/treelist_layout.h"
#include "platform/gui/dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDrag>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLayout>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>

namespace {

// A cut cell's tip: lines of this many characters, at most this many lines.
constexpr std::size_t kTipLineChars = 100;
constexpr std::size_t kTipMaxLines = 40;

// "a|b|c|": every choice ends with "|"; a leading "|" is an empty choice.
QStringList SplitChoices(const std::string& choices) {
  QStringList list = QString::fromStdString(choices).split('|');
  if (!list.isEmpty() && list.last().isEmpty()) list.removeLast();
  return list;
}

}  // namespace

UINT TreeListVirtualKey(int key) {
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return 0x41 + (key - Qt::Key_A);
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return 0x30 + (key - Qt::Key_0);
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return 0x70 + (key - Qt::Key_F1);
  switch (key) {
    case Qt::Key_Backspace:
      return 0x08;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return 0x09;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 0x0D;
    case Qt::Key_Escape:
      return 0x1B;
    case Qt::Key_Space:
      return 0x20;
    case Qt::Key_PageUp:
      return 0x21;
    case Qt::Key_PageDown:
      return 0x22;
    case Qt::Key_End:
      return 0x23;
    case Qt::Key_Home:
      return 0x24;
    case Qt::Key_Left:
      return 0x25;
    case Qt::Key_Up:
      return 0x26;
    case Qt::Key_Right:
      return 0x27;
    case Qt::Key_Down:
      return 0x28;
    case Qt::Key_Insert:
      return 0x2D;
    case Qt::Key_Delete:
      return 0x2E;
    default:
      return 0;
  }
}

// Makes the editor the store asked for, and keeps the editing keys inside it.
class CTreeListCtrl::Delegate : public QStyledItemDelegate {
 public:
  explicit Delegate(CTreeListCtrl& ctrl) : QStyledItemDelegate(&ctrl), m_ctrl(ctrl) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override {
    if (!m_opening) return nullptr;  // only editors the store asked for
    if (m_ctrl.m_editKind == TLSE_CHOICELIST) {
      auto* combo = new QComboBox(parent);
      combo->addItems(SplitChoices(m_ctrl.m_editChoices));
      combo->setFrame(false);
      return combo;
    }
    auto* edit = new QLineEdit(parent);
    edit->setFrame(false);
    return edit;
  }
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyledItemDelegate::paint(painter, option, index);
    const bool bar = m_ctrl.IsBarRow(index.row());
    if (bar && !m_ctrl.m_barPlaceholder.isEmpty() && index.data(Qt::DisplayRole).toString().isEmpty() &&
        index != m_ctrl.currentIndex()) {
      // An empty cell of the input bar says what the bar is for.
      painter->save();
      painter->setPen(option.palette.color(QPalette::PlaceholderText));
      const int margin = option.widget ? option.widget->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1 : 4;
      painter->drawText(option.rect.adjusted(margin, 0, -margin, 0), Qt::AlignVCenter | Qt::AlignLeft,
                        m_ctrl.m_barPlaceholder);
      painter->restore();
    }
    if (index == m_ctrl.currentIndex() && m_ctrl.hasFocus()) {
      // The current cell, not only its row: a frame in the colour of its text.
      painter->save();
      const bool selected = option.state & QStyle::State_Selected;
      painter->setPen(QPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text), 1));
      painter->setBrush(Qt::NoBrush);
      painter->drawRect(option.rect.adjusted(0, 0, -1, -1));
      painter->restore();
    }
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (!m_ctrl.m_model->HasIcons()) return size;
    // A row without an icon (the input bar, an empty cell) is as high as one with an icon: the
    // rows share the first row's height.
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    if (opt.features & QStyleOptionViewItem::HasDecoration) return size;
    opt.features |= QStyleOptionViewItem::HasDecoration;
    if (!opt.decorationSize.isValid()) {
      const int extent = m_ctrl.style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, &m_ctrl);
      opt.decorationSize = QSize(extent, extent);
    }
    const QSize withIcon = m_ctrl.style()->sizeFromContents(QStyle::CT_ItemViewItem, &opt, QSize(), &m_ctrl);
    return QSize(size.width(), std::max(size.height(), withIcon.height()));
  }
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    const QString text = index.data(Qt::EditRole).toString();
    if (auto* combo = qobject_cast<QComboBox*>(editor)) {
      // An unknown text selects nothing; committing nothing delivers no text.
      combo->setCurrentIndex(combo->findText(text, Qt::MatchFixedString));
    } else if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
      edit->setMaxLength(INT_MAX);  // Qt's own limit would cut a long cell
      edit->setText(text);
      if (m_ctrl.IsBarRow(index.row())) edit->setPlaceholderText(m_ctrl.m_barPlaceholder);
      edit->selectAll();
      // Set behind the text: a text already longer stays whole.
      LimitText(edit, static_cast<int>(std::min<DWORD>(m_ctrl.m_store.GetSetting(TLSETTING_EDITLIMIT), INT_MAX)));
    }
  }
  void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex&) const override {
    if (auto* combo = qobject_cast<QComboBox*>(editor)) {
      if (combo->currentIndex() >= 0) m_ctrl.m_committed = combo->currentText().toStdString();
    } else if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
      m_ctrl.m_committed = edit->text().toStdString();
    }
  }
  // A cell whose text its width cuts shows the whole text as its tip.
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override {
    if (event->type() != QEvent::ToolTip || !index.isValid())
      return QStyledItemDelegate::helpEvent(event, view, option, index);
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = opt.widget ? opt.widget : view;
    QStyle* style = widget->style();
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    if (opt.text.isEmpty() || opt.fontMetrics.horizontalAdvance(opt.text) <= textRect.width() - 2 * margin) {
      QToolTip::hideText();
      event->ignore();
      return true;
    }
    const std::string tip = TreeListTipText(opt.text.toStdString(), kTipLineChars, kTipMaxLines);
    QToolTip::showText(event->globalPos(), QString::fromStdString(tip), view->viewport(), option.rect);
    return true;
  }
  bool eventFilter(QObject* object, QEvent* event) override {
    auto* edit = qobject_cast<QLineEdit*>(object);
    if (edit && (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress)) {
      auto* key = static_cast<QKeyEvent*>(event);
      const auto mods = key->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
      const bool editing = key->key() == Qt::Key_Delete || key->key() == Qt::Key_Backspace ||
                           (key->key() == Qt::Key_Insert && mods == Qt::NoModifier) ||
                           (key->key() == Qt::Key_A && mods == Qt::ControlModifier) ||
                           ((key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) && mods == Qt::ControlModifier);
      if (editing && event->type() == QEvent::ShortcutOverride) {
        // The window's accelerators on these keys (delete rows, select rows, undo, a new row,
        // moving rows) stay away.
        event->accept();
        return true;
      }
      if (key->key() == Qt::Key_Backspace && mods == Qt::AltModifier && event->type() == QEvent::KeyPress) {
        edit->undo();  // as in a Windows edit field
        return true;
      }
    }
    return QStyledItemDelegate::eventFilter(object, event);
  }

  bool m_opening = false;

 private:
  CTreeListCtrl& m_ctrl;
};

CTreeListCtrl::CTreeListCtrl(CTreeListStore& store)
    : m_store(store), m_model(std::make_unique<CTreeListModel>(store)) {
  setModel(m_model.get());
  m_delegate = new Delegate(*this);
  setItemDelegate(m_delegate);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSelectionBehavior(SelectRows);
  setEditTriggers(NoEditTriggers);
  setSortingEnabled(false);  // a header click never reorders rows
  header()->setSectionsClickable(true);
  header()->setSortIndicatorShown(false);
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(QHeaderView::Interactive);
  header()->setSectionsMovable(false);  // the columns' order is the owner's
  connect(header(), &QHeaderView::sectionResized, this,
          [this](int column, int, int width) { OnSectionResized(column, width); });
  header()->viewport()->installEventFilter(this);
  m_model->SetRequestHandler([this](const CTreeListModel::Request& r) { OnRequest(r); });
  ApplySettings();
  LayoutColumns();
  SelectionFromStore();
}

CTreeListCtrl::~CTreeListCtrl() {
  // An open editor is deleted with the widget's children, after this object is gone.
  disconnect(m_editorGone);
  m_editor = nullptr;
  m_model->SetRequestHandler(nullptr);
  setModel(nullptr);
}

bool CTreeListCtrl::Create(DWORD exStyle, DWORD style, const QRect& rect, QWidget* parent, int id) {
  if (!parent) return false;
  setParent(parent);
  setGeometry(rect);
  m_id = id;
  setProperty(kCtrlIdProperty, id);
  setFrameShape(exStyle & TL_WS_EX_CLIENTEDGE ? QFrame::StyledPanel : QFrame::NoFrame);
  setVisible(style & TL_WS_VISIBLE);
  LayoutColumns();
  return true;
}

bool CTreeListCtrl::CreateFromDlgItem(DWORD exStyle, DWORD style, int dlgItemId, QWidget* dialog, int id) {
  if (!dialog) return false;
  QWidget* place = nullptr;
  for (QWidget* w : dialog->findChildren<QWidget*>()) {
    const QVariant v = w->property(kCtrlIdProperty);
    if (w != this && v.isValid() && v.toInt() == dlgItemId) {
      place = w;
      break;
    }
  }
  if (!place) return false;
  QWidget* parent = place->parentWidget();
  const QRect rect = place->geometry();
  if (!Create(exStyle, style, rect, parent, id)) return false;
  // The layout hands back the placeholder's item, which is ours to delete.
  if (QLayout* layout = parent->layout()) delete layout->replaceWidget(place, this);
  place->hide();
  return true;
}

void CTreeListCtrl::SetOwner(ITreeListCtrlOwner* owner) {
  m_owner = owner;
  m_store.SetOwner(owner);
}

void CTreeListCtrl::SetImageList(CTreeListIcons* icons) {
  m_model->SetIcons(icons);
  viewport()->update();
}

bool CTreeListCtrl::IsBarRow(int row) const {
  return row >= 0 && row < static_cast<int>(m_store.GetSetting(TLSETTING_FIXEDROWS)) &&
         m_store.GetSetting(TLSETTING_BARROWS) != 0;
}

HTREEITEM CTreeListCtrl::HitTest(const QPoint& pos, int* column) const {
  const QModelIndex index = indexAt(pos);
  if (column) *column = index.isValid() ? index.column() : header()->logicalIndexAt(pos.x());
  return index.isValid() ? m_model->ItemOfRow(index.row()) : TLI_NULL;
}

DWORD CTreeListCtrl::HitTestPacked(const QPoint& pos) const {
  int column = 0;
  const HTREEITEM item = HitTest(pos, &column);
  if (item == TLI_NULL) return 0;
  return ItemToU32(item) | (static_cast<DWORD>(std::max(column, 0)) << 24);
}

// ---- store to widget

void CTreeListCtrl::OnRequest(const CTreeListModel::Request& r) {
  switch (r.kind) {
    case CTreeListModel::Request::Setting:
      ApplySettings();
      break;
    case CTreeListModel::Request::Columns:
      LayoutColumns();
      break;
    case CTreeListModel::Request::EnsureVisible:
      if (QModelIndex i = m_model->IndexOf(r.item, std::max(0, r.column)); i.isValid()) scrollTo(i);
      break;
    case CTreeListModel::Request::Edit:
      OpenEditor(r.item, r.column, r.value, r.text);
      break;
    case CTreeListModel::Request::Focus:
    case CTreeListModel::Request::Selection:
      SelectionFromStore();
      break;
  }
}

void CTreeListCtrl::ApplySettings() {
  const DWORD options = m_store.GetSetting(TLSETTING_OPTIONS);
  setSelectionMode(options & TLO_MULTISELECT ? ExtendedSelection : SingleSelection);
  const bool drag = options & TLO_DRAGROWS;
  setDragEnabled(drag);
  setAcceptDrops(drag);
  setDropIndicatorShown(drag);
  setDragDropMode(drag ? DragDrop : NoDragDrop);
  header()->setVisible(!(options & TLO_NOHEADER));
  const int top = static_cast<int>(m_store.GetSetting(TLSETTING_TOPROW));
  if (QModelIndex i = m_model->index(top, 0); i.isValid()) scrollTo(i, PositionAtTop);
  viewport()->update();
}

void CTreeListCtrl::SelectionFromStore() {
  if (!selectionModel()) return;
  m_syncing = true;
  QItemSelection selection;
  const int rows = m_model->rowCount();
  for (int row = 0; row < rows; ++row) {
    if (m_store.GetItemState(m_model->ItemOfRow(row), TVIS_SELECTED) & TVIS_SELECTED)
      selection.select(m_model->index(row, 0), m_model->index(row, m_model->columnCount() - 1));
  }
  const QModelIndex focus = m_model->IndexOf(m_store.GetFocusedItem(), m_store.GetFocusedColumn());
  if (focus.isValid() && focus != currentIndex())
    selectionModel()->setCurrentIndex(focus, QItemSelectionModel::NoUpdate);
  if (selection != selectionModel()->selection())
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
  m_syncing = false;
}

// ---- widget to store

// While the model moves rows, Qt moves the current index and the selection by row numbers; the
// store keeps both by item, and the model's flush brings them back from it.
void CTreeListCtrl::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  QTreeView::currentChanged(current, previous);
  if (m_syncing || m_model->IsApplyingRows() || !current.isValid()) return;
  const HTREEITEM item = m_model->ItemOfRow(current.row());
  if (item != m_store.GetFocusedItem() || current.column() != m_store.GetFocusedColumn())
    m_store.SelectSubItem(current.column(), item);
}

void CTreeListCtrl::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
  QTreeView::selectionChanged(selected, deselected);
  if (m_syncing || m_model->IsApplyingRows()) return;
  for (const QModelIndex& i : deselected.indexes())
    if (i.column() == 0) m_store.SetItemState(m_model->ItemOfRow(i.row()), 0, TVIS_SELECTED);
  for (const QModelIndex& i : selected.indexes())
    if (i.column() == 0) m_store.SetItemState(m_model->ItemOfRow(i.row()), TVIS_SELECTED, TVIS_SELECTED);
}

bool CTreeListCtrl::StartEdit(const QModelIndex& index, UINT key, const QKeyEvent* typed) {
  if (!index.isValid() || m_editor) return false;
  const std::uint64_t before = m_store.GetRevision();
  m_store.StartEdit(m_model->ItemOfRow(index.row()), index.column(), key);
  Sync();  // the editor request, or the owner's own change of the cell
  if (m_editor && typed) {
    // The key that started the editor is its first input: nothing typed is lost.
    QKeyEvent again(typed->type(), typed->key(), typed->modifiers(), typed->text(), typed->isAutoRepeat(),
                    static_cast<ushort>(typed->count()));
    QCoreApplication::sendEvent(m_editor, &again);
  }
  return m_editor || m_store.GetRevision() != before;
}

void CTreeListCtrl::keyPressEvent(QKeyEvent* e) {
  if (m_editor) {
    // A key the editor left alone belongs to the window, never to the list.
    e->ignore();
    return;
  }
  const UINT vk = TreeListVirtualKey(e->key());
  const QModelIndex current = currentIndex();
  const auto mods = e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
  if ((e->key() == Qt::Key_F10 && mods == Qt::ShiftModifier) || (e->key() == Qt::Key_Menu && mods == Qt::NoModifier)) {
    // The context menu from the keyboard, at the current cell.
    QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(), QPoint());
    contextMenuEvent(&menu);
    return;
  }
  if (vk) m_store.KeyDown(vk, 0);  // TVN_KEYDOWN
  if (mods == Qt::NoModifier &&
      (e->key() == Qt::Key_F2 || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter)) {
    StartEdit(current, e->key() == Qt::Key_F2 ? VK_F2 : VK_RETURN);
    e->accept();
    return;
  }
  if (mods == Qt::NoModifier && (e->key() == Qt::Key_Left || e->key() == Qt::Key_Right) &&
      current.isValid()) {
    // The focus moves between cells of the row.
    const int column = current.column() + (e->key() == Qt::Key_Left ? -1 : 1);
    if (column >= 0 && column < m_model->columnCount()) {
      selectionModel()->setCurrentIndex(current.sibling(current.row(), column),
                                        QItemSelectionModel::NoUpdate);
      scrollTo(currentIndex());
    }
    e->accept();
    return;
  }
  const UINT flags = current.isValid() ? m_store.GetColumnFlags(current.column()) : 0;
  if (e->key() == Qt::Key_Space && mods == Qt::NoModifier && (flags & TLCF_ASKOWNER)) {
    // The owner may give Space a meaning of its own (a cell that toggles); else it selects.
    if (StartEdit(current, VK_SPACE, (flags & TLCF_EDITKEYS) ? e : nullptr)) {
      e->accept();
      return;
    }
  }
  const QString text = e->text();
  // Any printable character, "/" and "ü" too, whether or not it has a virtual key.
  if ((mods & ~Qt::ShiftModifier) == Qt::NoModifier && !text.isEmpty() && text[0].isPrint() &&
      text[0] != ' ' && ((m_store.GetSetting(TLSETTING_OPTIONS) & TLO_TYPEEDIT) || (flags & TLCF_EDITKEYS))) {
    StartEdit(current, vk, e);
    e->accept();
    return;
  }
  QTreeView::keyPressEvent(e);
}

bool CTreeListCtrl::MouseEditRepeated(const QModelIndex& index) {
  // The presses and the double click of one double click start one edit: a cell that toggles
  // changes once.
  const auto now = std::chrono::steady_clock::now();
  const bool repeated = m_lastMouseEdit.isValid() && m_lastMouseEdit == index &&
                        now - m_lastMouseEditTime < std::chrono::milliseconds(QApplication::doubleClickInterval());
  return repeated;
}

void CTreeListCtrl::NoteMouseEdit(const QModelIndex& index) {
  m_lastMouseEdit = index;
  m_lastMouseEditTime = std::chrono::steady_clock::now();
}

void CTreeListCtrl::mousePressEvent(QMouseEvent* e) {
  const QModelIndex index = indexAt(e->position().toPoint());
  const bool wasFocused = index.isValid() && index == currentIndex() && selectionModel()->isSelected(index);
  QTreeView::mousePressEvent(e);
  if (e->button() != Qt::LeftButton || !index.isValid() || e->modifiers() != Qt::NoModifier) return;
  // The input bar edits with one click; other cells with a click on the focused cell when asked.
  if (IsBarRow(index.row()) || (wasFocused && (m_store.GetSetting(TLSETTING_OPTIONS) & TLO_CLICKEDIT))) {
    if (MouseEditRepeated(index)) return;
    if (StartEdit(index, TLK_MOUSE)) NoteMouseEdit(index);
  }
}

void CTreeListCtrl::mouseDoubleClickEvent(QMouseEvent* e) {
  const QModelIndex index = indexAt(e->position().toPoint());
  if (e->button() != Qt::LeftButton || !index.isValid() || MouseEditRepeated(index)) return;
  if (StartEdit(index, TLK_MOUSE)) NoteMouseEdit(index);
}

void CTreeListCtrl::focusInEvent(QFocusEvent* e) {
  QTreeView::focusInEvent(e);
  if (m_owner) m_owner->OnListSetFocus(m_id);
}

void CTreeListCtrl::contextMenuEvent(QContextMenuEvent* e) {
  int column = 0;
  HTREEITEM item = TLI_NULL;
  QPoint global = e->globalPos();
  if (e->reason() == QContextMenuEvent::Keyboard) {
    // From the keyboard: the current cell, the menu at its lower left corner.
    const QModelIndex current = currentIndex();
    item = current.isValid() ? m_model->ItemOfRow(current.row()) : TLI_NULL;
    column = current.isValid() ? current.column() : 0;
    const QRect cell = current.isValid() ? visualRect(current) : QRect();
    global = viewport()->mapToGlobal(cell.isValid() ? cell.bottomLeft() : QPoint(0, 0));
  } else {
    item = HitTest(viewport()->mapFrom(this, e->pos()), &column);
  }
  if (m_owner) m_owner->OnListContextMenu(m_id, item, column, global);
  e->accept();
}

// ---- editors

void CTreeListCtrl::OpenEditor(HTREEITEM item, int column, DWORD kind, const std::string& choices) {
  const QModelIndex index = m_model->IndexOf(item, column);
  if (m_editor || !index.isValid()) {
    m_store.EndEdit(item, column, std::nullopt);  // every start gets its end
    return;
  }
  m_editItem = item;
  m_editColumn = column;
  m_editKind = kind;
  m_editChoices = choices;
  m_committed.reset();
  selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
  m_delegate->m_opening = true;
  const bool opened = edit(index, AllEditTriggers, nullptr);
  m_delegate->m_opening = false;
  m_editor = opened ? indexWidget(index) : nullptr;
  if (!m_editor) {
    m_store.EndEdit(item, column, std::nullopt);
    return;
  }
  // The list may drop the editor itself (its row went away): the edit still ends, later.
  m_editorGone = connect(m_editor, &QObject::destroyed, this, [this, editor = m_editor] {
    if (m_editor != editor) return;
    m_editor = nullptr;
    m_committed.reset();
    QMetaObject::invokeMethod(
        this,
        [this, item = m_editItem, column = m_editColumn] {
          m_store.EndEdit(item, column, std::nullopt);
          Sync();
        },
        Qt::QueuedConnection);
  });
  m_editor->setFocus();
}

void CTreeListCtrl::commitData(QWidget* editor) {
  QTreeView::commitData(editor);
}

void CTreeListCtrl::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
  // Tab and Shift+Tab: the edit goes on in the next (previous) cell of the row that has an
  // editor; the owner answers that start-edit as any other.
  const int step = hint == QAbstractItemDelegate::EditNextItem       ? 1
                   : hint == QAbstractItemDelegate::EditPreviousItem ? -1
                                                                     : 0;
  if (step != 0) hint = QAbstractItemDelegate::NoHint;
  if (editor == m_editor) disconnect(m_editorGone);
  QTreeView::closeEditor(editor, hint);
  if (editor != m_editor) return;
  m_editor = nullptr;
  const HTREEITEM item = m_editItem;
  const int column = m_editColumn;
  std::optional<std::string> text = std::move(m_committed);
  m_committed.reset();
  m_editItem = TLI_NULL;
  m_store.EndEdit(item, column, std::move(text));
  Sync();
  setFocus();
  for (int next = column + step; step != 0 && !m_editor && next >= 0 && next < m_model->columnCount(); next += step) {
    const QModelIndex index = m_model->IndexOf(item, next);
    if (!index.isValid()) break;  // the row went away with the edit
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    StartEdit(index, VK_TAB);
  }
}

// ---- drags

void CTreeListCtrl::startDrag(Qt::DropActions) {
  const HTREEITEM item = m_model->ItemOfRow(currentIndex().row());
  if (item == TLI_NULL) return;
  auto* mime = new QMimeData;
  mime->setData(kRowMime, QByteArray::number(ItemToU32(item)));
  QDrag drag(this);  // the drag owns the mime data
  drag.setMimeData(mime);
  m_dropped = false;
  drag.exec(Qt::MoveAction);
  if (!m_dropped) m_store.EndDrag(item, TLI_NULL);  // cancelled: the owner hears of it too
  Sync();
}

void CTreeListCtrl::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasFormat(kRowMime) && dragEnabled()) {
    e->setDropAction(Qt::MoveAction);
    e->accept();
  } else {
    e->ignore();
  }
}

void CTreeListCtrl::dragMoveEvent(QDragMoveEvent* e) {
  if (e->mimeData()->hasFormat(kRowMime) && dragEnabled()) {
    e->setDropAction(Qt::MoveAction);
    e->accept();
  } else {
    e->ignore();
  }
}

void CTreeListCtrl::dropEvent(QDropEvent* e) {
  if (!e->mimeData()->hasFormat(kRowMime) || !dragEnabled()) {
    e->ignore();
    return;
  }
  bool ok = false;
  const auto id = e->mimeData()->data(kRowMime).toUInt(&ok);
  if (!ok) {
    e->ignore();
    return;
  }
  DropRow(U32ToItem(id), e->position().toPoint());
  e->setDropAction(Qt::MoveAction);
  e->accept();
}

bool CTreeListCtrl::DropRow(HTREEITEM dragged, const QPoint& pos) {
  m_dropped = true;
  const bool done = m_store.EndDrag(dragged, HitTest(pos));
  Sync();
  return done;
}

// ---- columns

void CTreeListCtrl::resizeEvent(QResizeEvent* e) {
  QTreeView::resizeEvent(e);
  LayoutColumns();
}

std::vector<int> CTreeListCtrl::StoredWidths() const {
  const int n = m_model->columnCount();
  std::vector<int> widths(static_cast<std::size_t>(n), 100);
  for (int c = 0; c < n; ++c)
    if (const auto col = m_store.GetColumn(c)) widths[static_cast<std::size_t>(c)] = col->width;
  return widths;
}

void CTreeListCtrl::LayoutColumns() {
  const std::vector<int> pixels = TreeListColumnPixels(StoredWidths(), viewport()->width());
  m_layingOut = true;
  for (std::size_t c = 0; c < pixels.size(); ++c) header()->resizeSection(static_cast<int>(c), pixels[c]);
  m_layingOut = false;
}

bool CTreeListCtrl::eventFilter(QObject* object, QEvent* event) {
  if (object == header()->viewport()) {
    // Only a drag (or double click) on the header is the user's resize; Qt sizes sections itself too.
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
      m_headerPressed = true;
    else if (event->type() == QEvent::MouseButtonRelease)
      m_headerPressed = false;
  }
  return QTreeView::eventFilter(object, event);
}

void CTreeListCtrl::OnSectionResized(int column, int width) {
  if (m_layingOut || !m_headerPressed) return;
  // The user dragged a border: the columns up to it keep what they show, the shares behind it
  // give the room, and the store remembers it for the next layout.
  const std::vector<int> widths = StoredWidths();
  std::vector<int> pixels(widths.size());
  for (std::size_t c = 0; c < pixels.size(); ++c) pixels[c] = header()->sectionSize(static_cast<int>(c));
  const std::vector<int> now = TreeListWidthsAfterResize(widths, pixels, column, width);
  for (std::size_t c = 0; c < now.size(); ++c)
    if (now[c] != widths[c]) m_store.SetColumnWidth(static_cast<int>(c), now[c]);
  LayoutColumns();
}
