// An in-memory medium that counts its calls and fails on demand, and engines that mount on demand.
#pragma once

#include "FileSystem/Media/raw_disk.h"
#include "FileSystem/Volume/drive_table.h"
#include "platform/last_error.h"

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kpwtest {

// What a FakeMedium holds and did; the test keeps it beyond the medium's life. Sectors are kept
// sparsely, so a medium may be terabytes large.
struct FakeMediumState {
  u64 byteSize = 0;
  u32 sectorSize = 512;
  std::map<u64, std::array<u8, 512>> sectors;  // by 512-byte sector; absent ones read as zero
  int reads = 0, writes = 0, flushes = 0, closes = 0;
  std::vector<std::pair<u64, u32>> readLog;  // first sector and count of every read call
  int failReads = 0;   // so many next reads fail
  int failWrites = 0;  // so many next writes fail
  std::set<u64> badSectors;  // reads touching these always fail

  void Put(u64 sector, const void* data, std::size_t length) {
    const u8* p = static_cast<const u8*>(data);
    for (std::size_t done = 0; done < length; done += 512, ++sector) {
      std::array<u8, 512> s{};
      std::memcpy(s.data(), p + done, std::min<std::size_t>(512, length - done));
      sectors[sector] = s;
    }
  }
  std::array<u8, 512> Get(u64 sector) const {
    auto it = sectors.find(sector);
    return it == sectors.end() ? std::array<u8, 512>{} : it->second;
  }
};

class FakeMedium final : public RawMedium {
 public:
  FakeMedium(std::shared_ptr<FakeMediumState> state, bool disk, bool readOnly = false)
      : m_state(std::move(state)), m_disk(disk), m_readOnly(readOnly) {}

  bool ReadAt(u64 offset, void* data, std::size_t length) override {
    FakeMediumState& s = *m_state;
    ++s.reads;
    s.readLog.emplace_back(offset / 512, static_cast<u32>(length / 512));
    if (s.failReads > 0) {
      --s.failReads;
      return Fail(ERROR_IO_DEVICE);
    }
    if (offset + length > s.byteSize) return Fail(ERROR_HANDLE_EOF);
    for (u64 i = 0; i < length / 512; ++i)
      if (s.badSectors.count(offset / 512 + i)) return Fail(ERROR_CRC);
    u8* out = static_cast<u8*>(data);
    for (u64 i = 0; i < length / 512; ++i) std::memcpy(out + i * 512, s.Get(offset / 512 + i).data(), 512);
    return true;
  }
  bool WriteAt(u64 offset, const void* data, std::size_t length) override {
    FakeMediumState& s = *m_state;
    ++s.writes;
    if (m_readOnly) return Fail(ERROR_WRITE_PROTECT);
    if (s.failWrites > 0) {
      --s.failWrites;
      return Fail(ERROR_IO_DEVICE);
    }
    if (offset + length > s.byteSize) return Fail(ERROR_INVALID_PARAMETER);
    s.Put(offset / 512, data, length);
    return true;
  }
  bool Flush() override {
    ++m_state->flushes;
    return true;
  }
  bool Close() override {
    ++m_state->closes;
    return Flush();
  }
  u64 ByteSize() const override { return m_state->byteSize; }
  u32 SectorSize() const override { return m_state->sectorSize; }
  bool IsDisk() const override { return m_disk; }
  bool ReadOnly() const override { return m_readOnly; }

 private:
  static bool Fail(DWORD code) {
    SetLastError(code);
    return false;
  }
  std::shared_ptr<FakeMediumState> m_state;
  bool m_disk;
  bool m_readOnly;
};

// What FakeEngines did.
struct FakeEngineLog {
  std::vector<int> mounted;    // drive indexes, in order
  std::vector<int> unmounted;  // drive indexes, in order
};

// Mounts every volume whose type is not in failTypes; each mounted volume logs its unmount.
class FakeEngines final : public DiskEngines {
 public:
  std::shared_ptr<FakeEngineLog> log = std::make_shared<FakeEngineLog>();
  std::set<u8> failTypes;

  std::unique_ptr<DiskVolume> Mount(DiskDriveTable& table, int drive) override {
    if (failTypes.count(table.fsType[drive])) return nullptr;
    log->mounted.push_back(drive);
    return std::make_unique<Volume>(log, drive);
  }

 private:
  class Volume final : public DiskVolume {
   public:
    Volume(std::shared_ptr<FakeEngineLog> log, int drive) : m_log(std::move(log)), m_drive(drive) {}
    void Unmount() override { m_log->unmounted.push_back(m_drive); }

   private:
    std::shared_ptr<FakeEngineLog> m_log;
    int m_drive;
  };
};

}  // namespace kpwtest
