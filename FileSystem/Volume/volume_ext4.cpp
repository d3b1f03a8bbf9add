// The ext4 side of the volume file API: slots, result and attribute maps, paths through symbolic links.
#include "FileSystem/Volume/volume_ext4.h"
#include "FileSystem/Volume/volume_internal.h"
#include "lib/text/str.h"

#include <cstring>

using namespace disk;

namespace {

using Path = char[512];

// "/" and the path inside the volume in the engine's 512-byte path buffer.
bool StartPath(const std::string& inside, Path& path) {
  if (inside.size() + 2 > 510) return false;
  path[0] = '/';
  std::memcpy(path + 1, inside.data(), inside.size());
  path[inside.size() + 1] = '\0';
  return true;
}

// Runs an open and, while it stops at a symbolic link (EXT4_EMLINK, with the link's offset in stop),
// resolves the link in the path and tries again.
template <typename Open>
int Resolving(Ext4Volume* vol, Path& path, Open open) {
  for (int round = 0;; ++round) {
    u32 stop = 0;
    const int r = open(static_cast<const char*>(path), stop);
    if (r != EXT4_EMLINK || round == 4) return r;
    if (const int l = Ext4ResolveLink(vol, stop, path, 0)) return l;
  }
}

// An engine result as a SysError.
int MapExt4(int result) {
  switch (result) {
    case EXT4_OK: return SYS_OK;
    case EXT4_EPERM: case EXT4_EIO: case EXT4_EACCES: case EXT4_EROFS: return SYS_ERR_ACCESS;
    case EXT4_ENOENT: return SYS_ERR_NOT_FOUND;
    case EXT4_ENOMEM: return SYS_ERR_TOO_MANY_OPEN;
    case EXT4_EEXIST: return SYS_ERR_EXISTS;
    case EXT4_EISDIR: return SYS_ERR_NOT_FOUND;  // a folder is no file
    case EXT4_ENOTDIR: return SYS_ERR_PATH;
    case EXT4_EINVAL: return SYS_ERR_INVALID;
    case EXT4_ENOSPC: return SYS_ERR_DISK_FULL;
    default: return SYS_ERR_OTHER;
  }
}

// The attribute word of a mode, without the mode itself above it.
u32 AttributeWord(u32 mode) {
  u32 word = 0;
  if ((mode & EXT4_S_IFMT) == EXT4_S_IFDIR) word |= DISK_ATTR_FOLDER;
  if (mode & 0400) word |= DISK_ATTR_READABLE;
  if (mode & 0200) word |= DISK_ATTR_WRITABLE;
  if (mode & 0100) word |= DISK_ATTR_OWNER_EXECUTE | DISK_ATTR_ARCHIVE;
  if (mode & 0001) word |= DISK_ATTR_HIDDEN;
  if (mode & 0010) word |= DISK_ATTR_SYSTEM;
  return word;
}

// A find record of an entry: the status (of a link's target when it has one) and its name.
void Record(const Ext4FileInfo& info, std::string_view name, bool link, DiskFindRecord& record) {
  record = DiskFindRecord{};
  record.attributes = AttributeWord(info.mode) | static_cast<u32>((info.size >> 32) & 0x3F) << 10 |
                      (info.mode & 0xFFFF) << DISK_ATTR_UNIX_MODE_SHIFT;
  record.size = info.size;
  record.creation = info.ctime;
  record.access = info.atime;
  record.write = info.mtime;
  record.link = link;
  SetRecordName(record, name);
}

// Opens a path inside the volume ("a/b") with the engine's open, following symbolic links on the
// way (at most four rounds).
int OpenPath(Ext4Volume* vol, const std::string& inside, Ext4File& f, u32 flags, bool folder = false) {
  Path path;
  if (!StartPath(inside, path)) return EXT4_EFBIG;
  return Resolving(vol, path, [&](const char* p, u32& stop) {
    const int r = folder ? Ext4FileOpenMode(vol, &f, p, "r", false) : Ext4FileOpen(vol, &f, p, flags);
    stop = f.inode;
    return r;
  });
}

// Opens what a path names, of any type, for information and attributes (the entry itself, or where
// its links lead).
int OpenEntry(Ext4Volume* vol, const std::string& inside, Ext4File& f, bool follow) {
  Path path;
  if (!StartPath(inside, path)) return EXT4_EFBIG;
  return Resolving(vol, path, [&](const char* p, u32& stop) {
    int x = Ext4Lookup(vol, &f, p);
    if (x == EXT4_OK && follow && f.type == EXT4_DE_SYMLINK) {
      // The link's own component is resolved as one on the way would be.
      Ext4FileClose(&f);
      x = Ext4FileOpen(vol, &f, p, 0);
    }
    stop = f.inode;
    return x;
  });
}

// The inode a path names (the entry itself, or where its links lead): 0 or the engine's result.
int PathInode(Ext4Volume* vol, const std::string& inside, bool follow, u32& ino) {
  ino = 0;
  Ext4File f;
  if (const int r = OpenEntry(vol, inside, f, follow); r) return r;
  ino = f.inode;
  Ext4FileClose(&f);
  return EXT4_OK;
}

// Status of a path; a symbolic link gives its target's status when it leads somewhere (and follow
// is set), else its own, with link set.
int StatPath(Ext4Volume* vol, const std::string& inside, Ext4FileInfo& info, bool& link, bool follow = true) {
  link = false;
  Path path;
  if (!StartPath(inside, path)) return EXT4_EFBIG;
  Ext4File f;
  int r = Resolving(vol, path, [&](const char* p, u32& stop) {
    const int x = Ext4Lookup(vol, &f, p);
    stop = f.inode;
    return x;
  });
  if (r) return r;
  info = Ext4FileInfo{};
  r = Ext4FileStat(&f, &info);
  link = f.type == EXT4_DE_SYMLINK;
  Ext4FileClose(&f);
  if (r || !link || !follow) return r;
  // The target, opened as a file; a folder answers EXT4_EISDIR once the path leads to it.
  Ext4File t;
  r = Resolving(vol, path, [&](const char* p, u32& stop) {
    const int x = Ext4FileOpen(vol, &t, p, 0);
    stop = t.inode;
    return x;
  });
  if (r == EXT4_EISDIR) r = Ext4Lookup(vol, &t, path);
  if (r == EXT4_OK) {
    Ext4FileInfo target;
    if (Ext4FileStat(&t, &target) == EXT4_OK) info = target;
    Ext4FileClose(&t);
  }
  // A link that leads nowhere keeps its own status.
  return EXT4_OK;
}

// The two permission words of the engine's attribute operation: the value and the mask.
std::pair<u32, u32> Permissions(u32 attributes) {
  if (attributes >> DISK_ATTR_UNIX_MODE_SHIFT) return {attributes >> DISK_ATTR_UNIX_MODE_SHIFT, 0x3FF};
  u32 mode = 0;
  if (attributes & DISK_ATTR_READABLE) mode |= 0444;
  // Writable: the owner's write bit with the group and other write bits of a new file's 0666.
  if (attributes & DISK_ATTR_WRITABLE) mode |= 0222;
  if (attributes & DISK_ATTR_OWNER_EXECUTE) mode |= 0111;
  if (attributes & DISK_ATTR_HIDDEN) mode |= 0001;
  if (attributes & DISK_ATTR_SYSTEM) mode |= 0010;
  if (attributes & DISK_ATTR_ARCHIVE) mode |= 0100;
  return {mode, (attributes & DISK_ATTR_READABLE) ? 0777u : 0733u};
}

// The next entry of a search that matches its pattern; "." and ".." are no entries.
int Next(Ext4Volume* vol, Ext4DirSearch& search, DiskFindRecord& record) {
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
      r = StatPath(vol, search.path.empty() ? name : search.path + "/" + name, info, link);
    } else {
      r = Ext4DirEntryStat(&search.dir, &info);
    }
    if (r) return MapExt4(r);
    Record(info, name, link, record);
    return SYS_OK;
  }
}

}  // namespace

Ext4File* Ext4DriveVolume::FileOf(u32 slot) { return slot < EXT4_FILE_SLOTS ? files[slot].get() : nullptr; }

bool Ext4DriveVolume::EntryOpen(const std::string& inside) {
  u32 ino = 0;
  return PathInode(m_volume, inside, false, ino) == EXT4_OK && IsOpen(ino, false);
}

// ---- open files ----------------------------------------------------------------------------------

int Ext4DriveVolume::FileOpen(const std::string& inside, int mode, int& err) {
  const int slot = TakeSlot(files, lastFileSlot, [](const auto& f) { return f != nullptr; });
  if (slot < 0) {
    err = SYS_ERR_TOO_MANY_OPEN;
    return -1;
  }
  u32 flags = EXT4_O_RDONLY;
  if (mode & DISK_OPEN_WRITE) flags = EXT4_O_RDWR;
  if (((mode & DISK_OPEN_WRITE) && (mode & DISK_OPEN_TRUNCATE)) || (mode & DISK_OPEN_CREATE))
    flags = EXT4_O_RDWR | EXT4_O_CREAT | EXT4_O_TRUNC;
  // One handle writes a file at a time: two would each keep their own idea of its size.
  u32 ino = 0;
  if ((flags & EXT4_O_RDWR) && PathInode(m_volume, inside, true, ino) == EXT4_OK && IsOpen(ino, true)) {
    err = SYS_ERR_ACCESS;
    return -1;
  }
  auto file = std::make_unique<Ext4File>();
  if (const int r = OpenPath(m_volume, inside, *file, flags)) {
    err = MapExt4(r);
    return -1;
  }
  files[static_cast<std::size_t>(slot)] = std::move(file);
  return slot;
}

int Ext4DriveVolume::FileClose(u32 slot) {
  Ext4File* e = FileOf(slot);
  if (!e) return SYS_ERR_INVALID;
  const int r = Ext4FileClose(e);
  files[slot].reset();
  return MapExt4(r);
}

int Ext4DriveVolume::FileRead(u32 slot, void* buffer, int length) {
  Ext4File* e = FileOf(slot);
  if (!e || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  u32 done = 0;
  // What was read before an error stays delivered; the next call reports the error.
  const int r = Ext4FileRead(e, buffer, static_cast<u32>(length), &done);
  return r && done == 0 ? MapExt4(r) : static_cast<int>(done);
}

int Ext4DriveVolume::FileWrite(u32 slot, const void* buffer, int length) {
  Ext4File* e = FileOf(slot);
  if (!e || length < 0 || (!buffer && length > 0)) return SYS_ERR_INVALID;
  u32 done = 0;
  const int r = Ext4FileWrite(e, buffer, static_cast<u32>(length), &done);
  return r && done == 0 ? MapExt4(r) : static_cast<int>(done);
}

i64 Ext4DriveVolume::FileSeek(u32 slot, i64 offset, int whence) {
  Ext4File* e = FileOf(slot);
  if (!e) return SYS_ERR_INVALID;
  const i64 base = whence == 0 ? 0 : whence == 1 ? static_cast<i64>(e->pos) : static_cast<i64>(e->size);
  if (whence < 0 || whence > 2 || (offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return SYS_ERR_INVALID;
  if (const int r = Ext4FileSeek(e, static_cast<u64>(base + offset), 0)) return MapExt4(r);
  return static_cast<i64>(e->pos);
}

i64 Ext4DriveVolume::FileTell(u32 slot) {
  const Ext4File* e = FileOf(slot);
  return e ? static_cast<i64>(Ext4FileTell(e)) : static_cast<i64>(SYS_ERR_INVALID);
}

int Ext4DriveVolume::FileFlush(u32 slot) {
  if (!FileOf(slot)) return SYS_ERR_INVALID;
  // The engine holds nothing of a file between its calls.
  return m_medium.Ioctl(DISK_IOCTL_SYNC, nullptr) == DISK_OK ? SYS_OK : SYS_ERR_OTHER;
}

int Ext4DriveVolume::GetFileTime(u32 slot, i64* write, i64* creation, i64* access) {
  Ext4File* e = FileOf(slot);
  if (!e) return SYS_ERR_INVALID;
  Ext4FileInfo info;
  if (const int r = Ext4FileStat(e, &info)) return MapExt4(r);
  if (write) *write = info.mtime;
  if (creation) *creation = info.ctime;
  if (access) *access = info.atime;
  return SYS_OK;
}

int Ext4DriveVolume::SetFileTime(u32 slot, i64 write, i64 creation, i64 access) {
  Ext4File* e = FileOf(slot);
  if (!e) return SYS_ERR_INVALID;
  Ext4FileAttributes a;
  a.mtime = write;
  a.ctime = creation;
  a.atime = access;
  return MapExt4(Ext4FileSetAttributes(e, &a));
}

i64 Ext4DriveVolume::GetFileSize(u32 slot) {
  const Ext4File* e = FileOf(slot);
  return e ? static_cast<i64>(e->size) : -1;
}

int Ext4DriveVolume::SetFileSize(u32 slot, u64 size) {
  Ext4File* e = FileOf(slot);
  return e ? MapExt4(Ext4FileTruncate(e, size)) : SYS_ERR_INVALID;
}

int Ext4DriveVolume::ReadDirEntry(u32 slot, DiskFindRecord& record) {
  Ext4File* e = FileOf(slot);
  if (!e) return SYS_ERR_INVALID;
  Ext4FileInfo info;
  if (const int r = Ext4FileStat(e, &info)) return MapExt4(r);
  Record(info, std::string_view(e->name, e->nameLen), false, record);
  return SYS_OK;
}

// ---- paths ---------------------------------------------------------------------------------------

int Ext4DriveVolume::Stat(const std::string& inside, DiskPathStatus& status, bool entryItself) {
  Ext4FileInfo info;
  bool link = false;
  if (const int r = StatPath(m_volume, inside, info, link, !entryItself)) return MapExt4(r);
  status.root = inside.empty();
  status.folder = (info.mode & EXT4_S_IFMT) == EXT4_S_IFDIR;
  status.size = info.size;
  status.attributes = status.root ? DISK_ATTR_FOLDER : AttributeWord(info.mode);
  return SYS_OK;
}

int Ext4DriveVolume::Mkdir(const std::string& inside) { return MapExt4(Ext4Mkdir(m_volume, ("/" + inside).c_str())); }

int Ext4DriveVolume::Rmdir(const std::string& inside) {
  if (const int r = CheckRemoval(*this, inside, true, m_medium.ReadOnly())) return r;
  return MapExt4(Ext4DirRemove(m_volume, ("/" + inside).c_str(), false));
}

int Ext4DriveVolume::Delete(const std::string& inside) {
  if (const int r = CheckRemoval(*this, inside, false, m_medium.ReadOnly())) return r;
  // An open file keeps its name, as a sharing violation would refuse it.
  if (EntryOpen(inside)) return SYS_ERR_ACCESS;
  return MapExt4(Ext4FileRemove(m_volume, ("/" + inside).c_str()));
}

int Ext4DriveVolume::Rename(const std::string& from, const std::string& to) {
  if (EntryOpen(from)) return SYS_ERR_ACCESS;
  return MapExt4(Ext4Rename(m_volume, ("/" + from).c_str(), ("/" + to).c_str()));
}

int Ext4DriveVolume::SetAttributes(const std::string& inside, u32 attributes) {
  if (inside.empty()) return DISK_ATTR_UNCHANGED;
  if (m_medium.ReadOnly()) return SYS_ERR_ACCESS;
  // Files without write bits and folders take attributes too (a folder keeps its mode).
  Ext4File f;
  if (const int r = OpenEntry(m_volume, inside, f, true)) return MapExt4(r);
  const auto [mode, mask] = Permissions(attributes);
  Ext4FileAttributes a;
  a.mode = mode;
  a.modeMask = mask;
  const int r = Ext4FileSetAttributes(&f, &a);
  const int closed = Ext4FileClose(&f);
  return MapExt4(r ? r : closed);
}

// ---- searches ------------------------------------------------------------------------------------

int Ext4DriveVolume::FindFirst(const DiskSearchPath& search, DiskFindRecord& record, int& err) {
  if (!search.pattern) {
    Ext4FileInfo info;
    bool link = false;
    if (const int r = StatPath(m_volume, search.inside, info, link)) {
      err = MapExt4(r);
      return -1;
    }
    Record(info, search.last, link, record);
    return DISK_FOUND_ONE;
  }
  const int slot = TakeSlot(dirs, lastDirSlot, [](const auto& s) { return s != nullptr; });
  if (slot < 0) {
    err = SYS_ERR_TOO_MANY_OPEN;
    return -1;
  }
  auto dir = std::make_unique<Ext4DirSearch>();
  dir->path = search.folder;
  dir->pattern = search.last;
  if (OpenPath(m_volume, dir->path, dir->dir.f, 0, true) != EXT4_OK) {
    err = SYS_ERR_PATH;
    return -1;
  }
  dir->dir.nextPos = 0;
  const int r = Next(m_volume, *dir, record);
  if (r != SYS_OK) {
    Ext4DirClose(&dir->dir);
    err = r == SYS_ERR_NOT_FOUND ? SYS_ERR_INVALID : r;
    return -1;
  }
  dirs[static_cast<std::size_t>(slot)] = std::move(dir);
  return slot;
}

int Ext4DriveVolume::FindNext(u32 slot, DiskFindRecord& record) {
  Ext4DirSearch* search = slot < EXT4_DIR_SLOTS ? dirs[slot].get() : nullptr;
  return search ? Next(m_volume, *search, record) : SYS_ERR_INVALID;
}

int Ext4DriveVolume::FindClose(u32 slot) {
  Ext4DirSearch* search = slot < EXT4_DIR_SLOTS ? dirs[slot].get() : nullptr;
  if (!search) return SYS_ERR_INVALID;
  const int r = Ext4DirClose(&search->dir);
  dirs[slot].reset();
  return MapExt4(r);
}

// ---- the volume ----------------------------------------------------------------------------------

int Ext4DriveVolume::GetFreeSpace(DiskSpace& space) {
  if (!m_volume) return SYS_ERR_PATH;
  const Ext4Fs& fs = m_volume->fs;
  const u8* sb = fs.sb.data();
  const bool wide = (fs.incompat & EXT4_INCOMPAT_64BIT) != 0;
  const u64 free = Ext4Le32(sb + 0x0C) | (wide ? u64{Ext4Le32(sb + 0x158)} << 32 : 0);
  const u64 reserved = Ext4Le32(sb + 0x08) | (wide ? u64{Ext4Le32(sb + 0x154)} << 32 : 0);
  space.sectorsPerCluster = fs.blockSize / 512;
  space.totalClusters = fs.blocksCount;
  space.freeClusters = std::min(free, fs.blocksCount);
  space.availableClusters = space.freeClusters > reserved ? space.freeClusters - reserved : 0;
  return SYS_OK;
}

i64 Ext4DriveVolume::StoredTime(i64 t) { return Ext4StoredTime(m_volume, t); }
