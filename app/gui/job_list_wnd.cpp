// The view window: layout, focus, drops, the context menu and the view's window commands.
#include "app/gui/job_list_wnd.h"

#include "app/gui/gui_host.h"
#include "app/kopiwart_view.h"
#include "app/status_panes.h"
#include "controls/gui/clipboard.h"
#include "controls/gui/track_splitter.h"
#include "controls/gui/treelist_ctrl.h"
#include "lib/system/sys_file.h"
#include "panes/gui/datei_view.h"
#include "panes/gui/tree_wnd.h"
#include "panes/pane_settings.h"
#include "platform/gui/cmd_router.h"
#include "platform/gui/gui_texts.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMenu>
#include <QMimeData>
#include <QResizeEvent>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>

namespace {

using namespace kpw::view;

// The local files of a drop from the shell, in its order.
std::vector<std::string> LocalPaths(const QMimeData* mime) {
  std::vector<std::string> paths;
  if (!mime || !mime->hasUrls()) return paths;
  for (const QUrl& url : mime->urls())
    if (url.isLocalFile()) paths.push_back(url.toLocalFile().toStdString());
  return paths;
}

// The view's commands that have an update rule, and those the window runs.
constexpr UINT kUpdatedCommands[] = {ID_EDIT_UNDO, ID_PATH_BARS, ID_MOVE_UP,         ID_MOVE_DOWN,
                                     ID_EDIT_DELETE, ID_CPP_FILTER, ID_RUN,           ID_TOGGLE_REGISTRY,
                                     ID_PARENT_FOLDER, ID_FILTER_BAR};
constexpr UINT kWindowCommands[] = {ID_INSERT_FILES,     ID_PARENT_FOLDER,  ID_TOGGLE_REGISTRY, ID_PATH_BARS,
                                    ID_COPY_FIELD,       ID_COPY_FULL_PATH, ID_MAKE_RELATIVE,   ID_OPEN_PATH,
                                    ID_SPECIAL_SETTINGS, ID_EDIT_FILTER};

}  // namespace

CJobListWnd::CJobListWnd(CKopiwartView& view, CTreeListIcons& icons, QWidget* parent)
    : QWidget(parent), m_view(view) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  m_splitter = new CTrackSplitter(this);
  layout->addWidget(m_splitter);

  view.List().SetExtendedStyle(kJobListExStyle);
  m_list = new CTreeListCtrl(view.List());
  m_list->Create(TL_WS_EX_CLIENTEDGE, TL_WS_VISIBLE, QRect(0, 0, width(), m_split), m_splitter, kJobListCtrlId);
  m_list->SetImageList(&icons);
  m_list->SetOwner(this);
  m_list->SetBarPlaceholder(QString::fromUtf8(kpw::texts::kFilterBarPlaceholder));
  // Any height: the bar may go up to the top (the list then has height 0) or down to the bottom.
  m_list->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
  // Files dropped from the shell or a pane land on the list; its own row drags stay its own.
  m_list->viewport()->setAcceptDrops(true);
  m_list->viewport()->installEventFilter(this);
  m_list->installEventFilter(this);

  m_filePane = new DateiView;
  m_filePane->Create(kPaneStyle, QRect(), m_splitter, kFilePaneId);
  m_regPane = new RegWnd;
  m_regPane->Create(kPaneStyle, QRect(), m_splitter, kRegPaneId);
  for (CPaneWnd* pane : {static_cast<CPaneWnd*>(m_filePane), static_cast<CPaneWnd*>(m_regPane)}) {
    pane->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    pane->setMinimumHeight(1);  // never collapsed: the bar stays in the window
    pane->SetDragTarget([this](int x, int y, int* code) { return HitTest(QPoint(x, y), code); }, 0,
                        &CJobListWnd::DropEffect);
    pane->SetDropHandler(
        [](const std::vector<std::string>& texts, int kind, int code, void* context) {
          static_cast<CJobListWnd*>(context)->DropRegistryKey(texts, kind, code);
        },
        this);
  }
  m_filePane->LoadSettings(kFilePaneSettings);
  m_regPane->LoadSettings(kRegPaneSettings);
  m_splitter->setCollapsible(0, true);
  m_splitter->setCollapsible(1, false);
  m_splitter->setCollapsible(2, false);
  m_splitter->setStretchFactor(0, 0);
  m_splitter->setStretchFactor(1, 1);
  m_splitter->setStretchFactor(2, 1);
  m_splitter->OnSplitMoved([this](int split) { m_split = split; });

  // In the tab chain before the list: a focus that comes to the window itself is passed on.
  setFocusPolicy(Qt::TabFocus);
  setAcceptDrops(true);
  m_focusWatch = connect(qApp, &QApplication::focusChanged, this,
                         [this](QWidget* old, QWidget* now) { OnFocusChanged(old, now); });
  Layout();
}

CJobListWnd::~CJobListWnd() {
  disconnect(m_focusWatch);  // the children going take the focus with them
  m_filePane->SaveSettings(kFilePaneSettings);
  m_regPane->SaveSettings(kRegPaneSettings);
  if (m_host) m_host->SetFilePaneCalls(nullptr, nullptr);
  // The view takes its rows' notifications back for runs without this window.
  m_list->SetOwner(nullptr);
  m_view.List().SetOwner(&m_view);
}

void CJobListWnd::Attach(CGuiHost* host, CCommandRouter* router, std::function<std::string()> jobFilePath) {
  m_jobFilePath = std::move(jobFilePath);
  m_host = host;
  if (host) {
    host->SetFilePaneCalls([this] { FrontPane().FocusPane(0); },
                           [this](u32 id) { m_filePane->OnCommand(id); });
    ISettingsDialogs& dialogs = host->SettingsDialogs();
    if (!m_settingsEditor) {
      m_settingsEditor = [&dialogs](SettingsDialog dialog, std::string& extra) {
        const std::optional<std::string> edited = dialogs.EditSpecialSettings(dialog, extra);
        if (edited) extra = *edited;
        return edited.has_value();
      };
    }
    if (!m_filterEditor) {
      m_filterEditor = [&dialogs](const FilterEditor& look, std::string& filter) {
        const std::optional<std::string> edited = dialogs.EditFilter(look, filter);
        if (edited) filter = *edited;
        return edited.has_value();
      };
    }
  }
  if (!router) return;
  // The handlers outlive this window in the router: without it they do nothing and grey.
  const QPointer<CJobListWnd> self(this);
  for (UINT id : kUpdatedCommands) {
    router->OnUpdateCommandUI(id, [self](CCmdUI& ui) {
      const std::optional<UiState> state = self ? self->QueryCommand(ui.m_nID) : std::nullopt;
      ui.Enable(state && state->enabled);
      ui.SetCheck(state && state->checked ? 1 : 0);
    });
  }
  for (UINT id : kWindowCommands) {
    router->OnCommand(id, [self, id] {
      if (self) self->OnCommand(id);
    });
  }
}

CPaneWnd& CJobListWnd::FrontPane() const {
  return m_registryShown ? static_cast<CPaneWnd&>(*m_regPane) : static_cast<CPaneWnd&>(*m_filePane);
}

// ---- layout and focus ------------------------------------------------------------------------------

void CJobListWnd::Layout() {
  m_filePane->setVisible(!m_registryShown);
  m_regPane->setVisible(m_registryShown);
  m_splitter->refresh();  // the bar in front of the pane now shown, at once
  m_splitter->SetSplit(m_split);
}

void CJobListWnd::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (m_view.GetHiddenRun()) m_view.ViewHost().TaskbarDeleteTab();
  // The list and the pane share what the window gains or loses in the proportion they have, so
  // a larger window shows more rows. The first layout keeps the list's height.
  const int before = event->oldSize().height() - CTrackSplitter::kBarThickness;
  const int now = height() - CTrackSplitter::kBarThickness;
  if (event->oldSize().isValid() && before > 0 && now > 0 && now != before)
    m_split = static_cast<int>(std::lround(static_cast<double>(m_split) * now / before));
  m_splitter->SetSplit(m_split);
}

void CJobListWnd::OnFocusChanged(QWidget* old, QWidget* now) {
  if (now != this) return;
  if (m_statusPanes) {
    const char* const texts[] = {"", ""};
    const int widths[] = {-15, -10};  // average character widths
    m_statusPanes->SetStatusPanes(texts, widths, 2);
  }
  if (old && (old == m_list || m_list->isAncestorOf(old))) {
    FrontPane().FocusPane(0);
    return;
  }
  CTreeListStore& store = m_view.List();
  if (store.GetFocusedItem() == TLI_NULL) {
    const HTREEITEM first = store.GetItemOfRow(static_cast<int>(m_view.GetInfo(4)));
    if (first != TLI_NULL) store.SelectFocus(first);
  }
  m_list->setFocus(Qt::OtherFocusReason);
}

// ---- commands ----------------------------------------------------------------------------------------

bool CJobListWnd::OnCommand(UINT id) {
  switch (id) {
    case ID_TOGGLE_REGISTRY: OnToggleRegistry(); return true;
    case ID_PATH_BARS: OnPathBars(); return true;
    case ID_PARENT_FOLDER: OnParentFolder(); return true;
    case ID_INSERT_FILES: OnInsertFiles(); return true;
    case ID_COPY_FIELD: OnCopyField(); return true;
    case ID_COPY_FULL_PATH: OnCopyFullPath(); return true;
    case ID_MAKE_RELATIVE: OnMakeRelative(); return true;
    case ID_OPEN_PATH: OnOpenPath(); return true;
    case ID_SPECIAL_SETTINGS: OnSpecialSettings(); return true;
    case ID_EDIT_FILTER: OnEditFilter(); return true;
    default: return false;
  }
}

std::optional<UiState> CJobListWnd::QueryCommand(UINT id) const {
  const CTreeListStore& store = m_view.List();
  ViewUiState s;
  s.undoAvailable = m_view.CanUndo();
  s.pathBarShown = !(m_filePane->HiddenParts() & kPaneHidePathBar);
  const HTREEITEM selected = store.GetNextSelectedItem();
  s.firstSelectedRow = selected == TLI_NULL ? -1 : store.GetRowOfItem(selected);
  s.itemCount = store.GetRowCount();
  s.jobItems = static_cast<int>(m_view.GetInfo(0));
  s.filterBarShown = m_view.GetInfo(4) != 0;
  s.registryPaneShown = m_registryShown;
  s.frontPaneHasParent = FrontPane().ParentAvailable();
  return UpdateCommandUi(id, s);
}

void CJobListWnd::OnToggleRegistry() {
  m_registryShown = !m_registryShown;
  Layout();
}

void CJobListWnd::OnPathBars() {
  const DWORD hide = (m_filePane->HiddenParts() & kPaneHidePathBar) ? 0 : kPaneHidePathBar;
  m_filePane->SetStyle(hide, kPaneHidePathBar);
  m_regPane->SetStyle(hide, kPaneHidePathBar);
}

void CJobListWnd::OnParentFolder() { FrontPane().GoParent(); }

std::optional<std::pair<int, int>> CJobListWnd::FocusedCell() const {
  const CTreeListStore& store = m_view.List();
  const HTREEITEM item = store.GetFocusedItem();
  const int row = item == TLI_NULL ? -1 : store.GetRowOfItem(item);
  if (row < 0) return std::nullopt;
  return std::make_pair(row, store.GetFocusedColumn());
}

std::string CJobListWnd::JobFilePath() const {
  const std::string path = m_jobFilePath ? m_jobFilePath() : std::string();
  return path.empty() ? path : ViewFullPath(path);
}

void CJobListWnd::PathError(const char* text) {
  m_view.WorkerMessageBox(text, kpw::texts::kPathErrorCaption, MB_OK | MB_ICONHAND);
}

std::vector<std::string> CJobListWnd::ChooseFiles(const std::string& folder, const std::string& filter) {
  if (m_chooseFiles) return m_chooseFiles(folder, filter);
  QFileDialog dialog(window(), QString::fromUtf8(gui_text::kOpenCaption), QString::fromStdString(folder),
                     QString::fromUtf8(gui_text::kAllFilesFilter));
  dialog.setFileMode(QFileDialog::ExistingFiles);
  std::vector<std::string> files;
  if (dialog.exec() != QDialog::Accepted) return files;
  for (const QString& file : dialog.selectedFiles()) files.push_back(file.toStdString());
  return files;
}

void CJobListWnd::OnInsertFiles() {
  const CTreeListStore& store = m_view.List();
  const bool bar = m_view.GetInfo(4) != 0;
  const HTREEITEM focused = store.GetFocusedItem();
  const int templateRow = InsertFilesTemplateRow(focused == TLI_NULL ? -1 : store.GetRowOfItem(focused), bar);
  const int sourceRow = templateRow >= 0 ? templateRow : store.GetRowCount() - 1;
  const bool jobRow = sourceRow >= (bar ? 1 : 0);
  const std::string source = jobRow ? m_view.GetCell(sourceRow, 0).value_or("") : std::string();
  const std::string folder = InsertFilesFolder(source, JobFilePath(), QDir::homePath().toStdString());
  const std::vector<std::string> files = ChooseFiles(folder, kInsertFilesFilter);
  if (!files.empty()) AppendRows(files, templateRow);
}

void CJobListWnd::AppendRows(const std::vector<std::string>& paths, int templateRow) {
  int row = -1;
  for (const std::string& path : paths) row = m_view.InsertEntry(-1, templateRow, path);
  // New rows are work that a close must not lose.
  m_view.SetModified(1);
  if (row >= 0) m_view.List().EnsureVisible(m_view.List().GetItemOfRow(row));
}

void CJobListWnd::OnCopyField() {
  const auto cell = FocusedCell();
  if (!cell) return;
  const std::string text = m_view.GetCell(cell->first, cell->second).value_or("");
  if (!text.empty()) ClipSetText(text.c_str(), static_cast<int>(text.size()));
}

void CJobListWnd::OnCopyFullPath() {
  const std::string file = JobFilePath();
  const auto cell = FocusedCell();
  const std::string text = cell ? m_view.GetCell(cell->first, cell->second).value_or("") : std::string();
  const PathText full = FullPathText(file, text);
  if (full.error) {
    PathError(full.error);
    return;
  }
  if (cell && !full.text.empty()) ClipSetText(full.text.c_str(), static_cast<int>(full.text.size()));
}

void CJobListWnd::OnMakeRelative() {
  const std::string file = JobFilePath();
  if (file.empty()) {
    PathError(kpw::texts::kNoFileNameText);
    return;
  }
  const auto cell = FocusedCell();
  if (!cell || cell->second > 1 || (m_view.GetInfo(4) && cell->first == 0)) return;
  const std::optional<std::string> text = m_view.GetCell(cell->first, cell->second);
  if (!text) return;
  const PathText relative = RelativePathText(file, *text);
  if (relative.error) {
    PathError(relative.error);
    return;
  }
  if (m_view.SetCell(relative.text, cell->first, cell->second) != 0) return;
  m_view.CheckEntry(cell->first, 0);
  m_view.SetModified(1);
}

void CJobListWnd::OnOpenPath() {
  const auto cell = FocusedCell();
  if (!cell || cell->second > 1) return;
  const std::optional<std::string> folder = OpenPathFolder(
      m_view.GetCell(cell->first, cell->second).value_or(""),
      [](const std::string& path) { return SysFileExist(path.c_str()) >= 2; });
  if (folder) m_filePane->OpenPath(folder->c_str());
}

void CJobListWnd::OnSpecialSettings() {
  const auto cell = FocusedCell();
  if (!cell || (m_view.GetInfo(4) && cell->first == 0)) return;
  const int row = cell->first;
  const SettingsDialog dialog = SpecialSettingsDialog(m_view.GetCell(row, 5).value_or(""),
                                                      m_view.GetCell(row, 0).value_or(""),
                                                      m_view.GetCell(row, 1).value_or(""));
  if (dialog == SettingsDialog::None || !m_settingsEditor) return;
  const std::string old = m_view.GetCell(row, 6).value_or("");
  std::string text = old;
  if (!m_settingsEditor(dialog, text) || text == old) return;
  if (m_view.SetCell(text, row, 6) == 0) m_view.SetModified(1);
}

void CJobListWnd::OnEditFilter() {
  const auto cell = FocusedCell();
  const std::optional<FilterEditor> look = FilterEditorFor(m_contextColumn);
  if (!cell || !look || !m_filterEditor) return;
  const int row = cell->first;
  const std::string old = m_view.GetCell(row, m_contextColumn).value_or("");
  std::string text = old;
  if (!m_filterEditor(*look, text) || text == old) return;
  if (m_view.SetCell(text, row, m_contextColumn) != 0) return;
  if (m_view.GetInfo(4) && row == 0) {
    m_view.ApplyFilter(true);  // the bar's own filter text: no change of the list
  } else {
    m_view.SetModified(1);
  }
}

// ---- context menu ------------------------------------------------------------------------------------

std::unique_ptr<QMenu> CJobListWnd::MakeContextMenu() {
  const CTreeListStore& store = m_view.List();
  MenuSituation s;
  s.column = store.GetFocusedColumn();
  const HTREEITEM selected = store.GetNextSelectedItem();
  s.hasSelection = selected != TLI_NULL;
  s.filterBarRow = s.hasSelection && m_view.GetInfo(4) && selected == m_view.GetFilterBarItem();
  s.registryPaneFront = m_registryShown;
  auto menu = std::make_unique<QMenu>(this);
  for (const MenuItem& item : ContextMenuItems(s)) {
    if (item.id == 0) {
      menu->addSeparator();
      continue;
    }
    QAction* action = menu->addAction(QString::fromUtf8(item.text));
    action->setData(item.id);
    action->setEnabled(!item.grey);
    if (item.id == ID_EDIT_FILTER) m_contextColumn = s.column;
  }
  AssignMnemonics(menu.get());
  return menu;
}

void CJobListWnd::OnListContextMenu(int ctrlId, HTREEITEM item, int column, QPoint globalPos) {
  (void)item, (void)column;
  if (ctrlId != kJobListCtrlId) return;
  const std::unique_ptr<QMenu> menu = MakeContextMenu();
  // The command runs once the menu is gone, as after a tracked popup.
  if (QAction* chosen = menu->exec(globalPos)) OnCommand(chosen->data().toUInt());
}

// ---- drops -------------------------------------------------------------------------------------------

void CJobListWnd::OnDropFiles(const std::vector<std::string>& paths, const QPoint& viewportPos, bool ctrl) {
  ListHit hit;
  hit.insideList = true;
  const HTREEITEM item = m_list->HitTest(viewportPos, &hit.column);
  hit.row = item == TLI_NULL ? -1 : m_view.List().GetRowOfItem(item);
  const DropAction action = PlanShellDrop(hit, ctrl, m_view.GetInfo(4) != 0, static_cast<int>(paths.size()));
  if (action.kind == DropAction::ReplaceCell) {
    if (m_view.SetCell(paths.front(), action.row, action.column) != 0) return;
    m_view.CheckEntry(action.row, 0);
    m_view.SetModified(1);
  } else if (action.kind == DropAction::AppendRows) {
    AppendRows(paths, action.templateRow);
  }
}

bool CJobListWnd::HitTest(const QPoint& global, int* code) const {
  ListHit hit;
  hit.insideList = m_list->isVisible() && m_list->rect().contains(m_list->mapFromGlobal(global));
  if (hit.insideList) {
    const HTREEITEM item = m_list->HitTest(m_list->viewport()->mapFromGlobal(global), &hit.column);
    hit.row = item == TLI_NULL ? -1 : m_view.List().GetRowOfItem(item);
  }
  const std::optional<int> hitCode = DropHitCode(hit);
  if (!hitCode) return false;
  if (code) *code = *hitCode;
  return true;
}

int CJobListWnd::DropEffect(u32 keyState, const int* code, int count) {
  return kpw::view::DropEffect(keyState, code, count);
}

void CJobListWnd::DropRegistryKey(const std::vector<std::string>& texts, int kind, int code) {
  if (texts.empty()) return;
  const DropAction action = PlanPaneDrop(kind, code, texts.front(), m_view.GetInfo(4) != 0,
                                         m_view.List().GetRowCount(), static_cast<int>(texts.size()));
  if (action.kind == DropAction::AppendRows) {
    AppendRows(texts, action.templateRow);
  } else if (action.kind == DropAction::ReplaceCell) {
    if (m_view.SetCell(texts.front(), action.row, action.column) != 0) return;
    m_view.SetModified(1);
    m_view.CheckEntry(action.row, 0);
  }
}

bool CJobListWnd::OnDrag(QDropEvent* event, QWidget* receiver, bool dropped) {
  const QMimeData* mime = event->mimeData();
  const QPoint global = receiver->mapToGlobal(event->position().toPoint());
  if (CPaneWnd* pane = CPaneWnd::DragSource(mime)) {
    const u32 keys = CPaneWnd::DragKeyState(event->modifiers(), event->buttons());
    int effect = pane->DragOverAt(mime, global, keys);
    if (dropped && effect != PANE_DROPEFFECT_NONE && !pane->DropAt(mime, global, keys)) effect = PANE_DROPEFFECT_NONE;
    if (effect == PANE_DROPEFFECT_NONE) {
      event->ignore();
    } else {
      event->setDropAction(CPaneWnd::DropActionOf(effect));
      event->accept();
    }
    return true;
  }
  const std::vector<std::string> paths = LocalPaths(mime);
  if (paths.empty()) return false;  // the list's own row drags, and what is no file
  if (dropped)
    OnDropFiles(paths, m_list->viewport()->mapFromGlobal(global), (event->modifiers() & Qt::ControlModifier) != 0);
  event->setDropAction(Qt::CopyAction);  // no dropped file is ever moved or removed
  event->accept();
  return true;
}

bool CJobListWnd::eventFilter(QObject* object, QEvent* event) {
  const QEvent::Type type = event->type();
  if ((object == m_list->viewport() || object == m_list) &&
      (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop)) {
    // The enter and move events are drop events too.
    return OnDrag(static_cast<QDropEvent*>(event), static_cast<QWidget*>(object), type == QEvent::Drop);
  }
  return QWidget::eventFilter(object, event);
}

void CJobListWnd::dragEnterEvent(QDragEnterEvent* event) {
  if (!OnDrag(event, this, false)) event->ignore();
}

void CJobListWnd::dragMoveEvent(QDragMoveEvent* event) {
  if (!OnDrag(event, this, false)) event->ignore();
}

void CJobListWnd::dropEvent(QDropEvent* event) {
  if (!OnDrag(event, this, true)) event->ignore();
}

// ---- the list's notifications, passed on to the view ---------------------------------------------------

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
