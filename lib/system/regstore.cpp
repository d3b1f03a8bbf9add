// The registry store: key trees in memory and the hive files, cached and changed under a lock.
#include "lib/system/regstore.h"

#include "lib/system/sys_fdio.h"
#include "lib/system/sys_replace.h"
#include "lib/system/sys_seam_hooks.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Splits "a\b\c" into its first name and the rest; empty names (doubled separators) are skipped.
std::string_view FirstName(std::string_view& path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  const auto sep = path.find('\\');
  std::string_view name = path.substr(0, sep);
  path = sep == std::string_view::npos ? std::string_view{} : path.substr(sep + 1);
  return name;
}

}  // namespace

bool RegNameLess::operator()(const std::string& a, const std::string& b) const {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(FoldAscii(a[i]));
    const auto cb = static_cast<unsigned char>(FoldAscii(b[i]));
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

bool RegNameEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

RegKey::RegKey(const RegKey& other) : values(other.values) {
  for (const auto& [name, sub] : other.subkeys) subkeys.emplace(name, std::make_unique<RegKey>(*sub));
}

const RegKey* RegKey::Find(std::string_view path) const {
  const RegKey* key = this;
  while (key) {
    const std::string_view name = FirstName(path);
    if (name.empty()) return key;
    const auto it = key->subkeys.find(std::string(name));
    key = it == key->subkeys.end() ? nullptr : it->second.get();
  }
  return nullptr;
}

RegKey* RegKey::Find(std::string_view path) {
  return const_cast<RegKey*>(static_cast<const RegKey*>(this)->Find(path));
}

RegKey& RegKey::Create(std::string_view path) {
  RegKey* key = this;
  for (;;) {
    const std::string_view name = FirstName(path);
    if (name.empty()) return *key;
    auto& slot = key->subkeys[std::string(name)];
    if (!slot) slot = std::make_unique<RegKey>();
    key = slot.get();
  }
}

bool RegKey::Remove(std::string_view path) {
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  const auto sep = path.rfind('\\');
  RegKey* parent = sep == std::string_view::npos ? this : Find(path.substr(0, sep));
  const std::string_view name = sep == std::string_view::npos ? path : path.substr(sep + 1);
  if (!parent || name.empty()) return false;
  return parent->subkeys.erase(std::string(name)) > 0;
}

const RegValueInfo* RegKey::FindValue(std::string_view name) const {
  for (const auto& v : values)
    if (RegNameEqual(v.name, name)) return &v;
  return nullptr;
}

void RegKey::SetValue(std::string_view name, DWORD type, std::vector<BYTE> data) {
  for (auto& v : values) {
    if (RegNameEqual(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  values.push_back(RegValueInfo{std::string(name), type, std::move(data)});
}

bool RegKey::DeleteValue(std::string_view name) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (RegNameEqual(it->name, name)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

bool RegHiveOfRoot(HKEY root, RegHive* hive) {
  if (root == HKEY_CURRENT_USER) {
    *hive = RegHive::User;
    return true;
  }
  if (root == HKEY_LOCAL_MACHINE) {
    *hive = RegHive::Machine;
    return true;
  }
  return false;
}

// --- hive files ---------------------------------------------------------------------------

namespace {

constexpr char kSystemMachineFile[] = "/etc/xdg/Tavrin/registry.reg";

std::string HomeDir() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  struct passwd pw{};
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "/";
}

std::string DirOf(const std::string& file) {
  const auto slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// Creates the folder and its missing parents with the given mode.
bool MakeDirs(const std::string& dir, mode_t mode) {
  struct stat st{};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || (errno = ENOTDIR, false);
  const std::string parent = DirOf(dir);
  if (parent != dir && !MakeDirs(parent, mode | 0700)) return false;
  return ::mkdir(dir.c_str(), mode) == 0 || errno == EEXIST;
}

struct FileSig {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  struct timespec mtime{};
  bool operator==(const FileSig& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};
FileSig SigOf(const struct stat& st) { return FileSig{st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }

// The last tree read or written per hive and file, so that repeated reads parse nothing.
struct HiveCache {
  std::mutex mutex;
  std::string file;
  FileSig sig;
  std::shared_ptr<const RegKey> tree;
};
HiveCache g_cache[2];
HiveCache& CacheOf(RegHive hive) { return g_cache[hive == RegHive::User ? 0 : 1]; }

// Builds the tree of a hive file's text. The store is read leniently: lines that do not parse
// are skipped (and *damaged set) so that one bad hand edit does not lose the rest.
std::shared_ptr<RegKey> TreeOfText(const std::string& text, HKEY root, bool* damaged) {
  auto tree = std::make_shared<RegKey>();
  *damaged = false;
  std::string_view rest = text;
  // Parse block by block ("[" lines start a block) so that a bad block costs only itself.
  std::vector<std::string> blocks;
  std::string current = std::string(kRegHeader5) + "\n";
  bool first = true;
  while (!rest.empty()) {
    const auto nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    if (first) {
      first = false;
      if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.remove_prefix(3);
      std::string_view trimmed = line;
      while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == ' ')) trimmed.remove_suffix(1);
      if (trimmed == kRegHeader5 || trimmed == kRegHeader4) continue;
      *damaged = true;
    }
    if (!line.empty() && line.front() == '[') {
      blocks.push_back(std::move(current));
      current = std::string(kRegHeader5) + "\n";
    }
    current.append(line);
    current.push_back('\n');
  }
  blocks.push_back(std::move(current));
  for (const auto& block : blocks) {
    RegParsedFile parsed;
    RegParseError error;
    if (!RegParseText(block, parsed, error)) {
      *damaged = true;
      continue;
    }
    for (const auto& key : parsed.keys) {
      int offset = 0;
      if (RegRootFromName(key.path.c_str(), &offset) != root || key.remove) {
        *damaged = true;
        continue;
      }
      RegKey& k = tree->Create(std::string_view(key.path).substr(static_cast<std::size_t>(offset)));
      for (const auto& v : key.values) {
        if (v.remove)
          k.DeleteValue(v.name);
        else
          k.SetValue(v.name, v.type, v.data);
      }
    }
  }
  return tree;
}

std::string TextOfTree(const RegKey& tree, HKEY root) {
  std::string out = kRegHeader5;
  out += "\n\n";
  RegFormat format;
  format.eol = "\n";
  const std::string rootName = RegRootName(root);
  // The root's own block only when it holds values; sub-keys carry their full paths.
  if (!tree.values.empty()) {
    RegKey rootOnly;
    rootOnly.values = tree.values;
    RegFormatKey(out, rootOnly, rootName, format);
  }
  for (const auto& [name, sub] : tree.subkeys) RegFormatKey(out, *sub, rootName + "\\" + name, format);
  return out;
}

HKEY RootOfHive(RegHive hive) { return hive == RegHive::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

// Reads and parses the hive file at path. A missing file is an empty tree.
bool LoadFile(const std::string& path, HKEY root, std::shared_ptr<RegKey>& tree, FileSig& sig,
              bool* damaged) {
  *damaged = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      tree = std::make_shared<RegKey>();
      sig = FileSig{};
      return true;
    }
    SetLastErrorFromErrno(errno, path.c_str());
    return false;
  }
  struct stat st{};
  std::string text;
  const bool ok = ::fstat(fd, &st) == 0 && SysReadToEnd(fd, text);
  const int err = errno;
  ::close(fd);
  if (!ok) {
    SetLastErrorFromErrno(err, path.c_str());
    return false;
  }
  sig = SigOf(st);
  tree = TreeOfText(text, root, damaged);
  return true;
}

}  // namespace

std::string RegStoreFile(RegHive hive) {
  if (hive == RegHive::Machine) return SysSeamMachineHiveFile(kSystemMachineFile);
  std::string dir;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
    dir = xdg;
  else
    dir = HomeDir() + "/.config";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/Tavrin/registry.reg";
}

bool RegStoreWritable(RegHive hive) { return hive == RegHive::User || ::geteuid() == 0; }

bool RegStoreRead(RegHive hive, const std::function<void(const RegKey& root)>& fn) {
  const std::string path = RegStoreFile(hive);
  HiveCache& cache = CacheOf(hive);
  struct stat st{};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  std::shared_ptr<const RegKey> tree;
  {
    std::lock_guard lock(cache.mutex);
    if (cache.tree && cache.file == path && (exists ? SigOf(st) == cache.sig : cache.sig.size < 0))
      tree = cache.tree;
  }
  if (!tree) {
    std::shared_ptr<RegKey> fresh;
    FileSig sig;
    bool damaged = false;
    if (!LoadFile(path, RootOfHive(hive), fresh, sig, &damaged)) return false;
    tree = fresh;
    std::lock_guard lock(cache.mutex);
    cache.file = path;
    cache.sig = sig;
    cache.tree = tree;
  }
  fn(*tree);
  return true;
}

bool RegStoreModify(RegHive hive, const std::function<bool(RegKey& root)>& fn) {
  if (!RegStoreWritable(hive)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const std::string path = RegStoreFile(hive);
  const std::string dir = DirOf(path);
  const mode_t fileMode = hive == RegHive::User ? 0600 : 0644;
  if (!MakeDirs(dir, hive == RegHive::User ? 0700 : 0755)) {
    SetLastErrorFromErrno(errno, dir.c_str());
    return false;
  }
  // The lock lives in a file of its own: the hive file is replaced by every write.
  const std::string lockPath = path + ".lock";
  const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, fileMode);
  if (lockFd < 0) {
    SetLastErrorFromErrno(errno, lockPath.c_str());
    return false;
  }
  while (::flock(lockFd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      SetLastErrorFromErrno(errno, lockPath.c_str());
      ::close(lockFd);
      return false;
    }
  }
  bool ok = false;
  do {
    std::shared_ptr<RegKey> tree;
    FileSig sig;
    bool damaged = false;
    if (!LoadFile(path, RootOfHive(hive), tree, sig, &damaged)) break;
    if (!fn(*tree)) break;
    if (damaged) {
      // Keep the damaged text once, so that a hand edit that went wrong can be mended.
      const std::string keep = path + ".bak";
      if (::link(path.c_str(), keep.c_str()) != 0 && errno == EEXIST) {
        ::unlink(keep.c_str());
        (void)::link(path.c_str(), keep.c_str());
      }
    }
    const std::string text = TextOfTree(*tree, RootOfHive(hive));
    SysReplacement file;
    if (file.Begin(path.c_str()) != 0) break;
    // A new hive is private to its owner; an existing one keeps its mode.
    if (!file.Replacing() && ::fchmod(file.Fd(), fileMode) != 0) {
      SetLastErrorFromErrno(errno, path.c_str());
      break;
    }
    if (file.Write(text.data(), text.size()) != 0) break;
    struct stat st{};
    if (::fstat(file.Fd(), &st) != 0) {
      SetLastErrorFromErrno(errno, path.c_str());
      break;
    }
    if (file.Commit(true) != 0) break;
    HiveCache& cache = CacheOf(hive);
    std::lock_guard lock(cache.mutex);
    cache.file = path;
    cache.sig = SigOf(st);
    cache.tree = std::move(tree);
    ok = true;
  } while (false);
  ::close(lockFd);  // releases the lock
  return ok;
}
