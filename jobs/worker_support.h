// Services that the runner and the mode workers share: error texts, the extra cell's head
// (host restriction, target sign, excluded folders), the local target test, cancel callbacks.
#pragma once

#include "jobs/job_model.h"
#include "lib/system/sys_counter.h"
#include "lib/system/sys_types.h"
#include "platform/win_types.h"

#include <optional>
#include <string>
#include <string_view>

class CUrlConnection;

// ---- error texts ------------------------------------------------------------------------------

// The German text for a Windows error code, or defaultText for a code without one.
const char* Win32ErrorText(DWORD code, const char* defaultText);

// ---- the extra cell's head --------------------------------------------------------------------

// Length of a host restriction "*[" name at the start of text: the name runs to the first ";" or
// "]" or the end, then one "]" and after it one ";" are taken too. 0 when text does not begin
// with "*[". The name goes into *host when given.
std::size_t ExtraHostSpan(std::string_view text, std::string* host = nullptr);
// Length of the existing-target sign at the start of text: "*" alone (1) or "*;" (2), else 0.
std::size_t ExtraTargetSignSpan(std::string_view text);
// The excluded folders of a ";"-separated list: a leading "/" or "\" dropped, blanks, tabs and
// line breaks cut at the end, separators turned into "/", ASCII letters into lower case; empty
// items left out.
void ExtraExcludedFolders(std::string_view list, std::vector<std::string>& out);
// The whole head: host restriction, then the target sign, then the excluded folders, which run
// to the end of the cell. restOffset is where the list after the sign begins (modes with a list
// of their own read it from there).
JobExtraHead ExtraHeadParse(std::string_view cell);

// The computer's name as the host restriction and the buffer lists compare it. Filled once: from
// the environment variable KPW_HOSTNAME when it is set and not empty (one machine can then play
// several computers, as end-to-end tests of a buffer carrier do), else from gethostname. A test
// may set a name of its own (nullopt goes back to the one filled).
inline constexpr const char* kHostNameVariable = "KPW_HOSTNAME";
std::string WorkerHostName();
void SetWorkerHostName(std::optional<std::string> name);

// Whether a name from a cell names this computer: equal to the host name, or to its short form
// up to the first ".", letter case ignored (ASCII).
bool HostNameMatches(std::string_view cellName, std::string_view hostName);

// The host restriction at *text: 1 the row applies here (also when there is none), 0 it does not.
// *text is moved past the restriction.
int HostListMatch(const char** text);

// ---- excluded folders -------------------------------------------------------------------------

// A list of excluded-folder patterns with the pattern of the last match remembered. Used by one
// thread at a time (the worker thread of a run).
class CExcludeList {
 public:
  int Count() const { return static_cast<int>(m_patterns.size()); }
  const std::string& Pattern(int i) const { return m_patterns[static_cast<std::size_t>(i)]; }
  const std::vector<std::string>& Patterns() const { return m_patterns; }
  // The remembered pattern; empty when none.
  const std::string& Remembered() const { return m_remembered; }

 private:
  friend int ExcludeListBuild(CExcludeList& list, const char* text, int flags);
  friend int ExcludeListMatch(CExcludeList& list, const char* path, int length);
  friend int ExcludeListCacheMatch(CExcludeList& list, const char* path);
  std::vector<std::string> m_patterns;
  std::string m_remembered;
};

enum : int { EXCLUDE_TARGET_SIGN = 1 };

// Fills the list from the folder part of an extra cell (after the host restriction). With
// EXCLUDE_TARGET_SIGN a leading "*" alone or "*;" is consumed and the result is 1; else 0.
int ExcludeListBuild(CExcludeList& list, const char* text, int flags);
// 1 when a pattern names the folder path (relative, "/" or "\" separators; length -1 = to the
// NUL) or a folder above it, letter case ignored; the pattern is then remembered. 0 otherwise.
int ExcludeListMatch(CExcludeList& list, const char* path, int length);
// 1 when the remembered pattern, compared literally, names the path or a folder above it;
// otherwise 0 and the pattern is forgotten. Spares the wildcard test for the many entries of one
// excluded folder that follow each other.
int ExcludeListCacheMatch(CExcludeList& list, const char* path);

// ---- local targets ----------------------------------------------------------------------------

enum : int {
  TARGET_SKIP = 0,       // leave the target alone (also when it cannot be examined)
  TARGET_ABSENT = 1,     // no target yet
  TARGET_OVERWRITE = 2,  // write over it (a read-only target has been made writable)
  TARGET_FOLDER = 3,     // the target is a folder
};
// Whether a copy may write the target, by the RunFlags 0x08, 0x20 and 0x01 (newer only: the
// source must be newer at two-second granularity, one hour apart counting as equal). Only a
// missing target or folder on the way means absent; any other failure to look it up skips with
// the last error set.
int CheckLocalTarget(const char* target, const FILETIME* sourceWrite, u32 runFlags);
int CheckLocalTargetTime(const char* target, SysUtc sourceWrite, u32 runFlags);

// ---- cancel callbacks -------------------------------------------------------------------------

// Raises a worker's stop flag (the cancel callback of a progress dialog).
void CancelSetFlag(SysCancelFlag* flag);
// Breaks the connection's running transfer, if any (the cancel callback during a transfer).
void CancelBreakConnection(CUrlConnection* connection);

// ---- network drives ---------------------------------------------------------------------------

// Drive letters have no meaning here, so there is never a mapped drive to reconnect: empties the
// buffer (when there is room) and returns 0. No program is run.
int ConnectNetworkDrive(const char* drive, char* buffer, int size);
