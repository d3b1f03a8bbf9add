// The registry store: key trees, the .reg text syntax, and the hive files changed under a lock.
#pragma once

#include "lib/system/registry.h"
#include "platform/win_types.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ASCII letter case ignored, as the registry compares names.
struct RegNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
bool RegNameEqual(std::string_view a, std::string_view b);

class RegStoreText;  // a hive file as it was read (regstore.cpp)

// One key with its values (in creation order) and sub-keys (in name order).
//
// A key read from a hive file leaves its lines in the file until its values are first asked
// for, so that a run parses only the keys it reads or writes and a write copies the lines of the
// others unchanged. Sub-keys are added and removed only through Create and Remove.
class RegKey {
 public:
  std::map<std::string, std::unique_ptr<RegKey>, RegNameLess> subkeys;

  RegKey() = default;
  // The copy refers to the file's lines for every key whose values did not change.
  RegKey(const RegKey& other);
  RegKey& operator=(const RegKey&) = delete;

  // path is "\"-separated below this key; "" is the key itself.
  const RegKey* Find(std::string_view path) const;
  RegKey* Find(std::string_view path);
  RegKey& Create(std::string_view path);
  // Removes the sub-key at path with everything below it; false when it is missing.
  bool Remove(std::string_view path);

  // The values, read from the file on first use.
  const std::vector<RegValueInfo>& Values() const;
  const RegValueInfo* FindValue(std::string_view name) const;
  // Sets or replaces a value; a replaced value keeps the case of its name. Setting the type and
  // data a value has already changes nothing.
  void SetValue(std::string_view name, DWORD type, std::vector<BYTE> data);
  bool DeleteValue(std::string_view name);

  // Whether this key or one below it changed since the tree was read from its file.
  bool Changed() const;

 private:
  friend class RegStoreText;
  struct Range {
    u64 offset = 0;
    u64 length = 0;
  };
  void Load() const;
  std::vector<RegValueInfo>& LoadedValues();

  // Where the key's lines stand in the file; empty for a key that has none there.
  std::shared_ptr<RegStoreText> m_text;
  std::vector<Range> m_ranges;
  mutable std::atomic<bool> m_loaded{true};
  mutable std::vector<RegValueInfo> m_values;
  bool m_valuesChanged = false;  // m_values are what counts, not the lines in the file
  bool m_keysChanged = false;    // a sub-key was added or removed
};

// The store's two hives.
enum class RegHive { User, Machine };
// The hive of a root, false for roots the store does not keep (error 2).
bool RegHiveOfRoot(HKEY root, RegHive* hive);

// Path of a hive's file: $XDG_CONFIG_HOME/Tavrin/registry.reg (default ~/.config), and
// /etc/xdg/Tavrin/registry.reg.
std::string RegStoreFile(RegHive hive);
// Whether this process may write the hive (the machine hive: root only).
bool RegStoreWritable(RegHive hive);

// Calls fn with the hive's current tree (an empty tree when the file does not exist yet).
// False with the last error set when the file cannot be read, or a key's lines could not be read
// again for fn (the file was written in place meanwhile).
bool RegStoreRead(RegHive hive, const std::function<void(const RegKey& root)>& fn);
// Takes the hive's exclusive lock, lets fn change its current tree and writes it back by the
// durable replace (sys_replace.h) when anything changed. fn returns false (after setting the last
// error) to write nothing.
bool RegStoreModify(RegHive hive, const std::function<bool(RegKey& root)>& fn);

// --- the .reg text syntax ---------------------------------------------------------------

// One value line of a parsed file; string types already hold UTF-8 with NULs (see registry.h).
struct RegParsedValue {
  std::string name;
  bool remove = false;  // "name"=-
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  int line = 0;
};
// One key block; path is the full path with the root name as written.
struct RegParsedKey {
  std::string path;
  bool remove = false;  // [-path]
  int line = 0;
  std::vector<RegParsedValue> values;
};
struct RegParsedFile {
  bool version5 = true;  // "Windows Registry Editor Version 5.00", else "REGEDIT4"
  std::vector<RegParsedKey> keys;
};
struct RegParseError {
  int line = 0;
  std::string reason;  // German
};

extern const char kRegHeader5[];  // "Windows Registry Editor Version 5.00"
extern const char kRegHeader4[];  // "REGEDIT4"

// Parses a whole .reg text (UTF-8, line ends LF or CR LF). Stops at the first malformed line.
bool RegParseText(std::string_view text, RegParsedFile& out, RegParseError& error);

// How RegFormatKey writes.
struct RegFormat {
  bool version5 = true;
  const char* eol = "\r\n";
  // Narrow text of a REGEDIT4 file (UTF-8 in, the file's bytes out); null keeps UTF-8.
  std::string (*narrow)(std::string_view utf8) = nullptr;
};
// Appends the key's block at fullPath: its "[...]" line, values and a blank line.
void RegFormatKeyBlock(std::string& out, const RegKey& key, const std::string& fullPath,
                       const RegFormat& format);
// Appends the key's block and, recursively, those of its sub-keys.
void RegFormatKey(std::string& out, const RegKey& key, const std::string& fullPath,
                  const RegFormat& format);

// UTF-16LE bytes and UTF-8 texts, unit by unit (NULs stay NULs; an odd last byte is dropped).
std::string RegUtf16ToUtf8(const BYTE* bytes, std::size_t count);
std::vector<BYTE> RegUtf8ToUtf16(std::string_view text);
