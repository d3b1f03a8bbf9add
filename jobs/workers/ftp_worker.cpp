// "Ftp" and "Ftp Del": a tree between a local folder and a URL, or between two URLs, in the
// direction the cells give; "Ftp Del" deletes target files that the source lacks.
#include "jobs/error_text.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/workers/folder_links.h"
#include "jobs/workers/local_target.h"
#include "jobs/workers/remote_cell.h"
#include "jobs/workers/remote_workers.h"
#include "jobs/workers/row_notes.h"
#include "jobs/workers/worker_support.h"
#include "lib/system/dirlisting.h"
#include "lib/system/sys_fd.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_time.h"
#include "lib/system/sys_tree.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "remote/url_connection.h"
#include "remote/url_file_find.h"

#include <fcntl.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// ---- texts ---------------------------------------------------------------------------------------

constexpr char kCannotMake[] = "Kann FTP-Verzeichnis nicht erzeugen";
constexpr char kCannotOpen[] = "Kann FTP-Verzeichnis nicht öffnen";
constexpr char kNoConnection[] = "Keine Verbindung zum FTP-Server";
constexpr char kUploadFailed[] = "Fehler beim Hinaufladen von:\n%s%s";
constexpr char kDownloadFailed[] = "Fehler beim Herunterladen von:\n%s%s";
constexpr char kDeleteFailed[] = "Fehler beim Löschen von:\n%s%s";
constexpr char kSearchLocal[] = "Suche lokale Dateien in";
constexpr char kDeleteLocal[] = "Lösche Dateien";
constexpr char kDeleteRemote[] = "Lösche am FTP Server";
constexpr char kSourceMissing[] = "Der Quellordner wurde nicht gefunden:\n%s\nIm Ziel wurde nichts gelöscht.";
constexpr char kSourceUnreadable[] =
    "Die Quelle konnte nicht vollständig gelesen werden:\n%s%s\nIm Ziel wurde nichts gelöscht.";
// A folder below the base: deletions elsewhere may have happened already.
constexpr char kSourceFolderUnreadable[] =
    "Die Quelle konnte nicht vollständig gelesen werden:\n%s%s\nIm Zielordner dazu wurde nichts gelöscht.";
constexpr char kTargetUnreadable[] =
    "Der Zielordner konnte nicht gelesen werden:\n%s%s\nDarin wurde nichts gelöscht und nichts ersetzt.";
constexpr char kSourceEmpty[] =
    "Die Quelle enthält keine Dateien, das Ziel aber schon:\n%s\nIm Ziel wurde nichts gelöscht.";
constexpr char kHeldBack[] =
    "Der Quellordner %s zeigt keine Dateien, sein Zielordner aber schon; darin wurde nichts gelöscht.";
constexpr char kNotReplaced[] =
    "Der Quellordner %s zeigt keine Einträge; die Datei %s an seiner Stelle blieb stehen.";
constexpr char kReplaced[] = "Die Datei %s wurde gelöscht, weil die Quelle an ihrer Stelle einen Ordner hat.";
constexpr char kBadName[] = "Der Server nennt einen ungültigen Dateinamen in:\n%s\nDer Eintrag wurde übergangen.";
constexpr char kLocalCannotMake[] = "Der Zielordner kann nicht angelegt werden:\n%s%s";
constexpr char kTooLarge[] = "Die Datei ist zu groß für das Ziel";
constexpr char kChanged[] = "Die Datei wurde während des Kopierens geändert; das Ziel bleibt, wie es war.";
constexpr char kNameRefused[] = "Das Ziel kann diesen Namen nicht aufnehmen:\n%s\nDer Eintrag wurde übergangen.";
constexpr char kNamesOneEntry[] =
    "Die Namen\n%s\nund\n%s\nbezeichnen im Ziel denselben Eintrag; der zweite wurde übergangen.";

constexpr u32 kIndexFlags = RUN_NEWER_ONLY | RUN_NO_OVERWRITE | RUN_KEEP_READONLY | RUN_DELETE_SURPLUS;
constexpr u32 kExecutable = 0x1ED0080;  // mode 0755 over the normal attribute

enum : int { kAnswerAbort = 3, kAnswerRetry = 4 };

// ---- remote folder index -------------------------------------------------------------------------

struct RemoteFile {
  std::string name;  // as the target lists it
  bool readOnly = false;
  u64 size = 0;
  SysUtc write = 0;
};
// By the connection's name key: exactly on most servers, where "a.txt" and "A.TXT" are two files;
// without regard to case on FAT.
using FolderIndex = std::map<std::string, RemoteFile>;

// A target folder as the row sees it: its files (filters applied) and, by key, its folders and
// the links it leaves as they are.
struct TargetListing {
  FolderIndex files;
  std::set<std::string> folders;
  std::set<std::string> links;
};

// Lists a target folder whole, so that links are found whatever the filters take; false when the
// listing failed (last error).
bool ListTarget(CUrlConnection& c, const std::string& folder, const JobArgs& args, TargetListing& out) {
  out = TargetListing{};
  CUrlFileFind find(&c);
  if (!find.FindFile(folder.c_str(), "", "", URL_FIND_NO_DOTS)) return GetLastError() == ERROR_SUCCESS;
  BOOL more;
  do {
    more = find.FindNextFile();
    const std::string name = find.GetFileName();
    if (!RemoteSafeName(name)) continue;
    std::string key = c.NameKey(folder.c_str(), name);
    if (key.empty()) key = name;
    if (RemoteKeptLink(find.GetFindData().dwFileAttributes)) {
      out.links.insert(key);
      continue;
    }
    if (find.MatchesMask(URL_ATTR_DIRECTORY)) {
      out.folders.insert(key);
      continue;
    }
    if (!CUrlFileFind::PassesLists(name, args.plus, args.minus)) continue;
    out.files[key] =
        RemoteFile{name, find.MatchesMask(URL_ATTR_READONLY) != 0, find.GetLength64(), find.GetLastWriteTime()};
  } while (more);
  return true;
}

// Before a download: the size the listing showed, which a server that tells no size otherwise
// must match (a link lists its own size, not its target's).
void ExpectListedSize(CUrlConnection& c, const WIN32_FIND_DATAA& file) {
  if (file.dwFileAttributes & URL_ATTR_LINK) return;
  const u64 size = u64{file.nFileSizeHigh} << 32 | file.nFileSizeLow;
  c.SetOption(URL_OPT_DOWNLOAD_SIZE, &size, sizeof size, 0);
}

// The connection's host as lines and messages show it: a disk's image path without its escapes.
std::string Host(const CUrlConnection& c) {
  const std::string host = c.GetHost();
  if (!c.Capabilities().escapedHost) return host;
  std::string out(host.size() + 1, '\0');
  out.resize(static_cast<std::size_t>(
      EncDecodeEscapesA(host.c_str(), -1, out.data(), static_cast<int>(out.size()), ENC_PERCENT, nullptr)));
  return out;
}

// ---- the row -------------------------------------------------------------------------------------

class FtpRow {
 public:
  FtpRow(JobContext& ctx, const JobArgs& args) : m_ctx(ctx), m_args(args), m_dialog(ctx.run.ActiveDialog()) {}
  ~FtpRow() { Finish(); }
  FtpRow(const FtpRow&) = delete;
  FtpRow& operator=(const FtpRow&) = delete;

  int Run();
  const std::string& Message() const { return m_message; }

 private:
  // ---- frame
  int Fail(const std::string& text) {
    m_message = text;
    return JOB_FAILED;
  }
  void Line(int line, const std::string& text) {
    if (m_dialog) m_dialog->SetLine(nullptr, text.c_str(), line);
  }
  bool Cancelled() { return LocalCancelled(m_ctx); }
  bool Split(const char* cell, RemoteCell& out);
  // readOnly for a source, which the row only reads.
  std::unique_ptr<CUrlConnection> Connect(const RemoteCell& cell, bool readOnly = false);
  bool ResolvePath(CUrlConnection& c, const RemoteCell& cell, std::string& out);
  // Enters the remote folder, making it when it is missing.
  bool EnterFolder(CUrlConnection& c, const std::string& folder);
  bool Excluded(const std::string& rel);
  // Lists a source folder: its files (filters applied) with their names, the names of all its
  // folders, and its subfolders to walk (not excluded, no links) appended to queue; false when
  // the listing failed.
  bool ListSource(CUrlConnection& c, const std::string& folder, const std::string& rel,
                  std::deque<std::string>& queue, std::vector<WIN32_FIND_DATAA>& files,
                  std::vector<std::string>& names, std::set<std::string>& folders);
  // ListTarget, with the folder's folders and links remembered for the way to the folders below.
  bool ListTargetFolder(CUrlConnection& c, const std::string& folder, TargetListing& out);
  // A link of the target where the source has an entry of its name: left as it is, named in the
  // row's note, and the row fails.
  void KeptLink(const std::string& shown) {
    m_links.Add(shown);
    m_failed = true;
  }
  // Whether the way from the target's base to its folder rel is clear of links: 0 clear, 1 a
  // link lies on it (noted), -1 a folder on it could not be listed while the row needs an index.
  // Each folder above is listed once.
  int LinkOnWay(CUrlConnection& c, const std::string& base, const std::string& rel);
  void Finish();
  void Note(const std::string& text) {
    m_failed = true;
    m_ctx.run.WorkerQuestion(m_args.flags, text, kBoxNote);
  }
  // After a failed transfer: the answer of an Abort/Retry/Ignore question (kAnswer*), or IDCANCEL
  // for the dialog's cancel.
  int AskTransfer(const char* format, const std::string& path, u32 type);
  void SetExecutable(CUrlConnection& c, const std::string& remote, const std::string& local);
  // What the target makes of the source's names: a name it cannot hold, or one that would name
  // the same entry there as another of the source, is noted and its entry passed over, so that
  // nothing is written over another file. TargetKey gives the name's key in the target folder,
  // "" when passed over (taken: the keys of the folder so far, with the paths shown for them).
  std::string TargetKey(CUrlConnection& c, const std::string& folder, const std::string& name,
                        const std::string& shown, std::map<std::string, std::string>& taken);
  // False when the source folder rel below base is passed over (or one above it was).
  bool TargetFolder(CUrlConnection& c, const std::string& base, const std::string& rel, const std::string& shownBase);

  // ---- directions
  int Upload(const RemoteCell& targetCell);
  int Download(const RemoteCell& source);
  int ServerToServer(const RemoteCell& source, const RemoteCell& target);
  // Deletes the names left in the index below folder; 1 stops the row.
  int DeleteMissing(CUrlConnection& c, const std::string& folder, const FolderIndex& index);
  // Download: deletes local files of folder rel the index does not hold; 1 stops the row.
  // Download: deletes local files of folder rel the index does not hold (nor names the source
  // as folders: those go only once their folder was listed); 1 stops the row.
  int DeleteLocal(SysTree& tree, const std::string& rel, const FolderIndex& remote,
                  const std::set<std::string>& remoteFolders);
  // Download: a local file (or link to one) where the source has the folder rel goes, now that
  // the folder was listed; emptyKnown: whether an empty listing of it can be trusted. 0 the place
  // is clear (or holds a folder), -1 the file stays (noted), 1 stops the row.
  int ClearLocalPlace(SysTree& tree, const std::string& rel, const std::string& shownSource, bool emptyKnown);

  JobContext& m_ctx;
  const JobArgs& m_args;
  CProgressDlg* m_dialog;
  std::string m_message;
  bool m_failed = false;
  int m_step = 0;
  UrlBreakHandle m_breakRecord;
  std::unique_ptr<CUrlConnection> m_source;  // the other connection of server to server
  std::atomic<CUrlConnection*> m_moving{nullptr};  // what the dialog's cancel breaks
  CUrlConnection* m_held = nullptr;          // the connection the carry holds for the timer
  std::string m_tempPath;
  std::map<std::string, std::string> m_folderKeys;    // source folder -> target key path ("" passed over)
  std::map<std::string, std::string> m_folderOwners;  // target key path -> source folder shown
  std::map<std::string, TargetListing> m_targetWays;  // listed target folders, without their files
  std::set<std::string> m_unlisted;                   // target folders whose listing failed
  CFolderLinkNotes m_links{""};                       // shown paths
};

bool FtpRow::Split(const char* text, RemoteCell& out) { return RemoteCellSplit(text, out, m_message); }

std::unique_ptr<CUrlConnection> FtpRow::Connect(const RemoteCell& cell, bool readOnly) {
  // A connect that hangs is broken by the dialog's cancel.
  if (m_dialog) m_dialog->SetCancelCallback([this] { BreakUrlConnection(&m_breakRecord); });
  std::string notice;
  std::unique_ptr<CUrlConnection> connection = RemoteCellConnect(cell, &m_breakRecord, m_message, readOnly, &notice);
  if (!notice.empty()) m_ctx.run.Note(notice);
  // From now on the dialog's cancel breaks a running transfer.
  if (m_dialog) m_dialog->SetCancelCallback([this] { CancelBreakConnection(m_moving.load()); });
  return connection;
}

bool FtpRow::ResolvePath(CUrlConnection& c, const RemoteCell& cell, std::string& out) {
  return RemoteCellResolve(c, cell, out, m_message);
}

bool FtpRow::EnterFolder(CUrlConnection& c, const std::string& folder) {
  if (c.ChangeDir(folder.c_str())) return true;
  return c.MakeDirTree(folder.c_str()) && c.ChangeDir(folder.c_str());
}

bool FtpRow::Excluded(const std::string& rel) {
  CExcludeList& list = m_ctx.run.ExcludeList();
  if (rel.empty() || list.Count() == 0) return false;
  return ExcludeListCacheMatch(list, rel.c_str()) || ExcludeListMatch(list, rel.c_str(), -1);
}

bool FtpRow::ListSource(CUrlConnection& c, const std::string& folder, const std::string& rel,
                        std::deque<std::string>& queue, std::vector<WIN32_FIND_DATAA>& files,
                        std::vector<std::string>& names, std::set<std::string>& folders) {
  CUrlFileFind find(&c);
  if (!find.FindFile(folder.c_str(), m_args.plus, "", URL_FIND_NO_DOTS | URL_FIND_FOLDERS_UNFILTERED))
    return GetLastError() == ERROR_SUCCESS;
  BOOL more;
  do {
    more = find.FindNextFile();
    const std::string name = find.GetFileName();
    if (!RemoteSafeName(name)) {
      Note(FmtString(kBadName, folder.c_str()));
      continue;
    }
    // The minus filter drops folders and files alike.
    if (m_args.minus && *m_args.minus &&
        StrMatchPatternListA(name.c_str(), -1, m_args.minus, STR_MATCH_NOCASE, ';') > 0)
      continue;
    if (find.MatchesMask(URL_ATTR_DIRECTORY)) {
      folders.insert(name);
      const std::string sub = rel.empty() ? name : rel + "/" + name;
      // A link to a folder is never entered; nor is an excluded folder.
      if (m_args.subdirs && !find.MatchesMask(URL_ATTR_LINK) && !Excluded(sub)) queue.push_back(sub);
      continue;
    }
    files.push_back(find.GetFindData());
    names.push_back(name);
  } while (more);
  return true;
}

bool FtpRow::ListTargetFolder(CUrlConnection& c, const std::string& folder, TargetListing& out) {
  if (!ListTarget(c, folder, m_args, out)) {
    m_unlisted.insert(folder);
    return false;
  }
  TargetListing& way = m_targetWays[folder];
  way.folders = out.folders;
  way.links = out.links;
  return true;
}

int FtpRow::LinkOnWay(CUrlConnection& c, const std::string& base, const std::string& rel) {
  std::string parent = base;
  for (std::size_t at = 0; at < rel.size();) {
    const std::size_t end = std::min(rel.find('/', at), rel.size());
    const std::string name = rel.substr(at, end - at);
    // What cannot be listed shows no links: with an index nothing in it is touched (that folder's
    // own listing said so), without one it takes copies as a server that hides its folders wants.
    const bool indexed = m_args.flags & kIndexFlags;
    if (m_unlisted.count(parent)) return indexed ? -1 : 0;
    auto known = m_targetWays.find(parent);
    if (known == m_targetWays.end()) {
      TargetListing listing;
      if (!ListTargetFolder(c, parent, listing)) {
        if (!indexed) return 0;
        Note(FmtString(kTargetUnreadable, (Host(c) + parent).c_str(), LocalLastErrorNote().c_str()));
        return -1;
      }
      known = m_targetWays.find(parent);
    }
    std::string key = c.NameKey(parent.c_str(), name);
    if (key.empty()) key = name;
    const std::string child = RemoteJoin(parent, name);
    if (known->second.links.count(key)) {
      KeptLink(Host(c) + child);
      return 1;
    }
    // A folder that is not there yet is made fresh, with nothing below it.
    if (!known->second.folders.count(key)) return 0;
    parent = child;
    at = end + 1;
  }
  return 0;
}

void FtpRow::Finish() {
  NoteFolderLinks(m_ctx.run, m_links.Found());
  m_links = CFolderLinkNotes("");
  m_moving = nullptr;
  if (m_dialog) {
    m_dialog->SetCancelCallback(CProgressDlg::CancelFn());
    m_dialog->SetTimerCallback(CProgressDlg::TimerFn(), 0);
  }
  m_ctx.run.Progress().kind.store(PROGRESS_KIND_BYTES);
  if (m_held) {
    if (std::unique_ptr<CUrlConnection> held = m_ctx.run.Carry().TakeConnection()) held->Close();
    m_held = nullptr;
  }
  if (m_source) {
    m_source->Close();
    m_source.reset();
  }
  if (!m_tempPath.empty()) {
    ::unlink(m_tempPath.c_str());
    m_tempPath.clear();
  }
}

int FtpRow::AskTransfer(const char* format, const std::string& path, u32 type) {
  if (m_dialog && m_dialog->IsCancelled()) {
    m_ctx.run.SetCancel();
    return IDCANCEL;
  }
  if (m_ctx.run.IsCancelled()) return IDCANCEL;
  // The error texts know no file too large for its target (a FAT volume holds 4 GiB - 1 at most),
  // nor one that changed while it was copied.
  const DWORD error = GetLastError();
  const std::string note = error == ERROR_FILE_TOO_LARGE        ? std::string("\n(") + kTooLarge + ")"
                           : error == ERROR_SHARING_VIOLATION ? std::string("\n(") + kChanged + ")"
                                                              : LocalLastErrorNote();
  const int answer = LocalAsk(m_ctx, m_args.flags, FmtString(format, path.c_str(), note.c_str()), type);
  if (answer == kAnswerAbort) m_ctx.run.SetCancel();
  return answer;
}

void FtpRow::SetExecutable(CUrlConnection& c, const std::string& remote, const std::string& local) {
  if (local.size() >= 3 && local.compare(local.size() - 3, 3, ".so") == 0) return;
  SysFd fd(::open(local.c_str(), O_RDONLY | O_CLOEXEC));
  char head[8] = {};
  const ssize_t n = fd ? ::read(fd.Get(), head, sizeof head) : -1;
  if (n < 4) return;
  const bool elf = head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
  const bool script = head[0] == '#' && head[1] == '!';
  // A server that refuses SITE CHMOD keeps its own mode; the copy itself stands.
  if (elf || script) c.SetAttributes(remote.c_str(), kExecutable);
}

std::string FtpRow::TargetKey(CUrlConnection& c, const std::string& folder, const std::string& name,
                              const std::string& shown, std::map<std::string, std::string>& taken) {
  const std::string key = c.NameKey(folder.c_str(), name);
  if (key.empty()) {
    Note(FmtString(kNameRefused, shown.c_str()));
    return key;
  }
  if (const auto [first, added] = taken.emplace(key, shown); !added) {
    Note(FmtString(kNamesOneEntry, first->second.c_str(), shown.c_str()));
    return "";
  }
  return key;
}

bool FtpRow::TargetFolder(CUrlConnection& c, const std::string& base, const std::string& rel,
                          const std::string& shownBase) {
  std::string parentKey = "/";
  for (std::size_t at = 0; !rel.empty() && at <= rel.size();) {
    const std::size_t end = std::min(rel.find('/', at), rel.size());
    const std::string prefix = rel.substr(0, end);
    auto it = m_folderKeys.find(prefix);
    if (it == m_folderKeys.end()) {
      const std::string parent = at == 0 ? base : (base == "/" ? "" : base) + "/" + rel.substr(0, at - 1);
      const std::string key = c.NameKey(parent.c_str(), rel.substr(at, end - at));
      std::string keyPath;
      if (key.empty()) {
        Note(FmtString(kNameRefused, (shownBase + prefix).c_str()));
      } else if (const auto [first, added] = m_folderOwners.emplace(parentKey + key + "/", shownBase + prefix); !added) {
        Note(FmtString(kNamesOneEntry, first->second.c_str(), (shownBase + prefix).c_str()));
      } else {
        keyPath = first->first;
      }
      it = m_folderKeys.emplace(prefix, keyPath).first;
    }
    if (it->second.empty()) return false;
    parentKey = it->second;
    at = end + 1;
  }
  return true;
}

int FtpRow::DeleteMissing(CUrlConnection& c, const std::string& folder, const FolderIndex& index) {
  if (index.empty()) return 0;
  const std::string base = folder.ends_with('/') ? folder : folder + "/";
  Line(0, kDeleteRemote);
  for (const auto& [key, info] : index) {
    if (Cancelled()) return 1;
    const std::string path = base + (info.name.empty() ? key : info.name);
    if (m_dialog) m_dialog->SetPos(m_step++ % 16);
    Line(1, path);
    if (c.Remove(path.c_str())) continue;
    m_failed = true;
    if (LocalAsk(m_ctx, m_args.flags, FmtString(kDeleteFailed, path.c_str(), LocalLastErrorNote().c_str()),
                 kBoxError) == IDCANCEL)
      return 1;
  }
  return 0;
}

// ---- upload --------------------------------------------------------------------------------------

int FtpRow::Upload(const RemoteCell& targetCell) {
  Line(0, kSearchLocal);
  Line(1, m_args.source);
  const bool del = m_args.flags & RUN_DELETE_SURPLUS;
  CDirListing list;
  // With deletions the folders are listed too: a folder whose files were all deleted is mirrored.
  const bool withFolders = del && m_args.subdirs;
  const int listFlags = CDirListing::DL_READ_ALL | (m_args.subdirs ? CDirListing::DL_SUBDIRS : 0) |
                        (withFolders ? CDirListing::DL_FOLDERS : 0);
  const int count = list.Read(m_args.source, listFlags, m_args.plus, m_args.minus);
  const bool localComplete = count >= 0 && list.GetReadState() != 2;
  int files = 0;
  for (int i = 0; i < count; ++i) files += list.GetEntry(i)->IsFolder() ? 0 : 1;
  if (count <= 0) {
    // A source that is not there is no empty source.
    const std::string note = LocalLastErrorNote();
    const std::string named = m_args.source;
    const std::string folder = named.find_first_of("*?") == std::string::npos ? named : list.GetRootPath();
    SysFileInfo info;
    if (LocalMissing(LocalLookup(folder.empty() ? "." : folder.c_str(), &info)))
      return Fail(FmtString(kSourceMissing, m_args.source));
    if (!localComplete) return Fail(FmtString(kSourceUnreadable, m_args.source, note.c_str()));
  }
  const u64 total = list.GetTotalSize();

  auto connection = Connect(targetCell);
  if (!connection) return JOB_FAILED;
  CUrlConnection& c = *connection;
  m_held = connection.get();
  m_moving = m_held;
  m_ctx.run.Carry().HoldConnection(std::move(connection));
  std::string base;
  if (!ResolvePath(c, targetCell, base)) return JOB_FAILED;
  if (!EnterFolder(c, base)) return Fail(kCannotMake);

  ProgressRecord& record = m_ctx.run.Progress();
  record.kind.store(PROGRESS_KIND_BYTES);
  if (m_dialog) {
    m_ctx.run.InstallProgressTimer(m_dialog);
    m_dialog->SetTotal(static_cast<i64>(std::min<u64>(total, INT64_MAX)));
    m_dialog->SetPos(0);
  }

  // A source that shows no file (missing, not mounted, emptied) never empties the target.
  if (del && (files == 0 || !localComplete)) {
    TargetListing remote;
    if (!ListTargetFolder(c, base, remote))
      return Fail(FmtString(kTargetUnreadable, base.c_str(), LocalLastErrorNote().c_str()));
    if (!localComplete) return Fail(FmtString(kSourceUnreadable, m_args.source, ""));
    if (!remote.files.empty()) return Fail(FmtString(kSourceEmpty, m_args.source));
    return JOB_DONE;
  }

  u64 before = 0;
  std::string folderRel = "\x01";  // no folder yet
  std::string folder;               // its remote path
  bool excluded = false, indexed = false, indexFailed = false;
  TargetListing target;                      // its files are the index
  FolderIndex& index = target.files;
  std::map<std::string, std::string> taken;  // the keys of the folder's files so far
  const auto leaveFolder = [&]() -> int {
    if (!del || excluded || folderRel == "\x01" || !indexed) return 0;
    return DeleteMissing(c, folder, index);
  };
  // Takes the target folder of the source folder rel; make: a missing one is made (else there is
  // nothing in it to delete). JOB_FAILED ends the row.
  const auto enterFolder = [&](const std::string& relFolder, bool make) -> int {
    folderRel = relFolder;
    folder = relFolder.empty() ? base : RemoteJoin(base, relFolder);
    excluded = Excluded(relFolder) || !TargetFolder(c, base, relFolder, list.GetRootPath());
    indexed = indexFailed = false;
    target = TargetListing{};
    taken.clear();
    if (excluded) return JOB_DONE;
    // Never into a link of the target, nor below one.
    if (!relFolder.empty() && LinkOnWay(c, base, relFolder) != 0) {
      excluded = true;
      return JOB_DONE;
    }
    if (!relFolder.empty() && !c.ChangeDir(folder.c_str())) {
      if (!make) {
        excluded = true;
        return JOB_DONE;
      }
      if (!c.MakeDirTree(folder.c_str()) || !c.ChangeDir(folder.c_str())) return Fail(kCannotOpen);
      indexed = true;  // a new folder holds nothing
      m_targetWays[folder];
      return JOB_DONE;
    }
    indexed = ListTargetFolder(c, folder, target);
    // Without an index a folder that cannot be listed still takes copies: a copy replaces what
    // stands under its name, never writes through it.
    if (!indexed && (m_args.flags & kIndexFlags)) {
      indexFailed = true;
      Note(FmtString(kTargetUnreadable, folder.c_str(), LocalLastErrorNote().c_str()));
    }
    return JOB_DONE;
  };
  std::vector<std::string> sourceFolders;  // with withFolders: the base and every real folder
  if (withFolders) sourceFolders.push_back("");
  std::set<std::string> walked;            // folders whose files were walked
  for (int i = 0; i < count; ++i) {
    if (Cancelled()) return JOB_STOP_ALL;
    const CDirListing::Entry& entry = *list.GetEntry(i);
    int relLength = 0;
    const char* relText = list.GetPath(i, &relLength, CDirListing::DL_PATH_RELATIVE);
    const std::string rel(relText, static_cast<std::size_t>(relLength));
    if (entry.IsFolder()) {
      if (!(entry.info.dwAttr & SYS_ATTR_LINK)) sourceFolders.push_back(rel);
      continue;
    }
    const std::size_t slash = rel.rfind('/');
    const std::string relFolder = slash == std::string::npos ? "" : rel.substr(0, slash);
    const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    const std::string localPath = list.GetRootPath() + rel;
    if (relFolder != folderRel) {
      if (leaveFolder()) return JOB_STOP_ALL;
      walked.insert(relFolder);
      if (enterFolder(relFolder, true) == JOB_FAILED) return JOB_FAILED;
    }
    if (excluded) continue;
    if (indexFailed) continue;  // what the target holds is not known: nothing is replaced
    const std::string key = TargetKey(c, folder, name, localPath, taken);
    if (key.empty()) continue;
    const u64 size = entry.info.qwSize;
    const std::string remote = RemoteJoin(folder, name);
    if (target.links.count(key)) {
      KeptLink(Host(c) + remote);
      continue;
    }
    if (const auto it = index.find(key); it != index.end()) {
      const RemoteFile known = it->second;
      index.erase(it);
      if (m_args.flags & RUN_NO_OVERWRITE) continue;
      if ((m_args.flags & RUN_KEEP_READONLY) && known.readOnly) continue;
      if (m_args.flags & RUN_NEWER_ONLY) {
        SysUtc local = entry.info.timeWrite ? entry.info.timeWrite
                                            : entry.info.timeCreate ? entry.info.timeCreate : entry.info.timeAccess;
        if (local <= known.write) continue;
      }
    }
    for (;;) {
      Line(0, localPath);
      Line(1, Host(c) + remote);
      record.SetFileName(name);
      record.bytesBefore.store(before);
      record.fileSize.store(size);
      record.kind.store(PROGRESS_KIND_TRANSFER);
      const BOOL sent = c.UploadFile(localPath.c_str(), remote.c_str(), 2, 1);
      record.kind.store(PROGRESS_KIND_BYTES);
      before += size;
      record.bytesBefore.store(before);
      if (sent) {
        m_ctx.run.FilesCopied().fetch_add(1);
        SetExecutable(c, remote, localPath);
        break;
      }
      const int answer = AskTransfer(kUploadFailed, Host(c) + remote, 0x12);
      if (answer == IDCANCEL || answer == kAnswerAbort) return JOB_STOP_ALL;
      if (answer == kAnswerRetry) {
        before -= size;
        continue;
      }
      m_failed = true;
      break;
    }
  }
  if (leaveFolder()) return JOB_STOP_ALL;
  // Folders of the source that hold no file any more: what their target folders hold goes too.
  for (const std::string& rel : sourceFolders) {
    if (walked.count(rel)) continue;
    if (Cancelled()) return JOB_STOP_ALL;
    if (enterFolder(rel, false) == JOB_FAILED) return JOB_FAILED;
    if (leaveFolder()) return JOB_STOP_ALL;
  }
  return m_failed ? JOB_FAILED : JOB_DONE;
}

// ---- download ------------------------------------------------------------------------------------

int FtpRow::DeleteLocal(SysTree& tree, const std::string& rel, const FolderIndex& remote,
                        const std::set<std::string>& remoteFolders) {
  const std::string path = tree.Path(rel);
  CDirListing list;
  if (list.Read(path.c_str(), 0, m_args.plus, m_args.minus) < 0) return 0;
  std::vector<std::string> surplus;
  for (int i = 0; i < list.GetCount(); ++i) {
    const CDirListing::Entry& entry = *list.GetEntry(i);
    if (entry.IsFolder()) continue;
    const std::string name = list.GetPath(i, nullptr, CDirListing::DL_PATH_NAME);
    if (!remote.count(name) && !remoteFolders.count(name)) surplus.push_back(name);
  }
  if (surplus.empty()) return 0;
  Line(0, kDeleteLocal);
  // By name in the folder opened without following links.
  const int dir = tree.Folder(rel);
  if (dir < 0) return 0;
  for (const std::string& name : surplus) {
    if (Cancelled()) return 1;
    const std::string full = path + (path.ends_with('/') ? "" : "/") + name;
    Line(1, full);
    if (SysDeleteAt(dir, name.c_str()) || errno == ENOENT) continue;
    m_failed = true;
    if (LocalAsk(m_ctx, m_args.flags, FmtString(kDeleteFailed, full.c_str(), LocalLastErrorNote().c_str()),
                 kBoxError) == IDCANCEL)
      return 1;
  }
  return 0;
}

int FtpRow::ClearLocalPlace(SysTree& tree, const std::string& rel, const std::string& shownSource, bool emptyKnown) {
  const auto [parentRel, nameView] = SysSplitRel(rel);
  const std::string name(nameView);
  const int dir = tree.Folder(parentRel);
  if (dir < 0) return 0;  // making the folder says why
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) return 0;
  // A link to a folder stays and is named as one.
  if (S_ISLNK(st.st_mode) && SysIsFolderLinkAt(dir, name.c_str())) return 0;
  const std::string path = tree.Path(rel);
  if (!emptyKnown) {
    Note(FmtString(kNotReplaced, shownSource.c_str(), path.c_str()));
    return -1;
  }
  Line(0, kDeleteLocal);
  Line(1, path);
  if (!SysDeleteAt(dir, name.c_str()) && errno != ENOENT) {
    m_failed = true;
    return LocalAsk(m_ctx, m_args.flags, FmtString(kDeleteFailed, path.c_str(), LocalLastErrorNote().c_str()),
                    kBoxError) == IDCANCEL
               ? 1
               : -1;
  }
  m_ctx.run.Note(FmtString(kReplaced, path.c_str()));
  return 0;
}

int FtpRow::Download(const RemoteCell& source) {
  const bool del = m_args.flags & RUN_DELETE_SURPLUS;
  auto connection = Connect(source, true);
  if (!connection) return JOB_FAILED;
  CUrlConnection& c = *connection;
  m_held = connection.get();
  m_moving = m_held;
  m_ctx.run.Carry().HoldConnection(std::move(connection));
  std::string base;
  if (!ResolvePath(c, source, base)) return JOB_FAILED;
  if (m_dialog) {
    m_dialog->SetTotal(16);
    m_dialog->SetPos(0);
  }
  Line(0, Host(c));
  Line(1, m_args.target);
  std::string targetRoot = m_args.target;
  while (targetRoot.size() > 1 && targetRoot.back() == '/') targetRoot.pop_back();
  SysTree tree(targetRoot);
  if (tree.OpenRoot(true) != 0) return Fail(FmtString(kLocalCannotMake, targetRoot.c_str(), LocalLastErrorNote().c_str()));
  CFolderLinkNotes localLinks(tree.Root());
  // An FTP server may list a folder that is missing or unreadable as an empty one; the other
  // sources fail such a listing.
  const bool emptyAmbiguous = source.kind == URL_KIND_FTP;

  std::deque<std::string> queue{""};  // relative folders below the source
  while (!queue.empty()) {
    if (Cancelled()) return JOB_STOP_ALL;
    const std::string rel = queue.front();
    queue.pop_front();
    const std::string folder = rel.empty() ? base : RemoteJoin(base, rel);
    const std::string shown = Host(c) + folder;
    // The folder is listed whole before anything is made or deleted for it.
    const std::size_t queued = queue.size();
    std::vector<std::string> names;
    std::vector<WIN32_FIND_DATAA> files;
    std::set<std::string> remoteFolders;
    if (!ListSource(c, folder, rel, queue, files, names, remoteFolders)) {
      const std::string note = LocalLastErrorNote();
      if (rel.empty()) return Fail(FmtString(kSourceUnreadable, shown.c_str(), note.c_str()));
      Note(FmtString(kSourceFolderUnreadable, shown.c_str(), note.c_str()));
      continue;
    }
    if (del && !rel.empty()) {
      const bool emptyKnown = !emptyAmbiguous || !files.empty() || !remoteFolders.empty();
      const int place = ClearLocalPlace(tree, rel, shown, emptyKnown);
      if (place > 0) return JOB_STOP_ALL;
      if (place < 0) {
        queue.resize(queued);
        continue;
      }
    }
    // Below a link in the local tree nothing is written.
    bool byLink = false;
    if (EntryFolder(tree, rel, true, localLinks, &byLink) < 0) {
      queue.resize(queued);
      if (!byLink) Note(FmtString(kLocalCannotMake, tree.Path(rel).c_str(), LocalLastErrorNote().c_str()));
      for (const std::string& link : localLinks.Found()) KeptLink(link);
      continue;
    }
    FolderIndex index;
    const std::string localFolder = tree.Path(rel);
    for (std::size_t k = 0; k < files.size(); ++k) {
      if (Cancelled()) return JOB_STOP_ALL;
      const std::string& name = names[k];
      if (del) index[name] = RemoteFile{};
      const std::string remote = RemoteJoin(folder, name);
      const std::string local = localFolder + (localFolder.ends_with('/') ? "" : "/") + name;
      const int decision = CheckLocalTarget(local.c_str(), &files[k].ftLastWriteTime, m_args.flags);
      if (decision != TARGET_ABSENT && decision != TARGET_OVERWRITE) continue;
      for (;;) {
        if (m_dialog) m_dialog->SetPos(m_step++ % 16);
        Line(0, Host(c) + remote);
        Line(1, local);
        ExpectListedSize(c, files[k]);
        if (c.DownloadFile(remote.c_str(), local.c_str(), FALSE, 0x80, 2, 1)) {
          m_ctx.run.FilesCopied().fetch_add(1);
          break;
        }
        const int answer = AskTransfer(kDownloadFailed, Host(c) + remote, 0x12);
        if (answer == IDCANCEL || answer == kAnswerAbort) return JOB_STOP_ALL;
        if (answer == kAnswerRetry) continue;
        m_failed = true;
        break;
      }
    }
    if (!del) continue;
    if (files.empty() && (rel.empty() || emptyAmbiguous)) {
      // A folder that lists no file where that can mean missing or unreadable (an FTP server's
      // folders, any base folder) never empties its local counterpart.
      CDirListing local;
      bool holds = false;
      if (local.Read(localFolder.c_str(), 0, m_args.plus, m_args.minus) > 0)
        for (int i = 0; i < local.GetCount() && !holds; ++i) holds = !local.GetEntry(i)->IsFolder();
      if (holds) {
        if (rel.empty()) return Fail(FmtString(kSourceEmpty, shown.c_str()));
        Note(FmtString(kHeldBack, shown.c_str()));
      }
      continue;
    }
    if (DeleteLocal(tree, rel, index, remoteFolders)) return JOB_STOP_ALL;
  }
  return m_failed ? JOB_FAILED : JOB_DONE;
}

// ---- server to server ----------------------------------------------------------------------------

int FtpRow::ServerToServer(const RemoteCell& sourceCell, const RemoteCell& targetCell) {
  const bool del = m_args.flags & RUN_DELETE_SURPLUS;
  m_source = Connect(sourceCell, true);
  if (!m_source) return JOB_FAILED;
  auto connection = Connect(targetCell);
  if (!connection) return JOB_FAILED;
  CUrlConnection& src = *m_source;
  CUrlConnection& dst = *connection;
  m_held = connection.get();
  m_ctx.run.Carry().HoldConnection(std::move(connection));
  std::string sourceBase, targetBase;
  if (!ResolvePath(src, sourceCell, sourceBase) || !ResolvePath(dst, targetCell, targetBase)) return JOB_FAILED;
  {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/.tmpXXXXXX";
    SysFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) return Fail(kNoConnection + LocalLastErrorNote());
    m_tempPath = pattern;
  }
  if (m_dialog) {
    m_dialog->SetTotal(16);
    m_dialog->SetPos(0);
  }
  // As in the download: only an FTP source's empty folder may be one that is missing.
  const bool emptyAmbiguous = sourceCell.kind == URL_KIND_FTP;

  std::deque<std::string> queue{""};
  while (!queue.empty()) {
    if (Cancelled()) return JOB_STOP_ALL;
    const std::string rel = queue.front();
    queue.pop_front();
    const std::string from = rel.empty() ? sourceBase : RemoteJoin(sourceBase, rel);
    const std::string to = rel.empty() ? targetBase : RemoteJoin(targetBase, rel);
    const std::string shownBase = Host(src) + (sourceBase == "/" ? "" : sourceBase) + "/";
    if (!TargetFolder(dst, targetBase, rel, shownBase)) continue;
    // Never into a link of the target, nor below one.
    if (!rel.empty() && LinkOnWay(dst, targetBase, rel) != 0) continue;
    std::vector<std::string> names;
    std::vector<WIN32_FIND_DATAA> files;
    std::set<std::string> sourceFolders;
    if (!ListSource(src, from, rel, queue, files, names, sourceFolders)) {
      const std::string note = LocalLastErrorNote();
      if (rel.empty()) return Fail(FmtString(kSourceUnreadable, (Host(src) + from).c_str(), note.c_str()));
      Note(FmtString(kSourceFolderUnreadable, (Host(src) + from).c_str(), note.c_str()));
      continue;
    }
    if (!EnterFolder(dst, to)) return Fail(rel.empty() ? kCannotMake : kCannotOpen);
    TargetListing target;
    FolderIndex& index = target.files;
    // Without an index a folder that cannot be listed still takes copies (see the upload).
    if (!ListTargetFolder(dst, to, target) && (m_args.flags & kIndexFlags)) {
      Note(FmtString(kTargetUnreadable, (Host(dst) + to).c_str(), LocalLastErrorNote().c_str()));
      continue;
    }
    if (del && files.empty() && !index.empty() && (rel.empty() || emptyAmbiguous)) {
      if (rel.empty()) return Fail(FmtString(kSourceEmpty, (Host(src) + from).c_str()));
      Note(FmtString(kHeldBack, (Host(src) + from).c_str()));
      continue;
    }
    std::map<std::string, std::string> taken;
    for (const WIN32_FIND_DATAA& file : files) {
      if (Cancelled()) return JOB_STOP_ALL;
      const std::string name = file.cFileName;
      const std::string remoteFrom = (from == "/" ? "" : from) + "/" + name;
      const std::string remoteTo = (to == "/" ? "" : to) + "/" + name;
      const std::string key = TargetKey(dst, to, name, Host(src) + remoteFrom, taken);
      if (key.empty()) continue;
      if (target.links.count(key)) {
        KeptLink(Host(dst) + remoteTo);
        continue;
      }
      if (const auto it = index.find(key); it != index.end()) {
        const RemoteFile known = it->second;
        index.erase(it);
        if (m_args.flags & RUN_NO_OVERWRITE) continue;
        if ((m_args.flags & RUN_KEEP_READONLY) && known.readOnly) continue;
        if (m_args.flags & RUN_NEWER_ONLY) {
          SysUtc sourceTime = 0;
          SysFileTimeToTime(&file.ftLastWriteTime, &sourceTime);
          if (SysCompareFileTime(sourceTime, known.write, 3) <= 0) continue;
        }
      }
      if (m_dialog) m_dialog->SetPos(m_step++ % 16);
      Line(0, Host(src) + remoteFrom);
      Line(1, Host(dst) + remoteTo);
      // While a file travels, the dialog's cancel breaks whichever connection moves it.
      m_moving = &src;
      ExpectListedSize(src, file);
      const BOOL got = src.DownloadFile(remoteFrom.c_str(), m_tempPath.c_str(), FALSE, 0x80, 2, 1);
      if (!got) {
        if (AskTransfer(kDownloadFailed, Host(src) + remoteFrom, kBoxError) == IDCANCEL) return JOB_STOP_ALL;
        m_failed = true;
        continue;
      }
      m_moving = &dst;
      const BOOL sent = dst.UploadFile(m_tempPath.c_str(), remoteTo.c_str(), 2, 1);
      if (!sent) {
        if (AskTransfer(kUploadFailed, Host(dst) + remoteTo, kBoxError) == IDCANCEL) return JOB_STOP_ALL;
        m_failed = true;
        continue;
      }
      m_ctx.run.FilesCopied().fetch_add(1);
      if (file.dwFileAttributes >= 0x10000)
        dst.SetAttributes(remoteTo.c_str(), (((file.dwFileAttributes >> 16) & 07777) << 16) | URL_ATTR_NORMAL);
      else
        SetExecutable(dst, remoteTo, m_tempPath);
    }
    if (del && DeleteMissing(dst, to, index)) return JOB_STOP_ALL;
  }
  return m_failed ? JOB_FAILED : JOB_DONE;
}

// ---- the frame -----------------------------------------------------------------------------------

int FtpRow::Run() {
  m_ctx.run.Progress().Reset();
  ExcludeListBuild(m_ctx.run.ExcludeList(), m_args.extra, 0);
  // A scheme that names no connection is no local path either: the row fails.
  for (const char* cell : {m_args.source, m_args.target}) {
    const std::string unknown = GetUrlUnknownScheme(cell ? cell : "");
    if (!unknown.empty()) return Fail(UrlSchemeUnknownText(unknown));
  }
  const bool sourceRemote = GetUrlKind(m_args.source, TRUE) != URL_KIND_NONE;
  const bool targetRemote = GetUrlKind(m_args.target, TRUE) != URL_KIND_NONE;
  if (!sourceRemote && !targetRemote) return JOB_DONE;
  RemoteCell source, target;
  if (sourceRemote && !Split(m_args.source, source)) return JOB_FAILED;
  if (targetRemote && !Split(m_args.target, target)) return JOB_FAILED;
  if (sourceRemote && targetRemote) return ServerToServer(source, target);
  return targetRemote ? Upload(target) : Download(source);
}

}  // namespace

int RunFtp(JobContext& ctx, const JobArgs& args) {
  int result;
  std::string message;
  {
    FtpRow row(ctx, args);
    result = row.Run();
    message = row.Message();
  }
  if (result == JOB_FAILED && !message.empty()) return LocalFail(ctx, args.flags, message);
  return result;
}
