// Journal superblock and recovery: the scan, revoke and replay passes over a jbd2 log, as e2fsck replays it.
#include "FileSystem/Ext4/ext4_journal.h"

#include "FileSystem/Ext4/ext4_crc.h"

#include <algorithm>
#include <map>

namespace {

// Journal superblock fields (big-endian).
enum : u32 {
  JSB_BLOCKSIZE = 0x0C,
  JSB_MAXLEN = 0x10,
  JSB_FIRST = 0x14,
  JSB_SEQUENCE = 0x18,
  JSB_START = 0x1C,
  JSB_ERRNO = 0x20,
  JSB_INCOMPAT = 0x28,
  JSB_COMPAT = 0x24,
  JSB_UUID = 0x30,
  JSB_CSUM_TYPE = 0x50,
  JSB_CHECKSUM = 0xFC,
};

// The journal file's logical block mapped to a volume block, remembering the last run.
class JournalMap {
 public:
  JournalMap(Ext4Volume* vol, u32 ino) : m_vol(vol), m_ino(ino) {}
  int Map(u64 logical, u64* physical) {
    if (logical >= m_first && logical < m_first + m_count) {
      *physical = m_phys + (logical - m_first);
      return EXT4_OK;
    }
    Ext4InodeRef ref;
    if (const int r = Ext4InodeGet(&m_vol->fs, m_ino, &ref); r) return r;
    u32 count = 0;
    const int r = Ext4InodeGetBlock(&ref, logical, physical, &count);
    Ext4InodePut(&ref);
    if (r) return r;
    if (*physical == 0) return EXT4_EIO;  // the journal has no holes
    m_first = logical, m_phys = *physical, m_count = count ? count : 1;
    return EXT4_OK;
  }

 private:
  Ext4Volume* m_vol;
  u32 m_ino;
  u64 m_first = 0, m_phys = 0, m_count = 0;
};

bool Csum23(const u8* jsb) {
  return Ext4Be32(jsb + JSB_INCOMPAT) & (EXT4_JBD_INCOMPAT_CSUM_V2 | EXT4_JBD_INCOMPAT_CSUM_V3);
}

u32 JsbChecksum(const u8* jsb) {
  std::array<u8, 1024> copy;
  std::memcpy(copy.data(), jsb, 1024);
  Ext4SetBe32(copy.data() + JSB_CHECKSUM, 0);
  return Ext4Crc32c(0xFFFFFFFF, copy.data(), 1024);
}

}  // namespace

int Ext4JournalLoad(Ext4Volume* vol, Ext4JournalFs* jfs) {
  if (!vol) return EXT4_ENOENT;
  Ext4Fs& fs = vol->fs;
  if (!(fs.compat & EXT4_COMPAT_HAS_JOURNAL)) return EXT4_ENOTSUP;
  jfs->inode = Ext4Le32(fs.sb.data() + EXT4_SB_JOURNAL_INUM);
  if (jfs->inode == 0) return EXT4_ENOTSUP;
  Ext4InodeRef ref;
  if (const int r = Ext4InodeGet(&fs, jfs->inode, &ref); r) return EXT4_EIO;
  // A damaged size must not make the log longer than the volume (its block list is kept in memory).
  jfs->blocks = std::min<u64>(Ext4InodeSize(fs, ref.inode) / fs.blockSize, fs.blocksCount);
  u64 phys = 0;
  const int r = Ext4InodeGetBlock(&ref, 0, &phys);
  Ext4InodePut(&ref);
  if (r || phys == 0) return EXT4_EIO;
  if (Ext4BlockReadBytes(*vol->dev, phys * fs.blockSize, jfs->sb.data(), 1024)) return EXT4_EIO;
  const u8* j = jfs->sb.data();
  const u32 type = Ext4Be32(j + 4);
  if (Ext4Be32(j) != EXT4_JBD_MAGIC || (type != EXT4_JBD_SB_V1 && type != EXT4_JBD_SB_V2)) return EXT4_EIO;
  // Checksummed journals use CRC-32C (type 4) and nothing else.
  if (Csum23(j) && (j[JSB_CSUM_TYPE] != 4 || JsbChecksum(j) != Ext4Be32(j + JSB_CHECKSUM))) return EXT4_EIO;
  const u32 maxlen = Ext4Be32(j + JSB_MAXLEN), first = Ext4Be32(j + JSB_FIRST), start = Ext4Be32(j + JSB_START);
  if (Ext4Be32(j + JSB_BLOCKSIZE) != fs.blockSize || maxlen > jfs->blocks || first == 0 || first >= maxlen ||
      (start != 0 && (start < first || start >= maxlen)))
    return EXT4_EIO;
  jfs->dirty = false;
  return EXT4_OK;
}

int Ext4JournalWriteSuper(Ext4Volume* vol, Ext4JournalFs* jfs) {
  u8* j = jfs->sb.data();
  if (Csum23(j)) Ext4SetBe32(j + JSB_CHECKSUM, JsbChecksum(j));
  Ext4InodeRef ref;
  if (const int r = Ext4InodeGet(&vol->fs, jfs->inode, &ref); r) return r;
  u64 phys = 0;
  const int r = Ext4InodeGetBlock(&ref, 0, &phys);
  Ext4InodePut(&ref);
  if (r || phys == 0) return EXT4_EIO;
  if (const int w = Ext4BlockWriteBytes(*vol->dev, phys * vol->fs.blockSize, j, 1024); w) return w;
  jfs->dirty = false;
  return EXT4_OK;
}

int Ext4JournalNeedsRecovery(Ext4Volume* vol, bool* needed, bool* errorKept) {
  *needed = false;
  if (errorKept) *errorKept = false;
  if (!vol) return EXT4_ENOENT;
  const Ext4Fs& fs = vol->fs;
  if (!(fs.compat & EXT4_COMPAT_HAS_JOURNAL)) return EXT4_OK;
  const bool marked = fs.incompat & EXT4_INCOMPAT_RECOVER;
  Ext4JournalFs jfs;
  const int r = Ext4JournalLoad(vol, &jfs);
  if (r == EXT4_ENOTSUP) {  // the log lies on another device: assume it holds something
    *needed = marked;
    return EXT4_OK;
  }
  if (r) return marked ? r : EXT4_OK;
  *needed = marked && Ext4Be32(jfs.sb.data() + JSB_START) != 0;
  if (errorKept) *errorKept = Ext4Be32(jfs.sb.data() + JSB_ERRNO) != 0;
  return EXT4_OK;
}

namespace {

enum class Pass { Scan, Revoke, Replay };

// Transaction ids wrap: a at or after b.
bool TidGe(u32 a, u32 b) { return static_cast<int32_t>(a - b) >= 0; }

struct Recovery {
  Ext4Volume* vol;
  Ext4JournalFs* jfs;
  JournalMap map;
  u32 bs, first, last, start, sequence;
  u32 incompat;
  bool csum23, csum3, is64;
  bool v1;              // the compatible CRC-32 over a transaction's descriptors and copies
  u32 crc1 = 0xFFFFFFFF;
  u32 tagBytes;
  u32 seed;
  u32 endId = 0;  // the first transaction not committed
  std::map<u64, u32> revoked;
  u32 replayed = 0;
  u32 badTags = 0;
  std::vector<u8> block, data;

  Recovery(Ext4Volume* v, Ext4JournalFs* j) : vol(v), jfs(j), map(v, j->inode) {
    const u8* s = j->sb.data();
    bs = v->fs.blockSize;
    first = Ext4Be32(s + JSB_FIRST);
    last = Ext4Be32(s + JSB_MAXLEN);
    start = Ext4Be32(s + JSB_START);
    sequence = Ext4Be32(s + JSB_SEQUENCE);
    incompat = Ext4Be32(s + JSB_INCOMPAT);
    csum3 = incompat & EXT4_JBD_INCOMPAT_CSUM_V3 && !(incompat & EXT4_JBD_INCOMPAT_CSUM_V2);
    csum23 = incompat & (EXT4_JBD_INCOMPAT_CSUM_V2 | EXT4_JBD_INCOMPAT_CSUM_V3);
    is64 = incompat & EXT4_JBD_INCOMPAT_64BIT;
    v1 = !csum23 && (Ext4Be32(s + JSB_COMPAT) & 0x1);
    if (csum3) tagBytes = 16;
    else tagBytes = 12 + (incompat & EXT4_JBD_INCOMPAT_CSUM_V2 ? 2 : 0) - (is64 ? 0 : 4);
    if (incompat & EXT4_JBD_INCOMPAT_FAST_COMMIT) {
      const u32 fc = Ext4Be32(s + 0x54) ? Ext4Be32(s + 0x54) : 256;
      if (fc < last - first) last -= fc;
    }
    seed = Ext4Crc32c(0xFFFFFFFF, s + JSB_UUID, 16);
    block.resize(bs);
    data.resize(bs);
  }

  u32 Next(u32 pos) const { return pos + 1 >= last ? first : pos + 1; }

  int ReadLog(u32 pos, std::vector<u8>& out) {
    u64 phys = 0;
    if (const int r = map.Map(pos, &phys); r) return r;
    return Ext4BlocksGetDirect(*vol->dev, out.data(), phys, 1) ? EXT4_EIO : EXT4_OK;
  }

  // The checksum of a descriptor or revoke block, kept in its last four bytes.
  bool TailOk(std::vector<u8>& b) {
    if (!csum23) return true;
    const u32 stored = Ext4Be32(b.data() + bs - 4);
    Ext4SetBe32(b.data() + bs - 4, 0);
    const u32 c = Ext4Crc32c(seed, b.data(), bs);
    Ext4SetBe32(b.data() + bs - 4, stored);
    return c == stored;
  }

  bool CommitOk(std::vector<u8>& b) {
    if (!csum23) return true;
    const u32 stored = Ext4Be32(b.data() + 16);
    Ext4SetBe32(b.data() + 16, 0);
    const u32 c = Ext4Crc32c(seed, b.data(), bs);
    Ext4SetBe32(b.data() + 16, stored);
    return c == stored;
  }

  bool TagDataOk(const u8* tag, u32 tid, const std::vector<u8>& logged) {
    if (!csum23) return true;
    u8 be[4];
    Ext4SetBe32(be, tid);
    const u32 c = Ext4Crc32c(Ext4Crc32c(seed, be, 4), logged.data(), bs);
    if (csum3) return Ext4Be32(tag + 12) == c;
    return Ext4Be16(tag + 4) == static_cast<u16>(c);
  }

  int ReplayTag(const u8* tag, u32 flags, u32 pos, u32 tid) {
    const u64 target = Ext4Be32(tag) | (is64 ? u64{Ext4Be32(tag + 8)} << 32 : 0);
    if (auto it = revoked.find(target); it != revoked.end() && TidGe(it->second, tid)) return EXT4_OK;
    if (const int r = ReadLog(pos, data); r) return r;
    if (!TagDataOk(tag, tid, data) || target >= vol->fs.blocksCount) {
      ++badTags;
      return EXT4_OK;
    }
    if (flags & EXT4_JBD_FLAG_ESCAPE) Ext4SetBe32(data.data(), EXT4_JBD_MAGIC);
    Ext4BlockRef ref;
    if (const int r = Ext4BlockGetNoRead(*vol->dev, ref, target); r) return r;
    std::memcpy(ref.data, data.data(), bs);
    Ext4BlockMarkDirty(*ref.buf);
    ++replayed;
    return Ext4BlockSet(*vol->dev, ref);
  }

  int Run(Pass pass) {
    u32 pos = start, expected = sequence;
    for (u64 visited = 0; visited <= u64{last}; ++visited) {
      if (pass != Pass::Scan && expected == endId) return EXT4_OK;
      if (const int r = ReadLog(pos, block); r) return pass == Pass::Scan ? EXT4_OK : r;
      const u8* b = block.data();
      if (Ext4Be32(b) != EXT4_JBD_MAGIC) return pass == Pass::Scan ? EXT4_OK : EXT4_EIO;
      if (Ext4Be32(b + 8) != expected) return pass == Pass::Scan ? EXT4_OK : EXT4_EIO;
      const u32 type = Ext4Be32(b + 4);
      if (type == EXT4_JBD_DESCRIPTOR) {
        if (!TailOk(block)) return EXT4_OK;
        if (pass == Pass::Scan && v1) crc1 = Ext4Crc32Be(crc1, block.data(), bs);
        pos = Next(pos);
        const u32 end = bs - (csum23 ? 4 : 0);
        // Tags are copied out: replaying reads other log blocks into the shared buffers.
        const std::vector<u8> desc(block);
        for (u32 off = 12; off + tagBytes <= end; ++visited) {
          const u8* tag = desc.data() + off;
          const u32 flags = csum3 ? Ext4Be32(tag + 4) : Ext4Be16(tag + 6);
          if (pass == Pass::Replay) {
            if (const int r = ReplayTag(tag, flags, pos, expected); r) return r;
          } else if (pass == Pass::Scan && v1) {
            if (ReadLog(pos, data)) return EXT4_OK;
            crc1 = Ext4Crc32Be(crc1, data.data(), bs);
          }
          pos = Next(pos);
          off += tagBytes + (flags & EXT4_JBD_FLAG_SAME_UUID ? 0 : 16);
          if (flags & EXT4_JBD_FLAG_LAST_TAG) break;
        }
      } else if (type == EXT4_JBD_COMMIT) {
        if (!CommitOk(block)) return EXT4_OK;
        if (pass == Pass::Scan && v1) {
          // A commit that carries a CRC-32 seals only the blocks it was taken over.
          if (b[12] == 1 && b[13] == 4 && Ext4Be32(b + 16) != crc1) return EXT4_OK;
          crc1 = 0xFFFFFFFF;
        }
        ++expected;
        if (pass == Pass::Scan) endId = expected;
        pos = Next(pos);
      } else if (type == EXT4_JBD_REVOKE) {
        if (!TailOk(block)) return EXT4_OK;
        if (pass == Pass::Revoke) {
          const u32 count = Ext4Be32(b + 12);
          const u32 width = is64 ? 8 : 4;
          if (count < 16 || count > bs - (csum23 ? 4 : 0)) return EXT4_EIO;
          for (u32 off = 16; off + width <= count; off += width) {
            const u64 at = is64 ? (u64{Ext4Be32(b + off)} << 32 | Ext4Be32(b + off + 4)) : Ext4Be32(b + off);
            auto [it, fresh] = revoked.emplace(at, expected);
            if (!fresh && TidGe(expected, it->second)) it->second = expected;
          }
        }
        pos = Next(pos);
      } else {
        return EXT4_OK;
      }
      if (pos == start && pass == Pass::Scan) return EXT4_OK;
    }
    return EXT4_OK;
  }
};

}  // namespace

int Ext4JournalRecover(Ext4Volume* vol) {
  if (!vol) return EXT4_ENOENT;
  if (vol->broken) return EXT4_EIO;
  Ext4Fs& fs = vol->fs;
  if (!(fs.compat & EXT4_COMPAT_HAS_JOURNAL)) return EXT4_ENOTSUP;
  if (fs.readOnly) return EXT4_EROFS;
  Ext4JournalFs jfs;
  if (const int r = Ext4JournalLoad(vol, &jfs); r) return r;
  u8* j = jfs.sb.data();
  if (Ext4Be32(j + JSB_START) != 0) {
    Recovery rec(vol, &jfs);
    rec.endId = rec.sequence;
    Ext4CacheWriteBack(vol, true);
    int r = rec.Run(Pass::Scan);
    if (r == EXT4_OK) r = rec.Run(Pass::Revoke);
    if (r == EXT4_OK) r = rec.Run(Pass::Replay);
    const int w = Ext4CacheWriteBack(vol, false);
    if (r == EXT4_OK) r = w;
    if (r == EXT4_OK) r = Ext4BlockCacheFlushAll(*vol->dev);
    if (r == EXT4_OK) r = Ext4BlockdevSync(*vol->dev);
    if (r) return r;
    vol->journalErrors = rec.badTags;
    // The log is empty now; the next transaction follows the last one replayed.
    Ext4SetBe32(j + JSB_START, 0);
    Ext4SetBe32(j + JSB_SEQUENCE, rec.endId);
  }
  // The journal's error is taken off it, as e2fsck does; the volume's state keeps its own mark.
  Ext4SetBe32(j + JSB_ERRNO, 0);
  if (const int r = Ext4JournalWriteSuper(vol, &jfs); r) return r;
  if (const int r = Ext4BlockdevSync(*vol->dev); r) return r;

  // The superblock may have been replayed: read it again, keeping this session's state and count.
  std::array<u8, 1024> fresh;
  if (Ext4BlockReadBytes(*vol->dev, 1024, fresh.data(), 1024)) return EXT4_EIO;
  if (Ext4SuperblockCheck(fresh.data(), vol->dev->partSize, nullptr) == EXT4_OK &&
      (1024u << Ext4Le32(fresh.data() + EXT4_SB_LOG_BLOCK_SIZE)) == fs.blockSize) {
    std::memcpy(fresh.data() + EXT4_SB_STATE, fs.sb.data() + EXT4_SB_STATE, 2);
    std::memcpy(fresh.data() + EXT4_SB_MNT_COUNT, fs.sb.data() + EXT4_SB_MNT_COUNT, 2);
    fs.sb = fresh;
    Ext4FsDerive(fs);
    fs.readOnly = false;
  }
  u8* sb = fs.sb.data();
  if (const int r = Ext4FsSumFreeCounts(vol->fs); r) return r;
  if (vol->journalErrors) Ext4SetLe16(sb + EXT4_SB_STATE, Ext4Le16(sb + EXT4_SB_STATE) | EXT4_STATE_ERROR);
  Ext4SetLe32(sb + EXT4_SB_FEATURE_INCOMPAT, Ext4Le32(sb + EXT4_SB_FEATURE_INCOMPAT) & ~u32{EXT4_INCOMPAT_RECOVER});
  fs.incompat &= ~u32{EXT4_INCOMPAT_RECOVER};
  if (const int r = Ext4FsWriteSuper(&fs); r) return r;
  return Ext4BlockdevSync(*vol->dev);
}
