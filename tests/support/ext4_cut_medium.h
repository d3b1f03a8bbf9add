// A recording medium for crash tests: an image in memory, a log of every write and sync, and the images a cut would leave.
#pragma once

#include "FileSystem/Ext4/ext4_blockdev.h"
#include "FileSystem/Media/raw_disk.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace kpwtest {

// One logged write: where it went and what it carried. syncsBefore counts the syncs logged before it.
struct CutWrite {
  u64 offset = 0;
  std::vector<u8> bytes;
  std::size_t syncsBefore = 0;
};

// What the medium holds and did; the test keeps it beyond the medium's life. Writes are numbered
// from 0 in the order they arrived; "the first n writes" are those numbered below n.
struct CutRecorder {
  std::vector<u8> baseline;  // the image when recording began
  std::vector<u8> image;     // the image now
  std::vector<CutWrite> writes;
  std::vector<std::size_t> syncs;  // per sync: the number of writes logged before it
  u32 sectorSize = 512;
  // Write number failAt (counted over every write call, failed ones too) and the failCount - 1
  // after it fail without changing anything; a negative failAt fails nothing.
  long long failAt = -1;
  long long failCount = 1;
  long long calls = 0;  // write calls so far
  std::vector<long long> failed;  // the numbers of the calls that failed

  // An image from a file, recording from its content on.
  static std::shared_ptr<CutRecorder> FromFile(const std::string& path) {
    auto r = std::make_shared<CutRecorder>();
    std::ifstream in(path, std::ios::binary);
    r->image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    r->baseline = r->image;
    return r;
  }

  // The image now becomes the baseline, and the log starts empty (a new session to cut).
  void Rebase() {
    baseline = image;
    writes.clear();
    syncs.clear();
    calls = 0;
    failed.clear();
  }

  bool Write(u64 offset, const void* data, std::size_t length) {
    const long long call = calls++;
    if (failAt >= 0 && call >= failAt && call < failAt + failCount) {
      failed.push_back(call);
      return false;
    }
    if (offset + length > image.size()) return false;
    const u8* p = static_cast<const u8*>(data);
    std::memcpy(image.data() + offset, p, length);
    writes.push_back(CutWrite{offset, std::vector<u8>(p, p + length), syncs.size()});
    return true;
  }
  bool Read(u64 offset, void* data, std::size_t length) const {
    if (offset + length > image.size()) return false;
    std::memcpy(data, image.data() + offset, length);
    return true;
  }
  void Sync() { syncs.push_back(writes.size()); }

  // The baseline with the first n writes, and of write n (when there is one) its first torn
  // sectors only.
  std::vector<u8> Prefix(std::size_t n, std::size_t torn = 0) const {
    std::vector<u8> out = baseline;
    n = std::min(n, writes.size());
    for (std::size_t i = 0; i < n; ++i) Apply(out, writes[i], writes[i].bytes.size());
    if (torn && n < writes.size()) Apply(out, writes[n], std::min<std::size_t>(torn * sectorSize, writes[n].bytes.size()));
    return out;
  }
  // A cut after the first n writes, before the sync that may follow them: the writes before the
  // last sync issued before write n - 1 arrived, and of those after it a seeded random choice (the
  // device may have done them in any order); *epoch receives that sync's place.
  std::vector<u8> PrefixShuffled(std::size_t n, u64 seed, std::size_t* epoch = nullptr) const {
    n = std::min(n, writes.size());
    std::size_t s = 0;
    for (std::size_t x : syncs)
      if (x < n) s = std::max(s, x);
    if (epoch) *epoch = s;
    std::vector<u8> out = baseline;
    std::mt19937_64 rng(seed);
    for (std::size_t i = 0; i < n; ++i)
      if (i < s || (rng() >> 63)) Apply(out, writes[i], writes[i].bytes.size());
    return out;
  }

  // The first n writes, except that the sectors [from, to) of write w never arrived (a torn block
  // inside a write that the device reported done).
  std::vector<u8> PrefixLosing(std::size_t n, std::size_t w, std::size_t from, std::size_t to) const {
    std::vector<u8> out = baseline;
    for (std::size_t i = 0; i < std::min(n, writes.size()); ++i) {
      const CutWrite& x = writes[i];
      if (i != w) {
        Apply(out, x, x.bytes.size());
        continue;
      }
      const std::size_t a = std::min(from * sectorSize, x.bytes.size()), b = std::min(to * sectorSize, x.bytes.size());
      std::memcpy(out.data() + x.offset, x.bytes.data(), a);
      std::memcpy(out.data() + x.offset + b, x.bytes.data() + b, x.bytes.size() - b);
    }
    return out;
  }
  bool SavePrefix(const std::string& path, std::size_t n, std::size_t torn = 0) const {
    return SaveImage(path, Prefix(n, torn));
  }
  bool SaveCurrent(const std::string& path) const { return SaveImage(path, image); }

  // The file system's block size, from the ext4 superblock of the baseline (0 when there is none).
  u32 BlockSize() const {
    if (baseline.size() < 2048 || Ext4Le16(&baseline[1024 + 56]) != 0xEF53) return 0;
    return 1024u << Ext4Le32(&baseline[1024 + 24]);
  }

  // Journal blocks by type (1 descriptor, 2 commit, 3 and 4 journal superblock, 5 revoke): the
  // numbers of the writes that carry a block-aligned block beginning with the journal magic and
  // the type.
  std::vector<std::size_t> WritesOfJournalType(std::initializer_list<u32> types) const {
    std::vector<std::size_t> out;
    const u32 bs = BlockSize();
    if (!bs) return out;
    for (std::size_t i = 0; i < writes.size(); ++i) {
      const CutWrite& w = writes[i];
      for (u64 at = (w.offset + bs - 1) / bs * bs; at + 12 <= w.offset + w.bytes.size(); at += bs) {
        const u8* b = w.bytes.data() + (at - w.offset);
        if (Ext4Be32(b) != 0xC03B3998u) continue;
        if (std::find(types.begin(), types.end(), Ext4Be32(b + 4)) != types.end()) {
          out.push_back(i);
          break;
        }
      }
    }
    return out;
  }
  std::vector<std::size_t> CommitWrites() const { return WritesOfJournalType({2}); }
  std::vector<std::size_t> JournalSuperWrites() const { return WritesOfJournalType({3, 4}); }
  // The transaction id of a commit write's commit block (0 when it has none).
  u32 CommitId(std::size_t n) const {
    const u32 bs = BlockSize();
    const CutWrite& w = writes.at(n);
    for (u64 at = (w.offset + bs - 1) / bs * bs; at + 12 <= w.offset + w.bytes.size(); at += bs) {
      const u8* b = w.bytes.data() + (at - w.offset);
      if (Ext4Be32(b) == 0xC03B3998u && Ext4Be32(b + 4) == 2) return Ext4Be32(b + 8);
    }
    return 0;
  }

  // Writes an image file, leaving runs of zeros as holes (images are mostly empty).
  static bool SaveImage(const std::string& path, const std::vector<u8>& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
    constexpr std::size_t kChunk = 65536;
    static const std::vector<u8> zeros(kChunk, 0);
    for (std::size_t at = 0; ok && at < bytes.size(); at += kChunk) {
      const std::size_t n = std::min(kChunk, bytes.size() - at);
      if (std::memcmp(bytes.data() + at, zeros.data(), n) == 0) continue;
      ok = ::pwrite(fd, bytes.data() + at, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    }
    return ::close(fd) == 0 && ok;
  }

 private:
  static void Apply(std::vector<u8>& out, const CutWrite& w, std::size_t length) {
    std::memcpy(out.data() + w.offset, w.bytes.data(), length);
  }
};

// The recorder as a medium of the drive table (an image file: no sector cache in between).
class CutMedium final : public RawMedium {
 public:
  explicit CutMedium(std::shared_ptr<CutRecorder> rec) : m_rec(std::move(rec)) {}
  bool ReadAt(u64 offset, void* data, std::size_t length) override {
    return m_rec->Read(offset, data, length) || Fail(ERROR_HANDLE_EOF);
  }
  bool WriteAt(u64 offset, const void* data, std::size_t length) override {
    return m_rec->Write(offset, data, length) || Fail(ERROR_IO_DEVICE);
  }
  bool Flush() override {
    m_rec->Sync();
    return true;
  }
  bool Close() override { return true; }
  u64 ByteSize() const override { return m_rec->image.size(); }
  u32 SectorSize() const override { return m_rec->sectorSize; }
  bool IsDisk() const override { return false; }
  bool ReadOnly() const override { return false; }

 private:
  static bool Fail(DWORD code) {
    SetLastError(code);
    return false;
  }
  std::shared_ptr<CutRecorder> m_rec;
};

// The recorder as the engine's block device (512-byte physical blocks).
class CutDevice {
 public:
  explicit CutDevice(std::shared_ptr<CutRecorder> rec) : m_rec(std::move(rec)) {
    m_dev.physBlockCount = m_rec->image.size() / 512;
    m_dev.open = [](Ext4BlockDevice& d) { return Ext4BlockdevOpen(d); };
    m_dev.read = [this](Ext4BlockDevice&, void* buf, u64 block, u32 count) {
      return m_rec->Read(block * 512, buf, std::size_t{count} * 512) ? 0 : EXT4_EIO;
    };
    m_dev.write = [this](Ext4BlockDevice&, const void* buf, u64 block, u32 count) {
      return m_rec->Write(block * 512, buf, std::size_t{count} * 512) ? 0 : EXT4_EIO;
    };
    m_dev.close = [](Ext4BlockDevice&) { return 0; };
    m_dev.sync = [this](Ext4BlockDevice&) {
      m_rec->Sync();
      return 0;
    };
  }
  CutDevice(const CutDevice&) = delete;
  CutDevice& operator=(const CutDevice&) = delete;

  Ext4BlockDevice* dev() { return &m_dev; }

 private:
  std::shared_ptr<CutRecorder> m_rec;
  Ext4BlockDevice m_dev;
};

}  // namespace kpwtest
