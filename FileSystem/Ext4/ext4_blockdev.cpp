// Block device over the binding's sector callbacks, and the block cache with its dirty list.
#include "FileSystem/Ext4/ext4_blockdev.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr const char* kModule = "FileSystem/Ext4/ext4_blockdev";

bool Open(const Ext4BlockDevice& dev) { return dev.refCount > 0 && dev.cache; }

int PhysRead(Ext4BlockDevice& dev, void* buf, u64 block, u32 count) {
  ++dev.readCount;
  return dev.read(dev, buf, block, count) == 0 ? EXT4_OK : EXT4_EIO;
}

int PhysWrite(Ext4BlockDevice& dev, const void* buf, u64 block, u32 count) {
  ++dev.writeCount;
  return dev.write(dev, buf, block, count) == 0 ? EXT4_OK : EXT4_EIO;
}

void Unlist(Ext4BlockCache& cache, Ext4Buffer& b) {
  if (!b.onDirtyList) return;
  cache.dirty.erase(std::remove(cache.dirty.begin(), cache.dirty.end(), &b), cache.dirty.end());
  b.onDirtyList = false;
}

// Writes a dirty, up-to-date buffer home.
int WriteBuffer(Ext4BlockDevice& dev, Ext4Buffer& b) {
  if ((b.flags & (EXT4_BUF_DIRTY | EXT4_BUF_UPTODATE)) != (EXT4_BUF_DIRTY | EXT4_BUF_UPTODATE)) return EXT4_OK;
  if (b.flags & EXT4_BUF_JHELD) return EXT4_OK;  // its transaction has not committed yet
  Ext4BlockCache& cache = *dev.cache;
  const int r = Ext4BlocksSetDirect(dev, b.data.data(), b.addr, 1);
  if (r != EXT4_OK) {
    if (b.endWrite) {
      ++cache.noEviction;
      b.endWrite(cache, b, r);
      --cache.noEviction;
    }
    return r;
  }
  Unlist(cache, b);
  b.flags &= ~(EXT4_BUF_DIRTY | EXT4_BUF_JCOMMITTED);
  if (b.endWrite) b.endWrite(cache, b, 0);
  return EXT4_OK;
}

void Drop(Ext4BlockCache& cache, Ext4Buffer& b) {
  Unlist(cache, b);
  cache.lru.erase({b.lru, b.addr});
  --cache.held;
  cache.byAddr.erase(b.addr);
}

}  // namespace

int Ext4AssertFailed(const char* module, int line) {
  std::fprintf(stdout, "assertion failed:\nfile: %s\nline: %d\n", module, line);
  std::fflush(stdout);
  return EXT4_EIO;
}

int Ext4AssertFailed(Ext4BlockDevice& dev, const char* module, int line) {
  dev.stopped = true;
  return Ext4AssertFailed(module, line);
}

u32 Ext4CacheCapacity(u32 blockSize) { return std::max<u32>(64, (4u << 20) / std::max<u32>(blockSize, 1)); }

int Ext4BlockdevOpen(Ext4BlockDevice& dev) {
  dev.physBlockSize = 512;
  dev.partOffset = 0;
  dev.partSize = dev.physBlockCount * 512;
  return EXT4_OK;
}

Ext4BlockRef::~Ext4BlockRef() {
  if (buf && dev) Ext4BlockSet(*dev, *this);
}

Ext4BlockRef& Ext4BlockRef::operator=(Ext4BlockRef&& o) noexcept {
  if (this != &o) {
    if (buf && dev) Ext4BlockSet(*dev, *this);
    addr = o.addr;
    buf = o.buf;
    data = o.data;
    dev = o.dev;
    o.buf = nullptr;
    o.data = nullptr;
  }
  return *this;
}

int Ext4BlockCacheInit(Ext4BlockCache& cache, u32 capacity, u32 itemSize) {
  cache = Ext4BlockCache{};
  cache.capacity = capacity;
  cache.itemSize = itemSize;
  return EXT4_OK;
}

int Ext4BlockCacheBind(Ext4BlockDevice& dev, Ext4BlockCache& cache) {
  if (cache.itemSize != dev.logicalBlockSize) return EXT4_ENOTSUP;
  dev.cache = &cache;
  return EXT4_OK;
}

int Ext4BlockGetNoRead(Ext4BlockDevice& dev, Ext4BlockRef& ref, u64 addr) {
  if (ref.held()) Ext4BlockSet(*ref.dev, ref);
  if (!Open(dev)) return EXT4_EIO;
  if (addr >= dev.logicalBlockCount) return EXT4_ERANGE;
  Ext4BlockCache& cache = *dev.cache;
  if (!cache.noEviction) {
    while (cache.held >= cache.capacity && !cache.lru.empty()) {
      const u64 victimAddr = cache.lru.begin()->second;
      Ext4Buffer& victim = *cache.byAddr.at(victimAddr);
      if (const int r = WriteBuffer(dev, victim); r != EXT4_OK) return r;
      Drop(cache, victim);
    }
  }
  Ext4Buffer* b = nullptr;
  if (auto it = cache.byAddr.find(addr); it != cache.byAddr.end()) {
    b = it->second.get();
    // Committed by an older transaction but not home yet: its content kept aside by the journal, or
    // home first, before a new change lands on it.
    if ((b->flags & (EXT4_BUF_JCOMMITTED | EXT4_BUF_DIRTY | EXT4_BUF_JHELD)) == (EXT4_BUF_JCOMMITTED | EXT4_BUF_DIRTY)) {
      if (!cache.keepCommitted || !cache.keepCommitted(*b))
        if (const int r = WriteBuffer(dev, *b); r != EXT4_OK) return r;
    }
    if (b->refs == 0) cache.lru.erase({b->lru, b->addr});
  } else {
    if (cache.held >= EXT4_CACHE_HARD_LIMIT) return Ext4AssertFailed(dev, kModule, __LINE__);
    auto fresh = std::make_unique<Ext4Buffer>();
    fresh->addr = addr;
    fresh->data.assign(cache.itemSize, 0);
    b = fresh.get();
    cache.byAddr.emplace(addr, std::move(fresh));
    cache.maxHeld = std::max(cache.maxHeld, ++cache.held);
  }
  ++b->refs;
  b->lru = ++cache.lruCounter;
  ref.addr = addr;
  ref.buf = b;
  ref.data = b->data.data();
  ref.dev = &dev;
  return EXT4_OK;
}

int Ext4BlockGet(Ext4BlockDevice& dev, Ext4BlockRef& ref, u64 addr) {
  if (const int r = Ext4BlockGetNoRead(dev, ref, addr); r != EXT4_OK) return r;
  if (ref.buf->flags & EXT4_BUF_UPTODATE) return EXT4_OK;
  if (const int r = Ext4BlocksGetDirect(dev, ref.data, addr, 1); r != EXT4_OK) {
    Ext4BlockSet(dev, ref);
    return r;
  }
  ref.buf->flags |= EXT4_BUF_UPTODATE;
  return EXT4_OK;
}

int Ext4BlockSet(Ext4BlockDevice& dev, Ext4BlockRef& ref) {
  Ext4Buffer* b = ref.buf;
  ref.buf = nullptr;
  ref.data = nullptr;
  if (!b) return EXT4_OK;
  if (!dev.cache) return EXT4_EIO;
  Ext4BlockCache& cache = *dev.cache;
  int result = EXT4_OK;
  if (b->refs > 0) --b->refs;
  if (b->refs > 0) return EXT4_OK;
  cache.lru.insert({b->lru, b->addr});
  if ((b->flags & (EXT4_BUF_DIRTY | EXT4_BUF_UPTODATE)) == (EXT4_BUF_DIRTY | EXT4_BUF_UPTODATE)) {
    if (dev.writeBackCounter == 0 || (b->flags & (EXT4_BUF_FLUSH | EXT4_BUF_TMP))) {
      b->flags &= ~EXT4_BUF_FLUSH;
      result = WriteBuffer(dev, *b);
    } else if (!b->onDirtyList) {
      cache.dirty.push_back(b);
      b->onDirtyList = true;
    }
  }
  // A temporary buffer goes; so does one never read, unless it still waits to be written.
  if ((b->flags & EXT4_BUF_TMP) || !(b->flags & EXT4_BUF_UPTODATE)) {
    if (!(b->flags & EXT4_BUF_DIRTY) || !(b->flags & EXT4_BUF_UPTODATE)) Drop(cache, *b);
  }
  return result;
}

void Ext4BlockMarkDirty(Ext4Buffer& buf) { buf.flags |= EXT4_BUF_DIRTY | EXT4_BUF_UPTODATE; }

int Ext4BlockCacheFlushAll(Ext4BlockDevice& dev) {
  if (!dev.cache) return EXT4_OK;
  Ext4BlockCache& cache = *dev.cache;
  int first = EXT4_OK;
  std::vector<u64> addrs;
  for (auto& [addr, b] : cache.byAddr) {
    const int r = WriteBuffer(dev, *b);
    if (r != EXT4_OK && first == EXT4_OK) first = r;
    addrs.push_back(addr);
  }
  for (u64 addr : addrs) {
    auto it = cache.byAddr.find(addr);
    if (it == cache.byAddr.end() || it->second->refs) continue;
    if ((it->second->flags & EXT4_BUF_DIRTY) && first != EXT4_OK) continue;  // keep what failed
    Drop(cache, *it->second);
  }
  return first;
}

void Ext4BlockCacheForget(Ext4BlockDevice& dev, u64 addr) {
  if (!dev.cache) return;
  auto it = dev.cache->byAddr.find(addr);
  if (it == dev.cache->byAddr.end()) return;
  Ext4Buffer& b = *it->second;
  if (b.refs) {
    b.flags &= ~(EXT4_BUF_UPTODATE | EXT4_BUF_DIRTY);
    Unlist(*dev.cache, b);
  } else {
    Drop(*dev.cache, b);
  }
}

int Ext4BlockWriteOut(Ext4BlockDevice& dev, Ext4Buffer& buf) {
  if (!dev.cache) return EXT4_EIO;
  return WriteBuffer(dev, buf);
}

int Ext4BlockQueueWrite(Ext4BlockDevice& dev, Ext4Buffer& buf) {
  if (!dev.cache) return EXT4_EIO;
  if (dev.writeBackCounter == 0) return WriteBuffer(dev, buf);
  if (!buf.onDirtyList && (buf.flags & EXT4_BUF_DIRTY)) {
    dev.cache->dirty.push_back(&buf);
    buf.onDirtyList = true;
  }
  return EXT4_OK;
}

void Ext4BlockUnpin(Ext4BlockDevice& dev, Ext4Buffer& buf) {
  if (!dev.cache || buf.refs == 0) return;
  if (--buf.refs == 0) dev.cache->lru.insert({buf.lru, buf.addr});
}

int Ext4BlockReadBytes(Ext4BlockDevice& dev, u64 offset, void* buf, u32 len) {
  if (offset > dev.partSize || len > dev.partSize - offset) return EXT4_EINVAL;
  if (dev.refCount == 0) return EXT4_EIO;
  u8* out = static_cast<u8*>(buf);
  u64 pos = dev.partOffset + offset;
  u32 left = len;
  if (pos % 512 && left) {  // head inside a sector
    if (const int r = PhysRead(dev, dev.physBuf.data(), pos / 512, 1); r) return r;
    const u32 n = std::min<u32>(left, 512 - static_cast<u32>(pos % 512));
    std::memcpy(out, dev.physBuf.data() + pos % 512, n);
    out += n, pos += n, left -= n;
  }
  if (left >= 512) {
    const u32 sectors = left / 512;
    if (const int r = PhysRead(dev, out, pos / 512, sectors); r) return r;
    out += sectors * 512, pos += sectors * 512ull, left -= sectors * 512;
  }
  if (left) {
    if (const int r = PhysRead(dev, dev.physBuf.data(), pos / 512, 1); r) return r;
    std::memcpy(out, dev.physBuf.data(), left);
  }
  return EXT4_OK;
}

int Ext4BlockWriteBytes(Ext4BlockDevice& dev, u64 offset, const void* buf, u32 len) {
  if (offset > dev.partSize || len > dev.partSize - offset) return EXT4_EINVAL;
  if (dev.refCount == 0) return EXT4_EIO;
  const u8* in = static_cast<const u8*>(buf);
  u64 pos = dev.partOffset + offset;
  u32 left = len;
  if (pos % 512 && left) {
    if (const int r = PhysRead(dev, dev.physBuf.data(), pos / 512, 1); r) return r;
    const u32 n = std::min<u32>(left, 512 - static_cast<u32>(pos % 512));
    std::memcpy(dev.physBuf.data() + pos % 512, in, n);
    if (const int r = PhysWrite(dev, dev.physBuf.data(), pos / 512, 1); r) return r;
    in += n, pos += n, left -= n;
  }
  if (left >= 512) {
    const u32 sectors = left / 512;
    if (const int r = PhysWrite(dev, in, pos / 512, sectors); r) return r;
    in += sectors * 512, pos += sectors * 512ull, left -= sectors * 512;
  }
  if (left) {
    if (const int r = PhysRead(dev, dev.physBuf.data(), pos / 512, 1); r) return r;
    std::memcpy(dev.physBuf.data(), in, left);
    if (const int r = PhysWrite(dev, dev.physBuf.data(), pos / 512, 1); r) return r;
  }
  // Cached copies of the blocks written follow the disk.
  if (dev.cache && dev.logicalBlockSize && len) {
    const u32 bs = dev.logicalBlockSize;
    const u8* src = static_cast<const u8*>(buf);
    for (u64 a = offset / bs; a <= (offset + len - 1) / bs; ++a) {
      auto it = dev.cache->byAddr.find(a);
      if (it == dev.cache->byAddr.end() || !(it->second->flags & EXT4_BUF_UPTODATE)) continue;
      const u64 from = std::max<u64>(offset, a * bs), to = std::min<u64>(offset + len, (a + 1) * bs);
      std::memcpy(it->second->data.data() + (from - a * bs), src + (from - offset), to - from);
    }
  }
  return EXT4_OK;
}

namespace {

int Direct(Ext4BlockDevice& dev, void* in, const void* out, u64 addr, u32 count) {
  if (!Open(dev) || !dev.logicalBlockSize) return EXT4_EIO;
  if (count == 0) return EXT4_OK;
  if (addr >= dev.logicalBlockCount || count > dev.logicalBlockCount - addr) return EXT4_ERANGE;
  const u32 per = dev.logicalBlockSize / 512;
  if (count > 0xFFFFFFFFu / per) return EXT4_EINVAL;
  const u64 phys = (addr * dev.logicalBlockSize + dev.partOffset) / 512;
  return in ? PhysRead(dev, in, phys, count * per) : PhysWrite(dev, out, phys, count * per);
}

}  // namespace

int Ext4BlocksGetDirect(Ext4BlockDevice& dev, void* buf, u64 addr, u32 count) {
  return Direct(dev, buf, nullptr, addr, count);
}

int Ext4BlocksSetDirect(Ext4BlockDevice& dev, const void* buf, u64 addr, u32 count) {
  return Direct(dev, nullptr, buf, addr, count);
}

int Ext4BlockdevSync(Ext4BlockDevice& dev) {
  if (!dev.sync) return EXT4_OK;
  return dev.sync(dev) == 0 ? EXT4_OK : EXT4_EIO;
}

int Ext4CacheWriteBackDevice(Ext4BlockDevice& dev, bool on) {
  if (on) {
    ++dev.writeBackCounter;
    return EXT4_OK;
  }
  if (dev.writeBackCounter) --dev.writeBackCounter;
  if (dev.writeBackCounter || !dev.cache) return EXT4_OK;
  while (!dev.cache->dirty.empty()) {
    Ext4Buffer* b = dev.cache->dirty.front();
    if (const int r = WriteBuffer(dev, *b); r != EXT4_OK) return r;
    Unlist(*dev.cache, *b);
  }
  return EXT4_OK;
}
