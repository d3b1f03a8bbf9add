// Mounting and unmounting, the superblock checks and feature policy, block groups, inodes and block mapping.
#include "FileSystem/Ext4/ext4_fs.h"

#include "FileSystem/Ext4/ext4_crc.h"
#include "FileSystem/Ext4/ext4_journal.h"
#include "FileSystem/Ext4/ext4_trans.h"

#include <algorithm>

namespace {

constexpr const char* kModule = "FileSystem/Ext4/ext4_fs";

u32 Sb32(const u8* sb, u32 off) { return Ext4Le32(sb + off); }
u16 Sb16(const u8* sb, u32 off) { return Ext4Le16(sb + off); }

bool PowerOf(u32 n, u32 base) {
  while (n > 1 && n % base == 0) n /= base;
  return n == 1;
}

u64 CeilDiv(u64 a, u64 b) { return a / b + (a % b != 0); }

}  // namespace

int Ext4SuperblockCheck(const u8* sb, u64 deviceBytes, std::string* why) {
  (void)deviceBytes;
  auto bad = [&](const char* text) {
    if (why) *why = text;
    return EXT4_ENOTSUP;
  };
  if (Sb16(sb, EXT4_SB_MAGIC) != 0xEF53) return bad("Kein ext2/3/4-Dateisystem (falsche Kennung im Superblock).");
  const u32 incompat = Sb32(sb, EXT4_SB_FEATURE_INCOMPAT);
  const u32 roCompat = Sb32(sb, EXT4_SB_FEATURE_RO_COMPAT);
  const u32 rev = Sb32(sb, EXT4_SB_REV_LEVEL);
  const bool is64 = rev != 0 && (incompat & EXT4_INCOMPAT_64BIT);
  const u64 blocks = Sb32(sb, EXT4_SB_BLOCKS_COUNT_LO) | (is64 ? u64{Sb32(sb, EXT4_SB_BLOCKS_COUNT_HI)} << 32 : 0);
  const u32 inodes = Sb32(sb, EXT4_SB_INODES_COUNT);
  const u32 bpg = Sb32(sb, EXT4_SB_BLOCKS_PER_GROUP), ipg = Sb32(sb, EXT4_SB_INODES_PER_GROUP);
  if (!inodes || !blocks || !bpg || !ipg) return bad("Der Superblock des ext4-Dateisystems ist ungültig.");
  if (rev > 1) return bad("Die Revision des ext4-Dateisystems wird nicht unterstützt.");
  const u32 inodeSize = rev == 0 ? 128 : Sb16(sb, EXT4_SB_INODE_SIZE);
  const u32 firstIno = rev == 0 ? 11 : Sb32(sb, EXT4_SB_FIRST_INO);
  if (inodeSize < 128 || firstIno < 11) return bad("Der Superblock des ext4-Dateisystems ist ungültig.");
  const u32 descSize = is64 ? Sb16(sb, EXT4_SB_DESC_SIZE) : 32;
  if (descSize < 32 || descSize > 64 || (is64 && descSize < 64))
    return bad("Die Gruppendeskriptoren des ext4-Dateisystems werden nicht unterstützt.");
  if (rev != 0 && (roCompat & EXT4_RO_COMPAT_METADATA_CSUM)) {
    if (sb[EXT4_SB_CHECKSUM_TYPE] != 1 || Ext4Crc32c(0xFFFFFFFF, sb, 1020) != Sb32(sb, EXT4_SB_CHECKSUM))
      return bad("Die Prüfsumme des ext4-Superblocks stimmt nicht.");
  }
  // Tested before the shift, which would overflow for large values.
  const u32 logSize = Sb32(sb, EXT4_SB_LOG_BLOCK_SIZE);
  if (logSize > 6) {
    if (why) *why = "Die Blockgröße des ext4-Dateisystems wird nicht unterstützt.";
    return EXT4_ENXIO;
  }
  const u32 bs = 1024u << logSize;
  const u32 firstData = Sb32(sb, EXT4_SB_FIRST_DATA_BLOCK);
  // With bigalloc the bitmaps count clusters of several blocks each.
  u32 bitsPerGroup = bpg;
  if (rev != 0 && (roCompat & 0x200)) {
    const u32 logCluster = Sb32(sb, 0x1C);
    if (logCluster < logSize || logCluster > logSize + 16) return bad("Der Superblock des ext4-Dateisystems ist ungültig.");
    bitsPerGroup = Sb32(sb, 0x24);
    if (u64{bitsPerGroup} << (logCluster - logSize) != bpg) return bad("Der Superblock des ext4-Dateisystems ist ungültig.");
  }
  if (bitsPerGroup > 8 * bs || ipg > 8 * bs || inodeSize > bs || (inodeSize & (inodeSize - 1)) || firstIno > inodes ||
      firstData > 1 || (bs > 1024 && firstData != 0) || blocks <= firstData)
    return bad("Der Superblock des ext4-Dateisystems ist ungültig.");
  const u64 groups = CeilDiv(blocks - firstData, bpg);
  if (groups > 0xFFFFFFFFull || groups * ipg != inodes) return bad("Der Superblock des ext4-Dateisystems ist ungültig.");
  const u64 descBlocks = CeilDiv(groups, bs / descSize);
  const u64 tableBlocks = (rev != 0 && (incompat & EXT4_INCOMPAT_META_BG))
                              ? std::min<u64>(Sb32(sb, EXT4_SB_FIRST_META_BG), descBlocks)
                              : descBlocks;
  if (firstData + 1 + tableBlocks > blocks) return bad("Der Superblock des ext4-Dateisystems ist ungültig.");
  return EXT4_OK;
}

namespace {

}  // namespace

void Ext4FsDerive(Ext4Fs& fs) {
  const u8* sb = fs.sb.data();
  const u32 rev = Sb32(sb, EXT4_SB_REV_LEVEL);
  fs.compat = rev ? Sb32(sb, EXT4_SB_FEATURE_COMPAT) : 0;
  fs.incompat = rev ? Sb32(sb, EXT4_SB_FEATURE_INCOMPAT) : 0;
  fs.roCompat = rev ? Sb32(sb, EXT4_SB_FEATURE_RO_COMPAT) : 0;
  fs.blockSize = 1024u << Sb32(sb, EXT4_SB_LOG_BLOCK_SIZE);
  const bool is64 = fs.incompat & EXT4_INCOMPAT_64BIT;
  fs.blocksCount = Sb32(sb, EXT4_SB_BLOCKS_COUNT_LO) | (is64 ? u64{Sb32(sb, EXT4_SB_BLOCKS_COUNT_HI)} << 32 : 0);
  fs.firstDataBlock = Sb32(sb, EXT4_SB_FIRST_DATA_BLOCK);
  fs.blocksPerGroup = Sb32(sb, EXT4_SB_BLOCKS_PER_GROUP);
  fs.inodesPerGroup = Sb32(sb, EXT4_SB_INODES_PER_GROUP);
  fs.inodesCount = Sb32(sb, EXT4_SB_INODES_COUNT);
  fs.inodeSize = rev ? Sb16(sb, EXT4_SB_INODE_SIZE) : 128;
  fs.firstIno = rev ? Sb32(sb, EXT4_SB_FIRST_INO) : 11;
  fs.descSize = is64 ? Sb16(sb, EXT4_SB_DESC_SIZE) : 32;
  fs.descPerBlock = fs.blockSize / fs.descSize;
  fs.groupCount = static_cast<u32>(CeilDiv(fs.blocksCount - fs.firstDataBlock, fs.blocksPerGroup));
  fs.metadataCsum = fs.roCompat & EXT4_RO_COMPAT_METADATA_CSUM;
  fs.gdtCsum = !fs.metadataCsum && (fs.roCompat & EXT4_RO_COMPAT_GDT_CSUM);
  fs.csumSeed = Ext4Crc32c(0xFFFFFFFF, sb + EXT4_SB_UUID, 16);
  const u64 per = fs.blockSize / 4;
  fs.blocksPerLevel = {12, per, per * per, per * per * per};
  fs.levelLimit[0] = 12;
  for (int i = 1; i < 4; ++i) fs.levelLimit[i] = fs.levelLimit[i - 1] + fs.blocksPerLevel[i];
}

namespace {

// Why a volume that could be written runs read-only, in German; empty when nothing stands against it.
std::string ReadOnlyReason(const Ext4Fs& fs, u64 deviceBlocks) {
  const u8* sb = fs.sb.data();
  if (fs.roCompat & ~u32{EXT4_RO_COMPAT_SUPPORTED})
    return "Das ext4-Dateisystem hat Eigenschaften, die nur gelesen werden können; es wird schreibgeschützt eingebunden.";
  if (fs.compat & EXT4_COMPAT_HAS_JOURNAL) {
    bool uuid = false;
    for (int i = 0; i < 16; ++i) uuid |= sb[EXT4_SB_JOURNAL_UUID + i] != 0;
    if (Sb32(sb, EXT4_SB_JOURNAL_INUM) == 0 || Sb32(sb, EXT4_SB_JOURNAL_DEV) != 0 || uuid)
      return "Das ext4-Dateisystem hat sein Journal auf einem anderen Gerät; es wird schreibgeschützt eingebunden.";
  }
  if (fs.compat & EXT4_COMPAT_FAST_COMMIT)
    return "Das ext4-Dateisystem nutzt schnelle Commits (fast_commit); es wird schreibgeschützt eingebunden.";
  if (fs.compat & EXT4_COMPAT_SPARSE_SUPER2)
    return "Das ext4-Dateisystem nutzt sparse_super2; es wird schreibgeschützt eingebunden.";
  if (fs.incompat & EXT4_INCOMPAT_MMP)
    return "Das ext4-Dateisystem ist gegen mehrfaches Einbinden geschützt (MMP); es wird schreibgeschützt eingebunden.";
  if (Sb32(sb, EXT4_SB_LAST_ORPHAN) != 0)
    return "Das ext4-Dateisystem hat verwaiste Inodes, die erst aufgeräumt werden müssen; es wird schreibgeschützt "
           "eingebunden.";
  if (fs.blocksCount > deviceBlocks)
    return "Das ext4-Dateisystem ist größer als sein Laufwerk; es wird schreibgeschützt eingebunden.";
  return {};
}

// Whether every group's bitmaps and inode table lie inside the volume, apart from one another and
// from the superblock copies and descriptor blocks: written through a damaged descriptor, they would
// land on other metadata. runs: those places, sorted.
bool GroupLayoutSound(Ext4Fs& fs, std::vector<std::pair<u64, u64>>& runs) {
  const u64 reserved = Sb16(fs.sb.data(), EXT4_SB_RESERVED_GDT);
  const bool metaBg = fs.incompat & EXT4_INCOMPAT_META_BG;
  const u64 descBlocks = metaBg ? Sb32(fs.sb.data(), EXT4_SB_FIRST_META_BG) : CeilDiv(fs.groupCount, fs.descPerBlock);
  const u64 tableBlocks = CeilDiv(u64{fs.inodesPerGroup} * fs.inodeSize, fs.blockSize);
  auto add = [&](u64 first, u64 count) {
    if (first < fs.firstDataBlock || first >= fs.blocksCount || count > fs.blocksCount - first) return false;
    runs.emplace_back(first, first + count);
    return true;
  };
  for (u32 g = 0; g < fs.groupCount; ++g) {
    const u64 first = Ext4GroupSuperBlock(fs, g);
    if (Ext4GroupHasSuper(fs, g)) add(first, std::min(fs.blocksCount - first, 1 + descBlocks + reserved));
    Ext4GroupRef ref;
    if (Ext4GroupGet(&fs, g, &ref) != EXT4_OK) return false;
    const bool ok = add(Ext4GroupBlockBitmap(fs, ref.desc), 1) && add(Ext4GroupInodeBitmap(fs, ref.desc), 1) &&
                    add(Ext4GroupInodeTable(fs, ref.desc), tableBlocks);
    Ext4GroupPut(&ref);
    if (!ok) return false;
  }
  std::sort(runs.begin(), runs.end());
  for (std::size_t i = 1; i < runs.size(); ++i)
    if (runs[i].first < runs[i - 1].second) return false;
  return true;
}

// Whether the bad-block list reads whole and none of its blocks lies on the volume's own structures
// (layout: sorted runs of them).
bool BadBlocksApart(Ext4Fs& fs, const std::vector<std::pair<u64, u64>>& layout) {
  std::vector<std::pair<u64, u64>> bad;
  if (!Ext4BadBlocks(fs, bad)) return false;
  for (const auto& [first, end] : bad) {
    auto it = std::upper_bound(layout.begin(), layout.end(), first,
                               [](u64 v, const std::pair<u64, u64>& run) { return v < run.second; });
    if (first < Ext4GroupSuperBlock(fs, 0) + 1 || (it != layout.end() && it->first < end)) return false;
  }
  return true;
}

void CloseDevice(Ext4BlockDevice& dev) {
  if (dev.refCount && --dev.refCount == 0) dev.close(dev);
}

}  // namespace

int Ext4Mount(Ext4BlockDevice* dev, Ext4Volume** out, bool readOnly) {
  if (out) *out = nullptr;
  if (!dev) return EXT4_ENODEV;
  if (!dev->open || !dev->read || !dev->write || !dev->close) return Ext4AssertFailed(kModule, __LINE__);
  if (dev->refCount == 0) {
    if (dev->open(*dev) != 0) return EXT4_EIO;
  }
  ++dev->refCount;
  dev->stopped = false;
  auto vol = std::make_unique<Ext4Volume>();
  vol->dev = dev;
  vol->fs.dev = dev;
  dev->mountNote.clear();
  auto fail = [&](int code) {
    dev->mountNote = vol->note;
    dev->cache = nullptr;
    dev->volume = nullptr;
    CloseDevice(*dev);
    return code;
  };
  if (const int r = Ext4BlockReadBytes(*dev, 1024, vol->fs.sb.data(), 1024); r) return fail(EXT4_EIO);
  if (const int r = Ext4SuperblockCheck(vol->fs.sb.data(), dev->partSize, &vol->note); r) return fail(r);
  Ext4FsDerive(vol->fs);
  Ext4Fs& fs = vol->fs;
  if (fs.incompat & ~u32{EXT4_INCOMPAT_SUPPORTED}) {
    vol->note = "Das ext4-Dateisystem nutzt Eigenschaften, die nicht unterstützt werden.";
    return fail(EXT4_ENOTSUP);
  }
  dev->logicalBlockSize = fs.blockSize;
  dev->logicalBlockCount = dev->partSize / fs.blockSize;
  vol->note = ReadOnlyReason(fs, dev->logicalBlockCount);
  fs.readOnly = readOnly || !vol->note.empty();
  vol->ownCache = std::make_unique<Ext4BlockCache>();
  Ext4BlockCacheInit(*vol->ownCache, Ext4CacheCapacity(fs.blockSize), fs.blockSize);
  if (const int r = Ext4BlockCacheBind(*dev, *vol->ownCache); r) return fail(r);
  dev->volume = vol.get();
  std::vector<std::pair<u64, u64>> layout;
  if (!fs.readOnly && !GroupLayoutSound(fs, layout)) {
    vol->note = "Die Gruppendeskriptoren des ext4-Dateisystems sind beschädigt; es wird schreibgeschützt eingebunden.";
    fs.readOnly = true;
  }
  if (!fs.readOnly && !BadBlocksApart(fs, layout)) {
    vol->note = "Verwaltungsdaten des ext4-Dateisystems liegen auf Blöcken, die es als defekt verzeichnet, oder "
                "seine Liste defekter Blöcke ist beschädigt; es wird schreibgeschützt eingebunden.";
    fs.readOnly = true;
  }
  if (!fs.readOnly) {
    // In use: not clean until unmounted; an error mark stays.
    u8* sb = fs.sb.data();
    Ext4SetLe16(sb + EXT4_SB_STATE, Sb16(sb, EXT4_SB_STATE) & ~EXT4_STATE_VALID);
    Ext4SetLe16(sb + EXT4_SB_MNT_COUNT, static_cast<u16>(Sb16(sb, EXT4_SB_MNT_COUNT) + 1));
    if (const int r = Ext4FsWriteSuper(&fs); r) return fail(r);
    if (const int r = Ext4BlockdevSync(*dev); r) return fail(r);
  }
  *out = vol.release();
  return EXT4_OK;
}

int Ext4Umount(Ext4Volume* vol) {
  if (!vol || !vol->dev) return EXT4_ENODEV;
  std::unique_ptr<Ext4Volume> owner(vol);
  Ext4BlockDevice& dev = *vol->dev;
  int first = Ext4BlockCacheFlushAll(dev);
  if (!vol->fs.readOnly) {
    if (first == EXT4_OK) first = Ext4BlockdevSync(dev);
    if (first == EXT4_OK) first = Ext4FsSumFreeCounts(vol->fs);
    if (first == EXT4_OK) {
      u8* sb = vol->fs.sb.data();
      Ext4SetLe16(sb + EXT4_SB_STATE, Sb16(sb, EXT4_SB_STATE) | EXT4_STATE_VALID);
      first = Ext4FsWriteSuper(&vol->fs);
      if (first == EXT4_OK) first = Ext4BlockdevSync(dev);
    }
  }
  dev.cache = nullptr;
  dev.volume = nullptr;
  CloseDevice(dev);
  return first;
}

int Ext4CacheWriteBack(Ext4Volume* vol, bool on) {
  if (!vol || !vol->dev) return EXT4_ENOENT;
  return Ext4CacheWriteBackDevice(*vol->dev, on);
}

int Ext4FsWriteSuper(Ext4Fs* fs) {
  if (!fs || !fs->dev) return EXT4_ENODEV;
  if (fs->readOnly) return EXT4_EROFS;
  if (fs->metadataCsum) Ext4SetLe32(fs->sb.data() + EXT4_SB_CHECKSUM, Ext4Crc32c(0xFFFFFFFF, fs->sb.data(), 1020));
  return Ext4BlockWriteBytes(*fs->dev, 1024, fs->sb.data(), 1024);
}

// The superblock's free block and inode totals are not journalled: after a replay, or an operation
// aborted after it counted, only the group descriptors hold the truth, so the totals are their sums.
int Ext4FsSumFreeCounts(Ext4Fs& fs) {
  u64 blocks = 0, inodes = 0;
  for (u32 group = 0; group < fs.groupCount; ++group) {
    Ext4GroupRef g;
    if (const int r = Ext4GroupGet(&fs, group, &g); r) return r;
    const bool wide = fs.descSize > 32;
    blocks += Ext4Le16(g.desc + 0x0C) | (wide ? u32{Ext4Le16(g.desc + 0x2C)} << 16 : 0);
    inodes += Ext4Le16(g.desc + 0x0E) | (wide ? u32{Ext4Le16(g.desc + 0x2E)} << 16 : 0);
    Ext4GroupPut(&g);
  }
  u8* sb = fs.sb.data();
  Ext4SetLe32(sb + 0x0C, static_cast<u32>(blocks));
  if (fs.incompat & EXT4_INCOMPAT_64BIT) Ext4SetLe32(sb + 0x158, static_cast<u32>(blocks >> 32));
  Ext4SetLe32(sb + 0x10, static_cast<u32>(inodes));
  return EXT4_OK;
}

// --- Block groups ---

u32 Ext4GroupCount(const Ext4Fs& fs) { return fs.groupCount; }

u32 Ext4GroupInodeCount(const Ext4Fs& fs, u32 group) { return group < fs.groupCount ? fs.inodesPerGroup : 0; }

bool Ext4GroupHasSuper(const Ext4Fs& fs, u32 group) {
  if (group == 0) return true;
  if (fs.compat & EXT4_COMPAT_SPARSE_SUPER2)
    return group == Sb32(fs.sb.data(), 0x24C) || group == Sb32(fs.sb.data(), 0x250);
  if (!(fs.roCompat & EXT4_RO_COMPAT_SPARSE_SUPER) || group == 1) return true;
  if (!(group & 1)) return false;
  return PowerOf(group, 3) || PowerOf(group, 5) || PowerOf(group, 7);
}

u64 Ext4GroupFirstBlock(const Ext4Fs& fs, u32 group) {
  return fs.firstDataBlock + u64{group} * fs.blocksPerGroup;
}

u32 Ext4GroupBlockCount(const Ext4Fs& fs, u32 group) {
  const u64 first = Ext4GroupFirstBlock(fs, group);
  return static_cast<u32>(std::min<u64>(fs.blocksPerGroup, fs.blocksCount - first));
}

u64 Ext4GroupSuperBlock(const Ext4Fs& fs, u32 group) {
  return group == 0 ? 1024 / fs.blockSize : Ext4GroupFirstBlock(fs, group);
}

u64 Ext4GroupDescBlock(const Ext4Fs& fs, u32 group) {
  const u32 index = group / fs.descPerBlock;
  const u32 firstMeta = Sb32(fs.sb.data(), EXT4_SB_FIRST_META_BG);
  // The table follows the superblock's own block.
  if (!(fs.incompat & EXT4_INCOMPAT_META_BG) || index < firstMeta) return Ext4GroupSuperBlock(fs, 0) + 1 + u64{index};
  const u32 first = index * fs.descPerBlock;
  return Ext4GroupFirstBlock(fs, first) + (Ext4GroupHasSuper(fs, first) ? 1 : 0);
}

u16 Ext4GroupDescChecksum(const Ext4Fs& fs, u32 group, const u8* desc) {
  u8 le[4];
  Ext4SetLe32(le, group);
  if (fs.metadataCsum) {
    const u8 zero[2] = {0, 0};
    u32 c = Ext4Crc32c(fs.csumSeed, le, 4);
    c = Ext4Crc32c(c, desc, 0x1E);
    c = Ext4Crc32c(c, zero, 2);
    if (fs.descSize > 0x20) c = Ext4Crc32c(c, desc + 0x20, fs.descSize - 0x20);
    return static_cast<u16>(c & 0xFFFF);
  }
  if (fs.gdtCsum) {
    u16 c = Ext4Crc16(0xFFFF, fs.sb.data() + EXT4_SB_UUID, 16);
    c = Ext4Crc16(c, le, 4);
    c = Ext4Crc16(c, desc, 0x1E);
    if ((fs.incompat & EXT4_INCOMPAT_64BIT) && fs.descSize > 0x20) c = Ext4Crc16(c, desc + 0x20, fs.descSize - 0x20);
    return c;
  }
  return 0;
}

namespace {

u64 DescAddr(const Ext4Fs& fs, const u8* desc, u32 lo, u32 hi) {
  return Ext4Le32(desc + lo) | (fs.descSize > 32 ? u64{Ext4Le32(desc + hi)} << 32 : 0);
}

}  // namespace

u64 Ext4GroupBlockBitmap(const Ext4Fs& fs, const u8* desc) { return DescAddr(fs, desc, 0x00, 0x20); }
u64 Ext4GroupInodeBitmap(const Ext4Fs& fs, const u8* desc) { return DescAddr(fs, desc, 0x04, 0x24); }
u64 Ext4GroupInodeTable(const Ext4Fs& fs, const u8* desc) { return DescAddr(fs, desc, 0x08, 0x28); }
u16 Ext4GroupFlags(const u8* desc) { return Ext4Le16(desc + 0x12); }
u32 Ext4GroupItableUnused(const Ext4Fs& fs, const u8* desc) {
  return Ext4Le16(desc + 0x1C) | (fs.descSize > 32 ? u32{Ext4Le16(desc + 0x32)} << 16 : 0);
}

bool Ext4GroupFlagsTrusted(const Ext4Fs& fs, u32 group, const u8* desc) {
  return (fs.metadataCsum || fs.gdtCsum) && Ext4GroupDescChecksum(fs, group, desc) == Ext4Le16(desc + 0x1E);
}

int Ext4GroupGet(Ext4Fs* fs, u32 group, Ext4GroupRef* ref) {
  if (!fs || !ref) return EXT4_EINVAL;
  if (group >= fs->groupCount) return EXT4_EIO;
  const u64 block = Ext4GroupDescBlock(*fs, group);
  if (block >= fs->blocksCount) return EXT4_EIO;
  if (const int r = Ext4BlockGet(*fs->dev, ref->block, block); r) return r == EXT4_ERANGE ? EXT4_EIO : r;
  ref->desc = ref->block.data + (group % fs->descPerBlock) * fs->descSize;
  ref->fs = fs;
  ref->group = group;
  ref->dirty = false;
  // A mismatching descriptor checksum is tolerated here; lazy-init flags are believed only with a match.
  return EXT4_OK;
}

int Ext4GroupPut(Ext4GroupRef* ref) {
  if (!ref || !ref->block.held()) return EXT4_OK;
  if (ref->dirty) {
    Ext4SetLe16(ref->desc + 0x1E, Ext4GroupDescChecksum(*ref->fs, ref->group, ref->desc));
    Ext4TransSetBlockDirty(ref->fs, *ref->block.buf);
    ref->dirty = false;
  }
  return Ext4BlockSet(*ref->block.dev, ref->block);
}

namespace {

void SetBit(std::vector<u8>& map, u64 bit) {
  if (bit / 8 < map.size()) map[bit / 8] |= static_cast<u8>(1u << (bit % 8));
}

// Marks a run of the group's own blocks used, when it lies in the group.
void MarkRun(std::vector<u8>& map, u64 groupFirst, u32 groupBlocks, u64 first, u64 count) {
  for (u64 b = first; b < first + count; ++b)
    if (b >= groupFirst && b < groupFirst + groupBlocks) SetBit(map, b - groupFirst);
}

}  // namespace

int Ext4GroupReadBlockBitmap(Ext4Fs* fs, u32 group, std::vector<u8>* bitmap) {
  Ext4GroupRef g;
  if (const int r = Ext4GroupGet(fs, group, &g); r) return r;
  const u8* desc = g.desc;
  bitmap->assign(fs->blockSize, 0);
  if (!(Ext4GroupFlags(desc) & EXT4_BG_BLOCK_UNINIT) || !Ext4GroupFlagsTrusted(*fs, group, desc)) {
    const u64 at = Ext4GroupBlockBitmap(*fs, desc);
    Ext4GroupPut(&g);
    if (at < fs->firstDataBlock || at >= fs->blocksCount) return EXT4_EIO;
    Ext4BlockRef b;
    if (const int r = Ext4BlockGet(*fs->dev, b, at); r) return r;
    std::memcpy(bitmap->data(), b.data, fs->blockSize);
    return EXT4_OK;
  }
  // Never initialised: the group's own metadata is in use, and the bits past its end.
  const u64 first = Ext4GroupFirstBlock(*fs, group);
  const u32 blocks = Ext4GroupBlockCount(*fs, group);
  u64 used = 0;
  if (Ext4GroupHasSuper(*fs, group)) used = 1;
  const u32 descBlocks = static_cast<u32>(CeilDiv(fs->groupCount, fs->descPerBlock));
  if (fs->incompat & EXT4_INCOMPAT_META_BG) {
    const u32 firstMeta = Sb32(fs->sb.data(), EXT4_SB_FIRST_META_BG);
    const u32 metaIndex = group / fs->descPerBlock, inMeta = group % fs->descPerBlock;
    if (metaIndex >= firstMeta) {
      if (inMeta == 0 || inMeta == 1 || inMeta == fs->descPerBlock - 1) used += 1;
    } else if (used) {
      used += firstMeta + Sb16(fs->sb.data(), EXT4_SB_RESERVED_GDT);
    }
  } else if (used) {
    used += descBlocks + Sb16(fs->sb.data(), EXT4_SB_RESERVED_GDT);
  }
  MarkRun(*bitmap, first, blocks, first, used);
  const bool flex = fs->incompat & EXT4_INCOMPAT_FLEX_BG;
  auto mark = [&](u64 at, u64 count) {
    if (flex || (at >= first && at < first + blocks)) MarkRun(*bitmap, first, blocks, at, count);
  };
  mark(Ext4GroupBlockBitmap(*fs, desc), 1);
  mark(Ext4GroupInodeBitmap(*fs, desc), 1);
  mark(Ext4GroupInodeTable(*fs, desc), CeilDiv(u64{fs->inodesPerGroup} * fs->inodeSize, fs->blockSize));
  for (u64 bit = blocks; bit < u64{fs->blockSize} * 8; ++bit) SetBit(*bitmap, bit);
  Ext4GroupPut(&g);
  return EXT4_OK;
}

// --- Inodes ---

u32 Ext4InodeChecksum(const Ext4Fs& fs, u32 ino, const u8* inode) {
  u8 le[4];
  Ext4SetLe32(le, ino);
  u32 c = Ext4Crc32c(fs.csumSeed, le, 4);
  c = Ext4Crc32c(c, inode + EXT4_I_GENERATION, 4);
  std::vector<u8> copy(inode, inode + fs.inodeSize);
  copy[0x7C] = copy[0x7D] = 0;
  const bool big = fs.inodeSize > 128 && Ext4Le16(inode + 0x80) >= 4;
  if (big) copy[0x82] = copy[0x83] = 0;
  c = Ext4Crc32c(c, copy.data(), fs.inodeSize);
  return big ? c : c & 0xFFFF;
}

bool Ext4InodeChecksumOk(const Ext4Fs& fs, u32 ino, const u8* inode) {
  if (!fs.metadataCsum) return true;
  const u32 c = Ext4InodeChecksum(fs, ino, inode);
  const bool big = fs.inodeSize > 128 && Ext4Le16(inode + 0x80) >= 4;
  const u32 stored = Ext4Le16(inode + 0x7C) | (big ? u32{Ext4Le16(inode + 0x82)} << 16 : 0);
  return c == stored;
}

namespace {

int InodeGet(Ext4Fs* fs, u32 ino, Ext4InodeRef* ref, bool inUse) {
  if (!fs || !ref) return EXT4_EINVAL;
  if (ino == 0 || ino > fs->inodesCount) return EXT4_EIO;
  const u32 group = (ino - 1) / fs->inodesPerGroup, index = (ino - 1) % fs->inodesPerGroup;
  Ext4GroupRef g;
  if (const int r = Ext4GroupGet(fs, group, &g); r) return r;
  const u64 table = Ext4GroupInodeTable(*fs, g.desc);
  // An inode the descriptor says was never initialised is not read from the table.
  bool unused = false;
  if (Ext4GroupFlagsTrusted(*fs, group, g.desc)) {
    unused = (Ext4GroupFlags(g.desc) & EXT4_BG_INODE_UNINIT) ||
             index >= fs->inodesPerGroup - std::min(Ext4GroupItableUnused(*fs, g.desc), fs->inodesPerGroup);
  }
  Ext4GroupPut(&g);
  if (unused) return EXT4_EIO;
  const u64 tableBlocks = CeilDiv(u64{fs->inodesPerGroup} * fs->inodeSize, fs->blockSize);
  if (table < fs->firstDataBlock || table > fs->blocksCount || tableBlocks > fs->blocksCount - table) return EXT4_EIO;
  const u64 byte = u64{index} * fs->inodeSize;
  if (const int r = Ext4BlockGet(*fs->dev, ref->block, table + byte / fs->blockSize); r)
    return r == EXT4_ERANGE ? EXT4_EIO : r;
  ref->inode = ref->block.data + byte % fs->blockSize;
  ref->fs = fs;
  ref->index = ino;
  ref->dirty = false;
  // A writer stamps a fresh checksum on every inode it changes: one that fails its checksum is
  // damage, never to be hidden under a new one. Only where nobody else holds the block: another
  // hold (the same folder as old and new parent of a rename) may be changing it right now.
  if (inUse && !fs->readOnly && ref->block.buf->refs <= 1 && !Ext4InodeChecksumOk(*fs, ino, ref->inode)) {
    ref->block = {};
    ref->inode = nullptr;
    return Ext4VolumeDamaged(*fs);
  }
  return EXT4_OK;
}

}  // namespace

int Ext4InodeGet(Ext4Fs* fs, u32 ino, Ext4InodeRef* ref) { return InodeGet(fs, ino, ref, true); }

int Ext4InodeGetFree(Ext4Fs* fs, u32 ino, Ext4InodeRef* ref) { return InodeGet(fs, ino, ref, false); }

int Ext4InodePut(Ext4InodeRef* ref) {
  if (!ref || !ref->block.held()) return EXT4_OK;
  if (ref->dirty) {
    if (ref->fs->metadataCsum) {
      const u32 c = Ext4InodeChecksum(*ref->fs, ref->index, ref->inode);
      Ext4SetLe16(ref->inode + 0x7C, static_cast<u16>(c));
      if (ref->fs->inodeSize > 128 && Ext4Le16(ref->inode + 0x80) >= 4)
        Ext4SetLe16(ref->inode + 0x82, static_cast<u16>(c >> 16));
    }
    Ext4TransSetBlockDirty(ref->fs, *ref->block.buf);
    ref->dirty = false;
  }
  ref->inode = nullptr;
  return Ext4BlockSet(*ref->block.dev, ref->block);
}

u16 Ext4InodeMode(const u8* inode) { return Ext4Le16(inode + EXT4_I_MODE); }

u32 Ext4InodeFullMode(const Ext4Fs& fs, const u8* inode) {
  u32 mode = Ext4InodeMode(inode);
  if (Sb32(fs.sb.data(), EXT4_SB_CREATOR_OS) == 1) mode |= u32{Ext4Le16(inode + EXT4_I_MODE_HIGH_HURD)} << 16;
  return mode;
}

u64 Ext4InodeSize(const Ext4Fs& fs, const u8* inode) {
  u64 size = Ext4Le32(inode + EXT4_I_SIZE_LO);
  if (Sb32(fs.sb.data(), EXT4_SB_REV_LEVEL) != 0 && (Ext4InodeMode(inode) & EXT4_S_IFMT) == EXT4_S_IFREG)
    size |= u64{Ext4Le32(inode + EXT4_I_SIZE_HI)} << 32;
  return size;
}

u32 Ext4InodeFlags(const u8* inode) { return Ext4Le32(inode + EXT4_I_FLAGS); }

u32 Ext4InodeTime(const u8* inode, u32 field) { return Ext4Le32(inode + field); }

u64 Ext4InodeBlockCount(const Ext4Fs& fs, const u8* inode) {
  u64 count = Ext4Le32(inode + EXT4_I_BLOCKS_LO);
  if (!(fs.roCompat & EXT4_RO_COMPAT_HUGE_FILE)) return count;
  count |= u64{Ext4Le16(inode + EXT4_I_BLOCKS_HI)} << 32;
  if (Ext4InodeFlags(inode) & EXT4_INODE_HUGE_FILE) count *= fs.blockSize / 512;
  return count;
}

bool Ext4InodeIsFastSymlink(const Ext4Fs& fs, const u8* inode) {
  return (Ext4InodeMode(inode) & EXT4_S_IFMT) == EXT4_S_IFLNK && Ext4InodeSize(fs, inode) < 60;
}

// --- Block mapping ---

namespace {

constexpr u32 kExtentMagic = 0xF30A;
constexpr u32 kMaxDepth = 5;

// Checks an extent-tree node header: magic, depth, entries within the room the node has.
bool NodeOk(const u8* node, u32 room, u32 depth) {
  if (Ext4Le16(node) != kExtentMagic) return false;
  const u32 entries = Ext4Le16(node + 2), max = Ext4Le16(node + 4);
  return Ext4Le16(node + 6) == depth && max != 0 && entries <= max && max <= (room - 12) / 12;
}

}  // namespace

int Ext4ExtentGetBlocks(Ext4InodeRef* ref, u32 logical, u32 maxCount, u64* physical, bool create, u32* count) {
  *physical = 0;
  if (count) *count = 0;
  if (create) {
    if (count) *count = 1;
    return ref->fs->readOnly ? EXT4_EROFS : Ext4ExtentInitBlock(ref, logical, physical, nullptr);
  }
  Ext4Fs& fs = *ref->fs;
  const u8* node = ref->inode + EXT4_I_BLOCK;
  u32 depth = Ext4Le16(node + 6);
  if (depth > kMaxDepth || !NodeOk(node, 60, depth)) return EXT4_EIO;
  u64 next = u64{0xFFFFFFFF} + 1;  // first logical block after this subtree
  Ext4BlockRef hold;
  auto hole = [&](u64 until) {
    *physical = 0;
    if (count) *count = static_cast<u32>(std::min<u64>(maxCount, until - logical));
    return EXT4_OK;
  };
  for (;;) {
    const u32 entries = Ext4Le16(node + 2);
    const u8* first = node + 12;
    // The last entry whose first logical block is not above the wanted one.
    u32 lo = 0, hi = entries;
    while (lo < hi) {
      const u32 mid = (lo + hi) / 2;
      if (Ext4Le32(first + mid * 12) <= logical) lo = mid + 1;
      else hi = mid;
    }
    if (lo == 0) return hole(entries ? std::min<u64>(next, Ext4Le32(first)) : next);
    const u8* e = first + (lo - 1) * 12;
    if (lo < entries) next = std::min<u64>(next, Ext4Le32(first + lo * 12));
    if (depth == 0) {
      const u32 start = Ext4Le32(e);
      u32 len = Ext4Le16(e + 4);
      const bool unwritten = len > 32768;
      if (unwritten) len -= 32768;
      const u64 phys = Ext4Le32(e + 8) | u64{Ext4Le16(e + 6)} << 32;
      if (u64{logical} >= u64{start} + len) return hole(next);
      if (phys < fs.firstDataBlock || phys > fs.blocksCount || len > fs.blocksCount - phys) return EXT4_EIO;
      const u32 left = static_cast<u32>(u64{start} + len - logical);
      if (count) *count = std::min(left, maxCount);
      *physical = unwritten ? 0 : phys + (logical - start);
      return EXT4_OK;
    }
    const u64 child = Ext4Le32(e + 4) | u64{Ext4Le16(e + 8)} << 32;
    if (child < fs.firstDataBlock || child >= fs.blocksCount) return EXT4_EIO;
    Ext4BlockRef b;
    if (const int r = Ext4BlockGet(*fs.dev, b, child); r) return r == EXT4_ERANGE ? EXT4_EIO : r;
    --depth;
    if (!NodeOk(b.data, fs.blockSize, depth)) return EXT4_EIO;
    hold = std::move(b);
    node = hold.data;
  }
}

namespace {

int BlockMapGet(Ext4InodeRef* ref, u64 logical, u64* physical, u32* count) {
  Ext4Fs& fs = *ref->fs;
  const u8* iblock = ref->inode + EXT4_I_BLOCK;
  if (logical < 12) {
    *physical = Ext4Le32(iblock + logical * 4);
    if (count) *count = 1;
  } else {
    u64 rest = logical - 12;
    int level = 1;
    while (level <= 3 && rest >= fs.blocksPerLevel[level]) rest -= fs.blocksPerLevel[level++];
    if (level > 3) {
      *physical = 0;
      if (count) *count = 1;
      return EXT4_OK;
    }
    u64 ptr = Ext4Le32(iblock + (11 + level) * 4);
    for (int lv = level; lv >= 1; --lv) {
      const u64 under = lv == 1 ? 1 : fs.blocksPerLevel[lv - 1];  // blocks one entry here covers
      if (ptr == 0) {  // a hole as wide as what this pointer would cover
        *physical = 0;
        if (count) *count = static_cast<u32>(std::min<u64>(0xFFFFFFFF, fs.blocksPerLevel[lv] - rest));
        return EXT4_OK;
      }
      if (ptr < fs.firstDataBlock || ptr >= fs.blocksCount) return EXT4_EIO;
      Ext4BlockRef b;
      if (const int r = Ext4BlockGet(*fs.dev, b, ptr); r) return r == EXT4_ERANGE ? EXT4_EIO : r;
      const u64 index = rest / under;
      rest %= under;
      ptr = Ext4Le32(b.data + index * 4);
    }
    *physical = ptr;
    if (count) *count = 1;
  }
  if (*physical && (*physical < fs.firstDataBlock || *physical >= fs.blocksCount)) return EXT4_EIO;
  return EXT4_OK;
}

}  // namespace

int Ext4InodeGetBlock(Ext4InodeRef* ref, u64 logical, u64* physical, u32* count) {
  *physical = 0;
  if (count) *count = 1;
  if (!ref || !ref->inode) return EXT4_EINVAL;
  Ext4Fs& fs = *ref->fs;
  if (Ext4InodeSize(fs, ref->inode) == 0) {
    if (count) *count = 0xFFFFFFFF;
    return EXT4_OK;
  }
  if ((fs.incompat & EXT4_INCOMPAT_EXTENTS) && (Ext4InodeFlags(ref->inode) & EXT4_INODE_EXTENTS)) {
    if (logical > 0xFFFFFFFFull) return EXT4_OK;
    u32 n = 0;
    const int r = Ext4ExtentGetBlocks(ref, static_cast<u32>(logical), 0xFFFFFFFF, physical, false, &n);
    if (count) *count = std::max<u32>(n, 1);
    return r;
  }
  return BlockMapGet(ref, logical, physical, count);
}
