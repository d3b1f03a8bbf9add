// The job-list view: accessors, add/check, delete and undo, moves, cell edits, the filter bar.
#include "app/kopiwart_view.h"

#include "lib/system/sys_file.h"
#include "lib/system/sys_path.h"
#include "lib/system/vars.h"
#include "lib/text/enc.h"
#include "lib/text/str.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

const char kCppMinusFilter[] =
    "*.exe;*.obj;*.aps;*.idb;*.aps;*.ncb;*.opt;*.plg;*.pdb;*.aps;*.pch;*.res;*.ilk;*.sbr;*.map;*.lib;"
    "*.mp3;*.wav;*.bsc;*.gid;*.lib;*.dll;*.fts;*.ftg;*.sav;*.00*;*.tmp;*.enc;*.tlb;*.tli;*.tlh;*.dat;"
    "*.mdb;*.gid;*.exp;*.ftg;*.aps;*.cfd;*.exd;*.am;*.asp;*.rtb;*.sup;*.loc;*.log;*.cnv;*.jar;*.icu;"
    "*.stub;*.policy;*.suo;*.old;*.mak;*.bak;BuildLog.htm;ReadMe.txt;*.;*.pbd;*.tlog;*.lst;*.o;*.d;"
    "*.i;*.crf;*.browse;*.cout;*.ccp;*.psp;*.zip.bin;*buildstate;*.hdr.scr;RCA0*;Monitor*.bin;*.ipch;"
    "*.pch*";

namespace {

std::atomic<int> g_workerBoxUp{0};

// The schemes whose paths the "Ftp" modes reach.
bool IsRemoteUrl(std::string_view s) {
  const std::string_view scheme = EncUrlScheme(s);
  for (const char* name : {"smb", "ssh", "ftp", "disk", "sftp"}) {
    if (StrEqualsNoCase(scheme, name)) return true;
  }
  return false;
}

int CopyOut(char* buffer, int size, std::string_view text) {
  if (!buffer || size < 1) return -1;
  const std::size_t n = EncUtf8FitBytes(text, static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

std::string CutTrailingSlash(std::string s) {
  if (s.size() > 1 && (s.back() == '/' || s.back() == '\\')) s.pop_back();
  return s;
}

}  // namespace

int IsWorkerMessageBoxUp() { return g_workerBoxUp.load(); }

std::string ViewFullPath(std::string_view path) {
  std::string all;
  if (path.empty() || (path[0] != '/' && path[0] != '\\')) {
    char cwd[PATH_MAX];
    all = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    all += '/';
  }
  all += path;
  return SysPathDots(all, SYS_DOTS_FROM_ROOT | SYS_DOTS_BACKSLASH);
}

CKopiwartView::CKopiwartView(IRunHost& host, IViewHost& viewHost) : m_host(host), m_viewHost(viewHost) {
  static const int widths[JOB_COLUMNS] = {-35, -25, -12, -12, 45, 70, -15};
  for (int c = 0; c < JOB_COLUMNS; ++c) {
    // Every cell asks the view which editor it gets (text, choice list or none); typing on a cell
    // starts its editor with what was typed.
    m_list.InsertColumn(c, kJobColumnTitles[c], c == JOB_COL_SUBDIRS ? LVCFMT_CENTER : LVCFMT_LEFT, widths[c],
                        TLCF_EDITABLE | TLCF_EDITKEYS | TLCF_ASKOWNER);
  }
  m_list.SetSetting(TLSETTING_OPTIONS, 23);
  // The cell editor takes no more than a cell holds (and never cuts what is already longer).
  m_list.SetSetting(TLSETTING_EDITLIMIT, kJobCellMaxChars);
  m_list.SetOwner(this);
  m_run.SetMessageBox([this](const std::string& text, const char* caption, u32 type) {
    return WorkerMessageBox(text, caption, type);
  });
}

CKopiwartView::~CKopiwartView() {
  ReleaseShared(0, false);
  m_run.SetMessageBox(nullptr);
  m_list.SetOwner(nullptr);
  if (BarShown()) m_viewHost.KillTimer(kFilterTimerId);
}

// ---- job rows -----------------------------------------------------------------------------------

std::vector<HTREEITEM> CKopiwartView::JobItems() const {
  std::vector<HTREEITEM> items = m_list.GetAllItems();
  if (BarShown()) std::erase(items, GetFilterBarItem());
  return items;
}

HTREEITEM CKopiwartView::GetJobItem(int jobIndex) const {
  if (jobIndex < 0) return TLI_NULL;
  // By place where the bar is known to stand first: the runner asks for rows one by one.
  if (!BarShown()) return m_list.GetItemAt(jobIndex);
  if (m_list.GetItemAt(0) == GetFilterBarItem()) return m_list.GetItemAt(jobIndex + 1);
  const std::vector<HTREEITEM> items = JobItems();
  return jobIndex < static_cast<int>(items.size()) ? items[static_cast<std::size_t>(jobIndex)] : TLI_NULL;
}

int CKopiwartView::JobIndexOf(HTREEITEM item) const {
  const std::vector<HTREEITEM> items = JobItems();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i] == item) return static_cast<int>(i);
  }
  return -1;
}

std::vector<JobEntry> CKopiwartView::GetAllEntries() const {
  std::vector<JobEntry> out;
  for (HTREEITEM item : JobItems()) {
    std::vector<std::string> texts = m_list.GetItemTexts(item);
    if (texts.empty()) continue;  // deleted meanwhile
    JobEntry e;
    for (int c = 0; c < JOB_COLUMNS && c < static_cast<int>(texts.size()); ++c) e.Cell(c) = std::move(texts[c]);
    out.push_back(std::move(e));
  }
  return out;
}

// ---- AddEntry, InsertEntry, CheckEntry --------------------------------------------------------

int CKopiwartView::AddEntry(int position, std::string_view source, std::string_view target,
                            std::string_view plus, std::string_view minus, int subdirs, int mode,
                            std::string_view extra) {
  std::string src = JobCellSanitize(source);
  const std::string tgt = JobCellSanitize(target);
  std::string plusText = JobCellSanitize(plus);
  std::string minusText = JobCellSanitize(minus);
  if (mode < 0 || mode >= JOB_MODE_COUNT) mode = JOB_MODE_COPY;

  // The mode changes only where it cannot handle the path.
  if (!tgt.empty()) {
    if (tgt.starts_with("HKEY_") && !JobModeHas(mode, MODE_REGISTRY)) mode = JOB_MODE_REG;
    if (IsRemoteUrl(tgt) && !JobModeHas(mode, MODE_REMOTE_TARGET)) mode = JOB_MODE_FTP;
  }
  const bool registrySource = src.starts_with("HKEY_");
  const bool remoteSource = IsRemoteUrl(src);
  if (registrySource || remoteSource) {
    if (registrySource && !JobModeHas(mode, MODE_REGISTRY)) mode = JOB_MODE_REG;
    if (remoteSource && !JobModeHas(mode, MODE_REMOTE_SOURCE)) mode = JOB_MODE_FTP;
  } else if (src != "DATE" && src.find("$(") == std::string::npos && EncUrlForm(src) == URL_FORM_PATH) {
    src = JobCellSanitize(ViewFullPath(src));
  }
  // A registry export has no file filters; a .reg file source keeps them.
  if (JobModeHas(mode, MODE_REGISTRY) && registrySource) {
    plusText.clear();
    minusText.clear();
    subdirs = 1;
  }
  if (src.size() >= 4 && src.back() == '\\') src.pop_back();

  const int rows = m_list.GetRowCount();
  if (position < 0 || position >= rows) {
    position = -1;  // at the end
  } else if (position < FirstJobRow()) {
    position = FirstJobRow();
  }
  const int row = m_list.InsertRow(position, src, -1, -1);
  const HTREEITEM item = m_list.GetItemOfRow(row);
  if (item == TLI_NULL) return -1;
  if (!tgt.empty()) m_list.SetItemText(item, tgt, JOB_COL_TARGET);
  if (!plusText.empty()) m_list.SetItemText(item, plusText, JOB_COL_PLUS);
  if (!minusText.empty()) m_list.SetItemText(item, minusText, JOB_COL_MINUS);
  m_list.SetItemText(item, JobSubdirsCell(subdirs != 0), JOB_COL_SUBDIRS);
  m_list.SetItemText(item, JobModeName(mode), JOB_COL_MODE);
  const std::string extraText = JobCellSanitize(extra);
  if (!extraText.empty()) m_list.SetItemText(item, extraText, JOB_COL_EXTRA);
  CheckItem(item, 0);
  return m_list.GetRowOfItem(item);
}

int CKopiwartView::InsertEntry(int position, int templateRow, std::string_view source) {
  const int first = FirstJobRow();
  const int last = m_list.GetRowCount() - 1;  // the last visible job row
  // A job row shown is the template (the bar's row stands for the first job row); without one, or
  // past the rows shown, the last job row of the list, shown or not (the filter bar may hide
  // every row).
  HTREEITEM item = TLI_NULL;
  if (templateRow >= 0 && templateRow <= last && last >= first) {
    item = m_list.GetItemOfRow(std::max(templateRow, first));
  } else {
    const std::vector<HTREEITEM> items = m_list.GetAllItems();
    for (auto it = items.rbegin(); it != items.rend() && item == TLI_NULL; ++it)
      if (!IsBar(*it)) item = *it;
  }
  std::array<std::string, JOB_COLUMNS> cells;
  bool subdirs = true;
  int mode = JOB_MODE_COPY;
  if (item != TLI_NULL) {
    for (int c = JOB_COL_TARGET; c < JOB_COLUMNS; ++c) cells[static_cast<std::size_t>(c)] = m_list.GetItemText(item, c);
    mode = JobModeFromName(cells[JOB_COL_MODE].substr(0, kJobShortCellBufSize - 1));
    subdirs = JobSubdirsFromCell(cells[JOB_COL_SUBDIRS].substr(0, kJobShortCellBufSize - 1));
  }
  return AddEntry(position, source, cells[JOB_COL_TARGET], cells[JOB_COL_PLUS], cells[JOB_COL_MINUS],
                  subdirs ? 1 : 0, mode, cells[JOB_COL_EXTRA]);
}

int CKopiwartView::CheckEntry(int row, int message) {
  const u32 word = static_cast<u32>(row);
  HTREEITEM item;
  if ((word & 0xFF000000u) == kCheckEntryItemTag) {
    item = U32ToItem(word & 0x00FFFFFFu);
  } else {
    if (row < FirstJobRow() || row >= m_list.GetRowCount()) return -1;
    item = m_list.GetItemOfRow(row);
  }
  if (item == TLI_NULL || !m_list.IsItem(item) || IsBar(item)) return -1;
  return CheckItem(item, message);
}

void CKopiwartView::CheckAllRows() {
  for (HTREEITEM item : m_list.GetAllItems())
    if (!IsBar(item)) CheckItem(item, 0);
}

int CKopiwartView::CheckItem(HTREEITEM item, int message) {
  // Returns the icon and whether the path counts as present (true also for non-local paths).
  auto judge = [&](const std::string& raw, bool isSource, bool& local, int& icon) {
    local = false;
    const std::string text = CutTrailingSlash(VarExpandString(raw));
    if (isSource && text == "DATE") {
      icon = m_viewHost.FileIcon("date.kpw", FileIconKind::ByName);
      return true;
    }
    const UrlForm form = EncUrlForm(text);
    if (form == URL_FORM_URL && StrEqualsNoCase(EncUrlScheme(text), "disk")) {
      icon = m_viewHost.FileIcon("xxx.bin", FileIconKind::ByName);
      return true;
    }
    if (text.starts_with("HKEY_")) {
      icon = m_viewHost.FileIcon("xxx.reg", FileIconKind::ByName);
      return true;
    }
    if (form == URL_FORM_URL) {
      icon = m_viewHost.FileIcon("xxx.htm", FileIconKind::ByName);
      return true;
    }
    local = true;
    if (text.empty()) {
      icon = kNoIcon;
      return false;
    }
    if (form != URL_FORM_PATH) {  // a drive or share that does not exist here
      icon = m_viewHost.FileIcon(text, FileIconKind::ByName);
      return false;
    }
    const std::string full = ViewFullPath(text);
    const bool exists = SysFileExist(full.c_str()) > 0;
    icon = m_viewHost.FileIcon(full, exists ? FileIconKind::Existing : FileIconKind::ByName);
    return exists;
  };

  const std::vector<std::string> texts = m_list.GetItemTexts(item);
  if (texts.size() < 2) return -1;
  bool targetLocal = false, sourceLocal = false;
  int targetIcon = kNoIcon, sourceIcon = kNoIcon;
  const bool targetOk = judge(texts[JOB_COL_TARGET], false, targetLocal, targetIcon);
  const bool sourceOk = judge(texts[JOB_COL_SOURCE], true, sourceLocal, sourceIcon);
  m_list.SetItemImage(item, sourceIcon, sourceIcon);
  m_list.SetCellImage(item, JOB_COL_TARGET, targetIcon);

  const bool present = texts[JOB_COL_SOURCE] == "DATE" ? targetOk : sourceOk;
  if (present) return 0;
  if (message) WorkerMessageBox(kMissingPathText, nullptr, MB_ICONEXCLAMATION);
  return -1;
}

// ---- cells ----------------------------------------------------------------------------------------

int CKopiwartView::SetCell(std::string_view text, int row, int column) {
  if (row < 0 || row >= m_list.GetRowCount() || column < 0 || column >= JOB_COLUMNS) return -1;
  return m_list.SetCellText(row, JobCellSanitize(text), column) ? 0 : -1;
}

std::optional<std::string> CKopiwartView::GetCell(int row, int column) const {
  if (column < 0 || column >= JOB_COLUMNS) return std::nullopt;
  return m_list.GetCellText(row, column);
}

int CKopiwartView::GetCell(char* buffer, int size, int row, int column) const {
  if (size < 1) return -1;
  const auto text = GetCell(row, column);
  return text ? CopyOut(buffer, size, *text) : -1;
}

int CKopiwartView::GetCellOfItem(char* buffer, int size, HTREEITEM item, int column) const {
  if (item == TLI_NULL || column < 0 || column >= JOB_COLUMNS || size < 1) return -1;
  const std::vector<std::string> texts = m_list.GetItemTexts(item);
  if (static_cast<int>(texts.size()) <= column) return -1;
  return CopyOut(buffer, size, texts[static_cast<std::size_t>(column)]);
}

std::optional<std::string> CKopiwartView::GetEntryText(int jobIndex, int column) const {
  if (column < 0 || column >= JOB_COLUMNS) return std::nullopt;
  const HTREEITEM item = GetJobItem(jobIndex);
  if (item == TLI_NULL) return std::nullopt;
  std::vector<std::string> texts = m_list.GetItemTexts(item);
  if (static_cast<int>(texts.size()) <= column) return std::nullopt;
  return std::move(texts[static_cast<std::size_t>(column)]);
}

int CKopiwartView::GetEntryText(char* buffer, int size, int jobIndex, int column) const {
  if (size < 1) return -1;
  const auto text = GetEntryText(jobIndex, column);
  return text ? CopyOut(buffer, size, *text) : -1;
}

// ---- list state -----------------------------------------------------------------------------------

int CKopiwartView::SetModified(int flag) {
  const u32 old = flag ? m_listFlags.fetch_or(1u) : m_listFlags.fetch_and(~1u);
  return static_cast<int>(old & 1u);
}

int CKopiwartView::IsListModified() const { return static_cast<int>(m_listFlags.load() & 1u); }

i64 CKopiwartView::GetInfo(int selector) const {
  switch (selector) {
    case 0: return m_list.GetCount() - (BarShown() ? 1 : 0);
    case 1: return m_word.load();
    case 2: return m_interval.load();
    case 3: return m_lastRun.load();
    case 4: return BarShown() ? 1 : 0;
    default: return 0;
  }
}

JobSchedule CKopiwartView::GetSchedule() const { return JobSchedule{m_word.load(), m_interval.load(), m_lastRun.load()}; }

void CKopiwartView::SetSchedule(u32 word, i32 interval) {
  const u32 oldWord = m_word.exchange(word);
  const i32 oldInterval = m_interval.exchange(interval);
  if (oldWord != word || oldInterval != interval) SetModified(1);
}

void CKopiwartView::SetLastRun(u32 time) { m_lastRun = time; }

void CKopiwartView::DeleteJobRows() {
  // From the end: the store removes its last item without renumbering the others.
  const std::vector<HTREEITEM> items = JobItems();
  for (auto it = items.rbegin(); it != items.rend(); ++it) m_list.DeleteItem(*it);
}

void CKopiwartView::ClearList() {
  // The filter bar stays: deleting it under a set shown flag would leave the rows misnumbered.
  DeleteJobRows();
  m_listFlags = 0;
  m_run.FilesCopied() = 0;
  m_word = 0;
  m_interval = 1;
  m_lastRun = 0;
  m_undoAvailable = 0;
}

void CKopiwartView::LoadList(const JobFileContent& content) {
  DeleteJobRows();
  m_undoAvailable = 0;
  m_word = content.schedule.word;
  m_interval = content.schedule.interval;
  m_lastRun = content.schedule.lastRun;
  for (const JobFileRow& r : content.rows) {
    AddEntry(-1, r.source, r.target, r.plus, r.minus, r.subdirs ? 1 : 0, r.mode, r.extra);
  }
  if (BarShown()) ApplyFilter(false);
  SetModified(0);
}

// ---- delete and undo --------------------------------------------------------------------------

void CKopiwartView::DeleteSelectedRows(int record) {
  if (!record) m_undoAvailable = 0;
  bool first = true;
  int lastRow = -1;
  for (;;) {
    const HTREEITEM item = m_list.GetNextSelectedItem(TVI_ROOT);
    if (item == TLI_NULL) break;
    if (IsBar(item)) {
      m_list.SetItemState(item, 0, TVIS_SELECTED);
      if (m_list.GetItemState(item, TVIS_SELECTED)) break;
      continue;
    }
    if (record) {
      if (first) {
        m_undo.RemoveAll();
        first = false;
      }
      const i32 jobIndex = JobIndexOf(item);
      const std::vector<std::string> texts = m_list.GetItemTexts(item);
      for (int c = 0; c < JOB_COLUMNS; ++c) {
        const std::string& t = c < static_cast<int>(texts.size()) ? texts[static_cast<std::size_t>(c)] : std::string();
        m_undo.Insert(-1, t.c_str(), static_cast<int>(t.size()), &jobIndex);
      }
      m_undoAvailable = 1;
    }
    lastRow = m_list.GetRowOfItem(item);
    if (!m_list.DeleteItem(item)) break;
    SetModified(1);
  }
  if (lastRow < 0) return;
  const int rows = m_list.GetRowCount();
  if (lastRow >= rows) lastRow = rows - 1;
  if (lastRow >= FirstJobRow()) m_list.SelectFocus(m_list.GetItemOfRow(lastRow));
}

void CKopiwartView::OnUndo() {
  if (!CanUndo()) return;
  const int rows = m_undo.Count() / JOB_COLUMNS;
  for (int r = rows - 1; r >= 0; --r) {
    const int base = r * JOB_COLUMNS;
    i32 jobIndex = 0;
    std::memcpy(&jobIndex, m_undo.Item(base), sizeof jobIndex);
    const std::vector<HTREEITEM> items = JobItems();
    HTREEITEM after;
    if (jobIndex <= 0) {
      after = BarShown() ? GetFilterBarItem() : TVI_FIRST;
    } else if (jobIndex >= static_cast<int>(items.size())) {
      after = TVI_LAST;
    } else {
      after = items[static_cast<std::size_t>(jobIndex - 1)];
    }
    const HTREEITEM item = m_list.InsertItem(m_undo.Text(base), after);
    if (item == TLI_NULL) continue;
    for (int c = 1; c < JOB_COLUMNS; ++c) m_list.SetItemText(item, m_undo.Text(base + c), c);
    CheckItem(item, 0);
  }
  SetModified(1);
  m_undoAvailable = 0;
}

// ---- commands -------------------------------------------------------------------------------------

bool CKopiwartView::OnCommand(u32 id) {
  switch (id) {
    case ID_NEW_ENTRY: OnNewEntry(); return true;
    case ID_EDIT_DELETE: OnDelete(); return true;
    case ID_EDIT_UNDO: OnUndo(); return true;
    case ID_SELECT_ALL: OnSelectAll(); return true;
    case ID_MOVE_UP: OnMoveUp(); return true;
    case ID_MOVE_DOWN: OnMoveDown(); return true;
    case ID_EDIT_CELL: OnEditCell(); return true;
    case ID_CPP_FILTER: OnCppFilter(); return true;
    case ID_SCHEDULE: OnSchedule(); return true;
    case ID_FILTER_BAR: OnFilterBar(); return true;
    case ID_RUN: OnRun(); return true;
    case ID_STOP_RUN: OnStopRun(); return true;
    case ID_CONTINUE_RUN: return true;
    default: return false;
  }
}

void CKopiwartView::OnNewEntry() {
  const HTREEITEM item = m_list.GetItemOfRow(AddEntry(-1, "", "", "", "", 1, JOB_MODE_COPY, ""));
  SetModified(1);
  // The new row is the one to edit next: the only selected row, its source cell focused.
  if (m_list.SelectFocus(item)) {
    m_list.SelectSubItem(JOB_COL_SOURCE, item);
    m_list.EnsureVisible(item, JOB_COL_SOURCE);
  }
}

void CKopiwartView::OnSelectAll() {
  if (!m_viewHost.ListHasFocus()) {
    m_viewHost.FilePaneCommand(ID_SELECT_ALL);
    return;
  }
  // Only shown rows: the store never selects a hidden one.
  for (HTREEITEM item : JobItems()) m_list.SetItemState(item, TVIS_SELECTED, TVIS_SELECTED);
}

void CKopiwartView::OnMoveUp() {
  const HTREEITEM item = m_list.GetFocusedItem();
  if (item == TLI_NULL || IsBar(item)) return;
  const int row = m_list.GetRowOfItem(item);
  if (row <= FirstJobRow()) return;
  SwapRows(row, -1);
}

void CKopiwartView::OnMoveDown() {
  const HTREEITEM item = m_list.GetFocusedItem();
  if (item == TLI_NULL || IsBar(item)) return;
  const int row = m_list.GetRowOfItem(item);
  if (row < 0) return;
  SwapRows(row, 1);
}

int CKopiwartView::SwapRows(int row, int direction) {
  const int partner = row + direction;
  if (direction == 0 || row < FirstJobRow() || partner < FirstJobRow() || partner >= m_list.GetRowCount()) {
    return 0;
  }
  const HTREEITEM item = m_list.GetItemOfRow(row);
  const HTREEITEM other = m_list.GetItemOfRow(partner);
  if (item == TLI_NULL || other == TLI_NULL) return 0;
  // The items themselves move, so that cells, icons, selection and focus go with them whole.
  const bool moved = direction > 0 ? m_list.MoveItemAfter(item, other) : m_list.MoveItemBefore(item, other);
  if (!moved) return 0;
  if (m_list.GetFocusedItem() == item) m_list.EnsureVisible(item, m_list.GetFocusedColumn());
  SetModified(1);
  return 1;
}

void CKopiwartView::OnEditCell() {
  const HTREEITEM item = m_list.GetFocusedItem();
  const int column = m_list.GetFocusedColumn();
  if (item == TLI_NULL) return;
  // The "Unter" cell has no editor: F2 toggles it as Return does.
  if (column == JOB_COL_SUBDIRS) {
    m_list.StartEdit(item, column, VK_F2);
    return;
  }
  m_list.EditLabel(item, column);
}

void CKopiwartView::OnCppFilter() {
  const HTREEITEM item = m_list.GetFocusedItem();
  if (item == TLI_NULL || IsBar(item)) return;
  m_list.SetItemText(item, "*", JOB_COL_PLUS);
  m_list.SetItemText(item, kCppMinusFilter, JOB_COL_MINUS);
  SetModified(1);
}

void CKopiwartView::OnSchedule() {
  u32 word = m_word.load();
  i32 interval = m_interval.load();
  if (m_viewHost.EditSchedule(word, interval, m_lastRun.load())) SetSchedule(word, interval);
}

// ---- filter bar ---------------------------------------------------------------------------------

void CKopiwartView::InsertFilterBar() {
  const HTREEITEM bar = m_list.InsertItem(TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE, m_filterTexts[0], -2, -2,
                                          0, 0, 0, TVI_ROOT, TVI_FIRST);
  for (int c = 1; c < JOB_COLUMNS; ++c) m_list.SetItemText(bar, m_filterTexts[static_cast<std::size_t>(c)], c);
  m_filterItem = ItemToU32(bar);
}

void CKopiwartView::OnFilterBar() {
  if (BarShown()) {
    const HTREEITEM bar = GetFilterBarItem();
    m_filterShown = 0;
    m_filterItem = ItemToU32(TVI_ROOT);
    m_list.DeleteItem(bar);
    m_viewHost.KillTimer(kFilterTimerId);
  } else {
    InsertFilterBar();
    m_filterShown = 1;
    m_viewHost.SetTimer(kFilterTimerId, kFilterTimerMs, [this] { OnTimer(kFilterTimerId); });
  }
  m_list.SetSetting(TLSETTING_FIXEDROWS, BarShown() ? 1 : 0);
  m_list.SetSetting(TLSETTING_TOPROW, 0);
  if (BarShown()) m_list.SetSetting(TLSETTING_BARROWS, 1);
  ApplyFilter(false);
}

void CKopiwartView::ApplyFilter(bool reread) {
  m_filterCountdown = 0;
  if (!BarShown()) {
    m_list.SetItemsState(TVI_ROOT, 0, TLIS_HIDDEN);
    return;
  }
  const HTREEITEM bar = GetFilterBarItem();
  if (reread) {
    std::vector<std::string> texts = m_list.GetItemTexts(bar);
    for (int c = 0; c < JOB_COLUMNS && c < static_cast<int>(texts.size()); ++c) {
      m_filterTexts[static_cast<std::size_t>(c)] = std::move(texts[static_cast<std::size_t>(c)]);
    }
  }
  for (HTREEITEM item : JobItems()) {
    const std::vector<std::string> cells = m_list.GetItemTexts(item);
    bool hide = false;
    for (int c = 0; c < JOB_COLUMNS && !hide; ++c) {
      const std::string& filter = m_filterTexts[static_cast<std::size_t>(c)];
      if (filter.empty()) continue;
      const std::string cell = c < static_cast<int>(cells.size()) ? cells[static_cast<std::size_t>(c)] : std::string();
      hide = StrMatchPatternA(filter.c_str(), static_cast<int>(filter.size()), cell.c_str(),
                              static_cast<int>(cell.size()), STR_MATCH_NOCASE) != 0;
    }
    m_list.SetItemState(item, hide ? TLIS_HIDDEN : 0, TLIS_HIDDEN);
  }
}

void CKopiwartView::OnTimer(u32 id) {
  if (id != kFilterTimerId || m_filterCountdown == 0) return;
  if (--m_filterCountdown == 0) ApplyFilter(true);
}

// ---- notifications ------------------------------------------------------------------------------

DWORD CKopiwartView::OnCellChoice(TLNSTARTEDIT& rec) {
  const bool bar = IsBar(rec.hItem);
  if (rec.column == JOB_COL_SUBDIRS) {
    // Return, Space, F2 and the mouse toggle; typed characters do nothing.
    if (rec.key != VK_RETURN && rec.key != VK_SPACE && rec.key != VK_F2 && rec.key != TLK_MOUSE) return TLSE_NONE;
    const std::string cell = m_list.GetItemText(rec.hItem, JOB_COL_SUBDIRS);
    if (bar) {
      const char* next = StrEqualsNoCase(cell, "Ja") ? "Nein" : StrEqualsNoCase(cell, "Nein") ? "" : "Ja";
      m_list.SetItemText(rec.hItem, next, JOB_COL_SUBDIRS);
      m_filterCountdown = 3;
    } else if (m_list.IsItem(rec.hItem)) {
      m_list.SetItemText(rec.hItem, StrEqualsNoCase(cell, "Nein") ? "Ja" : "Nein", JOB_COL_SUBDIRS);
      SetModified(1);
    }
    return TLSE_NONE;
  }
  if (rec.column == JOB_COL_MODE) {
    rec.text = bar ? "|" : "";
    for (int m = 0; m < JOB_MODE_COUNT; ++m) {
      rec.text += JobModeName(m);
      rec.text += '|';
    }
    return TLSE_CHOICELIST;
  }
  // Space is no character to begin a path or pattern with: it selects, as in other lists.
  if (rec.key == VK_SPACE) return TLSE_NONE;
  return TLSE_TEXTEDIT;
}

int CKopiwartView::OnEndLabelEdit(TLNENDEDIT& rec) {
  if (!(rec.mask & TLIF_NEWTEXT)) return 1;
  if (!m_list.IsItem(rec.hItem) || rec.column < 0 || rec.column >= JOB_COLUMNS) return 1;
  const bool bar = IsBar(rec.hItem);
  // No line break gets into a cell, whoever stores it; a long text stays whole (its row is
  // refused when it runs, never run on a cut path).
  rec.text = JobCellSanitize(rec.text);
  if (!bar) SetModified(1);
  if (!bar && rec.column >= JOB_COL_PLUS) return 0;  // the list stores the text itself
  m_list.SetItemText(rec.hItem, rec.text, rec.column);
  if (bar) {
    m_filterCountdown = 3;
  } else {
    CheckItem(rec.hItem, 0);
  }
  return 0;
}

void CKopiwartView::OnListKeyDown(const TLNKEYDOWN& rec) {
  if (rec.vkey == 9) {
    m_viewHost.FocusFilePane();
  } else if (rec.vkey == 46) {
    DeleteSelectedRows(1);
  }
}

void CKopiwartView::OnTreeListNotify(const TLNENDDRAG& rec) {
  if (rec.flags >= 0) return;  // not dropped
  if (BarShown()) {
    const HTREEITEM bar = GetFilterBarItem();
    if (rec.hDragged == bar) {
      // The bar stays first: the row it was dropped on goes behind it instead.
      m_list.MoveItemAfter(bar, TVI_FIRST);
      if (rec.hTarget != TLI_NULL && rec.hTarget != bar) m_list.MoveItemAfter(rec.hTarget, bar);
      return;
    }
    if (m_list.GetNextItem(TVI_ROOT, TVGN_ROOT) != bar) m_list.MoveItemAfter(bar, TVI_FIRST);
  }
  SetModified(1);
}

// ---- worker message box ---------------------------------------------------------------------------

int CKopiwartView::WorkerMessageBox(const std::string& text, const char* caption, u32 type) {
  g_workerBoxUp = 1;
  bool added = false;
  if (!m_host.IsViewVisible() && m_host.HasMainWindow()) {
    m_viewHost.TaskbarAddTab();
    added = true;
  }
  const int answer = m_host.MessageBox(text, caption ? caption : kAppTitle, type);
  if (added) m_viewHost.TaskbarDeleteTab();
  g_workerBoxUp = 0;
  return answer;
}
