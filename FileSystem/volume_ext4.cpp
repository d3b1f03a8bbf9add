// The ext4 side of the volume file API: engine lookup, result and attribute maps, paths through symbolic links.
#include "FileSystem/volume_internal.h"

#include <cstring>

namespace disk {

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

// Runs an open and, while it stops at a symbolic link (31, with the link's offset in stop),
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

}  // namespace

Ext4DriveVolume* Ext4Of(DiskDriveTable& table, int drive) {
  if (drive < 0 || drive >= DISK_MAX_DRIVES || table.fsType[drive] != DISK_TYPE_EXT4) return nullptr;
  return dynamic_cast<Ext4DriveVolume*>(table.fileSystem[drive].get());
}

int MapExt4(int result) {
  switch (result) {
    case EXT4_OK: return SYS_OK;
    case 1: case EXT4_EIO: case EXT4_EACCES: case EXT4_EROFS: return SYS_ERR_ACCESS;
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

u32 Ext4AttributeWord(u32 mode) {
  u32 word = 0;
  if ((mode & EXT4_S_IFMT) == EXT4_S_IFDIR) word |= DISK_ATTR_FOLDER;
  if (mode & 0400) word |= DISK_ATTR_READABLE;
  if (mode & 0200) word |= DISK_ATTR_WRITABLE;
  if (mode & 0100) word |= DISK_ATTR_OWNER_EXECUTE | DISK_ATTR_ARCHIVE;
  if (mode & 0001) word |= DISK_ATTR_HIDDEN;
  if (mode & 0010) word |= DISK_ATTR_SYSTEM;
  return word;
}

void Ext4Record(const Ext4FileInfo& info, std::string_view name, bool link, DiskFindRecord& record) {
  record = DiskFindRecord{};
  record.attributes = Ext4AttributeWord(info.mode) | static_cast<u32>((info.size >> 32) & 0x3F) << 10 |
                      (info.mode & 0xFFFF) << DISK_ATTR_UNIX_MODE_SHIFT;
  record.size = info.size;
  record.creation = info.ctime;
  record.access = info.atime;
  record.write = info.mtime;
  record.link = link;
  const std::size_t n = std::min(name.size(), sizeof record.name - 1);
  std::memcpy(record.name, name.data(), n);
  record.name[n] = '\0';
}

int Ext4OpenPath(Ext4Volume* vol, const std::string& inside, Ext4File& f, u32 flags, bool folder) {
  Path path;
  if (!StartPath(inside, path)) return EXT4_EFBIG;
  return Resolving(vol, path, [&](const char* p, u32& stop) {
    const int r = folder ? Ext4FileOpenMode(vol, &f, p, "r", false) : Ext4FileOpen(vol, &f, p, flags);
    stop = f.inode;
    return r;
  });
}

int Ext4OpenEntry(Ext4Volume* vol, const std::string& inside, Ext4File& f, bool follow) {
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

int Ext4PathInode(Ext4Volume* vol, const std::string& inside, bool follow, u32& ino) {
  ino = 0;
  Ext4File f;
  if (const int r = Ext4OpenEntry(vol, inside, f, follow); r) return r;
  ino = f.inode;
  Ext4FileClose(&f);
  return EXT4_OK;
}

int Ext4StatPath(Ext4Volume* vol, const std::string& inside, Ext4FileInfo& info, bool& link, bool follow) {
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
  // The target, opened as a file; a folder answers 21 once the path leads to it.
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

}  // namespace disk
