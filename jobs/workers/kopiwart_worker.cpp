// "Kopiwart": a local tree mirrored into a folder of any connection, with older versions of each
// changed file kept beside it and files whose source vanished deleted only after their days.
#include "jobs/error_text.h"
#include "jobs/job_extra.h"
#include "jobs/progress/progress_dlg.h"
#include "jobs/workers/folder_links.h"
#include "jobs/workers/kopiwart_rules.h"
#include "jobs/workers/remote_cell.h"
#include "jobs/workers/remote_workers.h"
#include "jobs/workers/row_notes.h"
#include "jobs/workers/worker_support.h"
#include "lib/system/sys_file.h"
#include "lib/system/sys_time.h"
#include "lib/system/tempname.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "remote/url_connection.h"
#include "remote/url_file_find.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---- texts ---------------------------------------------------------------------------------------

constexpr char kOpenTarget[] = "<Öffne FTP-Ziel>";
constexpr char kSearchFiles[] = "<Suche Dateien>";
constexpr char kSourceMissing[] = "Das Quellverzeichniss wurde nicht gefunden:\n%s";
constexpr char kCannotMakePath[] = "Ein Pfad konnte nicht erstellt werden:\n%s%s";
constexpr char kCannotCopy[] = "Eine Datei konnte nicht kopiert werden:\n%s%s";
constexpr char kCannotDelete[] = "Eine Datei konnte nicht gelöscht werden:\n%s%s";
constexpr char kCannotRename[] = "Eine Datei konnte nicht umbenannt werden:\n%s%s\nIhre älteren Fassungen blieben, wie sie waren.";
constexpr char kSourceUnreadable[] =
    "Der Quellordner konnte nicht gelesen werden:\n%s%s\nIm Ziel wurde darin nichts markiert und nichts gelöscht.";
constexpr char kTargetUnreadable[] =
    "Der Zielordner konnte nicht gelesen werden:\n%s%s\nDarin wurde nichts gelöscht und nichts ersetzt.";
constexpr char kSourceEmpty[] =
    "Die Quelle enthält keine Dateien, das Ziel aber schon:\n%s\nIm Ziel wurde nichts gelöscht.";
constexpr char kNameLikeVersion[] =
    "Die Datei %s heißt wie eine ältere Fassung von %s und wurde nicht kopiert.";
constexpr char kOwnRecordName[] = "Die Datei %s trägt den Namen der Merkliste dieses Modus und wurde nicht kopiert.";
constexpr char kMarksUnreadable[] =
    "Die Merkliste in %s konnte nicht gelesen werden%s\nIn diesem Ordner wurde nichts markiert und nichts gelöscht.";
constexpr char kMarksUnwritten[] = "Die Merkliste in %s konnte nicht geschrieben werden%s";
constexpr char kMarkUnreadable[] =
    "Die Markierung von %s konnte nicht gelesen werden%s\nIn diesem Ordner wurde nichts markiert und nichts gelöscht.";
constexpr char kMarkUnwritten[] = "Die Markierung von %s konnte nicht geschrieben werden%s";
constexpr char kNoMarks[] =
    "Das Ziel %s kann keine erweiterten Attribute speichern: Dateien, deren Quelle fehlt, gelten dort als "
    "nicht markiert und wurden nicht gelöscht.";
constexpr char kNameRefused[] = "Das Ziel kann diesen Namen nicht aufnehmen:\n%s\nDer Eintrag wurde übergangen.";
constexpr char kNamesOneEntry[] =
    "Die Namen\n%s\nund\n%s\nbezeichnen im Ziel denselben Eintrag; der zweite wurde übergangen.";
constexpr char kNoTimes[] =
    "Das Ziel %s kann die Änderungszeit von Dateien nicht setzen: Dateien gleicher Größe wurden nach "
    "ihrem Inhalt verglichen.";
constexpr char kCoarseTimes[] =
    "Das Ziel %s nennt die Änderungszeit von Dateien nicht auf die Sekunde genau: Dateien gleicher Größe "
    "wurden nach ihrem Inhalt verglichen.";
constexpr char kTempFailed[] = "Es konnte keine temporäre Datei angelegt werden%s";

constexpr char kLineMark[] = "Set Flag: ";
constexpr char kLineDelete[] = "Lösche: ";
constexpr char kLineRename[] = "Umbennen: ";
constexpr char kLineCopy[] = "Kopiere: ";
constexpr char kLineCompare[] = "Vergleiche: ";

// Each target folder without marks of the file system keeps which of its names were found without
// a source, and since when.
constexpr char kMarkRecord[] = ".kopiwart-marken";
// A new single copy is written here first and then takes the file's name; when a file of the
// folder has that name already, a number follows.
constexpr char kNewCopyTail[] = ".kopiwart-neu";
constexpr int kNewCopyNames = 100;

constexpr int kMaxLevel = 14;            // folders below this level are read, none deeper
constexpr u64 kCompareBytes = 0x8000;    // equal sizes up to here are compared by content
constexpr i64 kVanishedFolderDays = 60;  // the least a folder gone from the source waits
constexpr i64 kDaySeconds = 86400;

// A local path made absolute against the working folder, "." and ".." resolved.
std::string FullPath(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(path, ec);
  return (ec ? std::filesystem::path(path) : full).lexically_normal().string();
}

// ---- the local source ----------------------------------------------------------------------------

struct SourceFile {
  u64 size = 0;
  i64 write = 0;  // seconds since 1970
  FILETIME writeTime;
};

struct SourceFolder {
  std::map<std::string, SourceFile> files;  // files that pass the filters
  std::set<std::string> allNames;           // every entry, filtered or not, folders and links too
  std::vector<std::string> folders;         // real folders (not links), sorted
};

// Reads one source folder; false with the last error when it cannot be read.
bool ReadSourceFolder(const std::string& path, const JobArgs& args, SourceFolder& out) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) {
    SetLastErrorFromErrno(errno, path.c_str());
    return false;
  }
  const int fd = ::dirfd(dir);
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* d = ::readdir(dir);
    if (!d) {
      if (errno) {
        SetLastErrorFromErrno(errno, path.c_str());
        ok = false;
      }
      break;
    }
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    out.allNames.insert(name);
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out.folders.push_back(name);
      continue;
    }
    // A link to a file is copied as the file; a link to a folder is never entered.
    if (S_ISLNK(st.st_mode) && ::fstatat(fd, name.c_str(), &st, 0) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;
    const char* plus = args.plus;
    const char* minus = args.minus;
    if (*plus && StrMatchPatternListA(name.c_str(), -1, plus, STR_MATCH_NOCASE, ';') < 0) continue;
    if (*minus && StrMatchPatternListA(name.c_str(), -1, minus, STR_MATCH_NOCASE, ';') > 0) continue;
    SourceFile file;
    file.size = static_cast<u64>(st.st_size);
    file.write = st.st_mtim.tv_sec;
    file.writeTime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec / 100);
    out.files[name] = file;
  }
  ::closedir(dir);
  std::sort(out.folders.begin(), out.folders.end());
  return ok;
}

// ---- the target ----------------------------------------------------------------------------------

struct TargetFile {
  u64 size = 0;
  FILETIME writeTime;
  bool coarse = false;  // the listing gave the time to the minute or day only
};

struct TargetFolder {
  std::map<std::string, TargetFile> files;
  std::vector<std::string> folders;  // not links
  std::set<std::string> links;       // keys of the links left as they are (RemoteKeptLink)
  std::set<std::string> names;       // every entry, the mark record too
  int entries = 0;                   // every entry but the mark record
  bool hasRecord = false;
};

// A file and its older versions in a target folder, kept under the folder's key of its name.
struct Group {
  std::string name;                     // the source's name, else the target's
  std::map<int, std::string> versions;  // version -> the name it has
  const SourceFile* source = nullptr;
  const TargetFile* current = nullptr;
};

class KopiwartRow {
 public:
  KopiwartRow(JobContext& ctx, const JobArgs& args) : m_ctx(ctx), m_args(args), m_dialog(ctx.run.ActiveDialog()) {}
  ~KopiwartRow() { Finish(); }
  KopiwartRow(const KopiwartRow&) = delete;
  KopiwartRow& operator=(const KopiwartRow&) = delete;

  int Run();
  const std::string& Message() const { return m_message; }
  u32 BoxType() const { return m_boxType; }

 private:
  int Fail(const std::string& text, u32 type = kBoxError) {
    m_message = text;
    m_boxType = type;
    return JOB_FAILED;
  }
  void Line(int line, const std::string& text) {
    if (m_dialog) m_dialog->SetLine(nullptr, text.c_str(), line);
  }
  void Turn() {
    if (m_dialog) m_dialog->SetPos(static_cast<i64>(((m_ctx.run.Now() - m_start) / 512) % 32));
  }
  bool Cancelled() { return LocalCancelled(m_ctx); }
  // A failure that the row reports and goes on after; the row fails.
  void Report(const std::string& text) {
    m_failed = true;
    m_ctx.run.WorkerQuestion(m_args.flags, text, kBoxNote);
  }
  // A per-file failure: asked; false when the answer was Cancel (the run stops).
  bool Ask(const char* format, const std::string& path) {
    m_failed = true;
    return LocalAsk(m_ctx, m_args.flags, FmtString(format, path.c_str(), LocalLastErrorNote().c_str()), kBoxError) !=
           IDCANCEL;
  }
  bool Excluded(const std::string& rel);
  void Finish();

  std::string TargetPath(const std::string& rel) const { return rel.empty() ? m_base : RemoteJoin(m_base, rel); }
  std::string SourcePath(const std::string& rel) const { return rel.empty() ? m_sourceRoot : m_sourceRoot + "/" + rel; }
  std::string Shown(const std::string& path) const { return m_c->GetHost() + path; }

  // Lists a target folder: 1 listed, 0 missing (made now, empty), -1 failed (reported); -2 stop.
  int ListTarget(const std::string& folder, bool make, TargetFolder& out);
  // Groups by the folder's name keys; sources (by key) own their groups whatever their names look like.
  std::map<std::string, Group> GroupTarget(const std::string& folder, const TargetFolder& target,
                                           const std::map<std::string, std::string>* sources);
  std::string Key(const std::string& folder, const std::string& name) { return m_c->NameKey(folder.c_str(), name); }
  bool PassesFilters(const std::string& name) const;

  // The marks of a folder's groups (by key): from the files themselves on a local folder, else
  // from the folder's mark record. False when they cannot be read (nothing is marked or deleted).
  bool LoadMarks(const std::string& folder, const TargetFolder& target, const std::map<std::string, Group>& groups,
                 std::map<std::string, i64>& marks);
  void SaveMarks(const std::string& folder, const TargetFolder& target, const std::map<std::string, Group>& groups,
                 const std::map<std::string, i64>& marks);
  // A group whose source is back loses the marks its files carry.
  void ClearMarks(const std::string& folder, const Group& group);
  // A mark that this row could have set: after 1970, and not after a day from now. Any other is
  // damaged and counts as none, so that no file is deleted on its strength.
  bool PlausibleMark(i64 since) const { return since > 0 && since - kDaySeconds <= m_now; }

  int Walk();
  // One source folder against its target folder; -2 stops the row. links: the keys of the links
  // the target folder holds; listed: whether it could be listed (else nothing below is entered).
  int MergeFolder(const std::string& rel, int level, const SourceFolder& source, std::set<std::string>& links,
                  bool& listed);
  // A link of the target where the source has an entry of its name: left as it is, named in the
  // row's note, and the row fails.
  void KeptLink(const std::string& shown) {
    m_links.Add(shown);
    m_failed = true;
  }
  // A target folder without source folder: marks, and deletes after the days; 1 when it is gone.
  int PurgeTargetFolder(const std::string& rel, int level);
  // A group without source: marked, or deleted once marked longer than days; 1 when deleted.
  int Vanished(const std::string& folder, const std::string& key, const Group& group, i64 days,
               std::map<std::string, i64>& marks, bool& changed);
  int Update(const std::string& rel, const Group& group);
  bool Equal(const std::string& local, const std::string& remote, const SourceFile& s, const TargetFile& t);
  // Whether the target sets write times (tried once on remote, with the time it holds).
  bool SetsTimes(const std::string& remote, const FILETIME& own);
  // A note said once a row.
  void NoteOnce(bool& noted, const char* format);
  // A name for the new copy of base in folder that no entry of the folder has; "" when none.
  std::string NewCopyName(const std::string& folder, const std::string& base);
  // Copies local to remote; through newCopy, then renamed over remote, unless it is "".
  int Upload(const std::string& local, const std::string& remote, const std::string& name, const SourceFile& s,
             const std::string& newCopy);

  JobContext& m_ctx;
  const JobArgs& m_args;
  CProgressDlg* m_dialog;
  std::string m_message;
  u32 m_boxType = kBoxError;
  bool m_failed = false;
  std::vector<KopiwartPair> m_pairs;
  i64 m_days = 30;
  i64 m_now = 0;  // seconds since 1970
  u64 m_start = 0;
  std::string m_plus, m_minus;
  JobArgs m_filtered;
  std::string m_sourceRoot;
  std::string m_base;
  CUrlConnection* m_c = nullptr;
  bool m_marks = false;  // the store keeps marks on the files themselves
  std::map<std::string, i64> m_fileMarks;  // the marks read from the current folder's files
  bool m_noMarksNoted = false;
  UrlBreakHandle m_breakRecord;
  std::string m_tempPath;
  int m_setsTimes = -1;  // unknown
  bool m_timesNoted = false;
  CFolderLinkNotes m_links{""};  // shown paths
  bool m_coarseNoted = false;
  std::set<std::string> m_takenKeys;  // the keys of every entry of the folder being merged
};

bool KopiwartRow::Excluded(const std::string& rel) {
  CExcludeList& list = m_ctx.run.ExcludeList();
  if (rel.empty() || list.Count() == 0) return false;
  return ExcludeListCacheMatch(list, rel.c_str()) || ExcludeListMatch(list, rel.c_str(), -1);
}

void KopiwartRow::Finish() {
  NoteFolderLinks(m_ctx.run, m_links.Found());
  m_links = CFolderLinkNotes("");
  if (m_dialog) {
    m_dialog->SetCancelCallback(CProgressDlg::CancelFn());
    m_dialog->SetTimerCallback(CProgressDlg::TimerFn(), 0);
  }
  m_ctx.run.Progress().kind.store(PROGRESS_KIND_NONE);
  if (!m_tempPath.empty()) {
    ::unlink(m_tempPath.c_str());
    m_tempPath.clear();
  }
}

bool KopiwartRow::PassesFilters(const std::string& name) const {
  if (!m_plus.empty() && StrMatchPatternListA(name.c_str(), -1, m_plus.c_str(), STR_MATCH_NOCASE, ';') < 0)
    return false;
  return m_minus.empty() || StrMatchPatternListA(name.c_str(), -1, m_minus.c_str(), STR_MATCH_NOCASE, ';') <= 0;
}

int KopiwartRow::ListTarget(const std::string& folder, bool make, TargetFolder& out) {
  out = TargetFolder{};
  CUrlFileFind find(m_c);
  bool listed = true;
  if (find.FindFile(folder.c_str(), "", "", URL_FIND_NO_DOTS)) {
    BOOL more;
    do {
      more = find.FindNextFile();
      const std::string name = find.GetFileName();
      if (!RemoteSafeName(name)) continue;
      out.names.insert(name);
      if (name == kMarkRecord) {
        out.hasRecord = true;
        continue;
      }
      ++out.entries;
      // A link is never entered, written through or deleted through.
      if (RemoteKeptLink(find.GetFindData().dwFileAttributes)) {
        const std::string key = Key(folder, name);
        out.links.insert(key.empty() ? name : key);
        continue;
      }
      if (find.MatchesMask(URL_ATTR_DIRECTORY)) {
        out.folders.push_back(name);
        continue;
      }
      TargetFile file;
      file.size = find.GetLength64();
      find.GetLastWriteTime(&file.writeTime);
      file.coarse = (find.GetFindData().dwReserved1 & URL_TIME_COARSE) != 0;
      out.files[name] = file;
    } while (more);
  } else if (GetLastError() != ERROR_SUCCESS) {
    listed = false;
  }
  std::sort(out.folders.begin(), out.folders.end());
  // Some servers list a missing folder as empty; an empty listing is checked by entering it.
  if (listed && (out.entries > 0 || out.hasRecord || m_c->ChangeDir(folder.c_str()))) return 1;
  const DWORD error = GetLastError();
  if (!listed && m_c->ChangeDir(folder.c_str())) {
    SetLastError(error);
    Report(FmtString(kTargetUnreadable, Shown(folder).c_str(), LocalLastErrorNote().c_str()));
    return -1;
  }
  if (!make) return 0;
  if (m_c->MakeDirTree(folder.c_str())) return 0;
  return Ask(kCannotMakePath, Shown(folder)) ? -1 : -2;
}

std::map<std::string, Group> KopiwartRow::GroupTarget(const std::string& folder, const TargetFolder& target,
                                                      const std::map<std::string, std::string>* sources) {
  std::map<std::string, Group> groups;
  for (const auto& [name, file] : target.files) {
    std::string base = name;
    int version = 0;
    std::string key = Key(folder, name);
    if (key.empty()) continue;
    // A source file is its own group even when its name looks like a version.
    if (!(sources && sources->count(key)) && KopiwartSplitVersion(name, &base, &version)) key = Key(folder, base);
    if (key.empty()) continue;
    Group& g = groups[key];
    if (g.name.empty() || version == 0) g.name = base;
    if (!g.versions.count(version)) g.versions[version] = name;
    if (version == 0) g.current = &file;
  }
  // Only groups whose file the filters take belong to this row.
  for (auto it = groups.begin(); it != groups.end();) {
    if (!(sources && sources->count(it->first)) && !PassesFilters(it->second.name))
      it = groups.erase(it);
    else
      ++it;
  }
  return groups;
}

bool KopiwartRow::LoadMarks(const std::string& folder, const TargetFolder& target,
                            const std::map<std::string, Group>& groups, std::map<std::string, i64>& marks) {
  marks.clear();
  m_fileMarks.clear();
  if (m_marks) {
    // A group is marked when every file of it carries a mark; since the latest of them.
    for (const auto& [key, group] : groups) {
      bool all = true;
      i64 latest = 0;
      for (const auto& [version, name] : group.versions) {
        const std::string path = RemoteJoin(folder, name);
        i64 since = 0;
        const int r = m_c->GetMark(path.c_str(), &since);
        if (r < 0 && GetLastError() == ERROR_NOT_SUPPORTED) {
          // No marks here: every file counts as not yet marked, so none is ever deleted.
          const bool vanished =
              std::any_of(groups.begin(), groups.end(), [](const auto& g) { return !g.second.source; });
          if (vanished && !m_noMarksNoted) {
            m_noMarksNoted = true;
            m_ctx.run.Note(FmtString(kNoMarks, Shown(m_base).c_str()));
          }
          m_fileMarks.clear();
          marks.clear();
          return false;
        }
        if (r < 0) {
          Report(FmtString(kMarkUnreadable, Shown(path).c_str(), LocalLastErrorNote().c_str()));
          m_fileMarks.clear();
          marks.clear();
          return false;
        }
        if (r == 0 || !PlausibleMark(since)) {
          all = false;  // a damaged mark is none: the file is marked anew
          continue;
        }
        m_fileMarks[name] = since;
        latest = std::max(latest, since);
      }
      if (all && !group.versions.empty()) marks[key] = latest;
    }
    return true;
  }
  if (!target.hasRecord) return true;
  const std::string remote = RemoteJoin(folder, kMarkRecord);
  if (!m_c->DownloadFile(remote.c_str(), m_tempPath.c_str(), FALSE, 0x80, 2, 1)) {
    Report(FmtString(kMarksUnreadable, Shown(folder).c_str(), LocalLastErrorNote().c_str()));
    return false;
  }
  std::ifstream in(m_tempPath, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string::npos || blank == 0) continue;
    char* end = nullptr;
    errno = 0;
    const long long since = std::strtoll(line.c_str(), &end, 10);
    if (end != line.c_str() + blank || errno == ERANGE || !PlausibleMark(since)) continue;
    const std::string name = line.substr(blank + 1);
    if (!RemoteSafeName(name)) continue;
    const std::string key = Key(folder, name);
    if (!key.empty()) marks[key] = since;
  }
  return true;
}

void KopiwartRow::SaveMarks(const std::string& folder, const TargetFolder& target,
                            const std::map<std::string, Group>& groups, const std::map<std::string, i64>& marks) {
  if (m_marks) {
    for (const auto& [key, since] : marks) {
      const auto g = groups.find(key);
      if (g == groups.end()) continue;
      for (const auto& [version, name] : g->second.versions) {
        const auto had = m_fileMarks.find(name);
        if (had != m_fileMarks.end() && had->second == since) continue;
        const std::string path = RemoteJoin(folder, name);
        if (!m_c->SetMark(path.c_str(), since))
          Report(FmtString(kMarkUnwritten, Shown(path).c_str(), LocalLastErrorNote().c_str()));
      }
    }
    return;
  }
  const std::string remote = RemoteJoin(folder, kMarkRecord);
  if (marks.empty()) {
    if (target.hasRecord && !m_c->Remove(remote.c_str()))
      Report(FmtString(kMarksUnwritten, Shown(folder).c_str(), LocalLastErrorNote().c_str()));
    return;
  }
  bool written;
  {
    std::ofstream out(m_tempPath, std::ios::binary | std::ios::trunc);
    for (const auto& [key, since] : marks) {
      const auto g = groups.find(key);
      if (g != groups.end()) out << since << ' ' << g->second.name << '\n';
    }
    out.close();
    written = !out.fail();
  }
  if (!written) SetLastError(ERROR_WRITE_FAULT);
  if (!written || !m_c->UploadFile(m_tempPath.c_str(), remote.c_str(), 2, 1))
    Report(FmtString(kMarksUnwritten, Shown(folder).c_str(), LocalLastErrorNote().c_str()));
}

void KopiwartRow::ClearMarks(const std::string& folder, const Group& group) {
  if (!m_marks) return;
  for (const auto& [version, name] : group.versions) {
    if (!m_fileMarks.count(name)) continue;
    const std::string path = RemoteJoin(folder, name);
    if (!m_c->SetMark(path.c_str(), -1))
      Report(FmtString(kMarkUnwritten, Shown(path).c_str(), LocalLastErrorNote().c_str()));
  }
}

// ---- comparing and copying -----------------------------------------------------------------------

bool KopiwartRow::SetsTimes(const std::string& remote, const FILETIME& own) {
  if (m_setsTimes < 0) m_setsTimes = m_c->SetFileTime(remote.c_str(), own) ? 1 : 0;
  return m_setsTimes != 0;
}

void KopiwartRow::NoteOnce(bool& noted, const char* format) {
  if (noted) return;
  noted = true;
  m_ctx.run.Note(FmtString(format, Shown(m_base).c_str()));
}

bool KopiwartRow::Equal(const std::string& local, const std::string& remote, const SourceFile& s,
                        const TargetFile& t) {
  if (s.size != t.size) return false;
  // A listing that shows minutes (with a guessed year) or days cannot decide: the exact time where
  // the server tells it, else the contents.
  FILETIME own = t.writeTime;
  bool exact = !t.coarse;
  if (!exact && m_c->GetFileTime(remote.c_str(), &own)) exact = true;
  if (exact) {
    // A time the target cannot hold was stored as it clamps it, and counts so.
    const i64 write = FileTimeToUnix(own);
    if (KopiwartTimesEqual(s.write, write) || KopiwartTimesEqual(m_c->StoredWriteTime(remote.c_str(), s.write), write))
      return true;
    if (s.size > kCompareBytes && SetsTimes(remote, own)) return false;
  }
  Line(2, kLineCompare + remote);
  if (!m_c->DownloadFile(remote.c_str(), m_tempPath.c_str(), FALSE, 0x80, 2, 1)) return false;
  const bool same = SysFileCompare(local.c_str(), m_tempPath.c_str()) == 1;
  if (!exact)
    NoteOnce(m_coarseNoted, kCoarseTimes);
  else if (m_setsTimes == 0)
    NoteOnce(m_timesNoted, kNoTimes);
  // An equal copy takes the source's time, so that the next run needs no comparison (of no use
  // where the listing cannot tell times apart).
  if (same && exact && m_setsTimes != 0) m_c->SetFileTime(remote.c_str(), s.writeTime);
  return same;
}

std::string KopiwartRow::NewCopyName(const std::string& folder, const std::string& base) {
  for (int i = 0; i < kNewCopyNames; ++i) {
    const std::string name = base + kNewCopyTail + (i ? std::to_string(i) : "");
    const std::string key = Key(folder, name);
    if (!key.empty() && m_takenKeys.insert(key).second) return RemoteJoin(folder, name);
  }
  return "";
}

int KopiwartRow::Upload(const std::string& local, const std::string& remote, const std::string& name,
                        const SourceFile& s, const std::string& newCopy) {
  ProgressRecord& record = m_ctx.run.Progress();
  const bool replace = !newCopy.empty();
  const std::string& first = replace ? newCopy : remote;
  for (;;) {
    Line(2, kLineCopy + name);
    record.SetFileName(name);
    record.startTick.store(m_ctx.run.Now());
    record.kind.store(PROGRESS_KIND_CONNECTION);
    const BOOL sent = m_c->UploadFile(local.c_str(), first.c_str(), 2, 1);
    record.kind.store(PROGRESS_KIND_NONE);
    if (sent) break;
    const DWORD error = GetLastError();
    if (m_dialog && m_dialog->IsCancelled()) {
      m_ctx.run.SetCancel();
      return JOB_STOP_ALL;
    }
    // A source file that vanished since it was listed is no failure.
    u32 side = 0;
    int size = sizeof side;
    if (m_c->GetOption(URL_OPT_FAIL_SIDE, &side, &size) && side == URL_FAIL_LOCAL &&
        (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && ::access(local.c_str(), F_OK) != 0)
      return JOB_DONE;
    SetLastError(error);
    return Ask(kCannotCopy, Shown(remote)) ? JOB_FAILED : JOB_STOP_ALL;
  }
  if (replace) {
    Line(2, kLineDelete + name);
    if (!m_c->Remove(remote.c_str())) {
      const DWORD error = GetLastError();
      m_c->Remove(first.c_str());
      SetLastError(error);
      return Ask(kCannotDelete, Shown(remote)) ? JOB_FAILED : JOB_STOP_ALL;
    }
    if (!m_c->Rename(first.c_str(), remote.c_str()))
      return Ask(kCannotRename, Shown(first)) ? JOB_FAILED : JOB_STOP_ALL;
  }
  m_ctx.run.FilesCopied().fetch_add(1);
  // The copy takes the source's time, so that the next run finds it unchanged.
  if (m_setsTimes != 0) {
    const bool set = m_c->SetFileTime(remote.c_str(), s.writeTime);
    if (m_setsTimes < 0 || !set) m_setsTimes = set ? 1 : 0;
  }
  return JOB_DONE;
}

int KopiwartRow::Update(const std::string& rel, const Group& group) {
  const SourceFile& s = *group.source;
  const std::string& base = group.name;
  const std::string folder = TargetPath(rel);
  const std::string local = SourcePath(rel) + "/" + base;
  const std::string remote = RemoteJoin(folder, base);
  if (group.current && Equal(local, RemoteJoin(folder, group.versions.at(0)), s, *group.current)) return JOB_DONE;
  const int n = KopiwartCopiesFor(m_pairs, s.size);
  u32 existing = 0;
  for (const auto& [version, name] : group.versions) existing |= 1u << version;
  // Where each version is now; a renamed one takes the name it should have (".bak" in lower case).
  std::map<int, std::string> now;
  for (const auto& [version, name] : group.versions) now[version] = RemoteJoin(folder, name);
  for (const KopiwartStep& step : KopiwartPlanRotation(n, existing)) {
    const std::string from = now[step.from];
    if (!step.rename) {
      Line(2, kLineDelete + from);
      if (!m_c->Remove(from.c_str())) return Ask(kCannotDelete, Shown(from)) ? JOB_FAILED : JOB_STOP_ALL;
      now.erase(step.from);
      continue;
    }
    const std::string to = RemoteJoin(folder, KopiwartVersionName(base, step.to));
    Line(2, kLineRename + from);
    if (!m_c->Rename(from.c_str(), to.c_str())) return Ask(kCannotRename, Shown(from)) ? JOB_FAILED : JOB_STOP_ALL;
    now.erase(step.from);
    now[step.to] = to;
  }
  std::string newCopy;
  if (n == 1 && now.count(0)) {
    // The new copy of a file kept once never takes the name of another file of the folder.
    newCopy = NewCopyName(folder, base);
    if (newCopy.empty()) {
      SetLastError(ERROR_FILE_EXISTS);
      return Ask(kCannotCopy, Shown(remote)) ? JOB_FAILED : JOB_STOP_ALL;
    }
  }
  return Upload(local, remote, base, s, newCopy);
}

int KopiwartRow::Vanished(const std::string& folder, const std::string& key, const Group& group, i64 days,
                          std::map<std::string, i64>& marks, bool& changed) {
  const auto mark = marks.find(key);
  if (mark == marks.end()) {
    // A name that the record cannot hold is never marked, so never deleted.
    if (!m_marks && group.name.find('\n') != std::string::npos) return 0;
    Line(2, kLineMark + group.name);
    marks[key] = m_now;
    changed = true;
    return 0;
  }
  // Marks were checked when they were read: both times lie within FILETIME's range.
  const u64 now = FileTimeToU64(FileTimeFromUnix(m_now));
  const u64 since = FileTimeToU64(FileTimeFromUnix(mark->second));
  if (FileTimeDiffDays(now, since) <= days) return 0;
  for (const auto& [version, name] : group.versions) {
    const std::string path = RemoteJoin(folder, name);
    Line(2, kLineDelete + path);
    if (!m_c->Remove(path.c_str())) return Ask(kCannotDelete, Shown(path)) ? 0 : JOB_STOP_ALL;
  }
  marks.erase(mark);
  changed = true;
  return 1;
}

// ---- the walk ------------------------------------------------------------------------------------

int KopiwartRow::PurgeTargetFolder(const std::string& rel, int level) {
  const std::string folder = TargetPath(rel);
  TargetFolder target;
  const int listed = ListTarget(folder, false, target);
  if (listed == -2) return JOB_STOP_ALL;
  if (listed != 1) return 0;
  const std::map<std::string, Group> groups = GroupTarget(folder, target, nullptr);
  std::map<std::string, i64> marks;
  const bool marksKnown = LoadMarks(folder, target, groups, marks);
  int remaining = target.entries;
  if (marksKnown) {
    bool changed = false;
    for (auto it = marks.begin(); it != marks.end();) {
      if (!groups.count(it->first)) {
        it = marks.erase(it);
        changed = true;
      } else {
        ++it;
      }
    }
    const i64 days = std::max(m_days, kVanishedFolderDays);
    for (const auto& [key, group] : groups) {
      if (Cancelled()) return JOB_STOP_ALL;
      Turn();
      const int r = Vanished(folder, key, group, days, marks, changed);
      if (r == JOB_STOP_ALL) return r;
      if (r == 1) remaining -= static_cast<int>(group.versions.size());
    }
    if (changed) SaveMarks(folder, target, groups, marks);
  }
  for (auto it = target.folders.rbegin(); it != target.folders.rend(); ++it) {
    if (Cancelled()) return JOB_STOP_ALL;
    const std::string sub = rel + "/" + *it;
    if (Excluded(sub) || level > kMaxLevel) continue;
    const int r = PurgeTargetFolder(sub, level + 1);
    if (r == JOB_STOP_ALL) return r;
    if (r == 1) --remaining;
  }
  if (remaining > 0 || !marks.empty() || !marksKnown) return 0;
  return m_c->Rmdir(folder.c_str()) ? 1 : 0;
}

int KopiwartRow::MergeFolder(const std::string& rel, int level, const SourceFolder& source,
                             std::set<std::string>& links, bool& listed) {
  const std::string folder = TargetPath(rel);
  TargetFolder target;
  const int got = ListTarget(folder, true, target);
  listed = got >= 0;
  if (got == -2) return JOB_STOP_ALL;
  if (got < 0) return 0;
  links = target.links;
  // An empty source beside a filled target is a source that is not there (not mounted).
  if (rel.empty() && source.allNames.empty() && target.entries > 0) {
    m_message = FmtString(kSourceEmpty, m_sourceRoot.c_str());
    return JOB_FAILED;
  }

  // Source files named like versions of another source file of the folder are not copied.
  std::map<std::string, SourceFile> files;
  for (const auto& [name, file] : source.files) {
    std::string base;
    if (name == kMarkRecord) {
      m_ctx.run.Note(FmtString(kOwnRecordName, (SourcePath(rel) + "/" + name).c_str()));
      continue;
    }
    if (KopiwartSplitVersion(name, &base, nullptr) && source.allNames.count(base)) {
      Report(FmtString(kNameLikeVersion, (SourcePath(rel) + "/" + name).c_str(), base.c_str()));
      continue;
    }
    const std::string key = Key(folder, name);
    if (target.links.count(key.empty() ? name : key)) {
      KeptLink(Shown(RemoteJoin(folder, name)));
      continue;
    }
    files[name] = file;
  }
  // Merged by the target folder's keys: on a folder that folds names, readme.txt is README.TXT.
  std::map<std::string, std::string> sources;  // key -> source name
  for (const auto& [name, file] : files) {
    const std::string key = Key(folder, name);
    if (key.empty()) {
      m_ctx.run.Note(FmtString(kNameRefused, Shown(RemoteJoin(folder, name)).c_str()));
      continue;
    }
    if (const auto [first, added] = sources.emplace(key, name); !added)
      m_ctx.run.Note(FmtString(kNamesOneEntry, (SourcePath(rel) + "/" + first->second).c_str(),
                               (SourcePath(rel) + "/" + name).c_str()));
  }
  m_takenKeys.clear();
  for (const std::string& name : target.names) m_takenKeys.insert(Key(folder, name));
  for (const auto& [key, name] : sources) m_takenKeys.insert(key);
  std::map<std::string, Group> groups = GroupTarget(folder, target, &sources);
  for (const auto& [key, name] : sources) {
    groups[key].source = &files.at(name);
    groups[key].name = name;
  }

  std::map<std::string, i64> marks;
  const bool marksKnown = LoadMarks(folder, target, groups, marks);
  bool changed = false;
  for (auto it = marks.begin(); it != marks.end();) {
    const auto g = groups.find(it->first);
    if (g == groups.end() || g->second.source) {
      it = marks.erase(it);
      changed = true;
    } else {
      ++it;
    }
  }
  for (const auto& [key, group] : groups) {
    if (Cancelled()) return JOB_STOP_ALL;
    Turn();
    Line(2, "");
    int r = 0;
    if (group.source) {
      ClearMarks(folder, group);
      r = Update(rel, group);
    } else if (marksKnown) {
      r = Vanished(folder, key, group, m_days, marks, changed);
    }
    if (r == JOB_STOP_ALL) return r;
  }
  if (changed && marksKnown) SaveMarks(folder, target, groups, marks);

  // Target folders without a source folder; never one the walk leaves out on purpose.
  if (!m_args.subdirs || level > kMaxLevel) return 0;
  for (auto it = target.folders.rbegin(); it != target.folders.rend(); ++it) {
    if (source.allNames.count(*it)) continue;
    const std::string sub = rel.empty() ? *it : rel + "/" + *it;
    if (Excluded(sub)) continue;
    if (PurgeTargetFolder(sub, level + 1) == JOB_STOP_ALL) return JOB_STOP_ALL;
  }
  return 0;
}

int KopiwartRow::Walk() {
  std::vector<std::pair<std::string, int>> stack{{"", 0}};
  while (!stack.empty()) {
    if (Cancelled()) return JOB_STOP_ALL;
    const auto [rel, level] = stack.back();
    stack.pop_back();
    const std::string path = SourcePath(rel);
    Line(0, path);
    Line(1, Shown(TargetPath(rel)));
    Line(2, kSearchFiles);
    SourceFolder source;
    if (!ReadSourceFolder(path, m_filtered, source)) {
      const std::string text = FmtString(kSourceUnreadable, path.c_str(), LocalLastErrorNote().c_str());
      if (rel.empty()) return Fail(text);
      Report(text);
      continue;
    }
    std::set<std::string> links;
    bool listed = false;
    const int r = MergeFolder(rel, level, source, links, listed);
    if (r == JOB_FAILED) return JOB_FAILED;
    if (r == JOB_STOP_ALL) return r;
    // Below a target folder that could not be listed its links are not known: nothing is entered.
    if (m_args.subdirs && level <= kMaxLevel && listed) {
      const std::string folder = TargetPath(rel);
      for (auto it = source.folders.rbegin(); it != source.folders.rend(); ++it) {
        const std::string sub = rel.empty() ? *it : rel + "/" + *it;
        if (Excluded(sub)) continue;
        const std::string key = Key(folder, *it);
        if (links.count(key.empty() ? *it : key)) {
          KeptLink(Shown(RemoteJoin(folder, *it)));
          continue;
        }
        stack.push_back({sub, level + 1});
      }
    }
  }
  return m_failed ? JOB_FAILED : JOB_DONE;
}

int KopiwartRow::Run() {
  m_ctx.run.Progress().Reset();
  m_start = m_ctx.run.Now();
  m_now = m_ctx.env.Now();
  const std::string cell = m_args.extra ? m_args.extra : "";
  const KopiwartExtra extra = KopiwartParseExtra(cell);
  m_pairs = extra.pairs;
  m_days = m_pairs.front().value;
  const std::string rest = cell.substr(std::min(extra.restOffset, cell.size()));
  const char* head = rest.c_str();
  if (!HostListMatch(&head, m_ctx.env.hostName)) return JOB_DONE;
  const bool targetMustExist = ExcludeListBuild(m_ctx.run.ExcludeList(), head, EXCLUDE_TARGET_SIGN) == 1;

  Line(2, kOpenTarget);
  {
    char buffer[4096];
    if (SysTempName(buffer, sizeof buffer, nullptr, "*?_Kopiwart.tmp") < 0)
      return Fail(FmtString(kTempFailed, LocalLastErrorNote().c_str()));
    m_tempPath = buffer;
  }

  const std::string sourceCell = m_args.source ? m_args.source : "";
  if (SysFileExist(sourceCell.c_str()) < 2) return Fail(FmtString(kSourceMissing, sourceCell.c_str()), kBoxNote);
  m_sourceRoot = FullPath(sourceCell);
  while (m_sourceRoot.size() > 1 && m_sourceRoot.back() == '/') m_sourceRoot.pop_back();

  // Filters that take every name are none.
  const auto filter = [](const char* text) {
    const std::string t = text ? text : "";
    return t == "*" || t == "*.*" ? std::string() : t;
  };
  m_plus = filter(m_args.plus);
  m_minus = filter(m_args.minus);
  m_filtered = m_args;
  m_filtered.plus = m_plus.c_str();
  m_filtered.minus = m_minus.c_str();

  const char* targetText = m_args.target ? m_args.target : "";
  const std::string unknown = GetUrlUnknownScheme(targetText);
  if (!unknown.empty()) return Fail(UrlSchemeUnknownText(unknown));
  RemoteCell target;
  if (GetUrlKind(targetText, TRUE) == URL_KIND_NONE) {
    target.kind = URL_KIND_LOCAL;
    target.path = FullPath(targetText);
  } else if (!RemoteCellSplit(targetText, target, m_message)) {
    return JOB_FAILED;
  }

  CRowCarry& carry = m_ctx.run.Carry();
  m_c = (m_args.flags & RUN_CONTINUED) ? carry.Connection() : nullptr;
  if (!m_c) {
    if (m_dialog) m_dialog->SetCancelCallback([this] { BreakUrlConnection(&m_breakRecord); });
    std::string notice;
    std::unique_ptr<CUrlConnection> connection = RemoteCellConnect(target, &m_breakRecord, m_message, false, &notice);
    if (!notice.empty()) m_ctx.run.Note(notice);
    if (!connection) {
      carry.TakeConnection();  // a connection that failed is not handed on
      return JOB_FAILED;
    }
    m_c = connection.get();
    carry.HoldConnection(std::move(connection));
  }
  CUrlConnection* c = m_c;
  if (m_dialog) {
    m_dialog->SetCancelCallback([c] { CancelBreakConnection(c); });
    m_ctx.run.InstallProgressTimer(m_dialog);
    m_dialog->SetTotal(32);
    m_dialog->SetPos(0);
  }
  if (!RemoteCellResolve(*m_c, target, m_base, m_message)) return JOB_FAILED;
  m_marks = m_c->Capabilities().marks;
  if (!m_c->ChangeDir(m_base.c_str())) {
    if (targetMustExist) return JOB_DONE;
    if (!m_c->MakeDirTree(m_base.c_str()) || !m_c->ChangeDir(m_base.c_str()))
      return Fail(FmtString(kCannotMakePath, Shown(m_base).c_str(), LocalLastErrorNote().c_str()));
  }
  return Walk();
}

}  // namespace

int RunKopiwart(JobContext& ctx, const JobArgs& args) {
  int result;
  std::string message;
  u32 type = kBoxError;
  {
    KopiwartRow row(ctx, args);
    result = row.Run();
    message = row.Message();
    type = row.BoxType();
  }
  if (result == JOB_FAILED && !message.empty()) return LocalFail(ctx, args.flags, message, type);
  return result;
}
