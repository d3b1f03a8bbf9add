// The application object: start-up in its order, closing, "Konfigurieren".
#include "app/kopiwart_app.h"

#include "app/app_texts.h"
#include "app/kopiwart_doc.h"
#include "app/kopiwart_view.h"
#include "lib/system/registry.h"
#include "lib/system/shell.h"
#include "lib/system/sys_file.h"
#include "lib/system/vars.h"
#include "lib/text/fmt.h"

CKopiwartApp::CKopiwartApp(IAppFrame& frame) : m_frame(frame) {}

CKopiwartApp::~CKopiwartApp() {
  OnClose();
  if (m_doc) m_doc->SetApp(nullptr);
  if (m_view) m_view->SetRunLock(nullptr);
}

BOOL CKopiwartApp::InitInstance(int argc, const char* const* argv) {
  VarInit(VAR_INIT_STARTUP);

  const CommandLineInfo cmd = ParseCommandLine(argc, argv);
  for (const std::string& arg : cmd.unused) FmtFprintfA(stderr, kUnusedArgumentFormat, arg.c_str());
  m_startAtOnce = cmd.startAtOnce;
  m_always = cmd.always;
  m_noWindow = cmd.noWindow || m_forceNoWindow;
  if (m_noWindow) m_showCommand = SW_MINIMIZE;
  if (cmd.file.empty()) ClearStartSwitches();

  CRegistry::SetCompanyName("Tavrin");
  CRegistry::SetApplicationName("Kopiwart");
  m_recent.Load();

  m_view = std::make_unique<CKopiwartView>(m_frame.Host(), m_frame.ViewHost());
  m_doc = std::make_unique<CKopiwartDoc>(m_frame.Host());
  m_doc->SetView(m_view.get());
  m_doc->SetApp(this);
  m_view->SetRunLock(&m_runLock);
  if (m_env) m_view->SetEnvironment(*m_env);

  // The start-up run may begin inside the open, so the window's state is set first.
  const bool hiddenStart = m_noWindow && m_startAtOnce;
  if (cmd.file.empty()) {
    if (!m_doc->OnNewDocument()) return FALSE;
  } else if (!OpenDocumentFile(CommandLineFilePath(cmd.file))) {
    return FALSE;
  }
  m_frame.ShowMainWindow(hiddenStart ? SW_HIDE : m_showCommand == SW_MINIMIZE ? SW_MINIMIZE : SW_SHOW);
  if (hiddenStart) m_frame.PostHiddenStart();
  return TRUE;
}

BOOL CKopiwartApp::OpenDocumentFile(const std::string& path) {
  if (!m_doc) return FALSE;
  if (!m_doc->OnOpenDocument(path)) return FALSE;
  m_recent.Add(path);
  return TRUE;
}

int CKopiwartApp::ExitInstance() {
  WaitForStartupRun();
  m_recent.Save();
  VarClear();
  return 0;
}

int CKopiwartApp::Run(int argc, const char* const* argv) {
  if (!InitInstance(argc, argv)) {
    OnClose();
    ExitInstance();
    return KPW_EXIT_STOPPED;
  }
  const int status = m_frame.Run();
  OnClose();
  ExitInstance();
  return status;
}

void CKopiwartApp::StartStartupRun(std::function<void()> body, bool ownThread) {
  m_startupActive = true;
  auto run = [this, body = std::move(body)] {
    body();
    m_startupActive = false;
  };
  if (!ownThread) {
    m_frame.PostToMainThread(std::move(run));
    return;
  }
  std::lock_guard lock(m_threadMutex);
  if (m_startupThread.joinable()) m_startupThread.join();
  m_startupThread = std::thread(std::move(run));
}

void CKopiwartApp::WaitForStartupRun() {
  std::thread thread;
  {
    std::lock_guard lock(m_threadMutex);
    thread = std::move(m_startupThread);
  }
  if (thread.joinable()) thread.join();
}

void CKopiwartApp::OnClose() {
  m_runLock.CancelActive();
  WaitForStartupRun();
}

void CKopiwartApp::RequestCancel(bool tell) {
  if (!m_cancelRequested.exchange(true) && tell) FmtFprintfA(stderr, "%s", kCancelRequestedText);
  m_runLock.CancelActive();
}

BOOL CKopiwartApp::OnConfigure(const char* exePath) {
  std::string exe = exePath ? exePath : "";
  if (exe.empty()) SysStrExePath(exe);
  // All four are tried; the message tells whether all of them succeeded.
  const BOOL ssy = SysRegisterFileType(".ssy", exe.c_str(), 4, kSsyTypeName, nullptr);
  const BOOL kpw = SysRegisterFileType(".kpw", exe.c_str(), 0, kKpwTypeName, nullptr);
  const BOOL open = SysRegisterFileVerb(".kpw", exe.c_str(), "open", kConfigureOpenArguments);
  const BOOL edit = SysRegisterFileVerb(".kpw", exe.c_str(), kEditVerb, nullptr);
  SysShellRefresh(".kpw");
  if (ssy && kpw && open && edit) {
    m_frame.Host().MessageBox(kConfigureDoneText, kConfigureDoneCaption, MB_OK | MB_ICONINFORMATION);
    return TRUE;
  }
  m_frame.Host().MessageBox(kConfigureFailText, kConfigureFailCaption, MB_OK | MB_ICONHAND);
  return FALSE;
}
