// The bottom of the ext4 engine: result codes, the block device over 512-byte sector I/O, and the block cache.
#pragma once

#include "platform/win_types.h"

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Result codes of every ext4 operation: 0 or a positive number in the C runtime's errno numbering
// as the volume file API maps it (not Linux's own values: 41 is "not empty" here).
inline constexpr int EXT4_OK = 0;
inline constexpr int EXT4_EPERM = 1;
inline constexpr int EXT4_ENOENT = 2;
inline constexpr int EXT4_EIO = 5;
inline constexpr int EXT4_ENXIO = 6;
inline constexpr int EXT4_ENOMEM = 12;
inline constexpr int EXT4_EACCES = 13;
inline constexpr int EXT4_EEXIST = 17;
inline constexpr int EXT4_ENODEV = 19;
inline constexpr int EXT4_ENOTDIR = 20;
inline constexpr int EXT4_EISDIR = 21;
inline constexpr int EXT4_EINVAL = 22;
inline constexpr int EXT4_EFBIG = 27;
inline constexpr int EXT4_ENOSPC = 28;
inline constexpr int EXT4_EROFS = 30;
inline constexpr int EXT4_EMLINK = 31;
inline constexpr int EXT4_ERANGE = 34;
inline constexpr int EXT4_ENOTEMPTY = 41;
inline constexpr int EXT4_ENOTSUP = 95;
inline constexpr int EXT4_DX_BAD = -25000;  // hashed index unusable: callers fall back to a linear scan

// Prints the engine's "assertion failed" lines for the module and line; the caller then stops the
// failing operation with the returned code.
int Ext4AssertFailed(const char* module, int line);
struct Ext4BlockDevice;
// The same for a fault of the volume on dev, which then refuses further work (5) until unmounted.
int Ext4AssertFailed(Ext4BlockDevice& dev, const char* module, int line);

// Little-endian fields of on-disk structures; big-endian ones for the journal.
inline u16 Ext4Le16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }
inline u32 Ext4Le32(const u8* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<u32>(p[3]) << 24; }
inline u64 Ext4Le64(const u8* p) { return Ext4Le32(p) | static_cast<u64>(Ext4Le32(p + 4)) << 32; }
inline void Ext4SetLe16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}
inline void Ext4SetLe32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}
inline u32 Ext4Be32(const u8* p) { return static_cast<u32>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
inline u16 Ext4Be16(const u8* p) { return static_cast<u16>(p[0] << 8 | p[1]); }
inline void Ext4SetBe32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (24 - 8 * i));
}

struct Ext4BlockCache;
struct Ext4Volume;

// Buffer flags. The journal's: logged by a transaction not yet committed (never written home), and
// committed but not yet home (its content is kept aside, or written out, before anyone gets the
// block again, so a later transaction's change never reaches home uncommitted).
enum : u32 {
  EXT4_BUF_UPTODATE = 0x1,
  EXT4_BUF_DIRTY = 0x2,
  EXT4_BUF_FLUSH = 0x4,
  EXT4_BUF_TMP = 0x8,
  EXT4_BUF_JHELD = 0x10,
  EXT4_BUF_JCOMMITTED = 0x20,
};

struct Ext4Buffer;
// Told when a buffer reached the disk (result 0) or failed to (the error).
using Ext4EndWrite = std::function<void(Ext4BlockCache&, Ext4Buffer&, int result)>;

struct Ext4Buffer {
  u32 flags = 0;
  u64 addr = 0;
  std::vector<u8> data;
  u64 lru = 0;
  u32 refs = 0;
  bool onDirtyList = false;
  Ext4EndWrite endWrite;
};

// The cache: buffers by address, unreferenced ones by LRU stamp, and the dirty list of write-back
// mode. Referenced (pinned) buffers never count against the capacity: only unreferenced ones are
// evicted, and the cache grows past its capacity while more are held, up to a hard limit.
struct Ext4BlockCache {
  u32 capacity = 0;
  u32 itemSize = 0;
  u64 lruCounter = 0;
  u32 held = 0;
  u32 maxHeld = 0;
  u32 noEviction = 0;
  std::map<u64, std::unique_ptr<Ext4Buffer>> byAddr;
  std::set<std::pair<u64, u64>> lru;  // (stamp, address) of unreferenced buffers
  std::vector<Ext4Buffer*> dirty;     // in the order they were released dirty
  // Set by the journal: keeps a buffer's committed content aside before a new change may land on it
  // (true), so the buffer need not go home first.
  std::function<bool(Ext4Buffer&)> keepCommitted;
};

// Soft capacity in blocks: as many as fit 4 MiB, at least 64; the journal pins buffers beyond it.
u32 Ext4CacheCapacity(u32 blockSize);
// More buffers held at once than this is an internal fault.
inline constexpr u32 EXT4_CACHE_HARD_LIMIT = 65536;

// One mounted drive's device: 512-byte physical blocks through the binding's callbacks.
struct Ext4BlockDevice {
  // The binding's callbacks; a missing one is an assertion failure at mount.
  std::function<int(Ext4BlockDevice&)> open;
  std::function<int(Ext4BlockDevice&, void* buf, u64 block, u32 count)> read;
  std::function<int(Ext4BlockDevice&, const void* buf, u64 block, u32 count)> write;
  std::function<int(Ext4BlockDevice&)> close;
  // Puts written data on the medium (optional: none means nothing to do).
  std::function<int(Ext4BlockDevice&)> sync;

  u32 physBlockSize = 512;
  u64 physBlockCount = 0;
  std::array<u8, 512> physBuf{};
  u32 refCount = 0;
  u32 readCount = 0;
  u32 writeCount = 0;
  u64 partOffset = 0;
  u64 partSize = 0;

  Ext4BlockCache* cache = nullptr;
  u32 logicalBlockSize = 0;
  u64 logicalBlockCount = 0;
  u32 writeBackCounter = 0;
  Ext4Volume* volume = nullptr;
  // Why the last mount refused the volume (German), empty after a successful one.
  std::string mountNote;
  // Set by an internal fault of the volume on the device: no further work until it is unmounted.
  bool stopped = false;
};

// The callbacks' open: 512-byte physical blocks, count as given, no partition offset.
int Ext4BlockdevOpen(Ext4BlockDevice& dev);

// What callers hold while they use a block; released by Ext4BlockSet or when it goes.
class Ext4BlockRef {
 public:
  Ext4BlockRef() = default;
  ~Ext4BlockRef();
  Ext4BlockRef(const Ext4BlockRef&) = delete;
  Ext4BlockRef& operator=(const Ext4BlockRef&) = delete;
  Ext4BlockRef(Ext4BlockRef&& o) noexcept { *this = std::move(o); }
  Ext4BlockRef& operator=(Ext4BlockRef&& o) noexcept;

  bool held() const { return buf != nullptr; }

  u64 addr = 0;
  Ext4Buffer* buf = nullptr;
  u8* data = nullptr;
  Ext4BlockDevice* dev = nullptr;
};

int Ext4BlockCacheInit(Ext4BlockCache& cache, u32 capacity, u32 itemSize);
int Ext4BlockCacheBind(Ext4BlockDevice& dev, Ext4BlockCache& cache);

int Ext4BlockGet(Ext4BlockDevice& dev, Ext4BlockRef& ref, u64 addr);
int Ext4BlockGetNoRead(Ext4BlockDevice& dev, Ext4BlockRef& ref, u64 addr);
int Ext4BlockSet(Ext4BlockDevice& dev, Ext4BlockRef& ref);
void Ext4BlockMarkDirty(Ext4Buffer& buf);
// Writes every dirty buffer and drops every unreferenced one, in address order; the first error.
int Ext4BlockCacheFlushAll(Ext4BlockDevice& dev);
// Drops the cached copy of a block (after a direct write changed it).
void Ext4BlockCacheForget(Ext4BlockDevice& dev, u64 addr);
// For the journal, which holds a reference on each buffer it logged until the buffer is home: writes a
// dirty buffer now; queues it for writing (at once without write-back mode, else on the dirty list);
// drops the journal's reference without writing.
int Ext4BlockWriteOut(Ext4BlockDevice& dev, Ext4Buffer& buf);
int Ext4BlockQueueWrite(Ext4BlockDevice& dev, Ext4Buffer& buf);
void Ext4BlockUnpin(Ext4BlockDevice& dev, Ext4Buffer& buf);

// Bytes anywhere on the partition, beside the cache.
int Ext4BlockReadBytes(Ext4BlockDevice& dev, u64 offset, void* buf, u32 len);
int Ext4BlockWriteBytes(Ext4BlockDevice& dev, u64 offset, const void* buf, u32 len);
// Whole blocks beside the cache; addr + count must lie inside the volume (else 34).
int Ext4BlocksGetDirect(Ext4BlockDevice& dev, void* buf, u64 addr, u32 count);
int Ext4BlocksSetDirect(Ext4BlockDevice& dev, const void* buf, u64 addr, u32 count);
// The device's sync callback, if any.
int Ext4BlockdevSync(Ext4BlockDevice& dev);

// Switches write-back mode on or off; at 0 the dirty list is written. The first write error.
int Ext4CacheWriteBackDevice(Ext4BlockDevice& dev, bool on);
