// The frame of a start with a window.
#include "app/gui/gui_frame.h"

#include "app/app_texts.h"
#include "app/gui/app_dialogs.h"
#include "app/gui/app_icon.h"
#include "app/gui/flat_menu_style.h"
#include "app/gui/frame_texts.h"
#include "app/gui/job_list_wnd.h"
#include "app/gui/tray_backend_qt.h"
#include "app/kopiwart_app.h"
#include "app/kopiwart_doc.h"
#include "app/kopiwart_view.h"
#include "app/view_commands.h"
#include "controls/gui/toolbar_new.h"
#include "controls/gui/treelist_ctrl.h"
#include "jobs/progress/progress_dlg.h"
#include "platform/gui/gui_texts.h"
#include "platform/gui/main_thread.h"
#include "platform/gui/message_box.h"
#include "platform/gui/ofn_hook.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolButton>

#include <array>

namespace {

// The main menu, written once: a popup title starts each group; id 0 is a separator.
struct MenuItem {
  const char* popup;  // non-null: a new popup with this title
  UINT id;
  const char* text;
  const char* key;
};

constexpr MenuItem kMainMenu[] = {
    {kpw::texts::kMenuFile, ID_FILE_NEW, kpw::texts::kMenuFileNew, "Ctrl+N"},
    {nullptr, ID_FILE_OPEN, kpw::texts::kMenuFileOpen, "Ctrl+O"},
    {nullptr, ID_FILE_SAVE, kpw::texts::kMenuFileSave, "Ctrl+S"},
    {nullptr, ID_FILE_SAVE_AS, kpw::texts::kMenuFileSaveAs, nullptr},
    {nullptr, ID_FILE_CLOSE, kpw::texts::kMenuFileClose, nullptr},
    {nullptr, 0, nullptr, nullptr},
    // the recent files go here
    {nullptr, ID_APP_EXIT, kpw::texts::kMenuAppExit, "Ctrl+Q"},
    {kpw::texts::kMenuEdit, ID_NEW_ENTRY, kpw::texts::kMenuNewEntry, "Ins"},
    {nullptr, ID_EDIT_DELETE, kpw::texts::kMenuDelete, "Del"},
    {nullptr, ID_EDIT_UNDO, kpw::texts::kMenuUndo, "Alt+Backspace"},
    {nullptr, ID_SELECT_ALL, kpw::texts::kMenuSelectAll, "Ctrl+A"},
    {nullptr, 0, nullptr, nullptr},
    {nullptr, ID_EDIT_CELL, kpw::texts::kMenuEditCell, "F2"},
    {nullptr, ID_MOVE_UP, kpw::texts::kMenuMoveUp, "Ctrl+Up"},
    {nullptr, ID_MOVE_DOWN, kpw::texts::kMenuMoveDown, "Ctrl+Down"},
    {nullptr, ID_CPP_FILTER, kpw::texts::kMenuCppFilter, nullptr},
    {nullptr, ID_FILTER_BAR, kpw::texts::kMenuFilterBar, nullptr},
    {kpw::texts::kMenuView, ID_VIEW_TOOLBAR, kpw::texts::kMenuToolbar, nullptr},
    {nullptr, ID_VIEW_STATUS_BAR, kpw::texts::kMenuStatusBar, nullptr},
    {nullptr, 0, nullptr, nullptr},
    {nullptr, ID_FLAT_TOOLBAR, kpw::texts::kMenuFlatToolbar, nullptr},
    {nullptr, ID_MENU_MODE, kpw::texts::kMenuMenuMode, nullptr},
    {nullptr, 0, nullptr, nullptr},
    // the toolbar's own commands, reachable while it is hidden
    {nullptr, ID_INSERT_FILES, kpw::texts::kTipInsertFiles, nullptr},
    {nullptr, ID_TOGGLE_REGISTRY, kpw::texts::kTipRegistry, nullptr},
    {nullptr, ID_PATH_BARS, kpw::texts::kTipPathBars, nullptr},
    {nullptr, ID_PARENT_FOLDER, kpw::texts::kTipParentFolder, nullptr},
    {kpw::texts::kMenuKopiwart, ID_RUN, kpw::texts::kMenuRun, "F5"},
    {nullptr, ID_SCHEDULE, kpw::texts::kMenuSchedule, "F4"},
    {nullptr, 0, nullptr, nullptr},
    {nullptr, ID_CONFIGURE, kpw::texts::kConfigure, nullptr},
    {kpw::texts::kMenuHelp, ID_SYNTAX_INFO, kpw::texts::kSyntaxInfo, "F1"},
    {nullptr, ID_PROGRAM_INFO, kpw::texts::kProgramInfoCaption, nullptr},
    {nullptr, ID_APP_ABOUT, kpw::texts::kAboutCaption, nullptr},
};

// The view's commands, handled by CKopiwartView::OnCommand.
constexpr std::array<UINT, 11> kViewCommands = {ID_NEW_ENTRY, ID_EDIT_DELETE, ID_EDIT_UNDO, ID_SELECT_ALL,
                                                ID_MOVE_UP,   ID_MOVE_DOWN,   ID_EDIT_CELL, ID_CPP_FILTER,
                                                ID_SCHEDULE,  ID_FILTER_BAR,  ID_RUN};

// The toolbar, in button order (0: a separator): its command, its image, the tip of a command
// that the main menu does not name.
struct ToolbarEntry {
  UINT id;
  QStyle::StandardPixmap image;
  const char* tip;
};

constexpr ToolbarEntry kToolbar[] = {
    {ID_FILE_NEW, QStyle::SP_FileIcon, nullptr},
    {ID_FILE_OPEN, QStyle::SP_DialogOpenButton, nullptr},
    {ID_FILE_SAVE, QStyle::SP_DialogSaveButton, nullptr},
    {0, QStyle::SP_CustomBase, nullptr},
    {ID_NEW_ENTRY, QStyle::SP_FileDialogNewFolder, nullptr},
    {ID_EDIT_DELETE, QStyle::SP_DialogCancelButton, nullptr},
    {ID_EDIT_UNDO, QStyle::SP_ArrowBack, nullptr},
    {0, QStyle::SP_CustomBase, nullptr},
    {ID_MOVE_UP, QStyle::SP_ArrowUp, nullptr},
    {ID_MOVE_DOWN, QStyle::SP_ArrowDown, nullptr},
    {0, QStyle::SP_CustomBase, nullptr},
    {ID_TOGGLE_REGISTRY, QStyle::SP_ComputerIcon, kpw::texts::kTipRegistry},
    {ID_PATH_BARS, QStyle::SP_FileDialogDetailedView, kpw::texts::kTipPathBars},
    {ID_PARENT_FOLDER, QStyle::SP_FileDialogToParent, kpw::texts::kTipParentFolder},
    {ID_INSERT_FILES, QStyle::SP_FileDialogContentsView, kpw::texts::kTipInsertFiles},
    {0, QStyle::SP_CustomBase, nullptr},
    {ID_RUN, QStyle::SP_CommandLink, nullptr},
    {ID_SCHEDULE, QStyle::SP_FileDialogInfoView, nullptr},
    {0, QStyle::SP_CustomBase, nullptr},
    {ID_APP_ABOUT, QStyle::SP_MessageBoxQuestion, nullptr},
};

// A menu text as a tool tip: without its mnemonic mark and dots.
std::string TipOfMenuText(std::string text) {
  std::erase(text, '&');
  while (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// The indicator panes (caps, num and scroll lock) are as wide as their widest text.
constexpr char kIndicatorSample[] = "NUM";

// Runs the file dialog; the chosen path, empty when the user gave up.
std::string ChooseJobFile(QWidget* parent, bool save, const std::string& current) {
  const std::unique_ptr<QFileDialog> dialog = MakeJobFileDialog(parent, save, current);
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return {};
  return dialog->selectedFiles().first().toStdString();
}

std::string FileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<QFileDialog> MakeJobFileDialog(QWidget* parent, bool save, const std::string& current) {
  auto dialog = std::make_unique<QFileDialog>(
      parent, QString::fromUtf8(save ? gui_text::kSaveAsCaption : gui_text::kOpenCaption), QString(),
      QString::fromUtf8(kpw::texts::kJobFileFilter) + QString::fromUtf8(gui_text::kAllFilesFilter));
  if (save) {
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("kpw"));  // only for a name without one
    if (!current.empty()) dialog->selectFile(QString::fromStdString(current));
  } else {
    dialog->setFileMode(QFileDialog::ExistingFile);
  }
  return dialog;
}

CMainFrame::CMainFrame() : m_menuStyle(std::make_unique<CFlatMenuStyle>(m_look.menuMode)) {
  m_host.SetMainWindow(this);
  // Only closing the main window (or PostQuit) ends the loop, not a closed dialog.
  qApp->setQuitOnLastWindowClosed(false);
  setWindowIcon(AppIcon());
  resize(760, 420);
  BuildMenus();
  RegisterCommands();
  m_router.WatchOnIdle(this);
  m_router.OnIdle([this] { UpdateModifiedMark(); });
  m_router.StartIdleTick();
  m_timers.OnTimer([this](UINT_PTR id) { OnFrameTimer(id); });
  m_shim.OnMessage(WM_HIDDEN_START, [this](WPARAM, LPARAM) {
    OnHiddenStart();
    return LRESULT{0};
  });
  m_shim.OnMessage(WM_STATUS_PANE_CALL, [this](WPARAM operation, LPARAM words) {
    return OnStatusPaneCall(operation, reinterpret_cast<const LPARAM*>(words));
  });
  m_shim.OnMessage(WM_STATUS_PANE_DRAW, [this](WPARAM index, LPARAM record) {
    const auto* pane = reinterpret_cast<const StatusPane*>(record);
    if (!pane || index == 0 || index >= m_paneLabels.size()) return LRESULT{0};
    DrawStatusPane(static_cast<int>(index), *pane);
    return LRESULT{1};
  });
  m_shim.OnMessage(WM_FLATMENU_PROBE, [](WPARAM, LPARAM) { return kFlatMenuProbeAnswer; });
  m_shim.OnMessage(WM_RUN_PROGRESS_DLG, [this](WPARAM, LPARAM dialog) {
    CKopiwartView* view = m_app ? m_app->GetView() : nullptr;
    if (!view) return LRESULT{0};
    auto* active = reinterpret_cast<CProgressDlg*>(dialog);
    m_app->RunLock().OnRunProgressDlg(active, active ? &view->RunState() : nullptr);
    return LRESULT{0};
  });
  UpdateTitle();
}

CMainFrame::~CMainFrame() {
  m_panes.BarDestroyed();  // from now on every pane call answers 0
  DetachApp();
  if (m_lookLoaded) SaveFrameSettings(m_look);
  m_tray.reset();
  // The menus go with the window's children, after the style: they take the application's back.
  for (QMenu* menu : findChildren<QMenu*>()) menu->setStyle(nullptr);
}

void CMainFrame::AttachApp(CKopiwartApp* app) {
  if (!app) return DetachApp();
  m_app = app;
  // Told under the run lock, on the run's thread: the frame looks at it from its loop.
  m_app->RunLock().SetObserver([this](CProgressDlg*, bool active) {
    QMetaObject::invokeMethod(
        this, [this, active] { OnRunChanged(active); }, Qt::QueuedConnection);
  });
}

void CMainFrame::DetachApp() {
  if (m_app) m_app->RunLock().SetObserver({});
  if (m_viewWnd) {
    m_host.SetListWidget(nullptr);
    delete takeCentralWidget();
    m_viewWnd = nullptr;
  }
  m_app = nullptr;
}

void CMainFrame::BuildMenus() {
  QMenu* menu = nullptr;
  for (const MenuItem& item : kMainMenu) {
    if (item.popup) {
      menu = menuBar()->addMenu(QString::fromUtf8(item.popup));
      StyleMenu(menu);
      m_router.WatchMenu(menu);
      if (item.id == ID_FILE_NEW) m_fileMenu = menu;
    }
    if (item.id == ID_APP_EXIT) {
      // The recent files, shown when there are any.
      for (UINT id = ID_FILE_MRU_FILE1; id <= ID_FILE_MRU_LAST; ++id) {
        QAction* recent = menu->addAction(QString());
        recent->setVisible(false);
        m_router.BindAction(recent, id);
      }
      menu->addSeparator();
    }
    if (item.id == 0) {
      menu->addSeparator();
      continue;
    }
    QAction* action = menu->addAction(QString::fromUtf8(item.text));
    if (item.key) action->setShortcut(QKeySequence(QString::fromLatin1(item.key)));
    m_router.BindAction(action, item.id);
    addAction(action);  // keys work while the menu is closed; the idle tick refreshes them
  }
  for (QAction* top : menuBar()->actions())
    if (top->menu()) AssignMnemonics(top->menu());
  connect(m_fileMenu, &QMenu::aboutToShow, this, [this] {
    const std::size_t count = m_app ? m_app->RecentFiles().Files().size() : 0;
    for (QAction* action : m_fileMenu->actions()) {
      const UINT id = CCommandRouter::CommandIdOf(action);
      if (id >= ID_FILE_MRU_FILE1 && id <= ID_FILE_MRU_LAST)
        action->setVisible(id - ID_FILE_MRU_FILE1 < count);
    }
  });
}

void CMainFrame::RegisterCommands() {
  for (UINT id : kViewCommands) {
    m_router.OnCommand(id, [this, id] {
      if (m_app && m_app->GetView()) m_app->GetView()->OnCommand(id);
    });
  }
  // The tray popup's two commands.
  for (UINT id : {UINT{ID_STOP_RUN}, UINT{ID_CONTINUE_RUN}}) {
    m_router.OnCommand(id, [this, id] {
      if (m_app && m_app->GetView()) m_app->GetView()->OnCommand(id);
    });
  }
  // The bars and the look.
  // Before the bars exist these are grey.
  for (UINT id : {UINT{ID_VIEW_TOOLBAR}, UINT{ID_VIEW_STATUS_BAR}}) {
    auto bar = [this, id]() -> QWidget* {
      return id == ID_VIEW_TOOLBAR ? static_cast<QWidget*>(m_toolBar) : static_cast<QWidget*>(m_statusBar);
    };
    m_router.OnCommand(id, [bar] {
      if (QWidget* w = bar()) w->setVisible(w->isHidden());
    });
    m_router.OnUpdateCommandUI(id, [bar](CCmdUI& ui) {
      ui.Enable(bar() != nullptr);
      ui.SetCheck(bar() && !bar()->isHidden() ? 1 : 0);
    });
  }
  m_router.OnCommand(ID_FLAT_TOOLBAR, [this] {
    m_look.flatMode = m_look.flatMode ? 0 : 1;
    if (!m_toolBar) return;
    m_toolBar->ModifyStyle(m_look.flatMode ? 0 : TBSTYLE_FLAT, m_look.flatMode ? TBSTYLE_FLAT : 0);
    if (!m_toolBar->isHidden()) {
      m_toolBar->hide();
      m_toolBar->show();
    }
  });
  m_router.OnUpdateCommandUI(ID_FLAT_TOOLBAR, [this](CCmdUI& ui) { ui.SetCheck(m_look.flatMode ? 1 : 0); });
  // The menus read the mode when they are drawn: the next one shown follows.
  m_router.OnCommand(ID_MENU_MODE, [this] { m_look.menuMode = m_look.menuMode ? 0 : 1; });
  m_router.OnUpdateCommandUI(ID_MENU_MODE, [this](CCmdUI& ui) { ui.SetCheck(m_look.menuMode ? 1 : 0); });

  m_router.OnCommand(ID_APP_ABOUT, [this] { ShowAboutDialog(this); });
  m_router.OnCommand(ID_PROGRAM_INFO, [this] { ShowProgramInfoDialog(this); });
  m_router.OnCommand(ID_SYNTAX_INFO, [this] { ShowSyntaxInfoDialog(this); });
  m_router.OnCommand(ID_CONFIGURE, [this] {
    if (m_app) m_app->OnConfigure();  // it shows its own result box
  });

  m_router.OnCommand(ID_FILE_NEW, [this] { OnFileNew(); });
  m_router.OnCommand(ID_FILE_CLOSE, [this] { OnFileNew(); });
  m_router.OnCommand(ID_FILE_OPEN, [this] { OnFileOpen(); });
  m_router.OnCommand(ID_FILE_SAVE, [this] { DoSave(false); });
  m_router.OnCommand(ID_FILE_SAVE_AS, [this] { DoSave(true); });
  m_router.OnCommand(ID_APP_EXIT, [this] { close(); });
  m_router.OnCommandRange(ID_FILE_MRU_FILE1, ID_FILE_MRU_LAST, [this](UINT id) { OnOpenRecent(id); });
  m_router.OnUpdateCommandUIRange(ID_FILE_MRU_FILE1, ID_FILE_MRU_LAST, [this](CCmdUI& ui) {
    const std::size_t slot = ui.m_nID - ID_FILE_MRU_FILE1;
    const auto* files = m_app ? &m_app->RecentFiles().Files() : nullptr;
    if (!files || slot >= files->size()) {
      ui.Enable(FALSE);
      return;
    }
    ui.SetText("&" + std::to_string(slot + 1) + " " + (*files)[slot]);
  });
}

void CMainFrame::EnsureViewWindow() {
  if (m_viewWnd || !m_app || !m_app->GetView()) return;
  m_viewWnd = new CJobListWnd(*m_app->GetView(), m_icons);
  // The view window's commands and update rules go to the router; the file-pane calls to its pane.
  m_viewWnd->Attach(&m_host, &m_router, [this] {
    return m_app && m_app->GetDocument() ? m_app->GetDocument()->GetPathName() : std::string();
  });
  m_viewWnd->SetStatusPanes(&m_panes);
  setCentralWidget(m_viewWnd);
  m_host.SetListWidget(&m_viewWnd->List());
}

void CMainFrame::UpdateTitle() {
  CKopiwartDoc* doc = m_app ? m_app->GetDocument() : nullptr;
  const std::string name =
      doc && !doc->GetPathName().empty() ? FileNameOf(doc->GetPathName()) : gui_text::kUntitled;
  const bool modified = doc && doc->IsModified();
  m_titleModified = modified;
  // Unsaved changes are marked behind the name, as editors do: "Aufgaben.kpw* - Kopiwart".
  setWindowTitle(QString::fromStdString(name + (modified ? "*" : "") + " - " + kAppTitle));
}

void CMainFrame::UpdateModifiedMark() {
  CKopiwartDoc* doc = m_app ? m_app->GetDocument() : nullptr;
  if ((doc && doc->IsModified()) != m_titleModified) UpdateTitle();
}

void CMainFrame::UpdateVisible() {
  m_host.SetViewVisible(isVisible() && !isMinimized());
}

void CMainFrame::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  UpdateVisible();
}

void CMainFrame::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  UpdateVisible();
}

void CMainFrame::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) UpdateVisible();
}

void CMainFrame::ShowMainWindow(int showCommand) {
  OnCreate();
  EnsureViewWindow();
  UpdateTitle();
  if (showCommand == SW_HIDE) {
    hide();
  } else if (showCommand == SW_MINIMIZE || m_startedMinimized) {
    m_startedMinimized = true;
    showMinimized();
  } else {
    show();
  }
  UpdateVisible();
}

void CMainFrame::PostHiddenStart() {
  m_shim.PostMessage(WM_HIDDEN_START);
}

void CMainFrame::PostToMainThread(std::function<void()> fn) {
  ::PostToMainThread(std::move(fn));
}

int CMainFrame::Run() {
  return QApplication::exec();
}

void CMainFrame::PostQuit(int status) {
  m_quitStatus = status;
  m_quitPosted = true;
  QMetaObject::invokeMethod(
      this, [this] { m_timers.KillTimer(kHiddenStartTimerId); }, Qt::QueuedConnection);
  // Straight out of the loop: no close event, so no save question.
  ::PostToMainThread([status] { QCoreApplication::exit(status); });
}

bool CMainFrame::SaveModified() {
  CKopiwartDoc* doc = m_app ? m_app->GetDocument() : nullptr;
  if (!doc || !doc->IsModified()) return true;
  const std::string name = doc->GetPathName().empty() ? gui_text::kUntitled : doc->GetPathName();
  const int answer = KpwMessageBox(this, gui_text::Format(gui_text::kSaveChanges, name), kAppTitle,
                                   MB_YESNOCANCEL | MB_ICONEXCLAMATION);
  if (answer == IDCANCEL) return false;
  return answer != IDYES || DoSave(false);
}

bool CMainFrame::DoSave(bool askName) {
  CKopiwartDoc* doc = m_app ? m_app->GetDocument() : nullptr;
  if (!doc) return false;
  std::string path = doc->GetPathName();
  if (askName || path.empty()) {
    path = m_chooseFile ? m_chooseFile(true, path) : ChooseJobFile(this, true, path);
    if (path.empty()) return false;
    // The dialog adds it itself (and asks before replacing that file); a native one may not.
    path = JobFileNameWithExtension(path);
  }
  if (!doc->OnSaveDocument(path)) return false;
  if (m_app) m_app->RecentFiles().Add(path);
  UpdateTitle();
  return true;
}

void CMainFrame::OnFileNew() {
  if (!SaveModified() || !m_app || !m_app->GetDocument()) return;
  m_app->GetDocument()->OnNewDocument();
  UpdateTitle();
}

bool CMainFrame::OpenFile(const std::string& path) {
  if (!m_app) return false;
  const bool ok = m_app->OpenDocumentFile(path);
  UpdateTitle();
  return ok;
}

void CMainFrame::OnFileOpen() {
  if (!SaveModified()) return;
  std::string path;
  path = m_chooseFile ? m_chooseFile(false, {}) : ChooseJobFile(this, false, {});
  if (!path.empty()) OpenFile(path);
}

void CMainFrame::OnOpenRecent(UINT id) {
  if (!m_app) return;
  const auto& files = m_app->RecentFiles().Files();
  const std::size_t slot = id - ID_FILE_MRU_FILE1;
  if (slot >= files.size()) return;
  const std::string path = files[slot];  // the open reorders the list
  if (SaveModified()) OpenFile(path);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  const bool startupRun = m_app && m_app->StartupRunActive();
  if (startupRun || (m_app && m_app->RunLock().IsRunActive())) {
    // Not now: the run is cancelled, and the close comes back when it has ended. A start-up run
    // ends the program itself (a run not begun yet does not begin).
    event->ignore();
    m_closePending = true;
    if (startupRun)
      m_app->RequestCancel(false);
    else
      m_app->RunLock().CancelActive();
    return;
  }
  if (!SaveModified()) {
    event->ignore();
    return;
  }
  event->accept();
  m_timers.KillTimer(kHiddenStartTimerId);
  // After a start-up run has asked to quit, its status stays the program's.
  QCoreApplication::exit(m_quitPosted ? m_quitStatus.load() : 0);
}

void CMainFrame::OnRunChanged(bool active) {
  if (!m_closePending || !m_app) return;
  // A run that began after the close asked is cancelled too.
  if (active) {
    m_app->RunLock().CancelActive();
    return;
  }
  if (m_app->StartupRunActive()) return;
  m_closePending = false;
  close();
}

// ---- bars -----------------------------------------------------------------------------------------

void CMainFrame::OnCreate() {
  if (m_toolBar) return;
  // The view's window first (its pane calls answer 0 until the status bar exists), then the look
  // (the application's key is set by now), then the bars.
  EnsureViewWindow();
  m_look = LoadFrameSettings();
  m_lookLoaded = true;
  CreateBars();
}

void CMainFrame::CreateBars() {
  // The toolbar from its table; the tips of commands in the main menu are their menu texts.
  std::vector<std::string> tips;
  tips.reserve(std::size(kToolbar));
  std::vector<ToolbarButton> buttons;
  for (const ToolbarEntry& entry : kToolbar) {
    std::string tip = entry.tip ? entry.tip : "";
    for (const MenuItem& item : kMainMenu)
      if (!entry.tip && item.id == entry.id && item.text) tip = TipOfMenuText(item.text);
    tips.push_back(std::move(tip));
    buttons.push_back(
        {entry.id, entry.id ? style()->standardIcon(entry.image) : QIcon(), tips.back().c_str()});
  }
  m_toolBar = new CToolBarNew(this);
  m_toolBar->setWindowTitle(QString::fromUtf8(kpw::texts::kMenuToolbar).remove(QLatin1Char('&')));
  m_toolBar->CreateEx(this, m_look.flatMode ? TBSTYLE_FLAT : 0, ID_VIEW_TOOLBAR);
  m_toolBar->LoadToolBar(m_router, buttons);
  m_router.WatchOnIdle(m_toolBar);
  // The menus show the same images; a disabled item shows its image greyed.
  for (QAction* top : menuBar()->actions()) {
    if (!top->menu()) continue;
    for (QAction* action : top->menu()->actions()) {
      const QIcon image = m_toolBar->ImageOf(CCommandRouter::CommandIdOf(action));
      if (!image.isNull()) action->setIcon(image);
    }
  }

  m_statusBar = statusBar();  // made here
  QStatusBar* bar = m_statusBar;
  bar->setObjectName(QString::number(ID_VIEW_STATUS_BAR));
  auto* message = new QLabel(QString::fromUtf8(kpw::texts::kStatusReady), bar);
  message->setObjectName(QStringLiteral("pane0"));
  bar->addWidget(message, 1);
  m_paneLabels = {message};
  const QFontMetrics metrics(bar->font());
  m_panes.SetFontUnit(CStatusPanes::FontUnit(metrics.averageCharWidth(), metrics.height()));
  m_panes.BarCreated();
  SyncStatusBar();
}

void CMainFrame::StyleMenu(QMenu* menu) {
  if (menu) menu->setStyle(m_menuStyle.get());
}

LRESULT CMainFrame::OnStatusPaneCall(WPARAM operation, const LPARAM* words) {
  const LRESULT result = m_panes.OnStatusPaneCall(operation, words);
  if (IsMainThread()) SyncStatusBar();
  return result;
}

int CMainFrame::SetStatusPanes(const char* const* texts, const int* widths, int count) {
  const int result = m_panes.SetStatusPanes(texts, widths, count);
  if (IsMainThread()) SyncStatusBar();
  return result;
}

int CMainFrame::SetStatusPaneText(int pane, const char* text, int style, PaneColor textColor,
                                  PaneColor backColor) {
  const int result = m_panes.SetStatusPaneText(pane, text, style, textColor, backColor);
  if (IsMainThread()) SyncStatusBar();
  return result;
}

QLabel* CMainFrame::StatusPaneLabel(int index) const {
  return index >= 0 && index < StatusPaneCount() ? m_paneLabels[static_cast<std::size_t>(index)] : nullptr;
}

void CMainFrame::PanesLaidOut(const std::vector<StatusPane>&) {
  RequestPaneSync();
}

void CMainFrame::PaneChanged(int, const StatusPane&) {
  RequestPaneSync();
}

void CMainFrame::RequestPaneSync() {
  // One sync in the queue at a time; it reads the service's state when it runs.
  if (m_paneSyncPosted.exchange(true)) return;
  QMetaObject::invokeMethod(
      this, [this] { SyncStatusBar(); }, Qt::QueuedConnection);
}

void CMainFrame::SyncStatusBar() {
  m_paneSyncPosted = false;  // before the read: a change after it posts again
  std::vector<StatusPane> panes = m_panes.Panes();
  QStatusBar* bar = m_statusBar;
  if (panes.empty() || !bar) return;  // no bar yet, or no more
  bool layout = panes.size() != m_shownPanes.size();
  for (std::size_t i = 0; !layout && i < panes.size(); ++i) layout = panes[i].width != m_shownPanes[i].width;
  if (layout) {
    for (std::size_t i = 1; i < m_paneLabels.size(); ++i) {
      bar->removeWidget(m_paneLabels[i]);
      delete m_paneLabels[i];
    }
    m_paneLabels.resize(1);
    const int indicatorWidth =
        bar->fontMetrics().horizontalAdvance(QString::fromLatin1(kIndicatorSample)) + 8;
    for (std::size_t i = 1; i < panes.size(); ++i) {
      auto* label = new QLabel(bar);
      label->setObjectName(QStringLiteral("pane%1").arg(i));
      label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      const bool indicator = i + CStatusPanes::kIndicators >= panes.size();
      label->setFixedWidth(indicator ? indicatorWidth : std::max(panes[i].width, 0));
      bar->addPermanentWidget(label);
      m_paneLabels.push_back(label);
    }
  }
  for (std::size_t i = 1; i < panes.size(); ++i) {
    if (!layout && panes[i] == m_shownPanes[i]) continue;
    QLabel* label = m_paneLabels[i];
    label->setText(QString::fromStdString(panes[i].text));
    if (panes[i].Colored()) {
      SendMessage(WM_STATUS_PANE_DRAW, i, reinterpret_cast<LPARAM>(&panes[i]));
    } else {
      label->setAutoFillBackground(false);
      label->setPalette(QPalette());
      label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
  }
  m_shownPanes = std::move(panes);
}

void CMainFrame::DrawStatusPane(int index, const StatusPane& pane) {
  // A negative colour is the palette's: the menu colour behind, the window text in front.
  QLabel* label = m_paneLabels[static_cast<std::size_t>(index)];
  QPalette palette = m_statusBar->palette();
  if (pane.backColor >= 0)
    palette.setColor(QPalette::Window, ToQColor(static_cast<MenuColor>(pane.backColor)));
  if (pane.textColor >= 0)
    palette.setColor(QPalette::WindowText, ToQColor(static_cast<MenuColor>(pane.textColor)));
  label->setPalette(palette);
  label->setAutoFillBackground(true);
  label->setAlignment(Qt::AlignCenter);
}

// ---- hidden start ---------------------------------------------------------------------------------

void CMainFrame::OnHiddenStart() {
  ::TaskbarDeleteTab();
  hide();
  m_timers.SetTimer(kHiddenStartTimerId, kHiddenStartTimerMs);
}

void CMainFrame::OnFrameTimer(UINT_PTR id) {
  // While a worker's box is open the window may be shown with it.
  if (id != kHiddenStartTimerId || IsWorkerMessageBoxUp() || isHidden()) return;
  ::TaskbarDeleteTab();
  hide();
}

// ---- tray icon ------------------------------------------------------------------------------------

void CMainFrame::SetTrayBackend(std::unique_ptr<ITrayBackend> tray) {
  m_tray = std::move(tray);
  if (!m_tray) return;
  // A click is answered from the loop: the popup's own loop must not run inside the tray's call.
  m_tray->SetNotify([this](UINT mouseMessage) {
    QMetaObject::invokeMethod(
        this, [this, mouseMessage] { OnTrayNotify(mouseMessage); }, Qt::QueuedConnection);
  });
}

ITrayBackend& CMainFrame::Tray() {
  if (!m_tray) SetTrayBackend(std::make_unique<CQtTrayBackend>(this));
  return *m_tray;
}

void CMainFrame::OnTrayNotify(UINT mouseMessage) {
  if ((mouseMessage != WM_LBUTTONDOWN && mouseMessage != WM_RBUTTONDOWN) || m_trayMenuOpen) return;
  m_trayMenuOpen = true;
  QMenu menu(this);
  StyleMenu(&menu);
  const std::pair<UINT, const char*> items[] = {{ID_STOP_RUN, kpw::texts::kTrayStopRun},
                                                {ID_CONTINUE_RUN, kpw::texts::kTrayContinueRun}};
  for (const auto& [id, text] : items) m_router.BindAction(menu.addAction(QString::fromUtf8(text)), id);
  menu.exec(QCursor::pos());
  m_trayMenuOpen = false;
}

void CFrameHost::TaskbarAddTab() {
  CGuiHost::TaskbarAddTab();
  ::TaskbarAddTab();
}

void CFrameHost::TaskbarDeleteTab() {
  CGuiHost::TaskbarDeleteTab();
  ::TaskbarDeleteTab();
}

void CFrameHost::TrayIconAdd(u32 iconId, const std::string& tip) {
  CGuiHost::TrayIconAdd(iconId, tip);
  auto add = [this, iconId, tip] { ::TrayIconAdd(m_frame.Tray(), iconId, tip.c_str()); };
  if (IsMainThread())
    add();
  else
    QMetaObject::invokeMethod(&m_frame, add, Qt::QueuedConnection);
}

void CFrameHost::TrayIconDelete() {
  CGuiHost::TrayIconDelete();
  auto remove = [this] { ::TrayIconDelete(m_frame.Tray()); };
  if (IsMainThread())
    remove();
  else
    QMetaObject::invokeMethod(&m_frame, remove, Qt::QueuedConnection);
}

// ---- the program ----------------------------------------------------------------------------------

namespace {

// The frame together with the QApplication it made.
class CGuiAppFrame : public IAppFrame {
 public:
  CGuiAppFrame(std::unique_ptr<QApplication> app)
      : m_app(std::move(app)), m_frame(std::make_unique<CMainFrame>()) {}
  ~CGuiAppFrame() override {
    m_frame.reset();
    m_app.reset();
  }
  void AttachApp(CKopiwartApp* app) override { m_frame->AttachApp(app); }
  IRunHost& Host() override { return m_frame->Host(); }
  IViewHost& ViewHost() override { return m_frame->ViewHost(); }
  void ShowMainWindow(int cmd) override { m_frame->ShowMainWindow(cmd); }
  void PostHiddenStart() override { m_frame->PostHiddenStart(); }
  void PostToMainThread(std::function<void()> fn) override { m_frame->PostToMainThread(std::move(fn)); }
  int Run() override { return m_frame->Run(); }
  void PostQuit(int status) override { m_frame->PostQuit(status); }
  u32 HiddenRunMinimumMs() override { return m_frame->HiddenRunMinimumMs(); }

 private:
  std::unique_ptr<QApplication> m_app;
  std::unique_ptr<CMainFrame> m_frame;
};

// Whether Qt has the plugin of a platform ("wayland" stands for its several plugins).
bool HavePlatformPlugin(const std::string& platform) {
  const QDir dir(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
  return !dir.entryList({QStringLiteral("libq%1*.so").arg(QString::fromStdString(platform))}, QDir::Files).isEmpty();
}

}  // namespace

std::unique_ptr<IAppFrame> MakeGuiFrame(const std::string& platform) {
  std::unique_ptr<QApplication> app;
  if (!QApplication::instance()) {
    if (!platform.empty() && !HavePlatformPlugin(platform)) return nullptr;
    // QApplication keeps the references: the arguments live as long as the program.
    static std::string arg0 = "kopiwart", option = "-platform", name;
    static char* argv[4] = {};
    static int argc = 0;
    name = platform;
    argv[argc = 0] = arg0.data();
    if (!platform.empty()) {
      argv[++argc] = option.data();
      argv[++argc] = name.data();
    }
    argv[++argc] = nullptr;
    app = std::make_unique<QApplication>(argc, argv);
    LoadQtGermanTranslation(*app);
    OfnInstallHook(0);
  }
  return std::make_unique<CGuiAppFrame>(std::move(app));
}
