// The start-up run: a job file run at once after its open, its last-run time saved, the program ended.
#include "app/app_texts.h"
#include "app/kopiwart_app.h"
#include "app/kopiwart_doc.h"
#include "app/kopiwart_view.h"
#include "jobs/run_rules.h"
#include "lib/system/vars.h"
#include "platform/last_error.h"

#include <chrono>
#include <thread>

namespace {

constexpr u32 kTrayIconId = 128;

// Milliseconds of the steady clock. up: rounded up, so that a span measured from this tick is
// never longer than the time that really passed.
u64 TickMs(bool up = false) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  return (static_cast<u64>(us) + (up ? 999 : 0)) / 1000;
}

// The job file's name without folder and extension: the tray icon's tip.
std::string TipOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

bool StartsWithNoCase(std::string_view text, std::string_view head) {
  if (text.size() < head.size()) return false;
  for (std::size_t i = 0; i < head.size(); ++i) {
    char x = text[i], y = head[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

int StartupExitStatus(int runResult, bool cancelled) {
  if (cancelled || runResult == -2) return KPW_EXIT_STOPPED;
  return runResult < 0 ? KPW_EXIT_FAILED : KPW_EXIT_OK;
}

std::string JobFilePatchLastRun(std::string_view bytes, u32 lastRun) {
  // The line as the writer writes it, without its line end.
  std::string line;
  if (lastRun != 0) {
    JobSchedule schedule;
    schedule.lastRun = lastRun;
    const std::string formatted = JobFileFormat({}, schedule);
    const std::size_t at = formatted.find("/LETZTE=");
    line = formatted.substr(at, formatted.find_first_of("\r\n", at) - at);
  }
  // The last line that the reader takes for the last-run time (it reads the last one).
  std::size_t found = std::string_view::npos, foundSwitch = 0, foundEnd = 0;
  std::string_view lineEnd = "\r\n";
  for (std::size_t pos = 0; pos < bytes.size();) {
    std::size_t end = bytes.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = bytes.size();
    const std::string_view text = bytes.substr(pos, end - pos);
    const std::size_t k = text.find_first_of(":[/");
    if (k != std::string_view::npos && text[k] == '/' && StartsWithNoCase(text.substr(k), "/LETZTE=")) {
      found = pos;
      foundSwitch = pos + k;
      foundEnd = end;
    }
    std::size_t next = end;
    if (next < bytes.size()) {
      const bool crlf = bytes[next] == '\r' && next + 1 < bytes.size() && bytes[next + 1] == '\n';
      lineEnd = crlf ? "\r\n" : bytes.substr(next, 1);
      next += crlf ? 2 : 1;
    }
    pos = next;
  }
  std::string out;
  if (found != std::string_view::npos) {
    // What stands before the switch (indentation) stays, unless the line goes.
    out.assign(bytes.substr(0, line.empty() ? found : foundSwitch));
    out += line;
    std::size_t rest = foundEnd;
    // Without a value the line goes with its line end.
    if (line.empty() && rest < bytes.size())
      rest += (bytes[rest] == '\r' && rest + 1 < bytes.size() && bytes[rest + 1] == '\n') ? 2 : 1;
    out.append(bytes.substr(rest));
    return out;
  }
  out.assign(bytes);
  if (line.empty()) return out;
  if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += lineEnd;
  out += line;
  out += lineEnd;
  return out;
}

BOOL CKopiwartDoc::SaveLastRun(const std::string& path) {
  if (!m_view) return OnSaveDocument(path);
  const u32 lastRun = static_cast<u32>(m_view->GetInfo(3));
  auto done = [this] {
    m_view->SetModified(0);
    m_modified = FALSE;
    return TRUE;
  };
  // The edits of whoever changed the file win over the time of this run.
  auto leaveAlone = [&] {
    m_host.MessageBox(JobFileChangedText(path), "", MB_OK | MB_ICONEXCLAMATION);
    return done();
  };
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string bytes;
    JobFileStamp now;
    if (!JobFileReadStable(path, bytes, &now)) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_SHARING_VIOLATION)
        return leaveAlone();
      m_host.ReportError(JobFileSaveErrorText(path, error), kErrorCaption);
      return FALSE;
    }
    // Another file, or other bytes: still fine when it holds the rows that ran.
    if (!m_fileKnown || (!(now == m_fileStamp) && JobFileRowsHash(JobFileParse(bytes).rows) != m_fileRows))
      return leaveAlone();
    const std::string patched = JobFilePatchLastRun(bytes, lastRun);
    const int replaced = JobFileReplaceIfUnchanged(path, patched, now);
    if (replaced > 0) {
      RememberWritten(path, patched, m_fileRows);
      return done();
    }
    if (replaced < 0) {
      m_host.ReportError(JobFileSaveErrorText(path, GetLastError()), kErrorCaption);
      return FALSE;
    }
    // Changed between the read and the rename: read what is there now.
  }
  return leaveAlone();
}

void CKopiwartDoc::BeginStartupRun(const std::string& path) {
  CKopiwartApp& app = *m_app;
  const u32 word = m_view ? static_cast<u32>(m_view->GetInfo(1)) : 0;
  m_startupFlags = StartupRunFlags(app.Always(), app.NoWindow(), word);
  m_hidden = app.NoWindow();
  if (m_hidden) {
    if (m_view) m_view->SetHiddenRun(1);
    app.Frame().ShowMainWindow(SW_HIDE);
    app.Frame().ViewHost().TaskbarDeleteTab();
    app.Frame().ViewHost().TrayIconAdd(kTrayIconId, TipOf(path));
    m_startupTick = TickMs(true);
  }
  m_startupPath = path;
  // A direct run works on a thread of its own; a run through the dialog from the main loop,
  // whose thread then runs the dialog.
  app.StartStartupRun([this] { StartupRunThread(this); }, m_hidden != FALSE);
}

int StartupRunThread(CKopiwartDoc* doc) {
  CKopiwartApp* app = doc->GetApp();
  CKopiwartView* view = doc->GetFirstView();
  int status = KPW_EXIT_STOPPED;
  if (view && app && !app->CancelRequested()) {
    const int result = view->RunAll(doc->GetStartupFlags());
    status = StartupExitStatus(result, view->WasLastRunCancelled());
    if (doc->IsModified() && !doc->SaveLastRun(doc->GetStartupPath())) status = KPW_EXIT_STOPPED;
  }
  if (doc->IsHiddenRun() && app) {
    const u64 minimum = app->Frame().HiddenRunMinimumMs();
    const u64 passed = TickMs() - doc->GetStartupTick();
    if (passed < minimum) std::this_thread::sleep_for(std::chrono::milliseconds(minimum - passed));
    app->Frame().ViewHost().TrayIconDelete();
  }
  if (app) app->Frame().PostQuit(status);
  return 0;
}
