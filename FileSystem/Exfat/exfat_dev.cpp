// exFAT device layer: byte reads and writes over the sector device with one write-back sector.
#include "FileSystem/Exfat/exfat_engine.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr u64 kSector = 512;
constexpr u64 kNone = ~u64{0};

int WriteBack(ExfatDev& dev) {
  if (!dev.dirty) return 0;
  if (dev.device->Write(dev.buffer.data(), dev.sector, 1) != DISK_OK) return EXFAT_EIO;
  dev.dirty = false;
  return 0;
}

int Load(ExfatDev& dev, u64 sector) {
  if (dev.sector == sector) return 0;
  if (WriteBack(dev)) return EXFAT_EIO;
  if (dev.device->Read(dev.buffer.data(), sector, 1) != DISK_OK) {
    dev.sector = kNone;
    return EXFAT_EIO;
  }
  dev.sector = sector;
  return 0;
}

}  // namespace

int ExfatDevOpen(ExfatDev& dev, DiskSectorDevice& device, int mode) {
  const int status = device.Status();
  if (status & 1) return EXFAT_EIO;
  const bool driveReadOnly = (status & 4) != 0;
  if (mode == 1 && driveReadOnly) return EXFAT_EACCES;
  dev = ExfatDev{};
  dev.device = &device;
  dev.readOnly = mode == 0 || driveReadOnly;
  return 0;
}

int ExfatDevClose(ExfatDev& dev) {
  const int r = dev.device ? WriteBack(dev) : 0;
  dev.device = nullptr;
  dev.sector = kNone;
  return r;
}

int ExfatDevFsync(ExfatDev& dev) {
  if (WriteBack(dev)) return EXFAT_EIO;
  return dev.device->Ioctl(DISK_IOCTL_SYNC, nullptr) == DISK_OK ? 0 : EXFAT_EIO;
}

bool ExfatDevIsReadOnly(const ExfatDev& dev) { return dev.readOnly; }

u64 ExfatDevSize(const ExfatDev& dev) { return dev.device->SectorCount() * kSector; }

i64 ExfatDevPread(ExfatDev& dev, void* buffer, u64 size, u64 offset) {
  auto* out = static_cast<u8*>(buffer);
  u64 done = 0;
  while (done < size) {
    const u64 at = offset + done;
    const u64 sector = at / kSector;
    const u64 within = at % kSector;
    const u64 left = size - done;
    if (within == 0 && left >= kSector) {
      // Whole sectors go straight to the medium, the buffered one written first when it lies among them.
      const u64 count = std::min<u64>(left / kSector, 1u << 16);
      if (dev.sector == sector && count == 1) {
        std::memcpy(out + done, dev.buffer.data(), kSector);
      } else {
        if (dev.dirty && dev.sector >= sector && dev.sector < sector + count && WriteBack(dev)) return EXFAT_EIO;
        if (dev.device->Read(out + done, sector, static_cast<u32>(count)) != DISK_OK) return EXFAT_EIO;
      }
      done += count * kSector;
      continue;
    }
    if (Load(dev, sector)) return EXFAT_EIO;
    const u64 n = std::min(left, kSector - within);
    std::memcpy(out + done, dev.buffer.data() + within, n);
    done += n;
  }
  return static_cast<i64>(done);
}

i64 ExfatDevPwrite(ExfatDev& dev, const void* buffer, u64 size, u64 offset) {
  if (dev.readOnly) return EXFAT_EIO;
  const auto* in = static_cast<const u8*>(buffer);
  u64 done = 0;
  while (done < size) {
    const u64 at = offset + done;
    const u64 sector = at / kSector;
    const u64 within = at % kSector;
    const u64 left = size - done;
    if (within == 0 && left >= kSector) {
      const u64 count = std::min<u64>(left / kSector, 1u << 16);
      // The medium sees the writes in the order they were made: a crash then leaves a state the
      // engine passed through (a bitmap block never overtakes the entry set written before it).
      const bool buffered = dev.sector >= sector && dev.sector < sector + count;
      if (dev.dirty && !buffered && WriteBack(dev)) return EXFAT_EIO;
      if (dev.device->Write(in + done, sector, static_cast<u32>(count)) != DISK_OK) return EXFAT_EIO;
      if (buffered) {
        // The buffered sector takes what was just written and is clean again.
        std::memcpy(dev.buffer.data(), in + done + (dev.sector - sector) * kSector, kSector);
        dev.dirty = false;
      }
      done += count * kSector;
      continue;
    }
    if (Load(dev, sector)) return EXFAT_EIO;
    const u64 n = std::min(left, kSector - within);
    std::memcpy(dev.buffer.data() + within, in + done, n);
    dev.dirty = true;
    done += n;
  }
  return static_cast<i64>(done);
}
