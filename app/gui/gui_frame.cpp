// The frame of a start with a window.
#include "app/gui/gui_frame.h"

#include "app/app_texts.h"
#include "app/gui/app_dialogs.h"
#include "app/gui/job_list_wnd.h"
#include "app/kopiwart_app.h"
#include "app/kopiwart_doc.h"
#include "app/kopiwart_main.h"
#include "app/kopiwart_view.h"
#include "controls/gui/treelist_ctrl.h"
#include "platform/gui/gui_texts.h"
#include "platform/gui/main_thread.h"
#include "platform/gui/message_box.h"
#include "platform/gui/ofn_hook.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>

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
    {nullptr, ID_APP_EXIT, kpw::texts::kMenuAppExit, nullptr},
    {kpw::texts::kMenuEdit, ID_NEW_ENTRY, kpw::texts::kMenuNewEntry, nullptr},
    {nullptr, ID_EDIT_DELETE, kpw::texts::kMenuDelete, "Del"},
    {nullptr, ID_EDIT_UNDO, kpw::texts::kMenuUndo, "Alt+Backspace"},
    {nullptr, ID_SELECT_ALL, kpw::texts::kMenuSelectAll, "Ctrl+A"},
    {nullptr, 0, nullptr, nullptr},
    {nullptr, ID_EDIT_CELL, kpw::texts::kMenuEditCell, "F2"},
    {nullptr, ID_MOVE_UP, kpw::texts::kMenuMoveUp, nullptr},
    {nullptr, ID_MOVE_DOWN, kpw::texts::kMenuMoveDown, nullptr},
    {nullptr, ID_CPP_FILTER, kpw::texts::kMenuCppFilter, nullptr},
    {nullptr, ID_FILTER_BAR, kpw::texts::kMenuFilterBar, nullptr},
    {kpw::texts::kMenuKopiwart, ID_RUN, kpw::texts::kMenuRun, "F5"},
    {nullptr, ID_SCHEDULE, kpw::texts::kMenuSchedule, "F4"},
    {nullptr, 0, nullptr, nullptr},
    {nullptr, ID_CONFIGURE, kpw::texts::kConfigure, nullptr},
    {kpw::texts::kMenuHelp, ID_SYNTAX_INFO, kpw::texts::kSyntaxInfo, nullptr},
    {nullptr, ID_PROGRAM_INFO, kpw::texts::kProgramInfoCaption, nullptr},
    {nullptr, ID_APP_ABOUT, kpw::texts::kAboutCaption, nullptr},
};

// The view's commands, handled by CKopiwartView::OnCommand.
constexpr std::array<UINT, 11> kViewCommands = {ID_NEW_ENTRY, ID_EDIT_DELETE, ID_EDIT_UNDO, ID_SELECT_ALL,
                                                ID_MOVE_UP,   ID_MOVE_DOWN,   ID_EDIT_CELL, ID_CPP_FILTER,
                                                ID_SCHEDULE,  ID_FILTER_BAR,  ID_RUN};

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

CMainFrame::CMainFrame() {
  m_host.SetMainWindow(this);
  // Only closing the main window (or PostQuit) ends the loop, not a closed dialog.
  qApp->setQuitOnLastWindowClosed(false);
  resize(760, 420);
  BuildMenus();
  RegisterCommands();
  m_router.WatchOnIdle(this);
  m_router.StartIdleTick();
  m_shim.OnMessage(WM_HIDDEN_START, [this](WPARAM, LPARAM) {
    hide();
    return LRESULT{0};
  });
  UpdateTitle();
}

CMainFrame::~CMainFrame() {
  DetachApp();
}

void CMainFrame::DetachApp() {
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
  // The view's update rules; the first selected row counts from the top of the list.
  auto firstSelectedRow = [this]() -> int {
    CKopiwartView* view = m_app ? m_app->GetView() : nullptr;
    if (!view) return -1;
    const HTREEITEM item = view->List().GetNextSelectedItem();
    return item == TLI_NULL ? -1 : view->List().GetRowOfItem(item);
  };
  auto rowCount = [this] { return m_app && m_app->GetView() ? m_app->GetView()->List().GetRowCount() : 0; };
  m_router.OnUpdateCommandUI(ID_EDIT_UNDO, [this](CCmdUI& ui) {
    ui.Enable(m_app && m_app->GetView() && m_app->GetView()->CanUndo());
  });
  m_router.OnUpdateCommandUI(ID_MOVE_UP, [=](CCmdUI& ui) { ui.Enable(firstSelectedRow() >= 1); });
  m_router.OnUpdateCommandUI(ID_MOVE_DOWN, [=](CCmdUI& ui) {
    const int row = firstSelectedRow();
    ui.Enable(row >= 0 && row + 1 < rowCount());
  });
  for (UINT id : {UINT{ID_EDIT_DELETE}, UINT{ID_CPP_FILTER}})
    m_router.OnUpdateCommandUI(id, [=](CCmdUI& ui) { ui.Enable(firstSelectedRow() >= 0); });
  m_router.OnUpdateCommandUI(ID_RUN, [=](CCmdUI& ui) { ui.Enable(rowCount() > 0); });
  m_router.OnUpdateCommandUI(ID_FILTER_BAR, [this](CCmdUI& ui) {
    ui.SetCheck(m_app && m_app->GetView() && m_app->GetView()->GetInfo(4) ? 1 : 0);
  });

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
  setCentralWidget(m_viewWnd);
  m_host.SetListWidget(&m_viewWnd->List());
}

void CMainFrame::UpdateTitle() {
  CKopiwartDoc* doc = m_app ? m_app->GetDocument() : nullptr;
  const std::string name =
      doc && !doc->GetPathName().empty() ? FileNameOf(doc->GetPathName()) : gui_text::kUntitled;
  setWindowTitle(QString::fromStdString(name + " - " + kAppTitle));
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
  if (!SaveModified()) {
    event->ignore();
    return;
  }
  event->accept();
  QCoreApplication::exit(0);
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

int g_argc = 1;
char g_arg0[] = "kopiwart";
char* g_argv[] = {g_arg0, nullptr};

}  // namespace

std::unique_ptr<IAppFrame> MakeGuiFrame() {
  std::unique_ptr<QApplication> app;
  if (!QApplication::instance()) {
    if (!HaveDisplay()) return nullptr;
    app = std::make_unique<QApplication>(g_argc, g_argv);
    LoadQtGermanTranslation(*app);
    OfnInstallHook(0);
  }
  return std::make_unique<CGuiAppFrame>(std::move(app));
}
