// The running journal: transactions of logged blocks, commit into the jbd2 log, checkpoint, revokes and abort.
#include "FileSystem/Ext4/ext4_trans.h"

#include "FileSystem/Ext4/ext4_crc.h"
#include "FileSystem/Ext4/ext4_journal.h"

#include <algorithm>
#include <ctime>
#include <deque>
#include <map>

namespace {

// Journal superblock fields (big-endian).
enum : u32 {
  JSB_MAXLEN = 0x10,
  JSB_FIRST = 0x14,
  JSB_SEQUENCE = 0x18,
  JSB_START = 0x1C,
  JSB_ERRNO = 0x20,
  JSB_COMPAT = 0x24,
  JSB_INCOMPAT = 0x28,
  JSB_UUID = 0x30,
  JSB_CSUM_TYPE = 0x50,
};

constexpr u32 kCompatChecksum = 0x1;
constexpr u32 kWritableIncompat = EXT4_JBD_INCOMPAT_REVOKE | EXT4_JBD_INCOMPAT_64BIT | EXT4_JBD_INCOMPAT_CSUM_V2 |
                                  EXT4_JBD_INCOMPAT_CSUM_V3;
// Committed blocks that may wait in memory for home before they are all written out.
constexpr u32 kMaxWaiting = 4096;

struct Trans;

// One logged block in one transaction.
struct JBuf {
  u64 addr = 0;
  Ext4Buffer* buf = nullptr;  // until the block is home
  Trans* t = nullptr;
  u32 logPos = 0;  // where the copy went, once committed
  // The committed content, kept aside when a later change may land on the buffer before it is home.
  std::vector<u8> frozen;
  bool escaped = false;
  bool home = false;
};

struct Trans {
  u32 id = 0;
  u32 firstLog = 0, logBlocks = 0;
  bool committed = false;
  std::vector<std::unique_ptr<JBuf>> bufs;
  std::set<u64> revokes;
  std::array<u8, 12> counters{};  // the superblock's free counts when it started
  int failed = 0;                 // a change could not be logged: the transaction can only abort
  std::vector<u64> unlogged;      // the blocks of such changes, read again at the abort
};

void SetBe64(u8* p, u64 v) {
  Ext4SetBe32(p, static_cast<u32>(v >> 32));
  Ext4SetBe32(p + 4, static_cast<u32>(v));
}

void SetBe16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v >> 8);
  p[1] = static_cast<u8>(v);
}

}  // namespace

struct Ext4Journal {
  Ext4Volume* vol = nullptr;
  Ext4JournalFs jfs;
  std::vector<u64> phys;  // log position -> volume block
  u32 first = 0, last = 0, bs = 0;
  u32 diskStart = 0, head = 0, used = 0;  // the log as the journal superblock describes it
  u32 nextId = 0;
  bool csum23 = false, csum3 = false, is64 = false, v1 = false;
  u32 tagBytes = 0, seed = 0;
  bool aborted = false;
  bool homeFailed = false;
  std::deque<std::unique_ptr<Trans>> log;  // committed transactions still inside the log
  std::unique_ptr<Trans> cur;
  // Per volume block: every logged copy of it in a transaction still inside the log (or current).
  std::map<u64, std::vector<JBuf*>> records;
  std::set<Ext4Buffer*> pinned;
  u32 waiting = 0;  // committed copies not home yet
  std::vector<u8> runSpace;

  u32 Capacity() const { return last - first; }
  u32 Cap() const { return std::max<u32>(Capacity() / 4, 8); }

  u32 TagsPerDescriptor() const {
    const u32 room = bs - 12 - (csum23 ? 4 : 0);
    return 1 + (room - tagBytes - 16) / tagBytes;
  }
  u32 RevokesPerBlock() const { return (bs - 16 - (csum23 ? 4 : 0)) / (is64 ? 8 : 4); }
  u32 LogBlocks(std::size_t bufs, std::size_t revokes) const {
    const u32 b = static_cast<u32>(bufs), r = static_cast<u32>(revokes);
    const u32 per = TagsPerDescriptor(), perRev = RevokesPerBlock();
    return b + (b + per - 1) / per + (r + perRev - 1) / perRev + 1;
  }
  u32 Next(u32 pos) const { return pos + 1 >= last ? first : pos + 1; }
  Ext4BlockDevice& Dev() { return *vol->dev; }

  void Pin(Ext4Buffer& b) {
    if (pinned.insert(&b).second) ++b.refs;
  }
  void Unpin(Ext4Buffer& b) {
    if (pinned.erase(&b)) Ext4BlockUnpin(Dev(), b);
  }

  void RemoveRecord(JBuf* jb) {
    auto it = records.find(jb->addr);
    if (it == records.end()) return;
    auto& v = it->second;
    if (!v.empty() && v.back() == jb) v.pop_back();  // mostly the newest
    else v.erase(std::remove(v.begin(), v.end(), jb), v.end());
    if (v.empty()) records.erase(it);
  }

  // Told by the cache that a buffer reached home: every committed copy of its block is home now.
  void OnHome(Ext4Buffer& b, int result) {
    if (result != EXT4_OK) {
      homeFailed = true;
      return;
    }
    auto it = records.find(b.addr);
    if (it == records.end()) return;
    if (MarkHome(it->second)) Unpin(b);
  }

  // Every committed copy of a block is home (newest first: behind one already home all are); whether
  // no transaction still running holds the block.
  bool MarkHome(std::vector<JBuf*>& copies) {
    bool held = false;
    for (auto jb = copies.rbegin(); jb != copies.rend(); ++jb) {
      if (!(*jb)->t->committed) {
        held = true;
        continue;
      }
      if ((*jb)->home) break;
      (*jb)->home = true;
      (*jb)->buf = nullptr;
      std::vector<u8>().swap((*jb)->frozen);
      if (waiting) --waiting;
    }
    return !held;
  }

  void Watch(Ext4Buffer& b) {
    if (b.endWrite) return;
    b.endWrite = [this](Ext4BlockCache&, Ext4Buffer& buf, int result) { OnHome(buf, result); };
  }

  // Asked by the cache before anyone gets a buffer whose committed content is not home yet: that
  // content is kept aside and goes home from there, and the buffer itself is no longer written home
  // until a transaction logs and commits it again.
  bool KeepCommitted(Ext4Buffer& b) {
    auto it = records.find(b.addr);
    if (it == records.end() || it->second.empty()) return false;
    JBuf* newest = it->second.back();
    if (!newest->t->committed || newest->home || newest->buf != &b) return false;
    if (newest->frozen.empty()) newest->frozen = b.data;
    b.flags &= ~EXT4_BUF_DIRTY;
    return true;
  }

  int ReadLog(u32 pos, u8* out) { return Ext4BlocksGetDirect(Dev(), out, phys[pos], 1) ? EXT4_EIO : EXT4_OK; }

  // Brings the newest committed copy of a block home: from its buffer when that holds it, else from
  // the log (a later transaction's uncommitted change sits in the buffer, or the buffer was dropped).
  int RecordHome(u64 addr) {
    auto it = records.find(addr);
    if (it == records.end()) return EXT4_OK;
    JBuf* newest = nullptr;
    for (auto jb = it->second.rbegin(); jb != it->second.rend() && !newest; ++jb)
      if ((*jb)->t->committed) newest = *jb;
    if (!newest || newest->home) return EXT4_OK;
    Ext4Buffer* b = newest->buf;
    const bool fromBuffer = b && newest->frozen.empty() && !(b->flags & EXT4_BUF_JHELD) &&
                            (b->flags & (EXT4_BUF_UPTODATE | EXT4_BUF_DIRTY)) == (EXT4_BUF_UPTODATE | EXT4_BUF_DIRTY);
    if (fromBuffer) {
      if (const int r = Ext4BlockWriteOut(Dev(), *b); r) return r;
      return newest->home ? EXT4_OK : EXT4_EIO;
    }
    std::vector<u8> copy;
    if (!newest->frozen.empty()) {
      copy.swap(newest->frozen);
    } else {
      copy.resize(bs);
      if (const int r = ReadLog(newest->logPos, copy.data()); r) return r;
      if (newest->escaped) Ext4SetBe32(copy.data(), EXT4_JBD_MAGIC);
    }
    if (Ext4BlocksSetDirect(Dev(), copy.data(), addr, 1)) {
      if (newest->frozen.empty()) newest->frozen.swap(copy);
      return EXT4_EIO;
    }
    const bool held = !MarkHome(it->second);
    if (b && !held) {
      b->flags &= ~(EXT4_BUF_JCOMMITTED | EXT4_BUF_DIRTY);
      Unpin(*b);
    }
    return EXT4_OK;
  }

  // Every committed copy home (not yet synced).
  int AllHome() {
    std::vector<u64> addrs;
    for (auto& [addr, v] : records) addrs.push_back(addr);
    for (u64 a : addrs)
      if (const int r = RecordHome(a); r) return r;
    return EXT4_OK;
  }

  int WriteSuper(u32 start) {
    Ext4SetBe32(jfs.sb.data() + JSB_START, start);
    Ext4SetBe32(jfs.sb.data() + JSB_SEQUENCE, nextId);
    return Ext4JournalWriteSuper(vol, &jfs);
  }

  // Frees the whole log: every committed copy home and synced, then the journal superblock moves its
  // start to the head, past every transaction written so far.
  int Checkpoint() {
    if (const int r = AllHome(); r) return r;
    if (homeFailed) return EXT4_EIO;
    if (const int r = Ext4BlockdevSync(Dev()); r) return r;
    if (const int r = WriteSuper(head); r) return r;
    if (const int r = Ext4BlockdevSync(Dev()); r) return r;
    // Only the running transaction's copies stay on record.
    for (auto it = records.begin(); it != records.end();) {
      auto& v = it->second;
      v.erase(std::remove_if(v.begin(), v.end(), [](JBuf* jb) { return jb->t->committed; }), v.end());
      it = v.empty() ? records.erase(it) : std::next(it);
    }
    log.clear();
    diskStart = head;
    used = 0;
    waiting = 0;
    return EXT4_OK;
  }

  // Drops a logged copy of the current transaction (its block was freed, or it is no longer dirty).
  void DropFromCurrent(JBuf* jb, bool forget) {
    Ext4Buffer* b = jb->buf;
    RemoveRecord(jb);
    auto& v = cur->bufs;
    if (b) {
      b->flags &= ~EXT4_BUF_JHELD;
      if (forget) b->flags &= ~(EXT4_BUF_UPTODATE | EXT4_BUF_DIRTY | EXT4_BUF_JCOMMITTED);
      // Committed copies not yet home keep the buffer pinned (the newest of them tells).
      auto it = records.find(jb->addr);
      if (it == records.end() || it->second.back()->buf != b) Unpin(*b);
    }
    v.erase(std::remove_if(v.begin(), v.end(), [&](const auto& p) { return p.get() == jb; }), v.end());
  }

  // A failed commit: no further writes this session; the log keeps what committed, the volume is
  // marked with errors and replays at the next writable attach.
  int Abort(int code) {
    aborted = true;
    while (cur && !cur->bufs.empty()) DropFromCurrent(cur->bufs.back().get(), true);
    cur.reset();
    Ext4Fs& fs = vol->fs;
    u8* sb = fs.sb.data();
    Ext4SetLe16(sb + EXT4_SB_STATE, Ext4Le16(sb + EXT4_SB_STATE) | EXT4_STATE_ERROR);
    Ext4SetBe32(jfs.sb.data() + JSB_ERRNO, static_cast<u32>(-5));
    Ext4FsWriteSuper(&fs);
    Ext4JournalWriteSuper(vol, &jfs);
    Ext4BlockdevSync(Dev());
    fs.readOnly = true;
    return code ? code : EXT4_EIO;
  }

  // Writes log blocks, gathering runs that lie next to each other on the volume.
  struct Writer {
    Ext4Journal& j;
    std::vector<u8> run;
    u64 runStart = 0;
    u32 runCount = 0;
    int Add(u32 pos, const u8* block) {
      const u64 at = j.phys[pos];
      if (runCount && (at != runStart + runCount || runCount >= 256))
        if (const int r = Flush(); r) return r;
      if (!runCount) runStart = at;
      run.insert(run.end(), block, block + j.bs);
      ++runCount;
      return EXT4_OK;
    }
    int Flush() {
      if (!runCount) return EXT4_OK;
      const int r = Ext4BlocksSetDirect(j.Dev(), run.data(), runStart, runCount) ? EXT4_EIO : EXT4_OK;
      run.clear();
      runCount = 0;
      return r;
    }
  };

  void Tail(u8* block) {
    if (!csum23) return;
    Ext4SetBe32(block + bs - 4, 0);
    Ext4SetBe32(block + bs - 4, Ext4Crc32c(seed, block, bs));
  }

  int Commit() {
    Trans& t = *cur;
    for (std::size_t i = 0; i < t.bufs.size();) {
      JBuf* jb = t.bufs[i].get();
      if (!jb->buf || !(jb->buf->flags & EXT4_BUF_DIRTY)) {
        DropFromCurrent(jb, false);
        continue;
      }
      ++i;
    }
    if (t.bufs.empty() && t.revokes.empty()) {
      cur.reset();
      return EXT4_OK;
    }
    const u32 need = LogBlocks(t.bufs.size(), t.revokes.size());
    if (need + 1 > Capacity()) return EXT4_ENOSPC;
    if (used + need + 1 > Capacity())
      if (const int r = Checkpoint(); r) return Abort(r);
    t.firstLog = head;
    t.logBlocks = need;
    u32 pos = head;
    Writer w{*this, std::move(runSpace), 0, 0};
    w.run.clear();
    std::vector<std::vector<u8>> escapedCopies;
    u32 crc1 = 0xFFFFFFFF;
    std::vector<u8> desc(bs);
    u8 tidBe[4];
    Ext4SetBe32(tidBe, t.id);
    const u32 per = TagsPerDescriptor();
    auto header = [&](u8* b, u32 type) {
      std::fill(b, b + bs, 0);
      Ext4SetBe32(b, EXT4_JBD_MAGIC);
      Ext4SetBe32(b + 4, type);
      Ext4SetBe32(b + 8, t.id);
    };
    for (std::size_t i = 0; i < t.bufs.size(); i += per) {
      const std::size_t n = std::min<std::size_t>(per, t.bufs.size() - i);
      header(desc.data(), EXT4_JBD_DESCRIPTOR);
      const u32 descPos = pos;
      pos = Next(pos);
      u32 off = 12;
      // The tags first, to learn the copies' escapes and checksums; the descriptor goes before the
      // copies. Only an escaped copy differs from its buffer.
      escapedCopies.clear();
      for (std::size_t k = 0; k < n; ++k) {
        JBuf& jb = *t.bufs[i + k];
        const u8* c = jb.buf->data.data();
        jb.escaped = Ext4Be32(c) == EXT4_JBD_MAGIC;
        if (jb.escaped) {
          escapedCopies.emplace_back(c, c + bs);
          Ext4SetBe32(escapedCopies.back().data(), 0);
          c = escapedCopies.back().data();
        }
        jb.logPos = pos;
        pos = Next(pos);
        u8* tag = desc.data() + off;
        u32 flags = (k ? u32{EXT4_JBD_FLAG_SAME_UUID} : 0u) | (jb.escaped ? u32{EXT4_JBD_FLAG_ESCAPE} : 0u) |
                    (k + 1 == n ? u32{EXT4_JBD_FLAG_LAST_TAG} : 0u);
        Ext4SetBe32(tag, static_cast<u32>(jb.addr));
        const u32 sum = csum23 ? Ext4Crc32c(Ext4Crc32c(seed, tidBe, 4), c, bs) : 0;
        if (csum3) {
          Ext4SetBe32(tag + 4, flags);
          Ext4SetBe32(tag + 8, static_cast<u32>(jb.addr >> 32));
          Ext4SetBe32(tag + 12, sum);
        } else {
          SetBe16(tag + 4, static_cast<u16>(sum));
          SetBe16(tag + 6, static_cast<u16>(flags));
          if (is64) Ext4SetBe32(tag + 8, static_cast<u32>(jb.addr >> 32));
        }
        off += tagBytes;
        if (!k) {
          std::memcpy(desc.data() + off, jfs.sb.data() + JSB_UUID, 16);
          off += 16;
        }
      }
      Tail(desc.data());
      if (v1) crc1 = Ext4Crc32Be(crc1, desc.data(), bs);
      if (const int r = w.Add(descPos, desc.data()); r) return Abort(r);
      for (std::size_t k = 0, e = 0; k < n; ++k) {
        const JBuf& jb = *t.bufs[i + k];
        const u8* c = jb.escaped ? escapedCopies[e++].data() : jb.buf->data.data();
        if (v1) crc1 = Ext4Crc32Be(crc1, c, bs);
        if (const int r = w.Add(jb.logPos, c); r) return Abort(r);
      }
    }
    const u32 width = is64 ? 8 : 4, room = bs - (csum23 ? 4 : 0);
    for (auto it = t.revokes.begin(); it != t.revokes.end();) {
      header(desc.data(), EXT4_JBD_REVOKE);
      u32 off = 16;
      for (; it != t.revokes.end() && off + width <= room; ++it, off += width) {
        if (is64) SetBe64(desc.data() + off, *it);
        else Ext4SetBe32(desc.data() + off, static_cast<u32>(*it));
      }
      Ext4SetBe32(desc.data() + 12, off);
      Tail(desc.data());
      if (const int r = w.Add(pos, desc.data()); r) return Abort(r);
      pos = Next(pos);
    }
    if (const int r = w.Flush(); r) return Abort(r);
    // Everything the commit block seals is on the medium before it, and it before anything goes home.
    if (const int r = Ext4BlockdevSync(Dev()); r) return Abort(r);
    header(desc.data(), EXT4_JBD_COMMIT);
    if (v1) {
      desc[12] = 1;  // CRC-32
      desc[13] = 4;
      Ext4SetBe32(desc.data() + 16, crc1);
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    SetBe64(desc.data() + 0x30, static_cast<u64>(now.tv_sec));
    Ext4SetBe32(desc.data() + 0x38, static_cast<u32>(now.tv_nsec));
    if (csum23) Ext4SetBe32(desc.data() + 16, Ext4Crc32c(seed, desc.data(), bs));
    if (w.Add(pos, desc.data()) || w.Flush()) return Abort(EXT4_EIO);
    if (const int r = Ext4BlockdevSync(Dev()); r) return Abort(r);
    pos = Next(pos);
    runSpace = std::move(w.run);  // its room serves the next commit

    head = pos;
    used += need;
    ++nextId;
    t.committed = true;
    std::vector<Ext4Buffer*> queue;
    for (auto& jb : t.bufs) {
      jb->buf->flags = (jb->buf->flags & ~EXT4_BUF_JHELD) | EXT4_BUF_JCOMMITTED;
      queue.push_back(jb->buf);
      ++waiting;
      // Older committed copies of the block are superseded: only the newest ever goes home.
      if (auto it = records.find(jb->addr); it != records.end())
        for (JBuf* older : it->second)
          if (older != jb.get()) std::vector<u8>().swap(older->frozen);
    }
    log.push_back(std::move(cur));
    // Home at once, or when write-back mode ends; a failure shows at the next checkpoint or the stop.
    for (Ext4Buffer* b : queue) Ext4BlockQueueWrite(Dev(), *b);
    if (waiting > kMaxWaiting) {
      if (AllHome()) homeFailed = true;
    }
    return EXT4_OK;
  }

  ~Ext4Journal() {
    if (vol && vol->dev && vol->dev->cache) vol->dev->cache->keepCommitted = nullptr;
    for (Ext4Buffer* b : pinned) Ext4BlockUnpin(Dev(), *b);
    if (vol && vol->dev && vol->dev->cache)
      for (auto& [addr, b] : vol->dev->cache->byAddr) {
        b->endWrite = nullptr;
        b->flags &= ~(EXT4_BUF_JHELD | EXT4_BUF_JCOMMITTED);
      }
  }
};

void Ext4JournalDeleter::operator()(Ext4Journal* j) const { delete j; }

namespace {

Ext4Journal* Running(Ext4Fs* fs) {
  if (!fs || !fs->dev || !fs->dev->volume) return nullptr;
  return fs->dev->volume->journal.get();
}

// A writable volume that runs read-only after all: clean again on disk, with the reason.
int StayReadOnly(Ext4Volume* vol, const char* why) {
  u8* sb = vol->fs.sb.data();
  Ext4SetLe16(sb + EXT4_SB_STATE, Ext4Le16(sb + EXT4_SB_STATE) | EXT4_STATE_VALID);
  if (const int r = Ext4FsWriteSuper(&vol->fs); r) return r;
  if (const int r = Ext4BlockdevSync(*vol->dev); r) return r;
  vol->fs.readOnly = true;
  vol->note = why;
  return EXT4_OK;
}

constexpr std::array<u32, 3> kCounters = {0x0C, 0x10, 0x158};

}  // namespace

int Ext4JournalStart(Ext4Volume* vol) {
  if (!vol) return EXT4_ENOENT;
  Ext4Fs& fs = vol->fs;
  if (fs.readOnly || !(fs.compat & EXT4_COMPAT_HAS_JOURNAL) || vol->journal) return EXT4_OK;
  auto j = std::unique_ptr<Ext4Journal, Ext4JournalDeleter>(new Ext4Journal);
  j->vol = vol;
  if (Ext4JournalLoad(vol, &j->jfs) != EXT4_OK) return EXT4_EIO;
  u8* s = j->jfs.sb.data();
  if (Ext4Be32(s + JSB_START) != 0) return EXT4_EIO;  // a log not yet replayed is never written over
  if (Ext4Be32(s + JSB_ERRNO) != 0)
    return StayReadOnly(vol, "Das Journal des ext4-Dateisystems meldet einen Fehler; das Dateisystem wird "
                             "schreibgeschützt eingebunden.");
  if (Ext4Be32(s + 4) == EXT4_JBD_SB_V1) {
    // The first version knows no feature words: written as the second, which can hold revokes.
    std::fill(s + JSB_COMPAT, s + 1024, u8{0});
    Ext4SetBe32(s + 4, EXT4_JBD_SB_V2);
  }
  u32 incompat = Ext4Be32(s + JSB_INCOMPAT);
  if (incompat & ~kWritableIncompat)
    return StayReadOnly(vol, "Das Journal des ext4-Dateisystems nutzt Eigenschaften, die nicht geschrieben werden "
                             "können; das Dateisystem wird schreibgeschützt eingebunden.");
  j->first = Ext4Be32(s + JSB_FIRST);
  j->last = Ext4Be32(s + JSB_MAXLEN);
  j->bs = fs.blockSize;
  if (j->last - j->first < 8) return EXT4_EIO;
  // Every log block must be mapped: a hole would put the log over block 0.
  j->phys.assign(j->last, 0);
  {
    Ext4InodeRef ref;
    if (Ext4InodeGet(&fs, j->jfs.inode, &ref)) return EXT4_EIO;
    for (u64 l = 0; l < j->last;) {
      u64 p = 0;
      u32 count = 0;
      if (Ext4InodeGetBlock(&ref, l, &p, &count) || p == 0 || p >= fs.blocksCount) {
        Ext4InodePut(&ref);
        return EXT4_EIO;
      }
      for (u32 k = 0; k < std::max<u32>(count, 1) && l < j->last; ++k, ++l) j->phys[l] = p + k;
    }
    Ext4InodePut(&ref);
  }
  incompat |= EXT4_JBD_INCOMPAT_REVOKE;
  if (fs.blocksCount > 0xFFFFFFFFull) incompat |= EXT4_JBD_INCOMPAT_64BIT;
  Ext4SetBe32(s + JSB_INCOMPAT, incompat);
  j->csum3 = (incompat & EXT4_JBD_INCOMPAT_CSUM_V3) && !(incompat & EXT4_JBD_INCOMPAT_CSUM_V2);
  j->csum23 = incompat & (EXT4_JBD_INCOMPAT_CSUM_V2 | EXT4_JBD_INCOMPAT_CSUM_V3);
  j->is64 = incompat & EXT4_JBD_INCOMPAT_64BIT;
  j->v1 = !j->csum23 && (Ext4Be32(s + JSB_COMPAT) & kCompatChecksum);
  j->tagBytes = j->csum3 ? 16 : 12 + ((incompat & EXT4_JBD_INCOMPAT_CSUM_V2) ? 2 : 0) - (j->is64 ? 0 : 4);
  j->seed = Ext4Crc32c(0xFFFFFFFF, s + JSB_UUID, 16);
  j->nextId = Ext4Be32(s + JSB_SEQUENCE);
  j->diskStart = j->head = j->first;

  // A session cut after its log was emptied but before RECOVER was cleared left stale counts.
  if (fs.incompat & EXT4_INCOMPAT_RECOVER)
    if (const int r = Ext4FsSumFreeCounts(vol->fs); r) return r;
  u8* sb = fs.sb.data();
  Ext4SetLe32(sb + EXT4_SB_FEATURE_INCOMPAT, Ext4Le32(sb + EXT4_SB_FEATURE_INCOMPAT) | EXT4_INCOMPAT_RECOVER);
  fs.incompat |= EXT4_INCOMPAT_RECOVER;
  if (const int r = Ext4FsWriteSuper(&fs); r) return r;
  // A stale first block could carry this session's first id: it is zeroed before the log points at it.
  std::vector<u8> zero(j->bs, 0);
  if (Ext4BlocksSetDirect(*vol->dev, zero.data(), j->phys[j->first], 1)) return EXT4_EIO;
  if (const int r = Ext4BlockdevSync(*vol->dev); r) return r;
  if (const int r = j->WriteSuper(j->first); r) return r;
  if (const int r = Ext4BlockdevSync(*vol->dev); r) return r;
  Ext4Journal* jp = j.get();
  if (vol->dev->cache) vol->dev->cache->keepCommitted = [jp](Ext4Buffer& b) { return jp->KeepCommitted(b); };
  vol->journal = std::move(j);
  return EXT4_OK;
}

int Ext4JournalStop(Ext4Volume* vol) {
  if (!vol) return EXT4_ENOENT;
  Ext4Journal* j = vol->journal.get();
  if (!j) return Ext4TransAbort(vol);  // an operation left open ends as failed
  if (j->cur) Ext4TransAbort(vol);
  if (j->aborted) {
    vol->journal.reset();
    return EXT4_EIO;
  }
  // Home and synced first; only then is the log empty, and only then the volume needs no recovery.
  int r = j->AllHome();
  if (r == EXT4_OK && j->homeFailed) r = EXT4_EIO;
  if (r == EXT4_OK) r = Ext4BlockdevSync(*vol->dev);
  if (r == EXT4_OK) r = j->WriteSuper(0);
  if (r == EXT4_OK) r = Ext4BlockdevSync(*vol->dev);
  vol->journal.reset();
  if (r) return r;
  Ext4Fs& fs = vol->fs;
  u8* sb = fs.sb.data();
  Ext4SetLe32(sb + EXT4_SB_FEATURE_INCOMPAT, Ext4Le32(sb + EXT4_SB_FEATURE_INCOMPAT) & ~u32{EXT4_INCOMPAT_RECOVER});
  fs.incompat &= ~u32{EXT4_INCOMPAT_RECOVER};
  if (const int w = Ext4FsWriteSuper(&fs); w) return w;
  return Ext4BlockdevSync(*vol->dev);
}

namespace {

// Without a journal an operation still ends whole or not at all: the metadata blocks it changes are
// held in memory (never written, never evicted) until it ends. Success releases them to be written;
// failure drops them, so that they are read again from the disk, which never saw the change.
// A block that a finished operation changed is written home before the next one may change it
// (see the cache's get), so the disk always holds what the last finished operation left.
constexpr std::size_t kPlainCap = 1024;  // blocks an operation that restarts holds at most

bool PlainMode(const Ext4Volume* vol) { return vol && !vol->journal && !vol->fs.readOnly; }

void SaveCounters(const Ext4Volume& vol, std::array<u8, 12>& out) {
  for (std::size_t i = 0; i < kCounters.size(); ++i) std::memcpy(out.data() + 4 * i, vol.fs.sb.data() + kCounters[i], 4);
}

void RestoreCounters(Ext4Volume& vol, const std::array<u8, 12>& in) {
  for (std::size_t i = 0; i < kCounters.size(); ++i) std::memcpy(vol.fs.sb.data() + kCounters[i], in.data() + 4 * i, 4);
}

int PlainEnd(Ext4Volume* vol, bool commit) {
  Ext4Volume::PlainTrans& t = vol->plain;
  if (!t.open) return EXT4_OK;
  Ext4BlockDevice& dev = *vol->dev;
  int first = EXT4_OK;
  for (Ext4Buffer* b : t.held) {
    b->flags &= ~EXT4_BUF_JHELD;
    const u64 addr = b->addr;
    if (commit && (b->flags & EXT4_BUF_DIRTY)) {
      b->flags |= EXT4_BUF_JCOMMITTED;
      Ext4BlockUnpin(dev, *b);
      if (const int r = Ext4BlockQueueWrite(dev, *b); r && first == EXT4_OK) first = r;
    } else {
      b->flags &= ~(EXT4_BUF_DIRTY | EXT4_BUF_JCOMMITTED);
      Ext4BlockUnpin(dev, *b);
      if (!commit) Ext4BlockCacheForget(dev, addr);
    }
  }
  t.held.clear();
  if (!commit) RestoreCounters(*vol, t.counters);
  t.open = false;
  return first;
}

}  // namespace

int Ext4TransStart(Ext4Volume* vol) {
  if (!vol) return EXT4_ENOENT;
  Ext4Journal* j = vol->journal.get();
  if (!j) {
    if (PlainMode(vol) && !vol->plain.open) {
      vol->plain.open = true;
      SaveCounters(*vol, vol->plain.counters);
    }
    return EXT4_OK;
  }
  if (j->aborted) return EXT4_EROFS;
  if (j->cur) return EXT4_OK;
  j->cur = std::make_unique<Trans>();
  j->cur->id = j->nextId;
  SaveCounters(*vol, j->cur->counters);
  return EXT4_OK;
}

int Ext4TransStop(Ext4Volume* vol) {
  if (!vol) return EXT4_ENOENT;
  Ext4Journal* j = vol->journal.get();
  if (!j) return PlainEnd(vol, true);
  if (!j->cur) return j->aborted ? EXT4_EROFS : EXT4_OK;
  if (const int failed = j->cur->failed; failed) {
    Ext4TransAbort(vol);
    return failed;
  }
  const int r = j->Commit();
  if (r == EXT4_ENOSPC) Ext4TransAbort(vol);
  return r;
}

int Ext4TransAbort(Ext4Volume* vol) {
  if (!vol) return EXT4_ENOENT;
  Ext4Journal* j = vol->journal.get();
  if (!j) return PlainEnd(vol, false);
  if (!j->cur) return EXT4_OK;
  Trans& t = *j->cur;
  int first = EXT4_OK;
  // Each block goes back to its last committed content: read again from home, which gets that
  // content first when it still waits in the log.
  std::vector<u64> addrs;
  for (auto& jb : t.bufs) addrs.push_back(jb->addr);
  while (!t.bufs.empty()) j->DropFromCurrent(t.bufs.back().get(), true);
  addrs.insert(addrs.end(), t.unlogged.begin(), t.unlogged.end());
  for (u64 a : addrs) {
    if (const int r = j->RecordHome(a); r && !first) first = r;
    Ext4BlockCacheForget(*vol->dev, a);
  }
  RestoreCounters(*vol, t.counters);
  j->cur.reset();
  return first;
}

int Ext4TransRestartIfFull(Ext4Volume* vol) {
  if (!vol) return EXT4_ENOENT;
  Ext4Journal* j = vol->journal.get();
  if (!j) {
    if (!vol->plain.open || vol->plain.held.size() < kPlainCap) return EXT4_OK;
    if (const int r = Ext4TransStop(vol); r) return r;
    return Ext4TransStart(vol);
  }
  if (!j->cur) return EXT4_OK;
  if (j->LogBlocks(j->cur->bufs.size(), j->cur->revokes.size()) < j->Cap()) return EXT4_OK;
  if (const int r = Ext4TransStop(vol); r) return r;
  return Ext4TransStart(vol);
}

bool Ext4TransRunning(Ext4Volume* vol) {
  return vol && (vol->journal ? vol->journal->cur != nullptr : vol->plain.open);
}

int Ext4TransSetBlockDirty(Ext4Fs* fs, Ext4Buffer& buf) {
  Ext4Journal* j = Running(fs);
  if (!j) {
    Ext4BlockMarkDirty(buf);
    Ext4Volume* vol = fs && fs->dev ? fs->dev->volume : nullptr;
    if (vol && vol->plain.open && !(buf.flags & EXT4_BUF_JHELD)) {
      ++buf.refs;  // held by the operation; the caller holds it too, so it is in no eviction order
      buf.flags |= EXT4_BUF_JHELD;
      vol->plain.held.push_back(&buf);
    }
    return EXT4_OK;
  }
  if (j->aborted) {
    // Nothing reaches the disk any more; the change is not kept either.
    buf.flags &= ~(EXT4_BUF_UPTODATE | EXT4_BUF_DIRTY);
    return EXT4_EROFS;
  }
  if (!j->cur) {
    // A change outside any operation still goes through the log, alone.
    Ext4Volume* vol = fs->dev->volume;
    if (const int r = Ext4TransStart(vol); r) return r;
    const int r = Ext4TransSetBlockDirty(fs, buf);
    const int c = Ext4TransStop(vol);
    return r ? r : c;
  }
  Trans& t = *j->cur;
  auto& rec = j->records[buf.addr];
  if (!rec.empty() && rec.back()->t == &t) {  // the running transaction's copy is always the newest
    buf.flags |= EXT4_BUF_DIRTY | EXT4_BUF_UPTODATE | EXT4_BUF_JHELD;
    return EXT4_OK;
  }
  // More than the whole log can take: the operation cannot be done in one transaction.
  if (j->LogBlocks(t.bufs.size() + 1, t.revokes.size()) + 1 > j->Capacity()) {
    if (rec.empty()) j->records.erase(buf.addr);
    t.failed = EXT4_ENOSPC;
    t.unlogged.push_back(buf.addr);
    return EXT4_ENOSPC;
  }
  auto jb = std::make_unique<JBuf>();
  jb->addr = buf.addr;
  jb->buf = &buf;
  jb->t = &t;
  rec.push_back(jb.get());
  t.bufs.push_back(std::move(jb));
  j->Pin(buf);
  j->Watch(buf);
  buf.flags |= EXT4_BUF_DIRTY | EXT4_BUF_UPTODATE | EXT4_BUF_JHELD;
  t.revokes.erase(buf.addr);  // logged again after it was freed: the new content replays
  return EXT4_OK;
}

int Ext4TransTryRevokeBlock(Ext4Fs* fs, u64 block) {
  if (!fs || !fs->dev) return EXT4_ENODEV;
  Ext4Journal* j = Running(fs);
  if (j && !j->cur && !j->aborted && j->records.count(block)) {
    // Freed outside any operation, yet still in the log: revoked in a transaction of its own.
    Ext4Volume* vol = fs->dev->volume;
    if (const int r = Ext4TransStart(vol); r) return r;
    const int r = Ext4TransTryRevokeBlock(fs, block);
    const int c = Ext4TransStop(vol);
    return r ? r : c;
  }
  if (j && j->cur) {
    Trans& t = *j->cur;
    if (auto it = j->records.find(block); it != j->records.end()) {
      JBuf* mine = it->second.back()->t == &t ? it->second.back() : nullptr;
      const bool older = it->second.size() > (mine ? 1u : 0u);
      if (mine) j->DropFromCurrent(mine, true);
      if (older) {
        // The older copy goes home first: until this revoke commits, a replay still writes it.
        if (const int r = j->RecordHome(block); r) return j->Abort(r);
        t.revokes.insert(block);
      }
    }
  }
  Ext4BlockCacheForget(*fs->dev, block);
  return EXT4_OK;
}
