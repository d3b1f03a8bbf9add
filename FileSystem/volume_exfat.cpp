// Volume files and searches on exFAT drives: slots with the layer's own positions, the engine's nodes and result map.
#include "FileSystem/volume_exfat.h"

#include "FileSystem/exfat_internal.h"
#include "FileSystem/volume_internal.h"

#include "lib/text/str.h"

#include <cstring>

ExfatVolume::ExfatVolume(DiskDriveTable& table, int drive) : m_device(table, drive) {}

ExfatVolume::~ExfatVolume() { Unmount(); }

void ExfatVolume::Unmount() {
  if (!mounted) return;
  for (ExfatFileSlot& slot : files) {
    if (!slot.node) continue;
    ExfatFlushNode(*this, *slot.node);
    ExfatPutNode(*this, slot.node);
    slot = ExfatFileSlot{};
  }
  for (auto& search : dirs) {
    if (search) ExfatCloseDir(*this, search->it);
    search.reset();
  }
  ExfatUnmount(*this);
}

int ExfatMount(ExfatVolume& v, DiskDriveTable& table, int drive, const char* options) {
  v.m_device = DiskDriveDevice(table, drive);
  return ExfatMount(static_cast<ExfatFs&>(v), v.m_device, options);
}

namespace disk {

namespace {

constexpr int kTrimAge = 12;
constexpr int kWriteOpensBeforeTrim = 256;
constexpr int kLoadedDirsBeforeTrim = 8;

// Node flags as the attribute bits of the format.
constexpr u32 kAttributeBits = EXFAT_ATTR_READ_ONLY | EXFAT_ATTR_HIDDEN | EXFAT_ATTR_SYSTEM | EXFAT_ATTR_ARCHIVE;

void Trim(ExfatVolume& v) {
  v.writeOpens = 0;
  ExfatFlushAll(v);
  ExfatTrim(v, kTrimAge);
}

ExfatFileSlot* SlotOf(DiskDriveTable& table, DiskHandle h, ExfatVolume** volume) {
  const u32 slot = h >> 16;
  const int drive = static_cast<int>((h >> 8) & 0xFF);
  if ((h & 0xFF) != DISK_TYPE_EXFAT || slot >= EXFAT_FILE_SLOTS) return nullptr;
  ExfatVolume* v = Exfat(table, drive);
  if (!v || !v->files[slot].node) return nullptr;
  *volume = v;
  return &v->files[slot];
}

ExfatDirSearch* SearchOf(DiskDriveTable& table, DiskHandle h, ExfatVolume** volume) {
  const u32 slot = h >> 16;
  const int drive = static_cast<int>((h >> 8) & 0xFF);
  if ((h & 0xFF) != DISK_TYPE_EXFAT || slot < DISK_DIR_SLOT_BASE || slot - DISK_DIR_SLOT_BASE >= EXFAT_DIR_SLOTS)
    return nullptr;
  ExfatVolume* v = Exfat(table, drive);
  if (!v) return nullptr;
  *volume = v;
  return v->dirs[slot - DISK_DIR_SLOT_BASE].get();
}

bool EndsInSeparator(const char* path) {
  const std::size_t n = path ? std::strlen(path) : 0;
  return n && (path[n - 1] == '/' || path[n - 1] == '\\');
}

}  // namespace

ExfatVolume* Exfat(DiskDriveTable& table, int drive) {
  if (drive < 0 || drive >= DISK_MAX_DRIVES || table.fsType[drive] != DISK_TYPE_EXFAT) return nullptr;
  return dynamic_cast<ExfatVolume*>(table.fileSystem[drive].get());
}

int MapExfat(int result) {
  switch (result) {
    case 0: return SYS_OK;
    case EXFAT_EILSEQ: case EXFAT_ENAMETOOLONG: return SYS_ERR_NAME_TOO_LONG;
    case EXFAT_ENOSPC: return SYS_ERR_DISK_FULL;
    case EXFAT_EISDIR: case EXFAT_ENOENT: return SYS_ERR_NOT_FOUND;
    case EXFAT_ENOTDIR: return SYS_ERR_PATH;
    case EXFAT_EEXIST: return SYS_ERR_EXISTS;
    case EXFAT_EACCES: case EXFAT_EIO: case EXFAT_EPERM: return SYS_ERR_ACCESS;
    default: return SYS_ERR_OTHER;
  }
}

u32 ExfatAttributeWord(u32 flags) {
  u32 word = DISK_ATTR_READABLE;
  if (!(flags & EXFAT_ATTR_READ_ONLY)) word |= DISK_ATTR_WRITABLE;
  if (flags & EXFAT_ATTR_DIRECTORY) word |= DISK_ATTR_FOLDER;
  if (flags & EXFAT_ATTR_HIDDEN) word |= DISK_ATTR_HIDDEN;
  if (flags & EXFAT_ATTR_ARCHIVE) word |= DISK_ATTR_ARCHIVE;
  if (flags & EXFAT_ATTR_SYSTEM) word |= DISK_ATTR_SYSTEM;
  if (flags & EXFAT_ATTR_08) word |= 0x100;
  return word;
}

void ExfatRecord(const ExfatNode& node, DiskFindRecord& record) {
  record = DiskFindRecord{};
  record.attributes = node.parent ? ExfatAttributeWord(node.flags) : DISK_ATTR_FOLDER;
  // Folders show no size, as on FAT.
  record.size = node.IsDir() ? 0 : node.size;
  record.creation = node.ctime;
  record.access = node.atime;
  record.write = node.mtime;
  const std::string name = exfat::NameToUtf8(node.name);
  std::memcpy(record.name, name.c_str(), std::min(name.size() + 1, sizeof record.name));
  record.name[sizeof record.name - 1] = '\0';
}

DiskHandle ExfatFileOpen(ExfatVolume& v, int drive, const std::string& inside, int mode, int* err) {
  if (v.writeOpens >= kWriteOpensBeforeTrim) Trim(v);
  if (mode & (DISK_OPEN_WRITE | DISK_OPEN_CREATE | DISK_OPEN_TRUNCATE)) ++v.writeOpens;
  ExfatNode* node = nullptr;
  int r = ExfatLookup(v, &node, inside);
  if (r == EXFAT_ENOENT && (mode & DISK_OPEN_CREATE)) {
    r = ExfatMknod(v, inside);
    if (!r) r = ExfatLookup(v, &node, inside);
    mode &= ~(DISK_OPEN_CREATE | DISK_OPEN_TRUNCATE);
  }
  if (r) {
    *err = MapExfat(r);
    return 0;
  }
  auto fail = [&](int e) {
    ExfatPutNode(v, node);
    *err = e;
    return DiskHandle{0};
  };
  if (node->IsDir() || !node->parent) return fail(SYS_ERR_NOT_FOUND);
  if (node->flags & EXFAT_ATTR_READ_ONLY) {
    // Emptying is writing too.
    if (mode & (DISK_OPEN_WRITE | DISK_OPEN_CREATE)) return fail(SYS_ERR_ACCESS);
    mode &= ~DISK_OPEN_TRUNCATE;
  }
  if (!(mode & DISK_OPEN_WRITE)) mode &= ~DISK_OPEN_TRUNCATE;
  const int slot = TakeSlot(v.files, v.lastFileSlot, [](const ExfatFileSlot& s) { return s.node != nullptr; });
  if (slot < 0) return fail(SYS_ERR_TOO_MANY_OPEN);
  if (mode & (DISK_OPEN_CREATE | DISK_OPEN_TRUNCATE)) {
    r = ExfatTruncate(v, *node, 0, true);
    if (!r) r = ExfatFlushNode(v, *node);
    if (r) return fail(MapExfat(r));
  }
  v.files[static_cast<std::size_t>(slot)] = ExfatFileSlot{node, mode, 0};
  return static_cast<u32>(slot) << 16 | static_cast<u32>(drive) << 8 | DISK_TYPE_EXFAT;
}

bool IsExfatHandle(DiskHandle h) { return (h & 0xFF) == DISK_TYPE_EXFAT; }

int ExfatFileClose(DiskDriveTable& table, DiskHandle h) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  if (!s) return SYS_ERR_INVALID;
  const int r = ExfatFlushNode(*v, *s->node);
  ExfatPutNode(*v, s->node);
  *s = ExfatFileSlot{};
  if (v->loadedDirs > kLoadedDirsBeforeTrim && v->loadedDirs % kLoadedDirsBeforeTrim == 0) Trim(*v);
  return MapExfat(r);
}

int ExfatFileRead(DiskDriveTable& table, DiskHandle h, void* buffer, int length) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  if (!s || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  const i64 n = ExfatRead(*v, *s->node, buffer, static_cast<u64>(length), s->position);
  if (n < 0) return MapExfat(static_cast<int>(n));
  s->position += static_cast<u64>(n);
  return static_cast<int>(n);
}

int ExfatFileWrite(DiskDriveTable& table, DiskHandle h, const void* buffer, int length) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  if (!s || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  if (!(s->mode & DISK_OPEN_WRITE) || (s->node->flags & EXFAT_ATTR_READ_ONLY)) return SYS_ERR_ACCESS;
  const i64 n = ExfatWrite(*v, *s->node, buffer, static_cast<u64>(length), s->position);
  if (n < 0) return MapExfat(static_cast<int>(n));
  s->position += static_cast<u64>(n);
  return static_cast<int>(n);
}

i64 ExfatFileSeek(DiskDriveTable& table, DiskHandle h, i64 offset, int whence) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  if (!s) return SYS_ERR_INVALID;
  i64 base;
  switch (whence) {
    case 0: base = 0; break;
    case 1: base = static_cast<i64>(s->position); break;
    case 2: base = static_cast<i64>(s->node->size); break;
    default: return SYS_ERR_INVALID;
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return SYS_ERR_INVALID;
  s->position = static_cast<u64>(base + offset);
  return base + offset;
}

i64 ExfatFileTell(DiskDriveTable& table, DiskHandle h) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  return s ? static_cast<i64>(s->position) : static_cast<i64>(SYS_ERR_INVALID);
}

int ExfatFileFlush(DiskDriveTable& table, DiskHandle h) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  if (!s) return SYS_ERR_INVALID;
  if (const int r = ExfatFlushNode(*v, *s->node)) return MapExfat(r);
  return ExfatDevFsync(v->dev) == 0 ? SYS_OK : SYS_ERR_OTHER;
}

int ExfatGetFileTime(DiskDriveTable& table, DiskHandle h, i64* write, i64* creation, i64* access) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  if (!s) return SYS_ERR_INVALID;
  if (write) *write = s->node->mtime;
  if (creation) *creation = s->node->ctime;
  if (access) *access = s->node->atime;
  return SYS_OK;
}

int ExfatSetFileTime(DiskDriveTable& table, DiskHandle h, i64 write, i64 creation, i64 access) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  if (!s) return SYS_ERR_INVALID;
  ExfatSetTimes(*s->node, write, creation, access);
  return SYS_OK;
}

i64 ExfatGetFileSize(DiskDriveTable& table, DiskHandle h) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  return s ? static_cast<i64>(s->node->size) : -1;
}

int ExfatSetFileSize(DiskDriveTable& table, DiskHandle h, u64 size) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  if (!s) return SYS_ERR_INVALID;
  if (!(s->mode & DISK_OPEN_WRITE)) return SYS_ERR_ACCESS;
  return MapExfat(ExfatTruncate(*v, *s->node, size, true));
}

int ExfatReadDirEntry(DiskDriveTable& table, DiskHandle h, DiskFindRecord* record) {
  ExfatVolume* v = nullptr;
  ExfatFileSlot* s = SlotOf(table, h, &v);
  if (!s || !record) return SYS_ERR_INVALID;
  ExfatRecord(*s->node, *record);
  return SYS_OK;
}

// ---- by path -------------------------------------------------------------------------------------

int ExfatStat(ExfatVolume& v, const char* path, const std::string& inside, DiskFindRecord& record, bool& root) {
  ExfatNode* node = nullptr;
  if (const int r = ExfatLookup(v, &node, inside)) return MapExfat(r);
  root = !node->parent;
  ExfatRecord(*node, record);
  const bool dir = node->IsDir();
  ExfatPutNode(v, node);
  if (EndsInSeparator(path) && !dir) return SYS_ERR_NOT_FOUND;
  return SYS_OK;
}

int ExfatRemove(ExfatVolume& v, const std::string& inside, bool directory) {
  ExfatNode* node = nullptr;
  if (const int r = ExfatLookup(v, &node, inside)) return MapExfat(r);
  int r;
  if (!node->parent) r = SYS_ERR_ACCESS;
  else if (directory && !node->IsDir()) r = SYS_ERR_PATH;
  else r = MapExfat(directory ? ExfatRmdir(v, *node) : ExfatUnlink(v, *node));
  // The last reference gives the clusters back and writes the bitmap.
  ExfatPutNode(v, node);
  return r;
}

int ExfatRenamePath(ExfatVolume& v, const std::string& from, const std::string& to) {
  // Never over an existing entry, unless it is the source itself (a change of case).
  ExfatNode* source = nullptr;
  if (const int r = ExfatLookup(v, &source, from)) return MapExfat(r);
  ExfatNode* target = nullptr;
  const int found = ExfatLookup(v, &target, to);
  const bool other = found == 0 && target != source;
  ExfatPutNode(v, target);
  ExfatPutNode(v, source);
  if (other) return SYS_ERR_EXISTS;
  return MapExfat(ExfatRename(v, from, to));
}

int ExfatReplacePath(ExfatVolume& v, const std::string& from, const std::string& to) {
  ExfatNode* source = nullptr;
  if (const int r = ExfatLookup(v, &source, from)) return MapExfat(r);
  ExfatNode* target = nullptr;
  int r = ExfatLookup(v, &target, to);
  if (r == 0) {
    if (target == source || !source->parent || !target->parent) r = SYS_ERR_INVALID;
    else if (source->IsDir() || target->IsDir()) r = SYS_ERR_NOT_FOUND;
    else if (target->flags & EXFAT_ATTR_READ_ONLY) r = SYS_ERR_ACCESS;
  } else {
    r = MapExfat(r);
  }
  ExfatPutNode(v, target);
  ExfatPutNode(v, source);
  return r ? r : MapExfat(ExfatRename(v, from, to));
}

int ExfatSetAttributes(ExfatVolume& v, const std::string& inside, u32 attributes) {
  ExfatNode* node = nullptr;
  if (const int r = ExfatLookup(v, &node, inside)) return MapExfat(r);
  int result = SYS_OK;
  if (node->IsDir() || !node->parent) {
    result = SYS_ERR_ACCESS;
  } else {
    bool writable = attributes & DISK_ATTR_WRITABLE;
    if (attributes >> DISK_ATTR_UNIX_MODE_SHIFT)
      writable = writable && ((attributes >> DISK_ATTR_UNIX_MODE_SHIFT) & 0200);
    u32 bits = 0;
    if (!writable) bits |= EXFAT_ATTR_READ_ONLY;
    if (attributes & DISK_ATTR_ARCHIVE) bits |= EXFAT_ATTR_ARCHIVE;
    if (attributes & DISK_ATTR_HIDDEN) bits |= EXFAT_ATTR_HIDDEN;
    if (attributes & DISK_ATTR_SYSTEM) bits |= EXFAT_ATTR_SYSTEM;
    if ((node->flags & kAttributeBits) != bits) {
      node->flags = (node->flags & ~kAttributeBits) | bits | EXFAT_NODE_DIRTY;
      result = MapExfat(ExfatFlushNode(v, *node));
    }
  }
  ExfatPutNode(v, node);
  return result;
}

// ---- searches ------------------------------------------------------------------------------------

DiskHandle ExfatFindFirst(DiskDriveTable& table, ExfatVolume& v, int drive, const std::string& dir,
                          const std::string& pattern, DiskFindRecord* record, int* err) {
  ExfatNode* node = nullptr;
  if (const int r = ExfatLookup(v, &node, dir)) {
    *err = SYS_ERR_PATH;
    return 0;
  }
  if (!node->IsDir()) {
    ExfatPutNode(v, node);
    *err = SYS_ERR_PATH;
    return 0;
  }
  const int slot = TakeSlot(v.dirs, v.lastDirSlot, [](const auto& s) { return s != nullptr; });
  if (slot < 0) {
    ExfatPutNode(v, node);
    *err = SYS_ERR_TOO_MANY_OPEN;
    return 0;
  }
  auto search = std::make_unique<ExfatDirSearch>();
  search->pattern = pattern;
  const int r = ExfatOpenDir(v, *node, search->it);
  ExfatPutNode(v, node);
  if (r) {
    *err = SYS_ERR_PATH;
    return 0;
  }
  ++v.wildcardSearches;
  v.dirs[static_cast<std::size_t>(slot)] = std::move(search);
  const DiskHandle handle = (DISK_DIR_SLOT_BASE + static_cast<u32>(slot)) << 16 | static_cast<u32>(drive) << 8 | DISK_TYPE_EXFAT;
  const int next = ExfatFindNext(table, handle, record);
  if (next != SYS_OK) {
    ExfatFindClose(table, handle);
    *err = next == SYS_ERR_NOT_FOUND ? SYS_ERR_INVALID : next;
    return 0;
  }
  return handle;
}

int ExfatFindNext(DiskDriveTable& table, DiskHandle h, DiskFindRecord* record) {
  ExfatVolume* v = nullptr;
  ExfatDirSearch* search = SearchOf(table, h, &v);
  if (!search || !record) return SYS_ERR_INVALID;
  for (;;) {
    int err = 0;
    ExfatNode* node = ExfatReadDir(*v, search->it, &err);
    if (!node) return err ? MapExfat(err) : SYS_ERR_NOT_FOUND;
    const std::string name = exfat::NameToUtf8(node->name);
    const bool match = StrWildcardCompareA(name.c_str(), search->pattern.c_str()) == 0;
    if (match) ExfatRecord(*node, *record);
    ExfatPutNode(*v, node);
    if (match) return SYS_OK;
  }
}

int ExfatFindClose(DiskDriveTable& table, DiskHandle h) {
  ExfatVolume* v = nullptr;
  ExfatDirSearch* search = SearchOf(table, h, &v);
  if (!search) return SYS_ERR_INVALID;
  ExfatCloseDir(*v, search->it);
  v->dirs[(h >> 16) - DISK_DIR_SLOT_BASE].reset();
  if (v->loadedDirs > kLoadedDirsBeforeTrim && v->wildcardSearches % kLoadedDirsBeforeTrim == 0) Trim(*v);
  return SYS_OK;
}

}  // namespace disk
