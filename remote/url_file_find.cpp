// The directory enumerator: one listing read whole through ReadDir, filtered as it arrives.
#include "remote/url_file_find.h"

#include "lib/system/sys_path.h"
#include "lib/system/sys_time.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/url_connection.h"

#include <cassert>
#include <cstddef>
#include <cstring>

namespace {

constexpr std::size_t kHead = offsetof(WIN32_FIND_DATAA, cFileName);

bool IsDotsName(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A folder that names its own place: "/..." or a drive form "X:/...".
bool IsRooted(const std::string& dir) {
  return dir.starts_with('/') || (dir.size() >= 3 && IsAlpha(dir[0]) && dir[1] == ':' && dir[2] == '/');
}

BOOL FailWith(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace

CUrlFileFind::CUrlFileFind(CUrlConnection* connection) : m_connection(connection) {
  static_assert(kHead <= static_cast<std::size_t>(kUserArea));
}

bool CUrlFileFind::Rewind(const std::string& request) {
  if (m_entries.Count() == 0) return false;
  // Stored entries are handed out again as they are; a caller that lists another folder must
  // use another enumerator or URL_FIND_REREAD.
  assert(request == m_request && "CUrlFileFind: another listing without URL_FIND_REREAD");
  (void)request;
  m_next = 0;
  return true;
}

void CUrlFileFind::TakeFlags(u32 flags) {
  m_endSeen = false;
  m_skipFolders = (flags & URL_FIND_NO_FOLDERS) != 0;
  m_foldersUnfiltered = (flags & URL_FIND_FOLDERS_UNFILTERED) != 0;
  m_skipDots = (flags & URL_FIND_NO_DOTS) != 0;
  m_skipFiles = (flags & URL_FIND_NO_FILES) != 0;
}

std::string CUrlFileFind::MakeRoot(const std::string& directory) const {
  std::string root;
  if (IsRooted(directory)) {
    root = directory;
  } else {
    std::string current;
    if (!m_connection->GetCurrentDirString(current)) return {};
    root = current;
    if (!root.ends_with('/')) root += '/';
    root += directory;
  }
  if (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

BOOL CUrlFileFind::FindFile(const char* pattern, u32 flags) {
  if (!m_connection) return FailWith(ERROR_INVALID_HANDLE);
  const std::string text = pattern ? pattern : "";
  const std::string request = "1\n" + text + "\n" + std::to_string(flags & ~URL_FIND_REREAD);
  if (!(flags & URL_FIND_REREAD) && Rewind(request)) return TRUE;
  if (m_closed) return FailWith(ERROR_INVALID_HANDLE);

  const std::size_t slash = text.rfind('/');
  const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  std::string directory = text;
  m_hasMask = false;
  m_mask.clear();
  if (text.find_first_of("*?", nameAt) != std::string::npos) {
    directory = text.substr(0, nameAt);
    m_mask = text.substr(nameAt);
    m_hasMask = true;
  }
  m_hasInclude = m_hasExclude = false;
  m_include.clear();
  m_exclude.clear();
  TakeFlags(flags);
  m_root = MakeRoot(directory);
  if (m_root.empty()) return FALSE;  // the current folder is not known

  bool foldersOnly = false;
  const char* filter = nullptr;
  if (!m_foldersUnfiltered) {
    if (m_skipFiles && !m_hasMask) {
      u32 answer = 0;
      int size = sizeof answer;
      foldersOnly = m_connection->GetOption(URL_OPT_FOLDERS_ONLY, &answer, &size) && answer != 0;
    }
    if (!foldersOnly && m_hasMask) filter = m_mask.c_str();
  }
  if (!Read(filter, foldersOnly)) return FALSE;
  m_request = request;
  return TRUE;
}

BOOL CUrlFileFind::FindFile(const char* directory, const char* include, const char* exclude, u32 flags) {
  if (!m_connection) return FailWith(ERROR_INVALID_HANDLE);
  const std::string dir = directory ? directory : "";
  const std::string in = include ? include : "";
  const std::string request = "2\n" + dir + "\n" + in + "\n" + (exclude ? exclude : "\x01") + "\n" +
                              std::to_string(flags & ~URL_FIND_REREAD);
  if (!(flags & URL_FIND_REREAD) && Rewind(request)) return TRUE;
  if (m_closed) return FailWith(ERROR_INVALID_HANDLE);

  m_hasMask = !in.empty() && in.find(';') == std::string::npos;
  m_mask = m_hasMask ? in : std::string();
  m_hasInclude = !m_hasMask && !in.empty();
  m_include = m_hasInclude ? in : std::string();
  m_hasExclude = exclude && *exclude;
  m_exclude = m_hasExclude ? exclude : "";
  TakeFlags(flags);
  m_root = MakeRoot(dir);
  if (m_root.empty()) return FALSE;
  const char* filter = (!m_foldersUnfiltered && m_hasMask) ? m_mask.c_str() : nullptr;
  if (!Read(filter, false)) return FALSE;
  m_request = request;
  return TRUE;
}

BOOL CUrlFileFind::Read(const char* filter, bool foldersOnly) {
  m_entries.RemoveAll();
  m_next = 0;
  m_current = WIN32_FIND_DATAA{};
  UrlDirFilter dirFilter;
  dirFilter.mask = filter;
  dirFilter.foldersOnly = foldersOnly;
  const BOOL listed = m_connection->ReadDir(m_root.c_str(), this, EntryFn, dirFilter);
  if (listed && !m_closed && m_entries.Count() > 0) return TRUE;
  DWORD code = ERROR_SUCCESS;
  if (!listed) {
    code = GetLastError();
    if (code == ERROR_SUCCESS) code = ERROR_INTERNAL_ERROR;  // a failure must never read as "empty"
  }
  // A listing broken off stores nothing.
  m_entries.RemoveAll();
  SetLastError(code);
  return FALSE;
}

BOOL CUrlFileFind::EntryFn(void* context, const WIN32_FIND_DATAA* entry) {
  return static_cast<CUrlFileFind*>(context)->Entry(entry);
}

BOOL CUrlFileFind::Entry(const WIN32_FIND_DATAA* entry) {
  if (!entry) {
    m_endSeen = true;
    return FALSE;
  }
  if (m_closed) return FALSE;
  const std::string name(entry->cFileName, strnlen(entry->cFileName, sizeof entry->cFileName));
  const auto store = [&] {
    BYTE head[kUserArea] = {};
    std::memcpy(head, entry, kHead);
    m_entries.Insert(-1, name.c_str(), static_cast<int>(name.size()), head);
    return TRUE;
  };
  if (entry->dwFileAttributes & URL_ATTR_DIRECTORY) {
    if (m_skipFolders) return TRUE;
    if (m_skipDots && IsDotsName(name.c_str())) return TRUE;
    if (m_foldersUnfiltered) return store();
  } else if (m_skipFiles) {
    return TRUE;
  }
  if (!NamePasses(name, m_hasMask ? m_mask.c_str() : nullptr, m_hasInclude ? m_include.c_str() : nullptr,
                  m_hasExclude ? m_exclude.c_str() : nullptr))
    return TRUE;
  return store();
}

bool CUrlFileFind::NamePasses(const std::string& name, const char* mask, const char* include, const char* exclude) {
  if (mask && StrMatchPatternA(mask, -1, name.c_str(), -1, STR_MATCH_NOCASE | STR_MATCH_STARDOT) != 0) return false;
  if (include && StrMatchPatternListA(name.c_str(), -1, include, STR_MATCH_NOCASE, ';') < 0) return false;
  return !exclude || StrMatchPatternListA(name.c_str(), -1, exclude, STR_MATCH_NOCASE, ';') <= 0;
}

bool CUrlFileFind::PassesLists(const std::string& name, const char* include, const char* exclude) {
  const std::string in = include ? include : "";
  const bool single = !in.empty() && in.find(';') == std::string::npos;
  return NamePasses(name, single ? in.c_str() : nullptr, !single && !in.empty() ? in.c_str() : nullptr,
                    exclude && *exclude ? exclude : nullptr);
}

BOOL CUrlFileFind::FindNextFile() {
  if (!m_endSeen || m_next >= m_entries.Count()) return FALSE;
  std::memcpy(static_cast<void*>(&m_current), m_entries.Item(m_next), kHead);
  StrCopyA(m_current.cFileName, m_entries.Text(m_next), sizeof m_current.cFileName);
  ++m_next;
  return m_next < m_entries.Count();
}

BOOL CUrlFileFind::Close() {
  m_closed = true;
  m_entries.RemoveAll();
  m_next = 0;
  return TRUE;
}

std::string CUrlFileFind::GetFilePath() const {
  return m_root + (m_root.ends_with('/') ? "" : "/") + m_current.cFileName;
}

std::string CUrlFileFind::GetFileTitle() const {
  char title[260];
  SysPathBaseName(title, -1, m_current.cFileName, sizeof title);
  return title;
}

std::string CUrlFileFind::GetFileURL() const {
  std::string path = GetFilePath();
  if (path.starts_with('/')) path.erase(0, 1);
  if (!m_connection) return path;
  return std::string(m_connection->GetUrlPrefix()) + m_connection->GetHost() + "/" + path;
}

BOOL CUrlFileFind::IsDots() const {
  return IsDotsName(m_current.cFileName);
}

BOOL CUrlFileFind::GetCreationTime(FILETIME* out) const {
  *out = m_current.ftCreationTime;
  return TRUE;
}
BOOL CUrlFileFind::GetLastAccessTime(FILETIME* out) const {
  *out = m_current.ftLastAccessTime;
  return TRUE;
}
BOOL CUrlFileFind::GetLastWriteTime(FILETIME* out) const {
  *out = m_current.ftLastWriteTime;
  return TRUE;
}
BOOL CUrlFileFind::GetCreationTime(SysUtc* out) const {
  return SysFileTimeToTime(&m_current.ftCreationTime, out);
}
BOOL CUrlFileFind::GetLastAccessTime(SysUtc* out) const {
  return SysFileTimeToTime(&m_current.ftLastAccessTime, out);
}
BOOL CUrlFileFind::GetLastWriteTime(SysUtc* out) const {
  return SysFileTimeToTime(&m_current.ftLastWriteTime, out);
}
SysUtc CUrlFileFind::GetCreationTime() const {
  SysUtc t = 0;
  GetCreationTime(&t);
  return t;
}
SysUtc CUrlFileFind::GetLastAccessTime() const {
  SysUtc t = 0;
  GetLastAccessTime(&t);
  return t;
}
SysUtc CUrlFileFind::GetLastWriteTime() const {
  SysUtc t = 0;
  GetLastWriteTime(&t);
  return t;
}
