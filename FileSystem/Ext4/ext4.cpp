// Path walk and the file, folder and symbolic-link operations of a mounted ext4 volume.
#include "FileSystem/Ext4/ext4.h"

#include "FileSystem/Ext4/ext4_trans.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr const char* kModule = "FileSystem/Ext4/ext4";
constexpr u32 kRootIno = 2;
constexpr u32 kWriteFlags = EXT4_O_WRONLY | EXT4_O_RDWR | EXT4_O_CREAT | EXT4_O_TRUNC | EXT4_O_APPEND;
// An open that only changes attributes: a file without write bits may be opened so.
constexpr u32 kAttributeOpen = 0x800;
constexpr u32 kMaxLinks = 65000;
constexpr int kEPERM = 1;
constexpr u32 kRoCompatDirNlink = 0x20;
// Asked of a walk: any type, but a symbolic link at the end counts as one to resolve.
constexpr u32 kNoLink = 0x100;

int Usable(const Ext4Volume* vol) {
  if (!vol) return EXT4_ENOENT;
  return vol->broken || (vol->dev && vol->dev->stopped) ? EXT4_EIO : EXT4_OK;
}

struct WalkResult {
  u32 inode = 0;
  u32 parent = 0;
  u8 type = 0;
  u32 offset = 0;      // of the last component reached (where the walk stopped on failure)
  u32 nameOffset = 0;  // of the last component's name
  u32 nameLen = 0;
};

// Walks the path from the root. A symbolic link on the way (or at the end, unless it was asked
// for) gives 31 with its component's offset, so that the caller can resolve it and try again.
int Walk(Ext4Volume* vol, const char* path, u32 wanted, WalkResult* out) {
  Ext4Fs& fs = vol->fs;
  const std::size_t len = std::strlen(path);
  u32 cur = kRootIno;
  u8 curType = EXT4_DE_DIR;
  out->inode = kRootIno;
  out->parent = kRootIno;
  out->type = EXT4_DE_DIR;
  std::size_t i = 0;
  for (;;) {
    while (i < len && path[i] == '/') ++i;
    if (i >= len) break;
    std::size_t end = i;
    while (end < len && path[end] != '/') ++end;
    std::size_t after = end;
    while (after < len && path[after] == '/') ++after;
    const bool last = after >= len;
    const u32 compLen = static_cast<u32>(end - i);
    out->offset = static_cast<u32>(i);
    if (compLen > 255) return EXT4_EINVAL;
    if (curType != EXT4_DE_DIR) return EXT4_ENOENT;
    Ext4InodeRef dir;
    if (const int r = Ext4InodeGet(&fs, cur, &dir); r) return r;
    if ((Ext4InodeMode(dir.inode) & EXT4_S_IFMT) != EXT4_S_IFDIR) {
      Ext4InodePut(&dir);
      return EXT4_EIO;
    }
    Ext4DirSearchResult found;
    const int r = Ext4DirFindEntry(&found, &dir, path + i, compLen);
    Ext4InodePut(&dir);
    if (r == EXT4_ENOENT && last) {  // where a create would link the name
      out->parent = cur;
      out->inode = 0;
      out->nameOffset = static_cast<u32>(i);
      out->nameLen = compLen;
    }
    if (r == EXT4_ENOENT) return last ? EXT4_ENOENT : EXT4_ENOTDIR;
    if (r) return r;
    u8 type = found.type;
    if (type == EXT4_DE_UNKNOWN || type > EXT4_DE_SYMLINK) {
      Ext4InodeRef child;
      if (const int cr = Ext4InodeGet(&fs, found.inode, &child); cr) return cr;
      type = Ext4DirTypeOfMode(Ext4InodeMode(child.inode));
      Ext4InodePut(&child);
    }
    out->parent = cur;
    out->inode = found.inode;
    out->type = type;
    out->nameOffset = static_cast<u32>(i);
    out->nameLen = compLen;
    if (!last) {
      if (type == EXT4_DE_SYMLINK) return EXT4_EMLINK;
      if (type != EXT4_DE_DIR) return EXT4_ENOENT;
    } else if (wanted == kNoLink) {
      if (type == EXT4_DE_SYMLINK) return EXT4_EMLINK;
    } else if (wanted != EXT4_TYPE_ANY && type != wanted) {
      if (type == EXT4_DE_DIR) return EXT4_EISDIR;
      if (type == EXT4_DE_SYMLINK) return EXT4_EMLINK;
      // Devices, pipes and sockets have no contents to read.
      if (type >= EXT4_DE_CHR && type <= EXT4_DE_SOCK) return EXT4_EINVAL;
      return EXT4_ENOENT;
    }
    cur = found.inode;
    curType = type;
    i = after;
  }
  return EXT4_OK;
}

// ---- inode fields and the pieces every writing operation shares ----

i64 Now() { return static_cast<i64>(std::time(nullptr)); }

u16 Links(const u8* inode) { return Ext4Le16(inode + EXT4_I_LINKS); }
void SetLinks(Ext4InodeRef& ref, u32 n) {
  Ext4SetLe16(ref.inode + EXT4_I_LINKS, static_cast<u16>(n));
  ref.dirty = true;
}
bool IsDir(const u8* inode) { return (Ext4InodeMode(inode) & EXT4_S_IFMT) == EXT4_S_IFDIR; }
// Immutable and append-only inodes keep their names (and an immutable one its contents).
bool Pinned(const u8* inode) { return Ext4InodeFlags(inode) & (EXT4_INODE_IMMUTABLE | EXT4_INODE_APPEND); }

// The word after a time field that holds its epoch bits and nanoseconds (0: none).
u32 ExtraOf(u32 field) {
  switch (field) {
    case EXT4_I_CTIME: return 0x84;
    case EXT4_I_MTIME: return 0x88;
    case EXT4_I_ATIME: return 0x8C;
    case EXT4_I_CRTIME: return 0x94;
    default: return 0;
  }
}
bool HasExtra(const Ext4Fs& fs, const u8* inode, u32 extra) {
  return extra && fs.inodeSize > 128 && extra + 4 <= 128u + Ext4Le16(inode + 0x80) && extra + 4 <= fs.inodeSize;
}

// A time as seconds since 1970: the signed 32-bit field widened by its epoch bits.
i64 TimeOf(const Ext4Fs& fs, const u8* inode, u32 field) {
  i64 t = static_cast<i32>(Ext4Le32(inode + field));
  if (const u32 extra = ExtraOf(field); HasExtra(fs, inode, extra)) t += static_cast<i64>(Ext4Le32(inode + extra) & 3) << 32;
  return t;
}
// The range of a time field: the signed 32-bit seconds, widened by the epoch bits 0 to 3.
i64 ClampTime(i64 t, bool extra) {
  constexpr i64 kFirst = INT32_MIN;
  const i64 last = extra ? (i64{3} << 32) + INT32_MAX : INT32_MAX;
  return std::clamp(t, kFirst, last);
}

void SetTime(Ext4InodeRef& ref, u32 field, i64 seconds) {
  const u32 extra = ExtraOf(field);
  const bool hasExtra = HasExtra(*ref.fs, ref.inode, extra);
  seconds = ClampTime(seconds, hasExtra);
  Ext4SetLe32(ref.inode + field, static_cast<u32>(seconds));
  if (hasExtra) {
    // Epoch bits count how often the signed 32-bit field wrapped; no nanoseconds.
    const i64 epoch = (seconds - static_cast<i32>(static_cast<u32>(seconds))) >> 32;
    Ext4SetLe32(ref.inode + extra, static_cast<u32>(epoch) & 3);
  }
  ref.dirty = true;
}

void Touch(Ext4InodeRef& dir) {
  const i64 now = Now();
  SetTime(dir, EXT4_I_MTIME, now);
  SetTime(dir, EXT4_I_CTIME, now);
}

// A transaction's end: commit after success, abort after a failure; the first error counts.
int Finish(Ext4Volume* vol, int r) {
  if (r == EXT4_OK) return Ext4TransStop(vol);
  Ext4TransAbort(vol);
  return r;
}

bool Hashed(const Ext4Fs& fs, const u8* dir) {
  return (fs.compat & EXT4_COMPAT_DIR_INDEX) && (Ext4InodeFlags(dir) & EXT4_INODE_INDEX);
}

// Whether a folder may gain a link (a subfolder): a hashed folder counts "many" as 1 beyond the
// limit; a linear one refuses at it.
int CanRaise(const Ext4Fs& fs, const u8* dir) {
  return !Hashed(fs, dir) && Links(dir) >= kMaxLinks ? EXT4_EMLINK : EXT4_OK;
}

int RaiseLinks(Ext4InodeRef& dir) {
  Ext4Fs& fs = *dir.fs;
  const u32 n = Links(dir.inode);
  if (const int r = CanRaise(fs, dir.inode); r) return r;
  if (Hashed(fs, dir.inode) && (n == 1 || n + 1 > kMaxLinks)) {
    SetLinks(dir, 1);
    if (!(fs.roCompat & kRoCompatDirNlink)) {
      fs.roCompat |= kRoCompatDirNlink;
      Ext4SetLe32(fs.sb.data() + EXT4_SB_FEATURE_RO_COMPAT, fs.roCompat);
    }
    return EXT4_OK;
  }
  SetLinks(dir, n + 1);
  return EXT4_OK;
}

// A folder lost a subfolder: its count goes down, never below 2 (and "many" stays).
void LowerFolderLinks(Ext4InodeRef& dir) {
  const u32 n = Links(dir.inode);
  if (n > 2) SetLinks(dir, n - 1);
}

// Whether an inode maps blocks through i_block (devices, pipes, sockets and short link texts do not).
bool MapsBlocks(const Ext4Fs& fs, const u8* inode) {
  const u16 type = Ext4InodeMode(inode) & EXT4_S_IFMT;
  if (Ext4InodeFlags(inode) & EXT4_INODE_INLINE_DATA) return false;
  if (type == EXT4_S_IFLNK) return !Ext4InodeIsFastSymlink(fs, inode) || Ext4InodeBlockCount(fs, inode) != 0;
  return type == EXT4_S_IFREG || type == EXT4_S_IFDIR;
}

// Frees an inode whose last name went: its blocks (past the end too), then the inode itself.
int FreeInode(Ext4InodeRef& ref) {
  SetLinks(ref, 0);
  SetTime(ref, EXT4_I_DTIME, Now());
  if (MapsBlocks(*ref.fs, ref.inode))
    if (const int r = Ext4InodeReleaseAll(&ref); r) return r;
  return Ext4InodeFree(&ref);
}

// Links a name in a folder to an inode. A new folder gets "." and ".." (in a hashed root when the
// volume indexes folders), 2 links, and raises its parent's count.
int LinkNew(Ext4InodeRef& parent, Ext4InodeRef& child, const char* name, u32 len, bool newFolder) {
  Ext4Fs& fs = *parent.fs;
  if (len == 0 || len > 255) return EXT4_EINVAL;
  if (newFolder)
    if (const int r = CanRaise(fs, parent.inode); r) return r;
  if (const int r = Ext4DirAddEntry(&parent, name, len, &child); r) return r;
  if (newFolder) {
    int r;
    if (fs.compat & EXT4_COMPAT_DIR_INDEX) {
      r = Ext4DxInit(&child, &parent);
      if (r == EXT4_OK && !(Ext4InodeFlags(child.inode) & EXT4_INODE_INDEX)) {
        Ext4SetLe32(child.inode + EXT4_I_FLAGS, Ext4InodeFlags(child.inode) | EXT4_INODE_INDEX);
        child.dirty = true;
      }
    } else {
      r = Ext4DirAddEntry(&child, ".", 1, &child);
      if (r == EXT4_OK) {
        r = Ext4DirAddEntry(&child, "..", 2, &parent);
        if (r) Ext4DirRemoveEntry(&child, ".", 1);
      }
    }
    if (r == EXT4_OK) r = RaiseLinks(parent);
    if (r) {
      Ext4DirRemoveEntry(&parent, name, len);
      return r;
    }
    SetLinks(child, 2);
  }
  Touch(parent);
  return EXT4_OK;
}

// Creates an inode of a type (file or folder) under a name in the parent folder.
int Create(Ext4Volume* vol, u32 parentIno, const char* name, u32 len, u32 type, u32* ino) {
  Ext4Fs& fs = vol->fs;
  if (len == 0 || len > 255) return EXT4_EINVAL;
  Ext4InodeRef parent;
  if (const int r = Ext4InodeGet(&fs, parentIno, &parent); r) return r;
  int r = type == EXT4_TYPE_DIR ? CanRaise(fs, parent.inode) : EXT4_OK;
  Ext4InodeRef child;
  if (r == EXT4_OK) r = Ext4InodeAlloc(&fs, &child, type);
  if (r) {
    Ext4InodePut(&parent);
    return r;
  }
  // The allocation gave it the root folder's owner and set every time to now; the modes are those
  // of a new file or folder.
  const u16 mode = type == EXT4_TYPE_DIR ? EXT4_S_IFDIR | 0777 : EXT4_S_IFREG | 0666;
  Ext4SetLe16(child.inode + EXT4_I_MODE, mode);
  SetLinks(child, 1);
  r = LinkNew(parent, child, name, len, type == EXT4_TYPE_DIR);
  if (r) FreeInode(child);  // the transaction is aborted as well
  *ino = child.index;
  Ext4InodePut(&child);
  Ext4InodePut(&parent);
  return r;
}

// Whether a folder holds entries other than "." and "..": 0 empty, 41, or an error.
int CheckEmpty(Ext4InodeRef& dir) {
  Ext4DirIterator it;
  int r = Ext4DirIteratorInit(&it, &dir, 0);
  while (r == EXT4_OK && !it.atEnd) {
    const Ext4DirEntryView& e = it.entry;
    const bool dots = (e.nameLen == 1 && e.name[0] == '.') || (e.nameLen == 2 && e.name[0] == '.' && e.name[1] == '.');
    if (!dots) {
      r = EXT4_ENOTEMPTY;
      break;
    }
    r = Ext4DirIteratorNext(&it);
  }
  Ext4DirIteratorFini(&it);
  return r;
}

// Removes a name from its folder. A folder must be empty; a file loses a link and is freed (its
// blocks first, in steps) with its last one.
int Unlink(Ext4Volume* vol, u32 parentIno, const char* name, u32 len, u32 ino) {
  Ext4Fs& fs = vol->fs;
  Ext4InodeRef child;
  if (const int r = Ext4InodeGet(&fs, ino, &child); r) return r;
  const bool folder = IsDir(child.inode);
  if (Pinned(child.inode)) {
    Ext4InodePut(&child);
    return kEPERM;
  }
  if (folder) {
    if (const int r = CheckEmpty(child); r) {
      Ext4InodePut(&child);
      return r;
    }
  } else if (Links(child.inode) <= 1 && (Ext4InodeMode(child.inode) & EXT4_S_IFMT) == EXT4_S_IFREG &&
             Ext4InodeSize(fs, child.inode) > EXT4_TRUNCATE_STEP) {
    // Large files are cut back in steps of their own before the name goes; a smaller one goes whole
    // or not at all, in the removal's transaction.
    Ext4InodePut(&child);
    if (const int r = Ext4Truncate(vol, ino, 0); r) return r;
    if (const int r = Ext4InodeGet(&fs, ino, &child); r) return r;
  }
  Ext4InodeRef parent;
  int r = Ext4InodeGet(&fs, parentIno, &parent);
  if (r == EXT4_OK) r = Ext4DirRemoveEntry(&parent, name, len);
  if (r == EXT4_OK) {
    Touch(parent);
    if (folder) LowerFolderLinks(parent);
    const u32 n = Links(child.inode);
    if (folder || n <= 1) {
      r = FreeInode(child);
    } else {
      SetLinks(child, n - 1);
      SetTime(child, EXT4_I_CTIME, Now());
    }
  }
  Ext4InodePut(&child);
  Ext4InodePut(&parent);
  return r;
}

// Opens a path; with the create flag a missing last component is made (a file, or a folder when
// one was asked for). Runs inside the caller's transaction.
int OpenIn(Ext4Volume* vol, Ext4File* f, const char* path, u32 flags, u32 wanted, u32* parentIno, u32* nameOffset) {
  WalkResult w;
  int r = Walk(vol, path, wanted, &w);
  if (nameOffset) *nameOffset = w.offset;
  if (parentIno) *parentIno = w.parent;
  bool created = false;
  if (r == EXT4_ENOENT && (flags & EXT4_O_CREAT) && w.inode == 0 && w.nameLen &&
      (wanted == EXT4_TYPE_FILE || wanted == EXT4_TYPE_DIR)) {
    r = Create(vol, w.parent, path + w.nameOffset, w.nameLen, wanted, &w.inode);
    w.type = wanted == EXT4_TYPE_DIR ? EXT4_DE_DIR : EXT4_DE_REG;
    created = r == EXT4_OK;
  }
  if (r) {
    f->inode = w.offset;
    return r;
  }
  Ext4InodeRef ref;
  if (const int g = Ext4InodeGet(&vol->fs, w.inode, &ref); g) return g;
  const bool regular = (Ext4InodeMode(ref.inode) & EXT4_S_IFMT) == EXT4_S_IFREG;
  // A read-only file is not opened for writing, unless only its attributes are to change.
  const bool writing = !created && (flags & (kWriteFlags & ~EXT4_O_APPEND)) && !(flags & kAttributeOpen);
  if (regular && writing && !(Ext4InodeMode(ref.inode) & 0222)) {
    Ext4InodePut(&ref);
    return EXT4_EACCES;
  }
  // An immutable file is not written at all, an append-only one only at its end.
  const u32 iflags = Ext4InodeFlags(ref.inode);
  if (writing && ((iflags & EXT4_INODE_IMMUTABLE) ||
                  ((iflags & EXT4_INODE_APPEND) && (!(flags & EXT4_O_APPEND) || (flags & EXT4_O_TRUNC))))) {
    Ext4InodePut(&ref);
    return kEPERM;
  }
  f->size = Ext4InodeSize(vol->fs, ref.inode);
  Ext4InodePut(&ref);
  if (regular && (flags & EXT4_O_TRUNC) && f->size) {
    if (const int t = Ext4Truncate(vol, w.inode, 0); t) return t;
    f->size = 0;
    f->status |= EXT4_FILE_MODIFIED;
  }
  f->volume = vol;
  f->inode = w.inode;
  f->flags = flags;
  f->type = w.type;
  f->pos = (flags & EXT4_O_APPEND) ? f->size : 0;
  f->nameLen = static_cast<u8>(std::min<u32>(w.nameLen, 255));
  std::memcpy(f->name, path + w.nameOffset, f->nameLen);
  f->name[f->nameLen] = 0;
  if (created) {
    f->status |= EXT4_FILE_CREATED;
    f->creationTime = static_cast<u32>(Now());
  }
  if (nameOffset) *nameOffset = w.nameOffset;
  return EXT4_OK;
}

int OpenPath(Ext4Volume* vol, Ext4File* f, const char* path, u32 flags, u32 wanted, u32* parentIno,
             u32* nameOffset) {
  if (const int r = Usable(vol); r) return r;
  if (!f || !path) return EXT4_EINVAL;
  *f = Ext4File{};
  if ((flags & kWriteFlags) && vol->fs.readOnly) return EXT4_EROFS;
  const bool changes = flags & (EXT4_O_CREAT | EXT4_O_TRUNC);
  if (!changes) return OpenIn(vol, f, path, flags, wanted, parentIno, nameOffset);
  if (const int r = Ext4TransStart(vol); r) return r;
  const int r = Finish(vol, OpenIn(vol, f, path, flags, wanted, parentIno, nameOffset));
  if (r && f->volume) *f = Ext4File{};  // the commit failed: nothing is open
  return r;
}

void FillInfo(const Ext4Fs& fs, const u8* inode, Ext4FileInfo* info, const char* name, u32 nameLen) {
  const u16 mode = Ext4InodeMode(inode);
  info->size = (mode & EXT4_S_IFMT) == EXT4_S_IFDIR ? 0 : Ext4InodeSize(fs, inode);
  info->ctime = TimeOf(fs, inode, EXT4_I_CTIME);
  info->atime = TimeOf(fs, inode, EXT4_I_ATIME);
  info->mtime = TimeOf(fs, inode, EXT4_I_MTIME);
  info->mode = Ext4InodeFullMode(fs, inode);
  info->reserved = 0xFFFFFFFF;
  const u32 room = info->nameLen ? info->nameLen : sizeof info->name;
  if (name && nameLen < room && nameLen < sizeof info->name) {
    std::memcpy(info->name, name, nameLen);
    info->name[nameLen] = 0;
    info->nameLen = static_cast<u8>(nameLen);
  } else {
    info->nameLen = 0;
  }
}

}  // namespace

int Ext4ModeFlags(const char* mode) {
  if (!mode) return -1;
  static const struct {
    const char* text;
    int flags;
  } table[] = {{"r", 0x0},     {"rb", 0x0},    {"w", 0x241},   {"wb", 0x241},  {"a", 0x441},
               {"ab", 0x441},  {"r+", 0x2},    {"rb+", 0x2},   {"r+b", 0x2},   {"w+", 0x242},
               {"wb+", 0x242}, {"w+b", 0x242}, {"a+", 0x442},  {"ab+", 0x442}, {"a+b", 0x442}};
  for (const auto& e : table)
    if (std::strcmp(mode, e.text) == 0) return e.flags;
  return -1;
}

int Ext4FileOpen(Ext4Volume* vol, Ext4File* f, const char* path, u32 flags) {
  return OpenPath(vol, f, path, flags, EXT4_TYPE_FILE, nullptr, nullptr);
}

int Ext4FileOpenMode(Ext4Volume* vol, Ext4File* f, const char* path, const char* mode, bool regularFile,
                     u32* parentIno, u32* nameOffset) {
  if (const int r = Usable(vol); r) return r;
  const int flags = Ext4ModeFlags(mode);
  if (flags < 0) return EXT4_EINVAL;
  return OpenPath(vol, f, path, static_cast<u32>(flags), regularFile ? EXT4_TYPE_FILE : EXT4_TYPE_DIR, parentIno,
                  nameOffset);
}

int Ext4Lookup(Ext4Volume* vol, Ext4File* f, const char* path) {
  return OpenPath(vol, f, path, 0, EXT4_TYPE_ANY, nullptr, nullptr);
}

int Ext4FileClose(Ext4File* f) {
  if (!f || !f->volume) return Ext4AssertFailed(kModule, __LINE__);
  Ext4Volume* vol = f->volume;
  int r = EXT4_OK;
  if ((f->status & (EXT4_FILE_MODIFIED | EXT4_FILE_CREATED)) && !vol->fs.readOnly && Usable(vol) == EXT4_OK) {
    // The change time stands for the creation time.
    const i64 mtime = Now();
    const bool setM = f->status & EXT4_FILE_MODIFIED, setC = f->status & EXT4_FILE_CREATED;
    Ext4InodeRef ref;
    r = Ext4InodeGet(&vol->fs, f->inode, &ref);
    // Times the inode holds already (a file written within the second it was made) need no
    // transaction of their own.
    const bool same = r == EXT4_OK && (!setM || TimeOf(vol->fs, ref.inode, EXT4_I_MTIME) == mtime) &&
                      (!setC || TimeOf(vol->fs, ref.inode, EXT4_I_CTIME) == i64{f->creationTime});
    Ext4InodePut(&ref);
    if (r == EXT4_OK && !same) r = Ext4TransStart(vol);
    if (r == EXT4_OK && !same) {
      r = Ext4InodeGet(&vol->fs, f->inode, &ref);
      if (r == EXT4_OK) {
        if (setM) SetTime(ref, EXT4_I_MTIME, mtime);
        if (setC) SetTime(ref, EXT4_I_CTIME, f->creationTime);
        r = Ext4InodePut(&ref);
      }
      r = Finish(vol, r);
    }
  }
  *f = Ext4File{};
  return r;
}

int Ext4FileRead(Ext4File* f, void* buf, u32 size, u32* done) {
  if (done) *done = 0;
  if (!f) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  if (!buf && size) return EXT4_EINVAL;
  Ext4Fs& fs = f->volume->fs;
  Ext4InodeRef ref;
  if (const int r = Ext4InodeGet(&fs, f->inode, &ref); r) return r;
  const u16 type = Ext4InodeMode(ref.inode) & EXT4_S_IFMT;
  if (type == EXT4_S_IFDIR) return EXT4_EISDIR;
  if (type != EXT4_S_IFREG && type != EXT4_S_IFLNK) return EXT4_EACCES;
  const u64 fileSize = Ext4InodeSize(fs, ref.inode);
  if (f->pos >= fileSize) return EXT4_OK;
  u64 left = std::min<u64>(size, fileSize - f->pos);
  u8* out = static_cast<u8*>(buf);
  if (Ext4InodeIsFastSymlink(fs, ref.inode)) {
    std::memcpy(out, ref.inode + EXT4_I_BLOCK + f->pos, left);
    f->pos += left;
    if (done) *done = static_cast<u32>(left);
    return EXT4_OK;
  }
  const u32 bs = fs.blockSize;
  u32 total = 0;
  while (left) {
    const u64 logical = f->pos / bs;
    const u32 off = static_cast<u32>(f->pos % bs);
    u64 phys = 0;
    u32 run = 1;
    if (const int r = Ext4InodeGetBlock(&ref, logical, &phys, &run); r) {
      if (done) *done = total;
      return r;
    }
    u32 n;
    if (off || left < bs) {  // a piece of one block
      n = static_cast<u32>(std::min<u64>(left, bs - off));
      if (phys == 0) std::memset(out, 0, n);
      else if (const int r = Ext4BlockReadBytes(*fs.dev, phys * bs + off, out, n); r) {
        if (done) *done = total;
        return r;
      }
    } else {  // whole blocks, a run of them at once
      const u32 blocks = static_cast<u32>(std::min<u64>({u64{std::max<u32>(run, 1)}, left / bs, 256}));
      n = blocks * bs;
      if (phys == 0) std::memset(out, 0, n);
      else if (const int r = Ext4BlocksGetDirect(*fs.dev, out, phys, blocks); r) {
        if (done) *done = total;
        return r == EXT4_ERANGE ? EXT4_EIO : r;
      }
    }
    out += n;
    f->pos += n;
    total += n;
    left -= n;
  }
  if (done) *done = total;
  return EXT4_OK;
}

namespace {

bool Writable(const Ext4File* f) { return f->flags & (EXT4_O_WRONLY | EXT4_O_RDWR); }

// File data never lands on the volume's own structures: a mapping that names them is damage, the
// write is refused and the volume marked.
int CheckDataBlock(Ext4Fs& fs, u64 phys, u64 count) {
  if (phys <= fs.firstDataBlock || phys >= fs.blocksCount || count > fs.blocksCount - phys)
    return Ext4AssertFailed(*fs.dev, kModule, __LINE__);
  return Ext4InSystemZone(&fs, phys, count) ? Ext4VolumeDamaged(fs) : EXT4_OK;
}

// Writes the data of one open file from its position: pieces of blocks through the byte path (a new
// block is zero-filled first), runs of whole blocks directly to the device.
class Writer {
 public:
  Writer(Ext4File* f, const u8* data, u32 size) : m_f(f), m_fs(f->volume->fs), m_data(data), m_left(size) {}

  int Run(u32* done) {
    int r = Ext4InodeGet(&m_fs, m_f->inode, &m_ref);
    if (r) return r;
    // Another handle may have changed the size: the inode knows.
    m_start = Ext4InodeSize(m_fs, m_ref.inode);
    if (m_f->flags & EXT4_O_APPEND) m_f->pos = m_start;
    const u32 bs = m_fs.blockSize;
    while (m_left && r == EXT4_OK) {
      const u64 at = m_f->pos + m_pending;
      const u64 logical = at / bs;
      const u32 off = static_cast<u32>(at % bs);
      const u32 n = static_cast<u32>(std::min<u64>(m_left, bs - off));
      u64 phys = 0;
      bool fresh = false;
      r = Map(logical, &phys, &fresh);
      if (r == EXT4_OK) r = CheckDataBlock(m_fs, phys, 1);
      if (r) break;
      if (n == bs) {
        if (m_runCount && (phys != m_runPhys + m_runCount || m_runCount == kRunMax)) r = FlushRun();
        if (r) break;
        if (!m_runCount) {
          m_runPhys = phys;
          m_runData = m_data;
        }
        ++m_runCount;
      } else {
        r = FlushRun();
        if (r) break;
        if (fresh) {
          std::vector<u8> block(bs, 0);
          std::memcpy(block.data() + off, m_data, n);
          r = Ext4BlocksSetDirect(*m_fs.dev, block.data(), phys, 1);
        } else {
          r = Ext4BlockWriteBytes(*m_fs.dev, phys * bs + off, m_data, n);
        }
        if (r) break;
        Advance(n);
      }
      if (m_runCount) {
        m_pending += n;
        m_data += n;
        m_left -= n;
      }
      // Large writes commit what they allocated so far (its data written first) and go on.
      if (m_allocated >= kRunMax) {
        r = FlushRun();
        if (r == EXT4_OK) r = Restart();
        m_allocated = 0;
      }
    }
    if (const int fr = FlushRun(); r == EXT4_OK) r = fr;
    if (m_ref.block.held()) {
      // After a failure the blocks appended past what was written go again: a size short of
      // initialised blocks is a fault of the volume.
      if (r != EXT4_OK && Ext4InodeSize(m_fs, m_ref.inode) > std::max(m_start, m_f->pos))
        Ext4InodeTruncate(&m_ref, std::max(m_start, m_f->pos));
      SetSize();
      if (const int pr = Ext4InodePut(&m_ref); r == EXT4_OK) r = pr;
    }
    *done = m_done;
    return r;
  }

 private:
  static constexpr u32 kRunMax = 256;

  void Advance(u32 n) {
    m_f->pos += n;
    m_done += n;
    m_data += n;
    m_left -= n;
  }

  int FlushRun() {
    if (!m_runCount) return EXT4_OK;
    const int r = Ext4BlocksSetDirect(*m_fs.dev, m_runData, m_runPhys, m_runCount);
    const u32 n = m_pending;
    m_runCount = 0;
    m_pending = 0;
    if (r) {
      m_data -= n;
      m_left += n;
      return r == EXT4_ERANGE ? EXT4_EIO : r;
    }
    m_f->pos += n;
    m_done += n;
    return EXT4_OK;
  }

  // The file's size covers what was written, in the inode and in the handle.
  void SetSize() {
    const u64 size = std::max(m_start, m_f->pos);
    if (Ext4InodeSize(m_fs, m_ref.inode) != size) {
      Ext4InodeSetSize(m_fs, m_ref.inode, size);
      m_ref.dirty = true;
    }
    m_f->size = size;
  }

  int Restart() {
    SetSize();
    if (const int r = Ext4InodePut(&m_ref); r) return r;
    if (const int r = Ext4TransRestartIfFull(m_f->volume); r) return r;
    return Ext4InodeGet(&m_fs, m_f->inode, &m_ref);
  }

  // A mapped block is written where it lies; a hole or an unwritten extent inside the file gets a
  // block; the block right after the end is appended.
  int Map(u64 logical, u64* phys, bool* fresh) {
    const u32 bs = m_fs.blockSize;
    const u64 inodeSize = Ext4InodeSize(m_fs, m_ref.inode);
    const u64 blocks = inodeSize / bs + (inodeSize % bs != 0);
    u64 mapped = 0;
    if (const int r = Ext4InodeGetBlock(&m_ref, logical, &mapped); r) return r;
    if (mapped) {
      *phys = mapped;
      *fresh = logical >= blocks;  // a block kept past the end holds nothing of the file
      return EXT4_OK;
    }
    if (logical == blocks) {
      u32 got = 0;
      if (const int r = Ext4InodeAppendBlock(&m_ref, phys, &got); r) return r;
      m_ref.dirty = true;
      // Until the written end decides it, the size covers the new block.
      Ext4InodeSetSize(m_fs, m_ref.inode, (logical + 1) * bs);
      *fresh = true;
      ++m_allocated;
      return got == logical ? EXT4_OK : Ext4AssertFailed(*m_fs.dev, kModule, __LINE__);
    }
    const int r = Ext4InodeInitBlock(&m_ref, logical, phys, fresh);
    if (r == EXT4_OK) {
      m_ref.dirty = true;
      *fresh = true;
      ++m_allocated;
    }
    return r;
  }

  Ext4File* m_f;
  Ext4Fs& m_fs;
  Ext4InodeRef m_ref;
  const u8* m_data;
  u32 m_left;
  u32 m_done = 0;
  u64 m_start = 0;
  u64 m_runPhys = 0;
  u32 m_runCount = 0;
  const u8* m_runData = nullptr;
  u32 m_pending = 0;  // bytes in the run not yet written
  u32 m_allocated = 0;
};

}  // namespace

int Ext4FileWrite(Ext4File* f, const void* buf, u32 size, u32* done) {
  if (done) *done = 0;
  if (!f) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  if (f->volume->fs.readOnly) return EXT4_EROFS;
  if (!Writable(f)) return EXT4_EACCES;
  if (size == 0) return EXT4_OK;
  if (!buf) return EXT4_EINVAL;
  if (f->type != EXT4_DE_REG) return EXT4_EINVAL;
  Ext4Volume* vol = f->volume;
  if (const int r = Ext4TransStart(vol); r) return r;
  u32 written = 0;
  const int r = Writer(f, static_cast<const u8*>(buf), size).Run(&written);
  if (written) f->status |= EXT4_FILE_MODIFIED;
  if (done) *done = written;
  // What was written stays, with the size that covers it; the error is reported all the same.
  if (written) {
    const int c = Ext4TransStop(vol);
    return r ? r : c;
  }
  return Finish(vol, r);
}

int Ext4FileSeek(Ext4File* f, u64 offset, u32 origin) {
  if (!f) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  // The offset counts as signed for origins 1 and 2, as fseek takes it; a position stays within the file.
  const i64 delta = static_cast<i64>(offset);
  i64 base;
  switch (origin) {
    case 0: base = 0; break;
    case 1: base = static_cast<i64>(f->pos); break;
    case 2: base = static_cast<i64>(f->size); break;
    default: return EXT4_EINVAL;
  }
  if (origin == 0 ? offset > f->size : (delta < -base || delta > static_cast<i64>(f->size) - base)) return EXT4_EINVAL;
  f->pos = origin == 0 ? offset : static_cast<u64>(base + delta);
  return EXT4_OK;
}

u64 Ext4FileTell(const Ext4File* f) { return f ? f->pos : 0; }

namespace {

int SetFileSize(Ext4File* f, u64 size) {
  Ext4Volume* vol = f->volume;
  Ext4Fs& fs = vol->fs;
  Ext4InodeRef ref;
  if (const int r = Ext4InodeGet(&fs, f->inode, &ref); r) return r;
  const u64 old = Ext4InodeSize(fs, ref.inode);
  int r = EXT4_OK;
  if (size > old) {
    // Growing leaves a hole; the old last block's bytes past the end are zeroed.
    r = Ext4InodeZeroTail(&ref, old);
    if (r == EXT4_OK) {
      Ext4InodeSetSize(fs, ref.inode, size);
      ref.dirty = true;
    }
    if (const int p = Ext4InodePut(&ref); r == EXT4_OK) r = p;
  } else if (size < old) {
    // The cut zeroes the new last block's tail itself.
    Ext4InodePut(&ref);
    r = Ext4Truncate(vol, f->inode, size);
  } else {
    Ext4InodePut(&ref);
  }
  if (r == EXT4_OK) f->size = size;
  return r;
}

}  // namespace

int Ext4FileTruncate(Ext4File* f, u64 size) {
  if (!f) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  if (f->volume->fs.readOnly) return EXT4_EROFS;
  if (!Writable(f) || f->type != EXT4_DE_REG) return EXT4_EACCES;
  if (size == f->size) return EXT4_OK;
  if (size >= (u64{1} << 32) * f->volume->fs.blockSize) return EXT4_EFBIG;
  Ext4Volume* vol = f->volume;
  if (const int r = Ext4TransStart(vol); r) return r;
  const int r = Finish(vol, SetFileSize(f, size));
  if (r == EXT4_OK) {
    f->status |= EXT4_FILE_MODIFIED;
    f->pos = std::min(f->pos, size);
  }
  return r;
}

int Ext4FileSetAttributes(Ext4File* f, const Ext4FileAttributes* attr) {
  if (!f || !attr) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  Ext4Volume* vol = f->volume;
  if (vol->fs.readOnly) return EXT4_EROFS;
  if (const int r = Ext4TransStart(vol); r) return r;
  Ext4InodeRef ref;
  int r = Ext4InodeGet(&vol->fs, f->inode, &ref);
  if (r == EXT4_OK) {
    if (attr->mtime) {
      SetTime(ref, EXT4_I_MTIME, attr->mtime);
      f->status &= static_cast<u8>(~EXT4_FILE_MODIFIED);  // the close keeps it
    }
    if (attr->atime) SetTime(ref, EXT4_I_ATIME, attr->atime);
    if (attr->ctime) {
      SetTime(ref, EXT4_I_CTIME, attr->ctime);
      f->status &= static_cast<u8>(~EXT4_FILE_CREATED);
    }
    // The type, set-user-id and set-group-id bits never change; folders keep their modes.
    const u32 mask = attr->modeMask & ~0xFC00u & 0xFFFFu;
    const u16 mode = Ext4InodeMode(ref.inode);
    if (mask && !IsDir(ref.inode)) {
      const u16 next = static_cast<u16>((mode & ~mask) | (attr->mode & mask));
      if (next != mode) {
        Ext4SetLe16(ref.inode + EXT4_I_MODE, next);
        ref.dirty = true;
      }
    }
    r = Ext4InodePut(&ref);
  }
  return Finish(vol, r);
}

i64 Ext4StoredTime(const Ext4Volume* vol, i64 t) {
  // New inodes get the extra fields whenever the inode size leaves room for them.
  return ClampTime(t, vol && vol->fs.inodeSize > 128);
}

int Ext4FileStat(Ext4File* f, Ext4FileInfo* info) {
  if (!f || !info) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  Ext4InodeRef ref;
  if (const int r = Ext4InodeGet(&f->volume->fs, f->inode, &ref); r) return r;
  FillInfo(f->volume->fs, ref.inode, info, f->name, f->nameLen);
  if (f->status & EXT4_FILE_MODIFIED) info->mtime = Now();
  if (f->status & EXT4_FILE_CREATED) info->ctime = f->creationTime;
  return Ext4InodePut(&ref);
}

namespace {

bool IsRootPath(const char* path) {
  for (; *path; ++path)
    if (*path != '/') return false;
  return true;
}

// Runs a write-like operation in one transaction (those that commit on their way included).
template <typename Op>
int InTransaction(Ext4Volume* vol, Op op) {
  if (const int r = Ext4TransStart(vol); r) return r;
  return Finish(vol, op());
}

// Removes every entry below a folder (folders depth first), one transaction per entry.
int RemoveBelow(Ext4Volume* vol, u32 dirIno, int depth) {
  if (depth > 4096) return EXT4_EMLINK;
  for (;;) {
    Ext4InodeRef dir;
    if (const int r = Ext4InodeGet(&vol->fs, dirIno, &dir); r) return r;
    Ext4DirIterator it;
    int r = Ext4DirIteratorInit(&it, &dir, 0);
    std::string name;
    u32 ino = 0;
    u8 type = 0;
    while (r == EXT4_OK && !it.atEnd) {
      const Ext4DirEntryView& e = it.entry;
      const std::string n(reinterpret_cast<const char*>(e.name), e.nameLen);
      if (n != "." && n != "..") {
        name = n;
        ino = e.inode;
        type = e.type;
        break;
      }
      r = Ext4DirIteratorNext(&it);
    }
    Ext4DirIteratorFini(&it);
    Ext4InodePut(&dir);
    if (r || name.empty()) return r;
    if (type == EXT4_DE_DIR || type == EXT4_DE_UNKNOWN) {
      Ext4InodeRef child;
      if (const int g = Ext4InodeGet(&vol->fs, ino, &child); g) return g;
      const bool folder = IsDir(child.inode);
      Ext4InodePut(&child);
      if (folder)
        if (const int b = RemoveBelow(vol, ino, depth + 1); b) return b;
    }
    if (const int u = Unlink(vol, dirIno, name.data(), static_cast<u32>(name.size()), ino); u) return u;
    if (const int c = Ext4TransStop(vol); c) return c;
    if (const int c = Ext4TransStart(vol); c) return c;
  }
}

// Whether the folder ino is the folder dir or one of its parents.
int IsAncestor(Ext4Volume* vol, u32 ino, u32 dir, bool* result) {
  *result = false;
  for (int steps = 0; steps < 65536; ++steps) {
    if (dir == ino) {
      *result = true;
      return EXT4_OK;
    }
    if (dir == kRootIno) return EXT4_OK;
    Ext4InodeRef ref;
    if (const int r = Ext4InodeGet(&vol->fs, dir, &ref); r) return r;
    Ext4DirSearchResult up;
    const int r = Ext4DirFindEntry(&up, &ref, "..", 2);
    Ext4InodePut(&ref);
    if (r) return r == EXT4_ENOENT ? EXT4_EIO : r;
    dir = up.inode;
  }
  return EXT4_EIO;  // a loop of folders
}

int RenameIn(Ext4Volume* vol, const char* oldPath, const char* newPath) {
  Ext4Fs& fs = vol->fs;
  WalkResult from;
  if (const int r = Walk(vol, oldPath, EXT4_TYPE_ANY, &from); r) return r;
  if (from.inode == kRootIno || from.nameLen == 0) return EXT4_EINVAL;
  WalkResult to;
  const int found = Walk(vol, newPath, EXT4_TYPE_ANY, &to);
  if (found == EXT4_OK) return EXT4_EEXIST;
  if (found != EXT4_ENOENT || to.inode != 0 || to.nameLen == 0) return found == EXT4_ENOTDIR ? EXT4_ENOENT : found;
  Ext4InodeRef child;
  if (const int r = Ext4InodeGet(&fs, from.inode, &child); r) return r;
  const bool folder = IsDir(child.inode);
  const bool moves = to.parent != from.parent;
  int r = Pinned(child.inode) ? kEPERM : EXT4_OK;
  if (folder && moves) {
    // A folder cannot go into its own subtree: that would cut it off from the root.
    bool inside = false;
    r = IsAncestor(vol, from.inode, to.parent, &inside);
    if (r == EXT4_OK && inside) r = EXT4_EINVAL;
  }
  Ext4InodeRef newParent, oldParent;
  if (r == EXT4_OK) r = Ext4InodeGet(&fs, to.parent, &newParent);
  if (r == EXT4_OK && folder && moves) r = CanRaise(fs, newParent.inode);
  const char* newName = newPath + to.nameOffset;
  bool added = false, reparented = false, raised = false;
  if (r == EXT4_OK) r = to.nameLen > 255 ? EXT4_EINVAL : Ext4DirAddEntry(&newParent, newName, to.nameLen, &child);
  added = r == EXT4_OK;
  if (r == EXT4_OK && folder && moves) {
    r = Ext4DirSetParent(&child, to.parent);
    reparented = r == EXT4_OK;
    if (r == EXT4_OK) r = RaiseLinks(newParent);
    raised = r == EXT4_OK;
  }
  if (r == EXT4_OK) {
    Touch(newParent);
    r = Ext4InodeGet(&fs, from.parent, &oldParent);
  }
  if (r == EXT4_OK) r = Ext4DirRemoveEntry(&oldParent, oldPath + from.nameOffset, from.nameLen);
  if (r == EXT4_OK) {
    Touch(oldParent);
    if (folder && moves) LowerFolderLinks(oldParent);
  } else if (added) {
    // A volume without a journal has nothing that would undo the half-done move.
    if (raised) LowerFolderLinks(newParent);
    if (reparented) Ext4DirSetParent(&child, from.parent);
    Ext4DirRemoveEntry(&newParent, newName, to.nameLen);
  }
  Ext4InodePut(&oldParent);
  Ext4InodePut(&newParent);
  Ext4InodePut(&child);
  return r;
}

}  // namespace

int Ext4Mkdir(Ext4Volume* vol, const char* path) {
  if (const int r = Usable(vol); r) return r;
  if (!path) return EXT4_EINVAL;
  if (IsRootPath(path)) return EXT4_EEXIST;
  if (vol->fs.readOnly) return EXT4_EROFS;
  return InTransaction(vol, [&] {
    WalkResult w;
    const int r = Walk(vol, path, EXT4_TYPE_ANY, &w);
    if (r == EXT4_OK) return w.type == EXT4_DE_DIR ? EXT4_OK : EXT4_EEXIST;
    if (r != EXT4_ENOENT || w.inode != 0 || w.nameLen == 0) return r;
    u32 ino = 0;
    return Create(vol, w.parent, path + w.nameOffset, w.nameLen, EXT4_TYPE_DIR, &ino);
  });
}

int Ext4DirRemove(Ext4Volume* vol, const char* path, bool recursive) {
  if (const int r = Usable(vol); r) return r;
  if (!path) return EXT4_EINVAL;
  if (IsRootPath(path)) return EXT4_EACCES;
  if (vol->fs.readOnly) return EXT4_EROFS;
  return InTransaction(vol, [&] {
    WalkResult w;
    if (const int r = Walk(vol, path, EXT4_TYPE_DIR, &w); r) return r;
    if (w.inode == kRootIno || w.nameLen == 0) return EXT4_EACCES;
    const std::string name(path + w.nameOffset, w.nameLen);
    if (name == "." || name == "..") return EXT4_EINVAL;
    if (recursive)
      if (const int r = RemoveBelow(vol, w.inode, 0); r) return r;
    return Unlink(vol, w.parent, name.data(), w.nameLen, w.inode);
  });
}

int Ext4FileRemove(Ext4Volume* vol, const char* path) {
  if (const int r = Usable(vol); r) return r;
  if (!path) return EXT4_EINVAL;
  if (vol->fs.readOnly) return EXT4_EROFS;
  return InTransaction(vol, [&] {
    // Any type but a folder, whatever its write bits say.
    WalkResult w;
    if (const int r = Walk(vol, path, EXT4_TYPE_ANY, &w); r) return r;
    if (w.type == EXT4_DE_DIR || w.nameLen == 0) return EXT4_EISDIR;
    return Unlink(vol, w.parent, path + w.nameOffset, w.nameLen, w.inode);
  });
}

int Ext4Rename(Ext4Volume* vol, const char* oldPath, const char* newPath) {
  if (const int r = Usable(vol); r) return r;
  if (!oldPath || !newPath) return EXT4_EINVAL;
  if (vol->fs.readOnly) return EXT4_EROFS;
  return InTransaction(vol, [&] { return RenameIn(vol, oldPath, newPath); });
}

int Ext4DirOpen(Ext4Volume* vol, Ext4Dir* d, const char* path) {
  if (!d) return EXT4_EINVAL;
  *d = Ext4Dir{};
  const int r = OpenPath(vol, &d->f, path, 0, EXT4_TYPE_DIR, nullptr, nullptr);
  d->nextPos = 0;
  return r;
}

const Ext4DirEntryInfo* Ext4DirNext(Ext4Dir* d, int* err) {
  if (err) *err = EXT4_OK;
  if (!d || d->nextPos == ~u64{0}) return nullptr;
  auto fail = [&](int r) -> const Ext4DirEntryInfo* {
    if (err) *err = r;
    d->nextPos = ~u64{0};
    return nullptr;
  };
  if (const int r = Usable(d->f.volume); r) return fail(r);
  Ext4Fs& fs = d->f.volume->fs;
  Ext4InodeRef dir;
  if (const int r = Ext4InodeGet(&fs, d->f.inode, &dir); r) return fail(r);
  Ext4DirIterator it;
  if (const int r = Ext4DirIteratorInit(&it, &dir, d->nextPos); r) return fail(r);
  if (it.atEnd) {
    d->nextPos = ~u64{0};
    return nullptr;
  }
  const Ext4DirEntryView& e = it.entry;
  d->de = Ext4DirEntryInfo{};
  d->de.inode = e.inode;
  d->de.entryLen = static_cast<u16>(std::min<u32>(e.recLen, 0xFFFF));
  d->de.nameLen = static_cast<u8>(e.nameLen);
  std::memcpy(d->de.name, e.name, e.nameLen);
  d->de.type = e.type;
  // Keep going past a malformed entry's position only as far as the error: the next call reports it.
  const int next = Ext4DirIteratorNext(&it);
  d->nextPos = it.atEnd && next == EXT4_OK ? ~u64{0} : it.pos;
  Ext4DirIteratorFini(&it);
  Ext4InodePut(&dir);
  if (d->de.type == EXT4_DE_UNKNOWN || d->de.type > EXT4_DE_SYMLINK) {
    Ext4InodeRef child;
    if (Ext4InodeGet(&fs, d->de.inode, &child) == EXT4_OK) {
      d->de.type = Ext4DirTypeOfMode(Ext4InodeMode(child.inode));
      Ext4InodePut(&child);
    }
  }
  return &d->de;
}

int Ext4DirEntryStat(Ext4Dir* d, Ext4FileInfo* info) {
  if (!d || !info) return EXT4_EINVAL;
  if (const int r = Usable(d->f.volume); r) return r;
  Ext4InodeRef ref;
  if (const int r = Ext4InodeGet(&d->f.volume->fs, d->de.inode, &ref); r) return r;
  FillInfo(d->f.volume->fs, ref.inode, info, d->de.name, d->de.nameLen);
  return Ext4InodePut(&ref);
}

int Ext4DirClose(Ext4Dir* d) {
  if (!d) return EXT4_EINVAL;
  const int r = Ext4FileClose(&d->f);
  *d = Ext4Dir{};
  return r;
}

int Ext4ReadLink(Ext4Volume* vol, const char* path, char* buf, u32 size, u32* done) {
  if (done) *done = 0;
  if (!buf) return EXT4_EINVAL;
  Ext4File f;
  if (const int r = OpenPath(vol, &f, path, 0, EXT4_TYPE_SYMLINK, nullptr, nullptr); r) return r;
  const int r = Ext4FileRead(&f, buf, size, done);
  Ext4FileClose(&f);
  return r;
}

int Ext4LookupLink(Ext4Volume* vol, const char* path, char* buf, u32 size, u32* done, Ext4FileInfo* info) {
  if (done) *done = 0;
  Ext4File f;
  if (const int r = OpenPath(vol, &f, path, 0, EXT4_TYPE_ANY, nullptr, nullptr); r) return r;
  int r;
  if (f.type == EXT4_DE_SYMLINK) {
    r = buf ? Ext4FileRead(&f, buf, size, done) : EXT4_EINVAL;
  } else {
    r = info ? Ext4FileStat(&f, info) : EXT4_OK;
    if (r == EXT4_OK) r = EXT4_EEXIST;
  }
  Ext4FileClose(&f);
  return r;
}

int Ext4ResolveLink(Ext4Volume* vol, u32 offset, char* path, u32) {
  if (const int r = Usable(vol); r) return r;
  if (!path) return EXT4_EINVAL;
  std::string p(path, strnlen(path, 511));
  for (int round = 0; round < 4; ++round) {
    if (offset >= p.size()) return EXT4_EINVAL;
    std::size_t end = p.find('/', offset);
    if (end == std::string::npos) end = p.size();
    char text[512];
    u32 n = 0;
    if (const int r = Ext4ReadLink(vol, p.substr(0, end).c_str(), text, sizeof text - 1, &n); r) return r;
    text[n] = 0;
    std::string target(text, n);
    std::string prefix = p.substr(0, offset);  // the folder that holds the link, with its slash
    const std::string rest = p.substr(end);
    const bool rooted = !p.empty() && p[0] == '/';
    if (!target.empty() && target[0] == '/') prefix = rooted ? "/" : "";
    // Leading "." and ".." of the link's text are folded into the prefix.
    std::size_t t = 0;
    for (;;) {
      while (t < target.size() && target[t] == '/') ++t;
      std::size_t e = target.find('/', t);
      if (e == std::string::npos) e = target.size();
      const std::string comp = target.substr(t, e - t);
      if (comp == ".") {
        t = e;
      } else if (comp == "..") {
        while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
        if (prefix.empty()) return EXT4_ENOENT;
        const std::size_t cut = prefix.rfind('/');
        prefix.erase(cut == std::string::npos ? 0 : cut + 1);
        if (rooted && prefix.empty()) prefix = "/";
        t = e;
      } else {
        break;
      }
    }
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    std::string result = prefix + target.substr(std::min(t, target.size())) + rest;
    if (result.size() > 509) return EXT4_EFBIG;
    p = result;
    std::memcpy(path, p.c_str(), p.size() + 1);
    // Another link on the resolved path is resolved in turn.
    WalkResult w;
    const int r = Walk(vol, p.c_str(), kNoLink, &w);
    if (r != EXT4_EMLINK) return EXT4_OK;
    offset = w.offset;
  }
  return EXT4_EMLINK;
}
