// CDirListing: reads folders breadth-first, filters names, keeps compact entry records.
#include "lib/system/dirlisting.h"

#include "lib/system/sys_ospath.h"
#include "lib/system/sys_path.h"
#include "lib/system/sys_seam_hooks.h"
#include "lib/system/sys_stat.h"
#include "lib/system/sys_tree.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kListFlags = STR_MATCH_NOCASE | STR_MATCH_STARDOT;

bool InList(const std::string& list, const char* name, int length) {
  return !list.empty() && StrMatchPatternListA(name, length, list.c_str(), kListFlags, ';') > 0;
}

int CompareNoCase(const char* a, std::size_t na, const char* b, std::size_t nb) {
  const std::size_t n = std::min(na, nb);
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    unsigned char cb = static_cast<unsigned char>(b[i]);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca + 32);
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb + 32);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return na < nb ? -1 : (na > nb ? 1 : 0);
}

struct RawEntry {
  std::string name;
  SysFileInfo info;
  bool realDir = false;
};

}  // namespace

CDirListing::CDirListing() = default;

CDirListing::CDirListing(const char* path, int flags, const char* include, const char* exclude) {
  if (path) Open(path, flags, include, exclude);
}

CDirListing::~CDirListing() = default;

void CDirListing::Clear() {
  m_entries.clear();
  m_names.clear();
  m_folders.clear();
  m_pending.clear();
  m_rootLength = 0;
  m_rootFd.Reset();
  m_namePattern.clear();
  m_current = -1;
  m_failed = false;
}

int CDirListing::Open(const char* path, int flags, const char* include, const char* exclude) {
  return Read(path, flags, include, exclude);
}

int CDirListing::Read(const char* path, int flags, const char* include, const char* exclude) {
  if (!path) {
    if (m_pending.empty()) return -1;
    ReadPending();
    return GetCount();
  }
  Clear();
  m_flags = flags;
  m_include = include ? include : "";
  m_exclude = exclude ? exclude : "";
  const SysOsPath os(path);
  if (!os.ok()) {
    m_failed = true;
    return -1;
  }
  std::string root = os.c_str();
  int nameLength = 0;
  const char* name = SysPathName(static_cast<int>(root.size()), root.c_str(), &nameLength);
  bool wholeFolder = nameLength == 0;
  if (!wholeFolder && !std::strpbrk(name, "*?")) {
    struct stat st {};
    wholeFolder = ::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  if (wholeFolder) {
    if (!root.empty() && root.back() != '/') root += '/';
  } else {
    m_namePattern.assign(name, static_cast<std::size_t>(nameLength));
    root.resize(root.size() - static_cast<std::size_t>(nameLength));
  }
  m_rootLength = root.size();
  m_folders.push_back(root);
  // The listed folder is opened once as the path says; every folder below it through it.
  std::string rootPath = root.empty() ? std::string(".") : root;
  if (rootPath.size() > 1 && rootPath.back() == '/') rootPath.pop_back();
  m_rootFd.Reset(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!m_rootFd) {
    SetLastErrorFromErrno(errno, rootPath.c_str());
    m_failed = true;
    return -1;
  }
  if (!ReadFolder(0)) return -1;
  if (flags & DL_READ_ALL) {
    while (!m_pending.empty()) ReadPending();
  }
  return GetCount();
}

bool CDirListing::NameMatches(const char* name, int length) const {
  return m_namePattern.empty() || StrMatchPatternA(m_namePattern.c_str(), static_cast<int>(m_namePattern.size()),
                                                   name, length, STR_MATCH_STARDOT) == 0;
}

bool CDirListing::FileWanted(const char* name, int length) const {
  if (m_flags & DL_ONLY_FOLDERS) return false;
  if (!NameMatches(name, length)) return false;
  if (InList(m_exclude, name, length)) return false;
  return m_include.empty() || InList(m_include, name, length);
}

bool CDirListing::ReadPending() {
  const u32 folder = m_pending.front();
  m_pending.pop_front();
  return ReadFolder(folder);
}

bool CDirListing::ReadFolder(u32 folder) {
  // Copy: reading may add folders and so move the table.
  const std::string dirPath = m_folders[folder];
  std::string openPath = dirPath.empty() ? std::string(".") : dirPath;
  if (openPath.size() > 1 && openPath.back() == '/') openPath.pop_back();
  if (SysSeamDirFault(openPath.c_str())) {
    SetLastError(ERROR_ACCESS_DENIED);
    m_failed = true;
    return false;
  }
  // Below the listed folder nothing is opened through a link, even one swapped in meanwhile.
  std::string_view rel(dirPath);
  rel.remove_prefix(std::min(m_rootLength, rel.size()));
  const int fd = SysOpenBeneath(m_rootFd.Get(), rel);
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (!dir) {
    SetLastErrorFromErrno(errno, openPath.c_str());
    if (fd >= 0) ::close(fd);
    m_failed = true;
    return false;
  }
  const bool listFolders = (m_flags & (DL_FOLDERS | DL_ONLY_FOLDERS)) != 0;
  const bool subdirs = m_flags & DL_SUBDIRS;
  std::vector<RawEntry> raw;
  errno = 0;
  while (dirent* e = ::readdir(dir)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    // Names that no rule can take need no status call.
    const std::size_t len = std::strlen(n);
    if (e->d_type == DT_REG && !FileWanted(n, static_cast<int>(len))) continue;
    if (e->d_type == DT_DIR && !subdirs && !listFolders) continue;
    RawEntry r;
    r.name.assign(n, len);
    const int err = SysStatInfo(fd, n, &r.info, &r.realDir);
    if (err) {
      if (err != ENOENT) {  // a name that vanished meanwhile is no failure
        SetLastErrorFromErrno(err, nullptr);
        m_failed = true;
      }
      continue;
    }
    raw.push_back(std::move(r));
    errno = 0;
  }
  if (errno != 0) {
    SetLastErrorFromErrno(errno, openPath.c_str());
    m_failed = true;
  }
  ::closedir(dir);
  std::sort(raw.begin(), raw.end(), [](const RawEntry& a, const RawEntry& b) { return a.name < b.name; });

  for (RawEntry& r : raw) {
    const int len = static_cast<int>(r.name.size());
    const bool isFolder = r.info.dwAttr & SYS_ATTR_FOLDER;
    if (InList(m_exclude, r.name.c_str(), len)) continue;
    if (isFolder && r.realDir && subdirs) {
      m_folders.push_back(dirPath + r.name + '/');
      m_pending.push_back(static_cast<u32>(m_folders.size() - 1));
    }
    if (isFolder) {
      if (!listFolders || !NameMatches(r.name.c_str(), len)) continue;
    } else if (!FileWanted(r.name.c_str(), len)) {
      continue;
    }
    Entry entry;
    entry.folder = folder;
    entry.nameOffset = static_cast<u32>(m_names.size());
    entry.nameLength = static_cast<u32>(len);
    entry.info = r.info;
    m_names.append(r.name);
    m_names.push_back('\0');
    m_entries.push_back(entry);
  }
  return true;
}

const char* CDirListing::Build(u32 folder, const char* name, u32 nameLength, int pathMode, int* outLength) {
  if (pathMode == DL_PATH_NAME) {
    m_path.assign(name, nameLength);
  } else {
    const std::string& dir = m_folders[folder];
    const std::size_t skip = pathMode == DL_PATH_RELATIVE ? std::min(m_rootLength, dir.size()) : 0;
    m_path.assign(dir, skip, std::string::npos);
    m_path.append(name, nameLength);
  }
  if (outLength) *outLength = static_cast<int>(m_path.size());
  return m_path.c_str();
}

const char* CDirListing::Next(int mode, int* outLength) {
  const int next = m_current + 1;
  while (next >= GetCount() && !m_pending.empty()) ReadPending();
  if (next >= GetCount()) {
    m_current = GetCount();
    if (outLength) *outLength = 0;
    return nullptr;
  }
  m_current = next;
  const int pathMode = mode == DL_NEXT_FULL ? DL_PATH_FULL : (mode == DL_NEXT_RELATIVE ? DL_PATH_RELATIVE : DL_PATH_NAME);
  return GetEntryPath(&m_entries[static_cast<std::size_t>(next)], outLength, pathMode);
}

const char* CDirListing::GetPath(int i, int* outLength, int mode) {
  if (i < 0 || i >= GetCount()) {
    if (outLength) *outLength = 0;
    return nullptr;
  }
  return GetEntryPath(&m_entries[static_cast<std::size_t>(i)], outLength, mode);
}

int CDirListing::GetPathLength(int i, int mode) {
  int length = -1;
  return GetPath(i, &length, mode) ? length : -1;
}

const char* CDirListing::GetEntryPath(const Entry* entry, int* outLength, int mode) {
  if (!entry) {
    if (outLength) *outLength = 0;
    return nullptr;
  }
  return Build(entry->folder, m_names.c_str() + entry->nameOffset, entry->nameLength, mode, outLength);
}

u64 CDirListing::GetTotalSize() const {
  u64 total = 0;
  for (const Entry& e : m_entries)
    if (!e.IsFolder()) total += e.info.qwSize;
  return total;
}

int CDirListing::Remove(int i) {
  if (i < 0 || i >= GetCount()) return 0;
  m_entries.erase(m_entries.begin() + i);
  if (i <= m_current) --m_current;
  return 1;
}

void CDirListing::Sort(int key, int flags) {
  const bool foldersFirst = !(flags & DL_SORT_FOLDERS_MIXED);
  auto name = [this](const Entry& e) { return m_names.c_str() + e.nameOffset; };
  auto byName = [&](const Entry& a, const Entry& b) {
    const int c = CompareNoCase(name(a), a.nameLength, name(b), b.nameLength);
    if (c != 0) return c < 0;
    return std::strcmp(name(a), name(b)) < 0;
  };
  std::stable_sort(m_entries.begin(), m_entries.end(), [&](const Entry& a, const Entry& b) {
    if (foldersFirst && a.IsFolder() != b.IsFolder()) return a.IsFolder();
    if (key == DL_SORT_FOLDER) {
      const std::string& fa = m_folders[a.folder];
      const std::string& fb = m_folders[b.folder];
      const int c = CompareNoCase(fa.data(), fa.size(), fb.data(), fb.size());
      if (c != 0) return c < 0;
      if (a.folder != b.folder) return fa < fb;
    } else if (key == DL_SORT_USER) {
      const i32 ua = static_cast<i32>(a.dwUser);
      const i32 ub = static_cast<i32>(b.dwUser);
      if (ua != ub) return ua < ub;
    }
    return byName(a, b);
  });
  m_current = -1;
}

CDirListing::Entry* CDirListing::GetEntry(int i) {
  if (i < 0 || i >= GetCount()) return nullptr;
  return &m_entries[static_cast<std::size_t>(i)];
}

int CDirListing::GetReadState() const {
  if (m_failed) return 2;
  return m_entries.empty() ? 1 : 0;
}

std::size_t CDirListing::GetMemoryUsage() const {
  std::size_t bytes = sizeof(*this) + m_entries.capacity() * sizeof(Entry) + m_names.capacity();
  bytes += m_folders.capacity() * sizeof(std::string);
  for (const std::string& f : m_folders) bytes += f.capacity() > 15 ? f.capacity() + 1 : 0;
  bytes += m_pending.size() * sizeof(u32);
  return bytes;
}
