// Rules of a run that need no view: schedule test, RunFlags, target and path checks, continuation.
#include "jobs/run_rules.h"

#include "lib/system/sys_path.h"
#include "lib/system/vars.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"

#include <algorithm>
#include <cstring>

namespace {

struct UrlHead {
  std::string scheme, host, user, password;
  int port = 0;
};

UrlHead SplitHead(const std::string& url) {
  char host[1024], user[64], password[64], scheme[16];
  int port = 0;
  EncSplitUrlA(url.c_str(), host, sizeof host, user, password, &port, scheme, nullptr, 0, nullptr, 0);
  return UrlHead{scheme, host, user, password, port};
}

}  // namespace

// ---- schedule -----------------------------------------------------------------------------------

i64 ScheduleTolerance(i64 intervalSeconds) {
  if (intervalSeconds <= 0) return 0;
  return std::min<i64>(intervalSeconds / 24, 3600);
}

bool ScheduleIsDue(const JobSchedule& schedule, i64 now) {
  if ((schedule.word & SCHED_UNIT_MASK) == SCHED_ALWAYS) return true;
  const i64 interval = ScheduleIntervalSeconds(schedule.word, schedule.interval);
  if (interval <= 0) return true;
  const i64 last = schedule.lastRun;
  if (last == 0 || now < last) return true;
  return now >= last + interval - ScheduleTolerance(interval);
}

// ---- RunFlags -----------------------------------------------------------------------------------

u32 RunFlagsFromSchedule(u32 word) {
  u32 flags = 0;
  if (word & SCHED_NEWER_ONLY) flags |= RUN_NEWER_ONLY;
  if (word & SCHED_NEVER_OVERWRITE) flags |= RUN_NO_OVERWRITE;
  if (word & SCHED_KEEP_READONLY) flags |= RUN_KEEP_READONLY;
  return flags;
}

u32 StartupRunFlags(bool always, bool noWindow, u32 word) {
  u32 flags = always ? RUN_DIALOG : (RUN_DIALOG | RUN_SCHEDULE);
  if (noWindow) flags &= ~static_cast<u32>(RUN_DIALOG);
  return flags | RunFlagsFromSchedule(word);
}

// ---- rows ---------------------------------------------------------------------------------------

bool RowNeedsTarget(int mode, std::string_view source) {
  if (JobModeInfoOf(mode).target == ModeTarget::Needed) return true;
  return !(StrEndsWithNoCase(source, ".reg") || StrEndsWithNoCase(source, ".crg"));
}

bool IsRegistryKeyPath(std::string_view text) {
  static constexpr std::string_view kPrefix = "hkey_";
  if (text.size() < kPrefix.size()) return false;
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != kPrefix[i]) return false;
  }
  return true;
}

std::string RowPathFromCell(int mode, int column, std::string_view cell, i64 now) {
  if (EncUrlForm(cell) == URL_FORM_URL) return VarExpandString(cell, now);
  if (column == JOB_COL_SOURCE && JobModeHas(mode, MODE_REGISTRY)) {
    std::string expanded = VarExpandString(cell, now);
    if (IsRegistryKeyPath(expanded)) return expanded;
  }
  std::string local(cell);
  std::replace(local.begin(), local.end(), '\\', '/');
  return VarExpandString(local, now);
}

std::optional<std::string> UnknownVariableOf(std::string_view cell) {
  for (std::size_t i = cell.find('$'); i != std::string_view::npos; i = cell.find('$', i)) {
    if (i + 1 < cell.size() && cell[i + 1] == '$') {
      i += 2;
      continue;
    }
    if (i + 1 >= cell.size() || cell[i + 1] != '(') {
      ++i;
      continue;
    }
    const std::size_t close = cell.find(')', i + 2);
    if (close == std::string_view::npos) break;  // nor does any later "$(" close
    const std::string_view name = cell.substr(i + 2, close - i - 2);
    if (!VarGet(name)) return std::string(name);
    i = close + 1;
  }
  return std::nullopt;
}

std::string UnknownVariableText(std::string_view name) {
  const std::string n(name);
  return FmtString("Die Variable $(%s) ist nicht bekannt; der Eintrag wird nicht ausgeführt !", n.c_str());
}

std::string RowRefusedText(int row, std::string_view reason) {
  const std::string r(reason);
  return FmtString("Eintrag %d: %s", row, r.c_str());
}

std::string SourceTooLongReason() {
  return FmtString("Die Quelle ist länger als %d Zeichen; der Eintrag wird nicht ausgeführt !", kJobCellMaxChars);
}

std::string TargetTooLongReason() {
  return FmtString("Das Ziel ist länger als %d Zeichen; der Eintrag wird nicht ausgeführt !", kJobCellMaxChars);
}

std::string NoExportTargetReason(std::string_view key) {
  const std::string k(key);
  return FmtString("Für den Registry Schlüssel %s ist kein Ziel angegeben; der Eintrag wird nicht ausgeführt !",
                   k.c_str());
}

std::string RegExportFailedText(std::string_view key, std::string_view target) {
  return "Kann Registry Schlüssel :\n" + std::string(key) + "\nnicht nach :\n" + std::string(target) + "\nexportieren !";
}

bool IsDriveOrUncPath(std::string_view path) {
  const UrlForm form = EncUrlForm(path);
  return form == URL_FORM_DRIVE || form == URL_FORM_UNC;
}

std::string DriveOrUncPathText(std::string_view path) {
  const std::string p(path);
  return FmtString("Der Pfad:\n%s\nhat einen Laufwerksbuchstaben oder ist ein UNC-Pfad; "
                   "solche Pfade gibt es hier nicht. Der Eintrag wird nicht ausgeführt !",
                   p.c_str());
}

bool CellFitsAfterExpansion(std::string_view text) { return JobCellFits(text); }

std::string CellTooLongText(std::string_view cell) {
  const std::string c(cell);
  return FmtString("Der Pfad:\n%s\nwird mit den eingesetzten Variablen zu lang !", c.c_str());
}

bool RowContinues(const RowKey& row, const RowKey& next) {
  const ModeShare from = JobModeInfoOf(row.mode).share;
  const ModeShare to = JobModeInfoOf(next.mode).share;
  if ((from == ModeShare::NewArchive || from == ModeShare::AddArchive) && to == ModeShare::AddArchive) {
    return !row.target.empty() && SysPathCompare(row.target.c_str(), next.target.c_str(), 0) == 0;
  }
  if (from == ModeShare::Connection && to == ModeShare::Connection) {
    const UrlHead a = SplitHead(row.target);
    const UrlHead b = SplitHead(next.target);
    return StrEqualsNoCase(a.scheme, b.scheme) && StrEqualsNoCase(a.host, b.host) && a.port == b.port &&
           a.user == b.user && a.password == b.password;
  }
  return false;
}

u32 ModeAddedFlags(int mode) { return JobModeInfoOf(mode).addedFlags; }

bool ModeContinues(int mode) { return JobModeInfoOf(mode).share != ModeShare::None; }
