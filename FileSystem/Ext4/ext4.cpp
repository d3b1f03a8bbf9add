// Path walk and the file, folder and symbolic-link operations of a mounted ext4 volume (reading side).
#include "FileSystem/Ext4/ext4.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr const char* kModule = "FileSystem/Ext4/ext4";
constexpr u32 kRootIno = 2;
constexpr u32 kWriteFlags = EXT4_O_WRONLY | EXT4_O_RDWR | EXT4_O_CREAT | EXT4_O_TRUNC | EXT4_O_APPEND;
// Asked of a walk: any type, but a symbolic link at the end counts as one to resolve.
constexpr u32 kNoLink = 0x100;

int Usable(const Ext4Volume* vol) {
  if (!vol) return EXT4_ENOENT;
  return vol->broken || (vol->dev && vol->dev->stopped) ? EXT4_EIO : EXT4_OK;
}

u8 TypeOfMode(u16 mode) {
  switch (mode & EXT4_S_IFMT) {
    case EXT4_S_IFREG: return EXT4_DE_REG;
    case EXT4_S_IFDIR: return EXT4_DE_DIR;
    case EXT4_S_IFLNK: return EXT4_DE_SYMLINK;
    case EXT4_S_IFCHR: return EXT4_DE_CHR;
    case EXT4_S_IFBLK: return EXT4_DE_BLK;
    case EXT4_S_IFIFO: return EXT4_DE_FIFO;
    case EXT4_S_IFSOCK: return EXT4_DE_SOCK;
    default: return EXT4_DE_UNKNOWN;
  }
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
    if (compLen > 255) return EXT4_ENOENT;
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
    if (r == EXT4_ENOENT) return last ? EXT4_ENOENT : EXT4_ENOTDIR;
    if (r) return r;
    u8 type = found.type;
    if (type == EXT4_DE_UNKNOWN || type > EXT4_DE_SYMLINK) {
      Ext4InodeRef child;
      if (const int cr = Ext4InodeGet(&fs, found.inode, &child); cr) return cr;
      type = TypeOfMode(Ext4InodeMode(child.inode));
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
      if (type >= EXT4_DE_CHR && type <= EXT4_DE_SOCK) return EXT4_EACCES;
      return EXT4_ENOENT;
    }
    cur = found.inode;
    curType = type;
    i = after;
  }
  return EXT4_OK;
}

int OpenPath(Ext4Volume* vol, Ext4File* f, const char* path, u32 flags, u32 wanted, u32* parentIno,
             u32* nameOffset) {
  if (const int r = Usable(vol); r) return r;
  if (!f || !path) return EXT4_EINVAL;
  *f = Ext4File{};
  // Writing is not offered yet: every volume is served read-only.
  if (flags & kWriteFlags) return EXT4_EROFS;
  WalkResult w;
  const int r = Walk(vol, path, wanted, &w);
  if (nameOffset) *nameOffset = w.offset;
  if (parentIno) *parentIno = w.parent;
  if (r) {
    f->inode = w.offset;
    return r;
  }
  Ext4InodeRef ref;
  if (const int g = Ext4InodeGet(&vol->fs, w.inode, &ref); g) return g;
  f->size = Ext4InodeSize(vol->fs, ref.inode);
  Ext4InodePut(&ref);
  f->volume = vol;
  f->inode = w.inode;
  f->flags = flags;
  f->type = w.type;
  f->pos = (flags & EXT4_O_APPEND) ? f->size : 0;
  f->nameLen = static_cast<u8>(std::min<u32>(w.nameLen, 255));
  std::memcpy(f->name, path + w.nameOffset, f->nameLen);
  f->name[f->nameLen] = 0;
  if (nameOffset) *nameOffset = w.nameOffset;
  return EXT4_OK;
}

void FillInfo(const Ext4Fs& fs, const u8* inode, Ext4FileInfo* info, const char* name, u32 nameLen) {
  const u16 mode = Ext4InodeMode(inode);
  info->size = (mode & EXT4_S_IFMT) == EXT4_S_IFDIR ? 0 : Ext4InodeSize(fs, inode);
  info->ctime = Ext4InodeTime(inode, EXT4_I_CTIME);
  info->atime = Ext4InodeTime(inode, EXT4_I_ATIME);
  info->mtime = Ext4InodeTime(inode, EXT4_I_MTIME);
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
  *f = Ext4File{};
  return EXT4_OK;
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

int Ext4FileWrite(Ext4File* f, const void*, u32, u32* done) {
  if (done) *done = 0;
  if (!f) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  return EXT4_EROFS;
}

int Ext4FileSeek(Ext4File* f, u64 offset, u32 origin) {
  if (!f) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  u64 pos;
  switch (origin) {
    case 0: pos = offset; break;
    case 1:
      if (offset > f->size - std::min(f->pos, f->size)) return EXT4_EINVAL;
      pos = f->pos + offset;
      break;
    case 2:
      if (offset > f->size) return EXT4_EINVAL;
      pos = f->size - offset;
      break;
    default: return EXT4_EINVAL;
  }
  if (pos > f->size) return EXT4_EINVAL;
  f->pos = pos;
  return EXT4_OK;
}

u64 Ext4FileTell(const Ext4File* f) { return f ? f->pos : 0; }

int Ext4FileTruncate(Ext4File* f, u64) {
  if (!f) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  return EXT4_EROFS;
}

int Ext4FileSetAttributes(Ext4File* f, const Ext4FileAttributes*) {
  if (!f) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  return EXT4_EROFS;
}

int Ext4FileStat(Ext4File* f, Ext4FileInfo* info) {
  if (!f || !info) return EXT4_EINVAL;
  if (const int r = Usable(f->volume); r) return r;
  Ext4InodeRef ref;
  if (const int r = Ext4InodeGet(&f->volume->fs, f->inode, &ref); r) return r;
  FillInfo(f->volume->fs, ref.inode, info, f->name, f->nameLen);
  if (f->status & EXT4_FILE_MODIFIED) info->mtime = static_cast<u32>(std::time(nullptr));
  if (f->status & EXT4_FILE_CREATED) info->ctime = f->creationTime;
  return Ext4InodePut(&ref);
}

int Ext4Mkdir(Ext4Volume* vol, const char*) {
  if (const int r = Usable(vol); r) return r;
  return EXT4_EROFS;
}

int Ext4DirRemove(Ext4Volume* vol, const char*, bool) {
  if (const int r = Usable(vol); r) return r;
  return EXT4_EROFS;
}

int Ext4FileRemove(Ext4Volume* vol, const char*) {
  if (const int r = Usable(vol); r) return r;
  return EXT4_EROFS;
}

int Ext4Rename(Ext4Volume* vol, const char*, const char*) {
  if (const int r = Usable(vol); r) return r;
  return EXT4_EROFS;
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
      d->de.type = TypeOfMode(Ext4InodeMode(child.inode));
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
