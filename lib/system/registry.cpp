// CRegistry: the key stack over the registry store, and the root names.
#include "lib/system/registry.h"

#include "lib/system/regstore.h"
#include "platform/last_error.h"

#include <cstring>
#include <functional>
#include <mutex>

namespace {

struct RootName {
  HKEY root;
  const char* name;
  const char* shortName;
};
constexpr RootName kRoots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
    {HKEY_USERS, "HKEY_USERS", "HKU"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"},
};

std::mutex g_namesMutex;
std::string g_company = "Tavrin";
std::string g_application = "Kopiwart";

// "\"-separated path without empty names.
std::string CleanPath(std::string_view path) {
  std::string out;
  std::size_t i = 0;
  while (i < path.size()) {
    const auto sep = path.find('\\', i);
    const std::string_view name = path.substr(i, sep == std::string_view::npos ? std::string_view::npos : sep - i);
    if (!name.empty()) {
      if (!out.empty()) out.push_back('\\');
      out.append(name);
    }
    if (sep == std::string_view::npos) break;
    i = sep + 1;
  }
  return out;
}

// Line breaks would break the store's text lines; Windows forbids them in key names anyway.
bool HasLineBreak(std::string_view name) { return name.find_first_of("\r\n") != std::string_view::npos; }

std::string Join(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + "\\" + b;
}

// Normalises string data as SetValue stores it.
std::vector<BYTE> DataOf(const void* data, DWORD size, DWORD type) {
  const auto* p = static_cast<const BYTE*>(data);
  std::vector<BYTE> bytes(p, p + (p ? size : 0));
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && (bytes.empty() || bytes.back() != 0)) bytes.push_back(0);
  if (type == REG_MULTI_SZ && !bytes.empty()) {
    if (bytes.back() != 0) bytes.push_back(0);
    if (bytes.size() < 2 || bytes[bytes.size() - 2] != 0) bytes.push_back(0);
  }
  return bytes;
}

// Whether a key opened in mode may be written; error 5 when not.
bool Writable(int mode) {
  if (mode != REG_OPEN_READ) return true;
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

// Reads the key at path in root's hive under its lock; fn gets null when the key is missing.
bool ReadKey(HKEY root, const std::string& path, const std::function<void(const RegKey* key)>& fn) {
  RegHive hive;
  RegHiveOfRoot(root, &hive);
  return RegStoreRead(hive, [&](const RegKey& tree) { fn(tree.Find(path)); });
}

// Changes the tree of root's hive under its lock; TRUE with error 0 when change returns true.
BOOL ModifyHive(HKEY root, const std::function<bool(RegKey&)>& change) {
  RegHive hive;
  RegHiveOfRoot(root, &hive);
  if (!RegStoreModify(hive, change)) return FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

HKEY RegRootFromName(const char* path, int* rest) {
  if (!path) return 0;
  const std::size_t len = std::strlen(path);
  for (const auto& r : kRoots) {
    for (const char* name : {r.name, r.shortName}) {
      const std::size_t n = std::strlen(name);
      if (len < n || !RegNameEqual(std::string_view(path, n), name)) continue;
      if (path[n] != '\0' && path[n] != '\\') continue;
      std::size_t off = n;
      while (path[off] == '\\') ++off;
      if (rest) *rest = static_cast<int>(off);
      return r.root;
    }
  }
  return 0;
}

const char* RegRootName(HKEY root) {
  for (const auto& r : kRoots)
    if (r.root == root) return r.name;
  return "";
}

void CRegistry::SetCompanyName(const char* name) {
  std::lock_guard lock(g_namesMutex);
  g_company = name ? name : "";
}

void CRegistry::SetApplicationName(const char* name) {
  std::lock_guard lock(g_namesMutex);
  g_application = name ? name : "";
}

std::string CRegistry::ApplicationKeyPath() {
  std::lock_guard lock(g_namesMutex);
  return CleanPath("Software\\" + g_company + "\\" + g_application);
}

const CRegistry::Level* CRegistry::Top() const {
  if (m_levels.empty()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return &m_levels.back();
}

BOOL CRegistry::OpenLevel(HKEY root, std::string path, int mode) {
  if (static_cast<int>(m_levels.size()) >= kMaxDepth) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return FALSE;
  }
  RegHive hive;
  if (HasLineBreak(path)) {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  if (!RegHiveOfRoot(root, &hive) || mode < REG_OPEN_READ || mode > REG_OPEN_CREATE) {
    SetLastError(RegHiveOfRoot(root, &hive) ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  bool exists = false;
  if (!RegStoreRead(hive, [&](const RegKey& tree) { exists = tree.Find(path) != nullptr; })) return FALSE;
  if (mode != REG_OPEN_READ && !RegStoreWritable(hive)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!exists) {
    if (mode != REG_OPEN_CREATE) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    if (!RegStoreModify(hive, [&](RegKey& tree) {
          tree.Create(path);
          return true;
        }))
      return FALSE;
  }
  m_levels.push_back(Level{root, std::move(path), mode});
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CRegistry::Open(HKEY root, const char* path, int mode) {
  CloseAll();
  return OpenLevel(root, path ? CleanPath(path) : ApplicationKeyPath(), mode);
}

BOOL CRegistry::OpenSub(const char* name) {
  const Level* top = Top();
  return top ? OpenSub(name, top->mode) : FALSE;
}

BOOL CRegistry::OpenSub(const char* name, int mode) {
  const Level* top = Top();
  if (!top) return FALSE;
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Level parent = *top;
  return OpenLevel(parent.root, Join(parent.path, CleanPath(name)), mode);
}

void CRegistry::Close() {
  if (!m_levels.empty()) m_levels.pop_back();
}

void CRegistry::CloseAll() { m_levels.clear(); }

std::string CRegistry::KeyPath() const {
  if (m_levels.empty()) return {};
  const Level& top = m_levels.back();
  return Join(RegRootName(top.root), top.path);
}

BOOL CRegistry::QueryValue(const char* name, RegValueInfo& out) const {
  const Level* top = Top();
  if (!top) return FALSE;
  const std::string_view valueName = name ? name : "";
  bool found = false;
  if (!ReadKey(top->root, top->path, [&](const RegKey* key) {
        const RegValueInfo* v = key ? key->FindValue(valueName) : nullptr;
        if (v) {
          out = *v;
          found = true;
        }
      }))
    return FALSE;
  if (!found) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CRegistry::GetValue(void* buffer, DWORD size, const char* name, DWORD type, DWORD* length,
                         DWORD* actualType) const {
  RegValueInfo v;
  if (!QueryValue(name, v)) return FALSE;
  if (actualType) *actualType = v.type;
  const DWORD n = static_cast<DWORD>(v.data.size());
  if (length) *length = n;
  if (type != REG_NONE && type != v.type && !(type == REG_SZ && v.type == REG_EXPAND_SZ)) {
    SetLastError(ERROR_UNSUPPORTED_TYPE);
    return FALSE;
  }
  if (n > size || (n > 0 && !buffer)) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (n > 0) std::memcpy(buffer, v.data.data(), n);
  return TRUE;
}

BOOL CRegistry::SetValue(const void* data, DWORD size, const char* name, DWORD type) {
  const Level* top = Top();
  if (!top || !Writable(top->mode)) return FALSE;
  if ((!data && size > 0) || (name && HasLineBreak(name))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<BYTE> bytes = DataOf(data, size, type);
  const std::string valueName = name ? name : "";
  const std::string path = top->path;
  return ModifyHive(top->root, [&](RegKey& tree) {
    // A key that another program deleted meanwhile comes back: it is open for writing here.
    tree.Create(path).SetValue(valueName, type, std::move(bytes));
    return true;
  });
}

BOOL CRegistry::GetString(const char* name, std::string& out) const {
  RegValueInfo v;
  if (!QueryValue(name, v)) return FALSE;
  if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) {
    SetLastError(ERROR_UNSUPPORTED_TYPE);
    return FALSE;
  }
  out.assign(v.data.begin(), v.data.end());
  while (!out.empty() && out.back() == '\0') out.pop_back();
  return TRUE;
}

BOOL CRegistry::SetString(const char* name, const std::string& text, DWORD type) {
  return SetValue(text.c_str(), static_cast<DWORD>(text.size() + 1), name, type);
}

BOOL CRegistry::GetDword(const char* name, DWORD& out) const {
  DWORD value = 0;
  if (!GetValue(&value, sizeof value, name, REG_DWORD)) return FALSE;
  out = value;
  return TRUE;
}

BOOL CRegistry::SetDword(const char* name, DWORD value) { return SetValue(&value, sizeof value, name, REG_DWORD); }

BOOL CRegistry::DeleteValue(const char* name) {
  const Level* top = Top();
  if (!top || !Writable(top->mode)) return FALSE;
  const std::string valueName = name ? name : "";
  const std::string path = top->path;
  return ModifyHive(top->root, [&](RegKey& tree) {
    RegKey* key = tree.Find(path);
    if (!key || !key->DeleteValue(valueName)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    return true;
  });
}

BOOL CRegistry::DeleteSubKey(const char* name) {
  const Level* top = Top();
  if (!top || !Writable(top->mode)) return FALSE;
  const std::string sub = CleanPath(name ? name : "");
  if (sub.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string path = Join(top->path, sub);
  return ModifyHive(top->root, [&](RegKey& tree) {
    if (!tree.Remove(path)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    return true;
  });
}

std::vector<std::string> CRegistry::SubKeyNames() const {
  std::vector<std::string> names;
  const Level* top = Top();
  if (!top) return names;
  ReadKey(top->root, top->path, [&](const RegKey* key) {
    if (key)
      for (const auto& [name, sub] : key->subkeys) names.push_back(name);
  });
  return names;
}

std::vector<RegValueInfo> CRegistry::Values() const {
  std::vector<RegValueInfo> values;
  const Level* top = Top();
  if (!top) return values;
  ReadKey(top->root, top->path, [&](const RegKey* key) {
    if (key) values = key->Values();
  });
  return values;
}

BOOL CRegistry::EnumSubKey(DWORD index, std::string& name) const {
  const auto names = SubKeyNames();
  if (index >= names.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  name = names[index];
  return TRUE;
}

BOOL CRegistry::EnumValue(DWORD index, RegValueInfo& out) const {
  const auto values = Values();
  if (index >= values.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  out = values[index];
  return TRUE;
}
