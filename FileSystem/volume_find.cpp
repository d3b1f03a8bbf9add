// Volume searches: folders by pattern, single entries, and the list of volumes.
#include "FileSystem/volume_internal.h"

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

// The next entry of an ext4 search that matches its pattern; "." and ".." are no entries.
int Ext4Next(Ext4DriveVolume& v, Ext4DirSearch& search, DiskFindRecord& record) {
  for (;;) {
    int err = EXT4_OK;
    const Ext4DirEntryInfo* e = Ext4DirNext(&search.dir, &err);
    if (!e) return err ? MapExt4(err) : SYS_ERR_NOT_FOUND;
    const std::string name(e->name, e->nameLen);
    if (name == "." || name == ".." || e->inode == 0) continue;
    // A name no volume path can spell: empty or holding "/" or a zero byte (a damaged entry), or
    // holding "\", which volume paths take for "/" (it would name another file).
    if (name.empty() || name.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos) continue;
    if (StrWildcardCompareA(name.c_str(), search.pattern.c_str()) != 0) continue;
    Ext4FileInfo info;
    bool link = false;
    int r;
    if (e->type == EXT4_DE_SYMLINK) {
      // Listed even when it leads nowhere.
      r = Ext4StatPath(v.volume(), search.path.empty() ? name : search.path + "/" + name, info, link);
    } else {
      r = Ext4DirEntryStat(&search.dir, &info);
    }
    if (r) return MapExt4(r);
    Ext4Record(info, name, link, record);
    return SYS_OK;
  }
}

DiskHandle Ext4FindFirst(DiskDriveTable& table, int d, const std::string& inside, const std::string& last,
                         std::size_t slash, DiskFindRecord& record, int& err) {
  Ext4DriveVolume& v = *Ext4Of(table, d);
  if (!HasWildcard(last)) {
    Ext4FileInfo info;
    bool link = false;
    if (const int r = Ext4StatPath(v.volume(), inside, info, link)) {
      err = MapExt4(r);
      return 0;
    }
    Ext4Record(info, last, link, record);
    return DISK_NO_HANDLE;
  }
  const int slot = TakeSlot(v.dirs, v.lastDirSlot, [](const auto& s) { return s != nullptr; });
  if (slot < 0) {
    err = SYS_ERR_TOO_MANY_OPEN;
    return 0;
  }
  auto search = std::make_unique<Ext4DirSearch>();
  search->path = slash == std::string::npos ? "" : inside.substr(0, slash);
  search->pattern = last;
  if (Ext4OpenPath(v.volume(), search->path, search->dir.f, 0, true) != EXT4_OK) {
    err = SYS_ERR_PATH;
    return 0;
  }
  search->dir.nextPos = 0;
  const int r = Ext4Next(v, *search, record);
  if (r != SYS_OK) {
    Ext4DirClose(&search->dir);
    err = r == SYS_ERR_NOT_FOUND ? SYS_ERR_INVALID : r;
    return 0;
  }
  v.dirs[static_cast<std::size_t>(slot)] = std::move(search);
  return (DISK_DIR_SLOT_BASE + static_cast<u32>(slot)) << 16 | static_cast<u32>(d) << 8 | DISK_TYPE_EXT4;
}

// The ext4 search of a handle, or null.
Ext4DirSearch* Ext4SearchOf(DiskDriveTable& table, u32 slot, int drive, Ext4DriveVolume** volume) {
  if (drive >= DISK_MAX_DRIVES || slot < DISK_DIR_SLOT_BASE || slot - DISK_DIR_SLOT_BASE >= EXT4_DIR_SLOTS)
    return nullptr;
  Ext4DriveVolume* v = Ext4Of(table, drive);
  *volume = v;
  return v ? v->dirs[slot - DISK_DIR_SLOT_BASE].get() : nullptr;
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
  FatVolume* v = Fat(table, d);
  Ext4DriveVolume* e = Ext4Of(table, d);
  ExfatVolume* ex = Exfat(table, d);
  if (!v && !(e && e->volume()) && !ex) {
    *err = SYS_ERR_OTHER;
    return 0;
  }
  if (NameTooLong(inside)) {
    *err = SYS_ERR_NAME_TOO_LONG;
    return 0;
  }
  const std::size_t slash = inside.rfind('/');
  const std::string last = slash == std::string::npos ? inside : inside.substr(slash + 1);
  if (!HasWildcard(last)) {
    if (inside.empty()) {
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
    if (e) return Ext4FindFirst(table, d, inside, last, slash, *record, *err);
    if (ex) {
      bool root = false;
      if (const int r = ExfatStat(*ex, path, inside, *record, root)) {
        *err = r;
        return 0;
      }
      return DISK_NO_HANDLE;
    }
    FatEntryInfo info;
    if (const int r = FatStat(*v, ToUtf16(inside), info)) {
      *err = MapFat(r);
      return 0;
    }
    FatRecord(info, *record);
    return DISK_NO_HANDLE;
  }
  if (e) return Ext4FindFirst(table, d, inside, last, slash, *record, *err);
  if (ex) return ExfatFindFirst(table, *ex, d, slash == std::string::npos ? "" : inside.substr(0, slash), last, record, err);
  const int slot = TakeSlot(v->dirs, v->lastDirSlot, [](const auto& s) { return s != nullptr; });
  if (slot < 0) {
    *err = SYS_ERR_TOO_MANY_OPEN;
    return 0;
  }
  auto search = std::make_unique<FatDirSearch>();
  search->pattern = ToUtf16(last);
  if (const int r = FatOpenDir(*v, search->dir, ToUtf16(slash == std::string::npos ? "" : inside.substr(0, slash)))) {
    *err = r == FAT_NO_FILE || r == FAT_NO_PATH ? SYS_ERR_PATH : MapFat(r);
    return 0;
  }
  v->dirs[static_cast<std::size_t>(slot)] = std::move(search);
  const DiskHandle handle = (DISK_DIR_SLOT_BASE + static_cast<u32>(slot)) << 16 | static_cast<u32>(d) << 8 | DISK_TYPE_FAT;
  const int r = DiskFindNext(table, handle, record);
  if (r != SYS_OK) {
    DiskFindClose(table, handle);
    *err = r == SYS_ERR_NOT_FOUND ? SYS_ERR_INVALID : r;
    return 0;
  }
  return handle;
}

int DiskFindNext(DiskDriveTable& table, DiskHandle handle, DiskFindRecord* record) {
  if (handle == DISK_NO_HANDLE) return SYS_ERR_NOT_FOUND;
  if (!record) return SYS_ERR_INVALID;
  const u32 slot = handle >> 16;
  const int drive = static_cast<int>((handle >> 8) & 0xFF);
  const int type = static_cast<int>(handle & 0xFF);
  if (type == 1 && drive == 0) {
    if (slot >= DISK_LIST_SLOTS || !table.listSearches[slot].used) return SYS_ERR_INVALID;
    return ListNext(table, table.listSearches[slot], *record);
  }
  if (type == DISK_TYPE_EXT4) {
    Ext4DriveVolume* v = nullptr;
    Ext4DirSearch* search = Ext4SearchOf(table, slot, drive, &v);
    return search ? Ext4Next(*v, *search, *record) : SYS_ERR_INVALID;
  }
  if (type == DISK_TYPE_EXFAT) return ExfatFindNext(table, handle, record);
  if (type != DISK_TYPE_FAT || drive >= DISK_MAX_DRIVES || slot < DISK_DIR_SLOT_BASE ||
      slot - DISK_DIR_SLOT_BASE >= FAT_DIR_SLOTS)
    return SYS_ERR_INVALID;
  FatVolume* v = Fat(table, drive);
  FatDirSearch* search = v ? v->dirs[slot - DISK_DIR_SLOT_BASE].get() : nullptr;
  if (!search) return SYS_ERR_INVALID;
  for (;;) {
    FatEntryInfo info;
    const int r = FatReadDir(search->dir, info);
    if (r) return MapFat(r);
    if (FatMatchPattern(search->pattern, info.Name()) ||
        (!info.longName.empty() && FatMatchPattern(search->pattern, info.shortName))) {
      FatRecord(info, *record);
      return SYS_OK;
    }
  }
}

int DiskFindClose(DiskDriveTable& table, DiskHandle handle) {
  if (handle == DISK_NO_HANDLE) return SYS_OK;
  const u32 slot = handle >> 16;
  const int drive = static_cast<int>((handle >> 8) & 0xFF);
  const int type = static_cast<int>(handle & 0xFF);
  if (type == 1 && drive == 0) {
    if (slot >= DISK_LIST_SLOTS || !table.listSearches[slot].used) return SYS_ERR_INVALID;
    table.listSearches[slot] = DiskListSearch{};
    return SYS_OK;
  }
  if (type == DISK_TYPE_EXT4) {
    Ext4DriveVolume* v = nullptr;
    Ext4DirSearch* search = Ext4SearchOf(table, slot, drive, &v);
    if (!search) return SYS_ERR_INVALID;
    const int r = Ext4DirClose(&search->dir);
    v->dirs[slot - DISK_DIR_SLOT_BASE].reset();
    return MapExt4(r);
  }
  if (type == DISK_TYPE_EXFAT) return ExfatFindClose(table, handle);
  if (type != DISK_TYPE_FAT || drive >= DISK_MAX_DRIVES || slot < DISK_DIR_SLOT_BASE ||
      slot - DISK_DIR_SLOT_BASE >= FAT_DIR_SLOTS)
    return SYS_ERR_INVALID;
  FatVolume* v = Fat(table, drive);
  if (!v || !v->dirs[slot - DISK_DIR_SLOT_BASE]) return SYS_ERR_INVALID;
  FatCloseDir(v->dirs[slot - DISK_DIR_SLOT_BASE]->dir);
  v->dirs[slot - DISK_DIR_SLOT_BASE].reset();
  return SYS_OK;
}
