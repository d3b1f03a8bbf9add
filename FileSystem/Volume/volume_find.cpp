// Volume searches: folders by pattern, single entries, and the list of volumes.
#include "FileSystem/Volume/volume_internal.h"

#include "lib/text/str.h"

#include <cctype>
#include <cstring>

using namespace disk;

namespace {

constexpr std::size_t kMaxListPattern = 7;

bool HasWildcard(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

void VolumeRecord(char name, DiskFindRecord& record) {
  record = DiskFindRecord{};
  record.attributes = DISK_ATTR_FOLDER;
  record.creation = record.access = record.write = 1;
  record.name[0] = name;
}

// A pattern over volume names: 1-7 letters, digits, "*" or "?", with at least one wildcard.
bool IsListPattern(std::string_view p) {
  if (p.empty() || p.size() > kMaxListPattern || !HasWildcard(p)) return false;
  for (const char c : p)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '*' || c == '?'))
      return false;
  return true;
}

int ListNext(DiskDriveTable& table, DiskListSearch& search, DiskFindRecord& record) {
  while (search.next < DISK_MAX_DRIVES) {
    const int d = search.next++;
    if (table.fsType[d] < DISK_TYPE_NO_FS || table.nameIndex[d] == 0) continue;
    const char name[2] = {DiskVolumeName(table.nameIndex[d]), '\0'};
    if (StrWildcardCompareA(name, search.pattern.c_str()) == 0) {
      VolumeRecord(name[0], record);
      return SYS_OK;
    }
  }
  return SYS_ERR_NOT_FOUND;
}

bool NameTooLong(std::string_view inside) {
  std::size_t at = 0;
  while (at <= inside.size()) {
    std::size_t end = inside.find('/', at);
    if (end == std::string_view::npos) end = inside.size();
    if (ToUtf16(inside.substr(at, end - at)).size() > 255) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

DiskHandle DiskFindFirst(DiskDriveTable& table, const char* path, DiskFindRecord* record, int* err) {
  int dummy = 0;
  if (!err) err = &dummy;
  *err = SYS_OK;
  if (!record) {
    *err = SYS_ERR_INVALID;
    return 0;
  }
  std::string inside;
  const int drive = Resolve(table, path, inside);
  if (drive < 0 || drive == 0) {
    // The drive list: "/*", "?" and the like over volume names.
    std::string_view text = path ? path : "";
    if (!text.empty() && (text[0] == '/' || text[0] == '\\')) text.remove_prefix(1);
    if (drive == 0 && text.empty()) text = "*";
    if (!IsListPattern(text)) {
      *err = drive < 0 ? drive : SYS_ERR_NAME_TOO_LONG;
      return 0;
    }
    const int slot = TakeSlot(table.listSearches, table.lastListSlot, [](const DiskListSearch& s) { return s.used; });
    if (slot < 0) {
      *err = SYS_ERR_TOO_MANY_OPEN;
      return 0;
    }
    DiskListSearch& search = table.listSearches[static_cast<std::size_t>(slot)];
    search.used = true;
    search.pattern = std::string(text);
    search.next = 0;
    if (ListNext(table, search, *record) != SYS_OK) {
      search = DiskListSearch{};
      *err = SYS_ERR_INVALID;
      return 0;
    }
    return static_cast<u32>(slot) << 16 | 1;
  }

  const int d = drive - 1;
  DiskVolume* v = table.fileSystem[static_cast<std::size_t>(d)].get();
  if (!v) {
    *err = SYS_ERR_OTHER;
    return 0;
  }
  if (NameTooLong(inside)) {
    *err = SYS_ERR_NAME_TOO_LONG;
    return 0;
  }
  DiskSearchPath search;
  search.path = path;
  const std::size_t slash = inside.rfind('/');
  search.last = slash == std::string::npos ? inside : inside.substr(slash + 1);
  search.folder = slash == std::string::npos ? "" : inside.substr(0, slash);
  search.pattern = HasWildcard(search.last);
  if (!search.pattern && inside.empty()) {
    // A bare volume name stands for the volume itself.
    std::string_view text = path ? path : "";
    if (!text.empty() && (text[0] == '/' || text[0] == '\\')) text.remove_prefix(1);
    if (table.currentDrive == 0 && text.size() == 1 && std::isalnum(static_cast<unsigned char>(text[0]))) {
      VolumeRecord(DiskVolumeName(table.nameIndex[d]), *record);
      return DISK_NO_HANDLE;
    }
    *err = SYS_ERR_NAME_TOO_LONG;
    return 0;
  }
  search.inside = std::move(inside);
  const int slot = v->FindFirst(search, *record, *err);
  if (slot == DISK_FOUND_ONE) return DISK_NO_HANDLE;
  if (slot < 0) return 0;
  return (DISK_DIR_SLOT_BASE + static_cast<u32>(slot)) << 16 | static_cast<u32>(d) << 8 | table.fsType[static_cast<std::size_t>(d)];
}

namespace {

// The volume of a folder search's handle and the search's slot there, or null.
DiskVolume* SearchVolume(DiskDriveTable& table, DiskHandle handle, u32& slot) {
  const std::size_t drive = (handle >> 8) & 0xFF;
  slot = handle >> 16;
  if (drive >= DISK_MAX_DRIVES || table.fsType[drive] != (handle & 0xFF) || slot < DISK_DIR_SLOT_BASE) return nullptr;
  slot -= DISK_DIR_SLOT_BASE;
  return table.fileSystem[drive].get();
}

}  // namespace

int DiskFindNext(DiskDriveTable& table, DiskHandle handle, DiskFindRecord* record) {
  if (handle == DISK_NO_HANDLE) return SYS_ERR_NOT_FOUND;
  if (!record) return SYS_ERR_INVALID;
  const u32 slot = handle >> 16;
  if ((handle & 0xFFFF) == 1) {
    if (slot >= DISK_LIST_SLOTS || !table.listSearches[slot].used) return SYS_ERR_INVALID;
    return ListNext(table, table.listSearches[slot], *record);
  }
  u32 dirSlot = 0;
  DiskVolume* v = SearchVolume(table, handle, dirSlot);
  return v ? v->FindNext(dirSlot, *record) : SYS_ERR_INVALID;
}

int DiskFindClose(DiskDriveTable& table, DiskHandle handle) {
  if (handle == DISK_NO_HANDLE) return SYS_OK;
  const u32 slot = handle >> 16;
  if ((handle & 0xFFFF) == 1) {
    if (slot >= DISK_LIST_SLOTS || !table.listSearches[slot].used) return SYS_ERR_INVALID;
    table.listSearches[slot] = DiskListSearch{};
    return SYS_OK;
  }
  u32 dirSlot = 0;
  DiskVolume* v = SearchVolume(table, handle, dirSlot);
  return v ? v->FindClose(dirSlot) : SYS_ERR_INVALID;
}
