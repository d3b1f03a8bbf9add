// CRegistry: registry keys of our own store, opened as a stack of at most eleven nested keys.
//
// Roots: HKEY_CURRENT_USER lives in $XDG_CONFIG_HOME/Tavrin/registry.reg (default
// ~/.config/Tavrin/), HKEY_LOCAL_MACHINE in /etc/xdg/Tavrin/registry.reg, which everybody reads
// and only root writes (a write by another user fails with error 5). Every other root fails with
// error 2. Key and value names compare without regard to ASCII letter case and keep the case they
// were created with; "\" separates key names.
//
// Value data as callers see it: REG_SZ and REG_EXPAND_SZ are UTF-8 texts with their terminating
// NUL, REG_MULTI_SZ UTF-8 texts each with a NUL and a final empty one, REG_DWORD and REG_QWORD
// little-endian words, every other type the bytes as they were given.
#pragma once

#include "platform/win_types.h"
#include "platform/last_error.h"

#include <string>
#include <vector>

using HKEY = u32;
inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_USERS = 0x80000003u;
inline constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005u;

enum : DWORD {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_DWORD_BIG_ENDIAN = 5,
  REG_LINK = 6,
  REG_MULTI_SZ = 7,
  REG_RESOURCE_LIST = 8,
  REG_FULL_RESOURCE_DESCRIPTOR = 9,
  REG_RESOURCE_REQUIREMENTS_LIST = 10,
  REG_QWORD = 11,
};

// Open modes.
enum : int {
  REG_OPEN_READ = 0,    // read only; the key must exist
  REG_OPEN_WRITE = 1,   // read and write; the key must exist
  REG_OPEN_CREATE = 2,  // read and write; missing keys are created
};

// The root of a key path written with its root name ("HKEY_CURRENT_USER\Software", also "HKCU"),
// letter case ignored; *rest gets the offset of the path below the root (after its "\"). 0 when
// the text names no root.
HKEY RegRootFromName(const char* path, int* rest);
// "HKEY_CURRENT_USER" and so on; "" for an unknown root.
const char* RegRootName(HKEY root);

// One value as the enumeration delivers it.
struct RegValueInfo {
  std::string name;  // "" for the default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

class CRegistry {
 public:
  static constexpr int kMaxDepth = 11;

  CRegistry() = default;
  ~CRegistry() = default;  // nothing is held open between calls
  CRegistry(const CRegistry&) = delete;
  CRegistry& operator=(const CRegistry&) = delete;

  // The application's key below "Software": company key and application name. Set them once at
  // start-up; the defaults are "Tavrin" and "Kopiwart".
  static void SetCompanyName(const char* name);
  static void SetApplicationName(const char* name);
  // "Software\Tavrin\Kopiwart" with the names set.
  static std::string ApplicationKeyPath();

  // Closes all open keys and opens path below root as the first level. A null path is the
  // application's key. Mode REG_OPEN_CREATE creates missing keys.
  BOOL Open(HKEY root, const char* path, int mode);
  // Opens a sub-key of the innermost key as the next level, in the innermost key's mode (mode
  // REG_OPEN_CREATE creates it). Fails with error 4 beyond eleven levels.
  BOOL OpenSub(const char* name);
  BOOL OpenSub(const char* name, int mode);
  // Closes the innermost key; CloseAll closes every level.
  void Close();
  void CloseAll();
  int Depth() const { return static_cast<int>(m_levels.size()); }
  // Full path of the innermost key with its root name; "" when nothing is open.
  std::string KeyPath() const;

  // Copies the value's data into the buffer. type REG_NONE accepts any type; REG_SZ also accepts
  // REG_EXPAND_SZ. The buffer stays unchanged on every failure: a missing value (error 2), another
  // type (1630), a buffer too small (234, *length gets the size needed). *length (optional) gets
  // the data length, *actualType (optional) the value's type.
  BOOL GetValue(void* buffer, DWORD size, const char* name, DWORD type, DWORD* length = nullptr,
                DWORD* actualType = nullptr) const;
  // Sets a value of the innermost key (null or "" name: the default value). Texts of type REG_SZ
  // and REG_EXPAND_SZ get a terminating NUL when they lack one.
  BOOL SetValue(const void* data, DWORD size, const char* name, DWORD type);

  // Conveniences over GetValue and SetValue.
  BOOL QueryValue(const char* name, RegValueInfo& out) const;
  BOOL GetString(const char* name, std::string& out) const;
  BOOL SetString(const char* name, const std::string& text, DWORD type = REG_SZ);
  BOOL GetDword(const char* name, DWORD& out) const;
  BOOL SetDword(const char* name, DWORD value);

  // Removes a value of the innermost key; error 2 when it is missing.
  BOOL DeleteValue(const char* name);
  // Removes a sub-key of the innermost key with everything below it; error 2 when it is missing.
  BOOL DeleteSubKey(const char* name);

  // Enumeration of the innermost key (sub-keys in name order, values in the order they were
  // created); FALSE with error 259 past the end.
  BOOL EnumSubKey(DWORD index, std::string& name) const;
  BOOL EnumValue(DWORD index, RegValueInfo& out) const;
  std::vector<std::string> SubKeyNames() const;
  std::vector<RegValueInfo> Values() const;

 private:
  struct Level {
    HKEY root;
    std::string path;  // below the root, "\"-separated, "" for the root itself
    int mode;
  };
  BOOL OpenLevel(HKEY root, std::string path, int mode);
  const Level* Top() const;

  std::vector<Level> m_levels;
};
