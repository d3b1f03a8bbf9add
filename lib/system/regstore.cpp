// The registry store: key trees over the hive files, read key by key, cached and changed under a lock.
#include "lib/system/regstore.h"

#include "lib/system/sys_fd.h"
#include "lib/system/sys_fdio.h"
#include "lib/system/sys_replace.h"
#include "lib/system/sys_seam_hooks.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

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

// --- a hive file as it was read ------------------------------------------------------------

namespace {

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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeftBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRightLine(std::string_view s) {
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Values as a key's lines set them: SetValue and DeleteValue without marking anything changed.
void PutValue(std::vector<RegValueInfo>& values, std::string_view name, DWORD type, std::vector<BYTE> data) {
  for (auto& v : values) {
    if (RegNameEqual(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  values.push_back(RegValueInfo{std::string(name), type, std::move(data)});
}

bool DropValue(std::vector<RegValueInfo>& values, std::string_view name) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (RegNameEqual(it->name, name)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

// The lines of a file, each with its offset and its first bytes (at most kHeadMax, without the
// line end), read a piece at a time: a file of any size takes no more memory than a piece.
class LineReader {
 public:
  static constexpr std::size_t kHeadMax = 64 << 10;

  explicit LineReader(int fd) : m_fd(fd), m_buf(1 << 20) {}

  // The next line; false at the end of the file or on a read error (error() then says which).
  bool Next(u64& start, std::string& head) {
    head.clear();
    start = m_offset + m_pos;
    bool any = false;
    for (;;) {
      if (m_pos == m_end) {
        if (m_eof || !Fill()) return any;
        continue;
      }
      any = true;
      const char* p = m_buf.data() + m_pos;
      const auto* nl = static_cast<const char*>(std::memchr(p, '\n', m_end - m_pos));
      const std::size_t n = nl ? static_cast<std::size_t>(nl - p) : m_end - m_pos;
      if (head.size() < kHeadMax) head.append(p, std::min(n, kHeadMax - head.size()));
      m_pos += n;
      if (nl) {
        ++m_pos;
        return true;
      }
    }
  }
  // Where reading stopped: the end of the file after the last line.
  u64 Offset() const { return m_offset + m_pos; }
  int error() const { return m_error; }

 private:
  bool Fill() {
    m_offset += m_end;
    m_pos = m_end = 0;
    for (;;) {
      const ssize_t n = ::read(m_fd, m_buf.data(), m_buf.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) m_error = errno;
      if (n <= 0) {
        m_eof = true;
        return false;
      }
      m_end = static_cast<std::size_t>(n);
      return true;
    }
  }

  int m_fd;
  std::vector<char> m_buf;
  std::size_t m_pos = 0, m_end = 0;
  u64 m_offset = 0;  // of m_buf[0] in the file
  bool m_eof = false;
  int m_error = 0;
};

// The key path of a "[" line below root; false for a line that cannot head a block of the store.
bool HeadPath(std::string_view line, HKEY root, std::string& path) {
  const std::string_view t = TrimRightLine(line);
  const auto close = t.rfind(']');
  if (t.empty() || t.front() != '[' || close == std::string_view::npos || !TrimLeftBlanks(t.substr(close + 1)).empty())
    return false;
  const std::string text(t.substr(1, close - 1));
  int rest = 0;
  // A deletion ("[-...]") has no place in the store.
  if (text.empty() || text.front() == '-' || RegRootFromName(text.c_str(), &rest) != root) return false;
  if (text.back() == '\\' || text.find("\\\\") != std::string::npos) return false;
  path = text.substr(static_cast<std::size_t>(rest));
  return true;
}

}  // namespace

// A hive file as it was read: its blocks ("[" line and the lines up to the next one) are parsed
// when a key's values are first asked for and copied unchanged when the hive is written again.
// The file stays open, so a later replace by another writer does not move the lines.
class RegStoreText {
 public:
  RegStoreText(SysFd fd, const struct stat& st, HKEY root) : m_fd(std::move(fd)), m_sig(SigOf(st)), m_root(root) {}

  // The key tree of the file, read from its current position: each block goes to its key; blocks
  // that cannot stand (a bad "[" line, a deletion, another root) and stray lines before the first
  // block are left out and mark the file damaged. 0 or an errno.
  static int Scan(const std::shared_ptr<RegStoreText>& text, RegKey& tree);
  // Writes tree as the hive's whole new text; keys whose values did not change get their lines
  // copied. placed gets every key with the ranges of its lines in the new text. 0 or an errno.
  using Placed = std::vector<std::pair<RegKey*, std::vector<RegKey::Range>>>;
  static int Write(SysReplacement& file, RegKey& tree, HKEY root, Placed& placed);
  // Makes the keys read their lines from text (the new file) from now on, parsing them anew.
  static void Rebind(const Placed& placed, const std::shared_ptr<RegStoreText>& text);

  void LoadValues(const RegKey& key);
  // Whether the file is still the one scanned (not written in place meanwhile).
  bool Unchanged() const {
    struct stat st{};
    return ::fstat(m_fd.Get(), &st) == 0 && SigOf(st) == m_sig;
  }
  const FileSig& Sig() const { return m_sig; }
  bool Damaged() const { return m_damaged.load(); }
  // An errno when a key's lines could not be read again, else 0.
  int Failure() const { return m_failure.load(); }

 private:
  bool Read(const RegKey::Range& range, std::string& out);
  void Fail(int err) {
    int none = 0;
    m_failure.compare_exchange_strong(none, err);
  }

  SysFd m_fd;
  FileSig m_sig;
  HKEY m_root;
  std::mutex m_mutex;  // the keys' first reads
  std::atomic<bool> m_damaged{false};
  std::atomic<int> m_failure{0};
};

int RegStoreText::Scan(const std::shared_ptr<RegStoreText>& text, RegKey& tree) {
  LineReader reader(text->m_fd.Get());
  u64 start = 0;
  std::string line;
  bool first = true;
  bool inBlock = false;
  RegKey* key = nullptr;  // the current block's key; null for a block that is left out
  u64 blockStart = 0;
  std::string path;
  const auto endBlock = [&](u64 end) {
    if (!key) return;
    key->m_text = text;
    key->m_ranges.push_back(RegKey::Range{blockStart, end - blockStart});
    key->m_loaded.store(false, std::memory_order_relaxed);
  };
  while (reader.Next(start, line)) {
    std::string_view t = line;
    if (first) {
      first = false;
      if (t.starts_with("\xEF\xBB\xBF")) {
        t.remove_prefix(3);
        start += 3;
      }
      const std::string_view head = TrimRightLine(t);
      if (head == kRegHeader5 || head == kRegHeader4) continue;
      text->m_damaged = true;
    }
    const std::string_view lead = TrimLeftBlanks(t);
    if (!lead.empty() && lead.front() == '[') {
      endBlock(start);
      inBlock = true;
      blockStart = start;
      key = HeadPath(lead, text->m_root, path) ? &tree.Create(path) : nullptr;
      if (!key) text->m_damaged = true;
      continue;
    }
    if (!inBlock && !TrimRightLine(lead).empty() && lead.front() != ';') text->m_damaged = true;
  }
  if (reader.error()) return reader.error();
  endBlock(reader.Offset());
  // Building the tree is no change of it.
  struct Clear {
    static void Keys(RegKey& k) {
      k.m_keysChanged = false;
      for (auto& [name, sub] : k.subkeys) Keys(*sub);
    }
  };
  Clear::Keys(tree);
  return 0;
}

bool RegStoreText::Read(const RegKey::Range& range, std::string& out) {
  out.resize(range.length);
  if (!SysPreadAll(m_fd.Get(), out.data(), out.size(), range.offset)) {
    Fail(errno ? errno : EIO);
    return false;
  }
  // Lines that moved under the key (the file written in place meanwhile) are no key's lines.
  const std::string_view lead = TrimLeftBlanks(out);
  if (!Unchanged() || lead.empty() || lead.front() != '[') {
    Fail(EIO);
    return false;
  }
  return true;
}

void RegStoreText::LoadValues(const RegKey& key) {
  std::lock_guard lock(m_mutex);
  if (key.m_loaded.load(std::memory_order_relaxed)) return;
  std::vector<RegValueInfo> values;
  for (const RegKey::Range& range : key.m_ranges) {
    std::string lines;
    if (!Read(range, lines)) continue;
    std::string block = std::string(kRegHeader5) + "\n";
    block += lines;
    lines = std::string();
    RegParsedFile parsed;
    RegParseError error;
    // A block that does not parse costs only itself, as when the store was read whole.
    if (!RegParseText(block, parsed, error)) {
      m_damaged = true;
      continue;
    }
    for (auto& k : parsed.keys) {
      for (auto& v : k.values) {
        if (v.remove)
          DropValue(values, v.name);
        else
          PutValue(values, v.name, v.type, std::move(v.data));
      }
    }
  }
  key.m_values = std::move(values);
  key.m_loaded.store(true, std::memory_order_release);
}

namespace {

// The new text of a hive, written in pieces; offsets count what was written so far.
class HiveOut {
 public:
  explicit HiveOut(SysReplacement& file) : m_file(file) {}
  u64 Offset() const { return m_written + m_buf.size(); }
  int Put(std::string_view text) {
    m_buf.append(text);
    return m_buf.size() >= kPiece ? Flush() : 0;
  }
  int Flush() {
    if (m_buf.empty()) return 0;
    if (const int err = m_file.Write(m_buf.data(), m_buf.size())) return err;
    m_written += m_buf.size();
    m_buf.clear();
    return 0;
  }
  // Copies bytes of another file; ends them with a line end when they lack one.
  int Copy(int fd, u64 offset, u64 length) {
    if (const int err = Flush()) return err;
    std::vector<char> piece(static_cast<std::size_t>(std::min<u64>(length, kPiece)));
    char last = '\n';
    while (length > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<u64>(length, piece.size()));
      if (!SysPreadAll(fd, piece.data(), n, offset)) return errno ? errno : EIO;
      if (const int err = m_file.Write(piece.data(), n)) return err;
      m_written += n;
      offset += n;
      length -= n;
      last = piece[n - 1];
    }
    return last == '\n' ? 0 : Put("\n");
  }

 private:
  static constexpr std::size_t kPiece = 1 << 20;
  SysReplacement& m_file;
  std::string m_buf;
  u64 m_written = 0;
};

}  // namespace

int RegStoreText::Write(SysReplacement& file, RegKey& tree, HKEY root, Placed& placed) {
  HiveOut out(file);
  RegFormat format;
  format.eol = "\n";
  if (const int err = out.Put(std::string(kRegHeader5) + "\n\n")) return err;
  // One key's lines. The root's own block only when it holds values: sub-keys carry their full
  // paths. A key without lines of its own still gets its "[" line, or it would be lost.
  const auto block = [&](RegKey& key, const std::string& fullPath, bool isRoot) -> int {
    std::vector<RegKey::Range> ranges;
    if (key.m_valuesChanged || !key.m_text) {
      if (!isRoot || !key.Values().empty()) {
        std::string text;
        RegFormatKeyBlock(text, key, fullPath, format);
        ranges.push_back(RegKey::Range{out.Offset(), text.size()});
        if (const int err = out.Put(text)) return err;
      }
    } else {
      for (const RegKey::Range& r : key.m_ranges) {
        const u64 begin = out.Offset();
        if (const int err = out.Copy(key.m_text->m_fd.Get(), r.offset, r.length)) return err;
        ranges.push_back(RegKey::Range{begin, out.Offset() - begin});
      }
    }
    placed.emplace_back(&key, std::move(ranges));
    return 0;
  };
  const std::string rootName = RegRootName(root);
  if (const int err = block(tree, rootName, true)) return err;
  const std::function<int(RegKey&, const std::string&)> below = [&](RegKey& key, const std::string& fullPath) {
    for (auto& [name, sub] : key.subkeys) {
      const std::string path = fullPath + "\\" + name;
      if (const int err = block(*sub, path, false)) return err;
      if (const int err = below(*sub, path)) return err;
    }
    return 0;
  };
  if (const int err = below(tree, rootName)) return err;
  return out.Flush();
}

void RegStoreText::Rebind(const Placed& placed, const std::shared_ptr<RegStoreText>& text) {
  for (const auto& [key, ranges] : placed) {
    key->m_ranges = ranges;
    key->m_text = ranges.empty() ? nullptr : text;
    std::vector<RegValueInfo>().swap(key->m_values);
    key->m_loaded.store(ranges.empty(), std::memory_order_relaxed);
    key->m_valuesChanged = false;
    key->m_keysChanged = false;
  }
}

// --- keys ---------------------------------------------------------------------------------

RegKey::RegKey(const RegKey& other) : m_valuesChanged(other.m_valuesChanged), m_keysChanged(other.m_keysChanged) {
  if (other.m_valuesChanged || !other.m_text) {
    m_values = other.Values();
  } else {
    m_text = other.m_text;
    m_ranges = other.m_ranges;
    m_loaded.store(false, std::memory_order_relaxed);
  }
  for (const auto& [name, sub] : other.subkeys) subkeys.emplace(name, std::make_unique<RegKey>(*sub));
}

void RegKey::Load() const {
  if (!m_loaded.load(std::memory_order_acquire)) m_text->LoadValues(*this);
}

const std::vector<RegValueInfo>& RegKey::Values() const {
  Load();
  return m_values;
}

std::vector<RegValueInfo>& RegKey::LoadedValues() {
  Load();
  return m_values;
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
    if (!slot) {
      slot = std::make_unique<RegKey>();
      key->m_keysChanged = true;
    }
    key = slot.get();
  }
}

bool RegKey::Remove(std::string_view path) {
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  const auto sep = path.rfind('\\');
  RegKey* parent = sep == std::string_view::npos ? this : Find(path.substr(0, sep));
  const std::string_view name = sep == std::string_view::npos ? path : path.substr(sep + 1);
  if (!parent || name.empty() || parent->subkeys.erase(std::string(name)) == 0) return false;
  parent->m_keysChanged = true;
  return true;
}

const RegValueInfo* RegKey::FindValue(std::string_view name) const {
  for (const auto& v : Values())
    if (RegNameEqual(v.name, name)) return &v;
  return nullptr;
}

void RegKey::SetValue(std::string_view name, DWORD type, std::vector<BYTE> data) {
  std::vector<RegValueInfo>& values = LoadedValues();
  for (auto& v : values) {
    if (!RegNameEqual(v.name, name)) continue;
    if (v.type == type && v.data == data) return;
    v.type = type;
    v.data = std::move(data);
    m_valuesChanged = true;
    return;
  }
  values.push_back(RegValueInfo{std::string(name), type, std::move(data)});
  m_valuesChanged = true;
}

bool RegKey::DeleteValue(std::string_view name) {
  if (!DropValue(LoadedValues(), name)) return false;
  m_valuesChanged = true;
  return true;
}

bool RegKey::Changed() const {
  if (m_valuesChanged || m_keysChanged) return true;
  for (const auto& [name, sub] : subkeys)
    if (sub->Changed()) return true;
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

// The last tree read or written per hive and file, so that repeated reads parse nothing.
struct HiveCache {
  std::mutex mutex;
  std::string file;
  FileSig sig;
  std::shared_ptr<const RegKey> tree;
  std::shared_ptr<RegStoreText> text;  // null for a hive without a file
};
HiveCache g_cache[2];
HiveCache& CacheOf(RegHive hive) { return g_cache[hive == RegHive::User ? 0 : 1]; }

HKEY RootOfHive(RegHive hive) { return hive == RegHive::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

// Reads the key tree of the hive file at path (its values stay in the file). A missing file is
// an empty tree without a text.
bool LoadFile(const std::string& path, HKEY root, std::shared_ptr<RegKey>& tree,
              std::shared_ptr<RegStoreText>& text, FileSig& sig) {
  tree = std::make_shared<RegKey>();
  text.reset();
  sig = FileSig{};
  SysFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    SetLastErrorFromErrno(errno, path.c_str());
    return false;
  }
  struct stat st{};
  if (::fstat(fd.Get(), &st) != 0) {
    SetLastErrorFromErrno(errno, path.c_str());
    return false;
  }
  text = std::make_shared<RegStoreText>(std::move(fd), st, root);
  if (const int err = RegStoreText::Scan(text, *tree)) {
    SetLastErrorFromErrno(err, path.c_str());
    return false;
  }
  sig = text->Sig();
  return true;
}

// The cached tree of a hive when the file is still the one it was read from.
bool CachedTree(HiveCache& cache, const std::string& path, std::shared_ptr<const RegKey>& tree,
                std::shared_ptr<RegStoreText>& text) {
  struct stat st{};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  std::lock_guard lock(cache.mutex);
  if (!cache.tree || cache.file != path || !(exists ? SigOf(st) == cache.sig : cache.sig.size < 0)) return false;
  if (cache.text && cache.text->Failure()) return false;
  tree = cache.tree;
  text = cache.text;
  return true;
}

void SetCache(HiveCache& cache, const std::string& path, const FileSig& sig, std::shared_ptr<const RegKey> tree,
              std::shared_ptr<RegStoreText> text) {
  std::lock_guard lock(cache.mutex);
  cache.file = path;
  cache.sig = sig;
  cache.tree = std::move(tree);
  cache.text = std::move(text);
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
  std::shared_ptr<const RegKey> tree;
  std::shared_ptr<RegStoreText> text;
  if (!CachedTree(cache, path, tree, text)) {
    std::shared_ptr<RegKey> fresh;
    FileSig sig;
    if (!LoadFile(path, RootOfHive(hive), fresh, text, sig)) return false;
    tree = fresh;
    SetCache(cache, path, sig, tree, text);
  }
  fn(*tree);
  if (text && text->Failure()) {
    // What fn saw may lack values; the next call reads the file anew.
    SetCache(cache, path, FileSig{}, nullptr, nullptr);
    SetLastErrorFromErrno(text->Failure(), path.c_str());
    return false;
  }
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
  SysFd lockFd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, fileMode));
  if (!lockFd) {
    SetLastErrorFromErrno(errno, lockPath.c_str());
    return false;
  }
  while (::flock(lockFd.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      SetLastErrorFromErrno(errno, lockPath.c_str());
      return false;
    }
  }
  HiveCache& cache = CacheOf(hive);
  const HKEY root = RootOfHive(hive);
  bool ok = false;
  do {
    // Under the lock the file is the current one: the cached tree serves when it was read from it.
    std::shared_ptr<RegKey> tree;
    std::shared_ptr<RegStoreText> text;
    std::shared_ptr<const RegKey> cached;
    FileSig sig;
    if (CachedTree(cache, path, cached, text)) {
      tree = std::make_shared<RegKey>(*cached);
    } else if (!LoadFile(path, root, tree, text, sig)) {
      break;
    }
    if (!fn(*tree)) break;
    if (text && text->Failure()) {
      SetLastErrorFromErrno(text->Failure(), path.c_str());
      SetCache(cache, path, FileSig{}, nullptr, nullptr);
      break;
    }
    // Nothing to write: the file stays as it is, its time included.
    if (!tree->Changed()) {
      ok = true;
      break;
    }
    if (text && text->Damaged()) {
      // Keep the damaged text once, so that a hand edit that went wrong can be mended.
      const std::string keep = path + ".bak";
      if (::link(path.c_str(), keep.c_str()) != 0 && errno == EEXIST) {
        ::unlink(keep.c_str());
        (void)::link(path.c_str(), keep.c_str());
      }
    }
    SysReplacement file;
    if (file.Begin(path.c_str()) != 0) break;
    // A new hive is private to its owner; an existing one keeps its mode.
    if (!file.Replacing() && ::fchmod(file.Fd(), fileMode) != 0) {
      SetLastErrorFromErrno(errno, path.c_str());
      break;
    }
    RegStoreText::Placed placed;
    if (const int err = RegStoreText::Write(file, *tree, root, placed)) {
      SetLastErrorFromErrno(err, path.c_str());
      break;
    }
    // Lines copied from a file that was written in place meanwhile would be another key's.
    if (text && !text->Unchanged()) {
      SetLastErrorFromErrno(EIO, path.c_str());
      SetCache(cache, path, FileSig{}, nullptr, nullptr);
      break;
    }
    struct stat st{};
    if (::fstat(file.Fd(), &st) != 0) {
      SetLastErrorFromErrno(errno, path.c_str());
      break;
    }
    // The new file stays open: the keys read their lines from it from now on.
    SysFd keepFd(::fcntl(file.Fd(), F_DUPFD_CLOEXEC, 0));
    if (file.Commit(true) != 0) break;
    if (keepFd) {
      auto written = std::make_shared<RegStoreText>(std::move(keepFd), st, root);
      RegStoreText::Rebind(placed, written);
      const FileSig writtenSig = written->Sig();
      SetCache(cache, path, writtenSig, std::move(tree), std::move(written));
    } else {
      SetCache(cache, path, FileSig{}, nullptr, nullptr);
    }
    ok = true;
  } while (false);
  lockFd.Reset();  // releases the lock
  return ok;
}
