// exFAT mount and unmount: options, boot region checks, the bitmap and upcase entries, the dirty bit and share in use.
#include "FileSystem/Exfat/exfat_internal.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace exfat {

namespace {

// The value of an option: found only at the start or after a comma, followed by a comma, the end
// or (valued) "=".
bool Option(std::string_view text, std::string_view name, bool valued, std::string* value) {
  std::size_t at = 0;
  while ((at = text.find(name, at)) != std::string_view::npos) {
    const std::size_t end = at + name.size();
    const bool start = at == 0 || text[at - 1] == ',';
    const bool stop = end == text.size() || text[end] == ',' || (valued && text[end] == '=');
    if (start && stop) {
      if (value) {
        value->clear();
        if (end < text.size() && text[end] == '=') {
          const std::size_t comma = text.find(',', end);
          *value = std::string(text.substr(end + 1, comma == std::string_view::npos ? std::string_view::npos : comma - end - 1));
        }
      }
      return true;
    }
    at = end;
  }
  return false;
}

u32 Number(std::string_view text, std::string_view name, int base, u32 fallback) {
  std::string value;
  if (!Option(text, name, true, &value) || value.empty()) return fallback;
  return static_cast<u32>(std::strtoul(value.c_str(), nullptr, base));
}

// The clusters of a FAT chain holding bytes.
int ChainClusters(ExfatFs& v, u32 first, u64 bytes, std::vector<u32>& out) {
  out.clear();
  const u64 want = ClustersFor(v, bytes);
  u32 c = first;
  for (u64 i = 0; i < want; ++i) {
    if (!IsCluster(v, c)) return EXFAT_EIO;
    out.push_back(c);
    if (i + 1 < want)
      if (const int r = GetFat(v, c, &c)) return r;
  }
  return 0;
}

int ReadUpcase(ExfatFs& v, u32 first, u64 bytes) {
  if (bytes == 0 || bytes > 0x20000 || bytes % 2) return EXFAT_EIO;
  std::vector<u32> clusters;
  if (const int r = ChainClusters(v, first, bytes, clusters)) return r;
  std::vector<u8> raw(clusters.size() * u64{v.clusterBytes});
  for (std::size_t i = 0; i < clusters.size(); ++i)
    if (ExfatDevPread(v.dev, raw.data() + i * v.clusterBytes, v.clusterBytes, ClusterOffset(v, clusters[i])) !=
        static_cast<i64>(v.clusterBytes))
      return EXFAT_EIO;
  v.upcase.resize(0x10000);
  for (u32 c = 0; c < 0x10000; ++c) v.upcase[c] = static_cast<char16_t>(c);
  // 0xFFFF and a count leave that many characters as they are; nothing is written past the table.
  u64 at = 0;
  for (u64 i = 0; i < bytes / 2 && at < 0x10000; ++i) {
    const u16 value = Le16(raw.data() + 2 * i);
    if (value == 0xFFFF && i + 1 < bytes / 2) {
      at += Le16(raw.data() + 2 * (++i));
      continue;
    }
    v.upcase[at++] = static_cast<char16_t>(value);
  }
  return 0;
}

int WriteBoot(ExfatFs& v) {
  return ExfatDevPwrite(v.dev, v.boot.data(), v.boot.size(), 0) == static_cast<i64>(v.boot.size()) ? 0 : EXFAT_EIO;
}

int CheckBoot(ExfatFs& v) {
  const u8* b = v.boot.data();
  if (std::memcmp(b + 3, "EXFAT   ", 8) != 0) return EXFAT_EIO;
  const u32 sectorShift = b[BOOT_SECTOR_SHIFT], clusterShift = b[BOOT_CLUSTER_SHIFT];
  if (sectorShift < 9 || sectorShift > 12 || sectorShift + clusterShift >= 26) return EXFAT_EIO;
  const u64 sectorBytes = u64{1} << sectorShift;
  std::vector<u8> region(sectorBytes * 12);
  if (ExfatDevPread(v.dev, region.data(), region.size(), 0) != static_cast<i64>(region.size())) return EXFAT_EIO;
  const u32 sum = ExfatBootChecksum(region.data(), sectorBytes);
  for (u64 i = 0; i < sectorBytes / 4; ++i)
    if (Le32(region.data() + sectorBytes * 11 + 4 * i) != sum) return EXFAT_EIO;
  if (b[BOOT_REVISION + 1] != 1 || b[BOOT_REVISION] != 0 || b[BOOT_FAT_COUNT] != 1) return EXFAT_EIO;
  v.sectorShift = sectorShift;
  v.clusterBytes = static_cast<u32>(sectorBytes << clusterShift);
  v.fatOffset = u64{Le32(b + BOOT_FAT_OFFSET)} << sectorShift;
  const u64 fatBytes = u64{Le32(b + BOOT_FAT_LENGTH)} << sectorShift;
  v.heapOffset = u64{Le32(b + BOOT_HEAP_OFFSET)} << sectorShift;
  v.clusterCount = Le32(b + BOOT_CLUSTER_COUNT);
  // The FAT, the heap and every cluster lie inside the drive.
  const u64 size = ExfatDevSize(v.dev);
  if (v.clusterCount == 0 || v.clusterCount > 0xFFFFFFF5u || fatBytes / 4 < u64{v.clusterCount} + 2 ||
      v.fatOffset + fatBytes > size || v.heapOffset + u64{v.clusterCount} * v.clusterBytes > size)
    return EXFAT_EIO;
  return 0;
}

// The bitmap and upcase entries of the root.
int ReadRootEntries(ExfatFs& v) {
  std::vector<u8> d(v.root->size);
  if (ReadRaw(v, *v.root, 0, d.data(), d.size())) return EXFAT_EIO;
  bool bitmap = false, upcase = false;
  for (std::size_t i = 0; i + kEntry <= d.size(); i += kEntry) {
    const u8* e = d.data() + i;
    if (e[0] == ENTRY_END) break;
    const u32 first = Le32(e + 20);
    const u64 length = Le64(e + 24);
    if (e[0] == ENTRY_BITMAP && !bitmap) {
      if (!IsCluster(v, first) || length < (u64{v.clusterCount} + 7) / 8 || length > u64{v.clusterCount} * v.clusterBytes)
        return EXFAT_EIO;
      if (const int r = ChainClusters(v, first, length, v.bitmapClusters)) return r;
      v.bitmap.assign(length, 0);
      v.blockLoaded.assign(v.bitmapClusters.size(), 0);
      v.blockChanged.assign(v.bitmapClusters.size(), 0);
      bitmap = true;
    } else if (e[0] == ENTRY_UPCASE && !upcase) {
      if (const int r = ReadUpcase(v, first, length)) return r;
      upcase = true;
    }
  }
  return bitmap && upcase ? 0 : EXFAT_EIO;
}

void Release(ExfatFs& v) {
  v.root.reset();
  v.upcase.clear();
  v.bitmap.clear();
  v.bitmapClusters.clear();
  v.blockLoaded.clear();
  v.blockChanged.clear();
  v.loadedDirs = 0;
  ExfatDevClose(v.dev);
  v.mounted = false;
}

}  // namespace

}  // namespace exfat

using namespace exfat;

int ExfatMount(ExfatFs& v, DiskSectorDevice& device, const char* options) {
  const std::string_view text = options ? options : "";
  v.umask = Number(text, "umask", 8, 0);
  v.dmask = Number(text, "dmask", 8, v.umask);
  v.fmask = Number(text, "fmask", 8, v.umask);
  v.uid = Number(text, "uid", 10, 0);
  v.gid = Number(text, "gid", 10, 0);
  v.noatime = Option(text, "noatime", false, nullptr);
  const bool ro = Option(text, "ro", false, nullptr);
  const bool fallback = Option(text, "ro_fallback", false, nullptr);
  if (ExfatDevOpen(v.dev, device, ro ? 0 : fallback ? 2 : 1)) return EXFAT_EIO;
  v.readOnly = ExfatDevIsReadOnly(v.dev) ? (fallback && !ro ? 255 : 1) : 0;
  int r = ExfatDevPread(v.dev, v.boot.data(), v.boot.size(), 0) == static_cast<i64>(v.boot.size()) ? 0 : EXFAT_EIO;
  if (!r) r = CheckBoot(v);
  if (!r) {
    try {
      v.root = std::make_unique<ExfatNode>();
    } catch (const std::bad_alloc&) {
      r = EXFAT_ENOMEM;
    }
  }
  if (!r) {
    v.root->flags = EXFAT_ATTR_DIRECTORY;
    v.root->firstCluster = Le32(v.boot.data() + BOOT_ROOT_CLUSTER);
    v.root->references = 1;
    u32 clusters = 0;
    r = ChainLength(v, v.root->firstCluster, &clusters);
    if (!r && (clusters == 0 || u64{clusters} * v.clusterBytes > kMaxDirectory)) r = EXFAT_EIO;
    v.root->size = v.root->validSize = r ? 0 : u64{clusters} * v.clusterBytes;
  }
  if (!r) {
    try {
      r = ReadRootEntries(v);
    } catch (const std::bad_alloc&) {
      r = EXFAT_ENOMEM;
    }
  }
  device.Note("");
  if (!r && !v.readOnly) {
    // A volume that says it was not let go cleanly, or that its medium failed, may hold a wrong
    // bitmap: writing could take clusters of its files. It is only read until its fsck ran.
    const u16 flags = Le16(v.boot.data() + BOOT_FLAGS);
    if (flags & (kVolumeDirty | kMediaFailure)) {
      v.readOnly = 1;
      device.Note(
          (flags & kMediaFailure)
              ? "Das exFAT-Dateisystem meldet Fehler seines Datenträgers; es wird nur gelesen, bis fsck.exfat es "
                "geprüft hat."
              : "Das exFAT-Dateisystem wurde nicht sauber getrennt; es wird nur gelesen, bis fsck.exfat es geprüft hat.");
    }
  }
  if (!r && !v.readOnly) {
    Put16(v.boot.data() + BOOT_FLAGS, static_cast<u16>(Le16(v.boot.data() + BOOT_FLAGS) | kVolumeDirty));
    r = WriteBoot(v);
    if (!r) r = ExfatDevFsync(v.dev);
  }
  if (r) {
    Release(v);
    return r;
  }
  v.mounted = true;
  return 0;
}

void ExfatUnmount(ExfatFs& v) {
  if (!v.mounted) return;
  ExfatFlushAll(v);
  if (!v.readOnly) {
    Put16(v.boot.data() + BOOT_FLAGS, static_cast<u16>(Le16(v.boot.data() + BOOT_FLAGS) & ~kVolumeDirty));
    u64 used = 0;
    if (v.boot[BOOT_PERCENT] != 0xFF && ExfatUsedClusters(v, &used) == 0)
      v.boot[BOOT_PERCENT] = static_cast<u8>((used * 100 + v.clusterCount / 2) / v.clusterCount);
    WriteBoot(v);
    ExfatDevFsync(v.dev);
  }
  Release(v);
}
