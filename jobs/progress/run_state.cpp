// The view's run state with the archive callback and the progress timer of a run.
#include "jobs/progress/run_state.h"

#include "jobs/job_model.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/run_host.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "lib/text/strutf8.h"
#include "remote/url_connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

// ---- ProgressRecord ------------------------------------------------------------------------------

void ProgressRecord::SetFileName(std::string name) {
  std::lock_guard lock(m_nameMutex);
  m_fileName = std::move(name);
}

std::string ProgressRecord::FileName() const {
  std::lock_guard lock(m_nameMutex);
  return m_fileName;
}

void ProgressRecord::Reset() {
  kind.store(PROGRESS_KIND_NONE);
  bytesBefore.store(0);
  bytes.store(0);
  fileSize.store(0);
  startTick.store(0);
  SetFileName({});
}

// ---- CRunState -----------------------------------------------------------------------------------

namespace {
constexpr char kPasswordCaption[] = "Kennwort";
}  // namespace

CRunState::CRunState() = default;
CRunState::~CRunState() = default;

void CRunState::StartRun() {
  m_cancel.store(0);
  m_filesCopied.store(0);
}

void CRunState::SetMessageBox(BoxFn box) {
  std::lock_guard lock(m_hookMutex);
  m_box = std::move(box);
}

void CRunState::SetClock(ClockFn clock) {
  std::lock_guard lock(m_hookMutex);
  m_clock = std::move(clock);
}

u64 CRunState::Now() const {
  ClockFn clock;
  {
    std::lock_guard lock(m_hookMutex);
    clock = m_clock;
  }
  if (clock) return clock();
  return static_cast<u64>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count());
}

bool CRunState::DialogCancelled() const {
  const CProgressDlg* dialog = ActiveDialog();
  return dialog && dialog->IsCancelled();
}

int CRunState::WorkerQuestion(u32 runFlags, const std::string& question, u32 type) {
  // Whatever a worker puts in its text, a URL's password never reaches the user or a log.
  const std::string text = EncUrlHidePassword(question);
  int answer;
  if (!(runFlags & RUN_DIALOG)) {
    FmtFprintfA(stderr, "Kopiwart: %s\n", text.c_str());
    return UnattendedAnswer(type);
  }
  if (CProgressDlg* dialog = ActiveDialog()) {
    answer = dialog->Ask(text, nullptr, type);
  } else {
    BoxFn box;
    {
      std::lock_guard lock(m_hookMutex);
      box = m_box;
    }
    if (box) {
      answer = box(text, nullptr, type);
    } else {
      FmtFprintfA(stderr, "Kopiwart: %s\n", text.c_str());
      answer = UnattendedAnswer(type);
    }
  }
  if (answer == IDCANCEL) SetCancel();
  return answer;
}

int CRunState::AskPassword(u32 runFlags, const std::string& text, std::string& password) {
  CProgressDlg* dialog = (runFlags & RUN_DIALOG) ? ActiveDialog() : nullptr;
  if (!dialog) return IDIGNORE;
  const int answer = dialog->AskPassword(EncUrlHidePassword(text), kPasswordCaption, password);
  if (answer == IDCANCEL) SetCancel();
  return answer;
}

void CRunState::Note(std::string text) {
  std::string shown = EncUrlHidePassword(text);
  std::lock_guard lock(m_hookMutex);
  m_notes.push_back(std::move(shown));
}

std::vector<std::string> CRunState::TakeNotes() {
  std::lock_guard lock(m_hookMutex);
  return std::exchange(m_notes, {});
}

// ---- archive callback ----------------------------------------------------------------------------

int CRunState::CopyCallbackFn(void* context, int event, int index, CArcFile* archive, const char* text) {
  return context ? static_cast<CRunState*>(context)->CopyCallback(event, index, archive, text) : 0;
}

int CRunState::CopyCallback(int event, int index, CArcFile* archive, const char* text) {
  auto* zip = dynamic_cast<CZipFile*>(archive);
  switch (event) {
    case ARC_EVENT_ENTRY: {
      if (IsCancelled()) return 1;
      std::string name;
      if (!zip || !zip->GetEntryName(index, name)) return 0;
      if (name.size() > static_cast<std::size_t>(kArchiveEntryNameMax)) {
        name.resize(static_cast<std::size_t>(
            kpw::text::Utf8SafeCut(name.data(), kArchiveEntryNameMax, name.data() + name.size())));
      }
      std::replace(name.begin(), name.end(), '\\', '/');
      if (!zip->IsEntryFolder(index)) {
        const auto slash = name.rfind('/');
        name.resize(slash == std::string::npos ? 0 : slash);
      }
      if (ExcludeListCacheMatch(m_exclude, name.c_str()) ||
          ExcludeListMatch(m_exclude, name.c_str(), static_cast<int>(name.size())))
        return 1;
      return 0;
    }
    case ARC_EVENT_ERROR: {
      if (archive && archive->GetLastError() == ARC_ERR_USER_ABORT) return 1;
      const std::string message = text ? text : "";
      // Shown once: through the dialog when there is one; an unattended run never blocks.
      if (CProgressDlg* dialog = ActiveDialog()) return dialog->Ask(message, nullptr, MB_OKCANCEL | MB_ICONHAND);
      FmtFprintfA(stderr, "Kopiwart: %s\n", message.c_str());
      return IDOK;
    }
    case ARC_EVENT_FILE_DONE:
    case ARC_EVENT_FILE_ADDED:
      if (DialogCancelled()) SetCancel();
      m_filesCopied.fetch_add(1);
      return IsCancelled() ? 1 : 0;
    default: {
      if (DialogCancelled()) SetCancel();
      CProgressDlg* dialog = ActiveDialog();
      if (dialog && text) {
        const u64 now = Now();
        const u64 last = m_lastArchiveLine.load();
        if (!m_archiveLineShown.load() || now - last >= kArchiveLineThrottleMs) {
          m_archiveLineShown.store(true);
          m_lastArchiveLine.store(now);
          const CZipFile::NameOffsets offsets = zip ? zip->GetNameOffsets() : CZipFile::NameOffsets{};
          // The text's first character is a marker of the archive, not part of the name.
          dialog->SetLine(nullptr, *text ? text + 1 : text, 1, offsets.head, offsets.middle, offsets.keepTail);
          if (zip) {
            i64 position = 0, total = 0;
            zip->GetProgress(&position, &total);
            dialog->SetTotal(total);
            dialog->SetPos(position);
          }
        }
      }
      return IsCancelled() ? 1 : 0;
    }
  }
}

// ---- progress timer ------------------------------------------------------------------------------

namespace {

// Options 63 and 64 as 64-bit counts where the connection gives them so, else 32-bit words.
bool ReadBytesDone(CUrlConnection& connection, u64* done) {
  unsigned char buffer[8] = {};
  int size = sizeof buffer;
  if (!connection.GetOption(URL_OPT_BYTES_DONE, buffer, &size)) return false;
  if (size >= 8) {
    std::memcpy(done, buffer, 8);
  } else {
    u32 low = 0;
    std::memcpy(&low, buffer, 4);
    *done = low;
  }
  return true;
}

bool ReadProgress(CUrlConnection& connection, u64* done, u64* total) {
  unsigned char buffer[16] = {};
  int size = sizeof buffer;
  if (!connection.GetOption(URL_OPT_PROGRESS, buffer, &size)) return false;
  if (size >= 16) {
    std::memcpy(done, buffer, 8);
    std::memcpy(total, buffer + 8, 8);
  } else {
    u32 words[2] = {};
    std::memcpy(words, buffer, 8);
    *done = words[0];
    *total = words[1];
  }
  return true;
}

i64 ToPos(u64 v) { return v > static_cast<u64>(INT64_MAX) ? INT64_MAX : static_cast<i64>(v); }

}  // namespace

void CRunState::ProgressTimer(CProgressDlg& dialog) {
  const u64 before = m_progress.bytesBefore.load();
  const u64 size = m_progress.fileSize.load();
  switch (m_progress.kind.load()) {
    case PROGRESS_KIND_BYTES:
      dialog.SetPos(ToPos(before));
      break;
    case PROGRESS_KIND_TRANSFER: {
      u64 done = 0;
      m_carry.ReadConnection([&](CUrlConnection& connection) { ReadBytesDone(connection, &done); });
      dialog.SetPos(ToPos(before + std::min(done, size)));
      break;
    }
    case PROGRESS_KIND_COPY:
      dialog.SetPos(ToPos(before + std::min<u64>(m_progress.bytes.load(), size)));
      break;
    case PROGRESS_KIND_ARCHIVE: {
      i64 position = 0, total = 0;
      m_carry.ReadArchiveProgress(&position, &total);
      dialog.SetTotal(total);
      dialog.SetPos(position);
      break;
    }
    case PROGRESS_KIND_CONNECTION: {
      u64 done = 0, total = 0;
      bool read = false;
      m_carry.ReadConnection([&](CUrlConnection& connection) { read = ReadProgress(connection, &done, &total); });
      if (!read) break;
      const u64 now = Now();
      const u64 start = m_progress.startTick.load();
      dialog.SetPos(static_cast<i64>(((now >= start ? now - start : 0) / 512) % 32));
      if (total > 65536 && done > 16384) {
        // 64-bit counts: scaling only guards done * 100 for totals beyond any real transfer.
        while (done > UINT64_MAX / 100) {
          done /= 128;
          total /= 128;
        }
        const u64 percent = total ? done * 100 / total : 0;
        const std::string prefix = FmtString("Kopiere: (%i%%) ", static_cast<int>(std::min<u64>(percent, 999)));
        const std::string name = m_progress.FileName();
        dialog.SetLine(prefix.c_str(), name.c_str(), 2);
      }
      break;
    }
    default:
      break;
  }
}

void CRunState::InstallProgressTimer(CProgressDlg* dialog) {
  if (!dialog) return;
  dialog->SetTimerCallback([this](CProgressDlg& d) { ProgressTimer(d); }, kProgressTimerMs);
}
