// The exFAT side of the volume file API: slots with the layer's own positions, the engine's nodes and result map.
#include "FileSystem/Volume/volume_exfat.h"

#include "FileSystem/Volume/volume_internal.h"
#include "lib/text/str.h"

#include <cstring>

using namespace disk;

namespace {

constexpr int kTrimAge = 12;
constexpr int kWriteOpensBeforeTrim = 256;
constexpr int kLoadedDirsBeforeTrim = 8;

// Node flags as the attribute bits of the format.
constexpr u32 kAttributeBits = EXFAT_ATTR_READ_ONLY | EXFAT_ATTR_HIDDEN | EXFAT_ATTR_SYSTEM | EXFAT_ATTR_ARCHIVE;

// An engine result as a SysError.
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

u32 AttributeWord(u32 flags) {
  u32 word = DISK_ATTR_READABLE;
  if (!(flags & EXFAT_ATTR_READ_ONLY)) word |= DISK_ATTR_WRITABLE;
  if (flags & EXFAT_ATTR_DIRECTORY) word |= DISK_ATTR_FOLDER;
  if (flags & EXFAT_ATTR_HIDDEN) word |= DISK_ATTR_HIDDEN;
  if (flags & EXFAT_ATTR_ARCHIVE) word |= DISK_ATTR_ARCHIVE;
  if (flags & EXFAT_ATTR_SYSTEM) word |= DISK_ATTR_SYSTEM;
  if (flags & EXFAT_ATTR_08) word |= DISK_ATTR_EXFAT_08;
  return word;
}

void Record(const ExfatNode& node, DiskFindRecord& record) {
  record = DiskFindRecord{};
  record.attributes = node.parent ? AttributeWord(node.flags) : DISK_ATTR_FOLDER;
  // Folders show no size, as on FAT.
  record.size = node.IsDir() ? 0 : node.size;
  record.creation = node.ctime;
  record.access = node.atime;
  record.write = node.mtime;
  SetRecordName(record, ExfatNameToUtf8(node.name));
}

bool EndsInSeparator(const char* path) {
  const std::size_t n = path ? std::strlen(path) : 0;
  return n && (path[n - 1] == '/' || path[n - 1] == '\\');
}

}  // namespace

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

void ExfatVolume::Trim() {
  writeOpens = 0;
  ExfatFlushAll(*this);
  ExfatTrim(*this, kTrimAge);
}

ExfatFileSlot* ExfatVolume::SlotOf(u32 slot) {
  return slot < EXFAT_FILE_SLOTS && files[slot].node ? &files[slot] : nullptr;
}

// ---- open files ----------------------------------------------------------------------------------

int ExfatVolume::FileOpen(const std::string& inside, int mode, int& err) {
  if (writeOpens >= kWriteOpensBeforeTrim) Trim();
  if (mode & (DISK_OPEN_WRITE | DISK_OPEN_CREATE | DISK_OPEN_TRUNCATE)) ++writeOpens;
  ExfatNode* node = nullptr;
  int r = ExfatLookup(*this, &node, inside);
  if (r == EXFAT_ENOENT && (mode & DISK_OPEN_CREATE)) {
    r = ExfatMknod(*this, inside);
    if (!r) r = ExfatLookup(*this, &node, inside);
    mode &= ~(DISK_OPEN_CREATE | DISK_OPEN_TRUNCATE);
  }
  if (r) {
    err = MapExfat(r);
    return -1;
  }
  auto fail = [&](int e) {
    ExfatPutNode(*this, node);
    err = e;
    return -1;
  };
  if (node->IsDir() || !node->parent) return fail(SYS_ERR_NOT_FOUND);
  if (node->flags & EXFAT_ATTR_READ_ONLY) {
    // Emptying is writing too.
    if (mode & (DISK_OPEN_WRITE | DISK_OPEN_CREATE)) return fail(SYS_ERR_ACCESS);
    mode &= ~DISK_OPEN_TRUNCATE;
  }
  if (!(mode & DISK_OPEN_WRITE)) mode &= ~DISK_OPEN_TRUNCATE;
  const int slot = TakeSlot(files, lastFileSlot, [](const ExfatFileSlot& s) { return s.node != nullptr; });
  if (slot < 0) return fail(SYS_ERR_TOO_MANY_OPEN);
  if (mode & (DISK_OPEN_CREATE | DISK_OPEN_TRUNCATE)) {
    r = ExfatTruncate(*this, *node, 0, true);
    if (!r) r = ExfatFlushNode(*this, *node);
    if (r) return fail(MapExfat(r));
  }
  files[static_cast<std::size_t>(slot)] = ExfatFileSlot{node, mode, 0};
  return slot;
}

int ExfatVolume::FileClose(u32 slot) {
  ExfatFileSlot* s = SlotOf(slot);
  if (!s) return SYS_ERR_INVALID;
  const int r = ExfatFlushNode(*this, *s->node);
  ExfatPutNode(*this, s->node);
  *s = ExfatFileSlot{};
  if (loadedDirs > kLoadedDirsBeforeTrim && loadedDirs % kLoadedDirsBeforeTrim == 0) Trim();
  return MapExfat(r);
}

int ExfatVolume::FileRead(u32 slot, void* buffer, int length) {
  ExfatFileSlot* s = SlotOf(slot);
  if (!s || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  const i64 n = ExfatRead(*this, *s->node, buffer, static_cast<u64>(length), s->position);
  if (n < 0) return MapExfat(static_cast<int>(n));
  s->position += static_cast<u64>(n);
  return static_cast<int>(n);
}

int ExfatVolume::FileWrite(u32 slot, const void* buffer, int length) {
  ExfatFileSlot* s = SlotOf(slot);
  if (!s || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  if (!(s->mode & DISK_OPEN_WRITE) || (s->node->flags & EXFAT_ATTR_READ_ONLY)) return SYS_ERR_ACCESS;
  const i64 n = ExfatWrite(*this, *s->node, buffer, static_cast<u64>(length), s->position);
  if (n < 0) return MapExfat(static_cast<int>(n));
  s->position += static_cast<u64>(n);
  return static_cast<int>(n);
}

i64 ExfatVolume::FileSeek(u32 slot, i64 offset, int whence) {
  ExfatFileSlot* s = SlotOf(slot);
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

i64 ExfatVolume::FileTell(u32 slot) {
  ExfatFileSlot* s = SlotOf(slot);
  return s ? static_cast<i64>(s->position) : static_cast<i64>(SYS_ERR_INVALID);
}

int ExfatVolume::FileFlush(u32 slot) {
  ExfatFileSlot* s = SlotOf(slot);
  if (!s) return SYS_ERR_INVALID;
  if (const int r = ExfatFlushNode(*this, *s->node)) return MapExfat(r);
  return ExfatDevFsync(dev) == 0 ? SYS_OK : SYS_ERR_OTHER;
}

int ExfatVolume::GetFileTime(u32 slot, i64* write, i64* creation, i64* access) {
  ExfatFileSlot* s = SlotOf(slot);
  if (!s) return SYS_ERR_INVALID;
  if (write) *write = s->node->mtime;
  if (creation) *creation = s->node->ctime;
  if (access) *access = s->node->atime;
  return SYS_OK;
}

int ExfatVolume::SetFileTime(u32 slot, i64 write, i64 creation, i64 access) {
  ExfatFileSlot* s = SlotOf(slot);
  if (!s) return SYS_ERR_INVALID;
  ExfatSetTimes(*s->node, write, creation, access);
  return SYS_OK;
}

i64 ExfatVolume::GetFileSize(u32 slot) {
  ExfatFileSlot* s = SlotOf(slot);
  return s ? static_cast<i64>(s->node->size) : -1;
}

int ExfatVolume::SetFileSize(u32 slot, u64 size) {
  ExfatFileSlot* s = SlotOf(slot);
  if (!s) return SYS_ERR_INVALID;
  if (!(s->mode & DISK_OPEN_WRITE)) return SYS_ERR_ACCESS;
  return MapExfat(ExfatTruncate(*this, *s->node, size, true));
}

int ExfatVolume::ReadDirEntry(u32 slot, DiskFindRecord& record) {
  ExfatFileSlot* s = SlotOf(slot);
  if (!s) return SYS_ERR_INVALID;
  Record(*s->node, record);
  return SYS_OK;
}

// ---- paths ---------------------------------------------------------------------------------------

int ExfatVolume::Stat(const std::string& inside, DiskPathStatus& status, bool /*entryItself*/) {
  ExfatNode* node = nullptr;
  if (const int r = ExfatLookup(*this, &node, inside)) return MapExfat(r);
  status.root = !node->parent;
  status.folder = node->IsDir();
  status.size = status.folder ? 0 : node->size;
  status.attributes = status.root ? DISK_ATTR_FOLDER : AttributeWord(node->flags);
  ExfatPutNode(*this, node);
  return SYS_OK;
}

int ExfatVolume::Mkdir(const std::string& inside) { return MapExfat(ExfatMkdir(*this, inside)); }

int ExfatVolume::Remove(const std::string& inside, bool directory) {
  ExfatNode* node = nullptr;
  if (const int r = ExfatLookup(*this, &node, inside)) return MapExfat(r);
  int r;
  if (!node->parent) r = SYS_ERR_ACCESS;
  else if (directory && !node->IsDir()) r = SYS_ERR_PATH;
  else r = MapExfat(directory ? ExfatRmdir(*this, *node) : ExfatUnlink(*this, *node));
  // The last reference gives the clusters back and writes the bitmap.
  ExfatPutNode(*this, node);
  return r;
}

int ExfatVolume::Rmdir(const std::string& inside) {
  return m_device.ReadOnly() ? SYS_ERR_ACCESS : Remove(inside, true);
}

int ExfatVolume::Delete(const std::string& inside) {
  return m_device.ReadOnly() ? SYS_ERR_ACCESS : Remove(inside, false);
}

int ExfatVolume::Rename(const std::string& from, const std::string& to) {
  // Never over an existing entry, unless it is the source itself (a change of case).
  ExfatNode* source = nullptr;
  if (const int r = ExfatLookup(*this, &source, from)) return MapExfat(r);
  ExfatNode* target = nullptr;
  const int found = ExfatLookup(*this, &target, to);
  const bool other = found == 0 && target != source;
  ExfatPutNode(*this, target);
  ExfatPutNode(*this, source);
  if (other) return SYS_ERR_EXISTS;
  return MapExfat(ExfatRename(*this, from, to));
}

int ExfatVolume::Replace(const std::string& from, const std::string& to) {
  if (m_device.ReadOnly()) return SYS_ERR_ACCESS;
  ExfatNode* source = nullptr;
  if (const int r = ExfatLookup(*this, &source, from)) return MapExfat(r);
  ExfatNode* target = nullptr;
  int r = ExfatLookup(*this, &target, to);
  if (r == 0) {
    if (target == source || !source->parent || !target->parent) r = SYS_ERR_INVALID;
    else if (source->IsDir() || target->IsDir()) r = SYS_ERR_NOT_FOUND;
    else if (target->flags & EXFAT_ATTR_READ_ONLY) r = SYS_ERR_ACCESS;
  } else {
    r = MapExfat(r);
  }
  ExfatPutNode(*this, target);
  ExfatPutNode(*this, source);
  return r ? r : MapExfat(ExfatRename(*this, from, to));
}

int ExfatVolume::SetAttributes(const std::string& inside, u32 attributes) {
  if (m_device.ReadOnly()) return SYS_ERR_ACCESS;
  ExfatNode* node = nullptr;
  if (const int r = ExfatLookup(*this, &node, inside)) return MapExfat(r);
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
      result = MapExfat(ExfatFlushNode(*this, *node));
    }
  }
  ExfatPutNode(*this, node);
  return result;
}

// ---- searches ------------------------------------------------------------------------------------

int ExfatVolume::FindFirst(const DiskSearchPath& search, DiskFindRecord& record, int& err) {
  if (!search.pattern) {
    ExfatNode* node = nullptr;
    if (const int r = ExfatLookup(*this, &node, search.inside)) {
      err = MapExfat(r);
      return -1;
    }
    Record(*node, record);
    const bool dir = node->IsDir();
    ExfatPutNode(*this, node);
    // A path ending in "/" names a folder.
    if (EndsInSeparator(search.path) && !dir) {
      err = SYS_ERR_NOT_FOUND;
      return -1;
    }
    return DISK_FOUND_ONE;
  }
  ExfatNode* node = nullptr;
  if (ExfatLookup(*this, &node, search.folder)) {
    err = SYS_ERR_PATH;
    return -1;
  }
  if (!node->IsDir()) {
    ExfatPutNode(*this, node);
    err = SYS_ERR_PATH;
    return -1;
  }
  const int slot = TakeSlot(dirs, lastDirSlot, [](const auto& s) { return s != nullptr; });
  if (slot < 0) {
    ExfatPutNode(*this, node);
    err = SYS_ERR_TOO_MANY_OPEN;
    return -1;
  }
  auto dir = std::make_unique<ExfatDirSearch>();
  dir->pattern = search.last;
  const int r = ExfatOpenDir(*this, *node, dir->it);
  ExfatPutNode(*this, node);
  if (r) {
    err = SYS_ERR_PATH;
    return -1;
  }
  ++wildcardSearches;
  dirs[static_cast<std::size_t>(slot)] = std::move(dir);
  const int next = FindNext(static_cast<u32>(slot), record);
  if (next != SYS_OK) {
    FindClose(static_cast<u32>(slot));
    err = next == SYS_ERR_NOT_FOUND ? SYS_ERR_INVALID : next;
    return -1;
  }
  return slot;
}

int ExfatVolume::FindNext(u32 slot, DiskFindRecord& record) {
  ExfatDirSearch* search = slot < EXFAT_DIR_SLOTS ? dirs[slot].get() : nullptr;
  if (!search) return SYS_ERR_INVALID;
  for (;;) {
    int err = 0;
    ExfatNode* node = ExfatReadDir(*this, search->it, &err);
    if (!node) return err ? MapExfat(err) : SYS_ERR_NOT_FOUND;
    const std::string name = ExfatNameToUtf8(node->name);
    const bool match = StrWildcardCompareA(name.c_str(), search->pattern.c_str()) == 0;
    if (match) Record(*node, record);
    ExfatPutNode(*this, node);
    if (match) return SYS_OK;
  }
}

int ExfatVolume::FindClose(u32 slot) {
  ExfatDirSearch* search = slot < EXFAT_DIR_SLOTS ? dirs[slot].get() : nullptr;
  if (!search) return SYS_ERR_INVALID;
  ExfatCloseDir(*this, search->it);
  dirs[slot].reset();
  if (loadedDirs > kLoadedDirsBeforeTrim && wildcardSearches % kLoadedDirsBeforeTrim == 0) Trim();
  return SYS_OK;
}

// ---- the volume ----------------------------------------------------------------------------------

int ExfatVolume::GetFreeSpace(DiskSpace& space) {
  u64 used = 0;
  if (const int r = ExfatUsedClusters(*this, &used)) return MapExfat(r);
  space.sectorsPerCluster = clusterBytes / 512;
  space.totalClusters = clusterCount;
  space.freeClusters = space.availableClusters = used < clusterCount ? clusterCount - used : 0;
  return SYS_OK;
}

i64 ExfatVolume::StoredTime(i64 t) {
  u8 increment = 0, offset = 0;
  const u32 stamp = ExfatStamp(t, &increment, &offset);
  return ExfatStampTime(stamp, increment, offset);
}

std::string ExfatVolume::NameKey(const std::string& name) {
  // Folded through the volume's own upcase table.
  std::u16string units;
  if (ExfatNameToUtf16(name, units) != 0 || !ExfatNameAllowed(units) || units == u"." || units == u"..") return "";
  for (char16_t& unit : units) unit = upcase[unit];
  return ToUtf8(units);
}
