// The window's side of the engine's callback interfaces.
#include "app/gui/gui_host.h"

#include "app/gui/progress_wnd.h"
#include "controls/gui/shell_icons.h"
#include "controls/gui/treelist_icons.h"
#include "platform/gui/main_thread.h"
#include "platform/gui/message_box.h"
#include "platform/gui/wnd_timers.h"

#include <QWidget>

std::string FileIconKey(const std::string& path, FileIconKind kind) {
  return ShellFileIconKey(path, kind == FileIconKind::ByName).value_or("missing");
}

CGuiHost::CGuiHost(CTreeListIcons& icons)
    : m_icons(icons),
      m_dialogs([this]() -> QWidget* { return m_window && m_window->isVisible() ? m_window.data() : nullptr; }),
      m_timers(std::make_unique<CWndTimers>()) {
  m_timers->OnTimer([this](UINT_PTR id) {
    const auto it = m_timerFns.find(static_cast<u32>(id));
    if (it == m_timerFns.end()) return;
    const std::function<void()> fn = it->second;  // the callback may kill its own timer
    fn();
  });
}

CGuiHost::~CGuiHost() = default;

CGuiSeamLog CGuiHost::SeamLog() const {
  std::lock_guard lock(m_logMutex);
  return m_log;
}

int CGuiHost::MessageBox(const std::string& text, const std::string& caption, u32 type) {
  int answer = IDCANCEL;
  CallOnMainThread([&] {
    QWidget* owner = m_window && m_window->isVisible() ? m_window.data() : nullptr;
    answer = KpwMessageBox(owner, text, caption.empty() ? kAppTitle : caption, type);
  });
  return answer;
}

void CGuiHost::ReportError(const std::string& text, const std::string& caption) {
  MessageBox(text, caption, MB_OK | MB_ICONHAND);
}

int CGuiHost::RunProgressDialog(CProgressDlg& dialog) {
  int result = IDCANCEL;
  CallOnMainThread([&] {
    result = ::RunProgressDialog(
        dialog, m_window.data(),
        [](QWidget* owner, const std::string& text, const std::string& caption, u32 type) {
          return KpwMessageBox(owner, text, caption.empty() ? kAppTitle : caption, type);
        });
  });
  return result;
}

void CGuiHost::TaskbarAddTab() {
  std::lock_guard lock(m_logMutex);
  ++m_log.taskbarAdds;
}

void CGuiHost::TaskbarDeleteTab() {
  std::lock_guard lock(m_logMutex);
  ++m_log.taskbarDeletes;
}

void CGuiHost::TrayIconAdd(u32 iconId, const std::string& tip) {
  std::lock_guard lock(m_logMutex);
  ++m_log.trayAdds;
  m_log.trayIconId = iconId;
  m_log.trayTip = tip;
}

void CGuiHost::TrayIconDelete() {
  std::lock_guard lock(m_logMutex);
  ++m_log.trayDeletes;
}

int CGuiHost::FileIcon(const std::string& path, FileIconKind kind) {
  return m_icons.IndexOf(FileIconKey(path, kind));
}

bool CGuiHost::EditSchedule(u32& word, i32& interval, u32 lastRun) {
  if (!m_scheduleEditor) return m_dialogs.EditSchedule(word, interval, lastRun);
  bool done = false;
  CallOnMainThread([&] { done = m_scheduleEditor(word, interval, lastRun); });
  return done;
}

void CGuiHost::SetTimer(u32 id, u32 ms, std::function<void()> fn) {
  CallOnMainThread([&] {
    m_timerFns[id] = std::move(fn);
    m_timers->SetTimer(id, ms);
  });
}

void CGuiHost::KillTimer(u32 id) {
  CallOnMainThread([&] {
    m_timers->KillTimer(id);
    m_timerFns.erase(id);
  });
}

bool CGuiHost::ListHasFocus() {
  bool focus = false;
  CallOnMainThread([&] { focus = m_list && m_list->hasFocus(); });
  return focus;
}

void CGuiHost::SetFilePaneCalls(std::function<void()> focus, std::function<void(u32)> command) {
  m_paneFocus = std::move(focus);
  m_paneCommand = std::move(command);
}

void CGuiHost::FocusFilePane() {
  {
    std::lock_guard lock(m_logMutex);
    ++m_log.filePaneFocus;
  }
  CallOnMainThread([&] {
    if (m_paneFocus) m_paneFocus();
  });
}

void CGuiHost::FilePaneCommand(u32 commandId) {
  {
    std::lock_guard lock(m_logMutex);
    m_log.filePaneCommands.push_back(commandId);
  }
  CallOnMainThread([&] {
    if (m_paneCommand) m_paneCommand(commandId);
  });
}
