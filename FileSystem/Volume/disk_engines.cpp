// The program's file-system engines as the drive table mounts them, one binding per type.
#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_exfat.h"
#include "FileSystem/Volume/volume_ext4.h"
#include "FileSystem/Volume/volume_fat.h"

namespace {

class ProgramEngines final : public DiskEngines {
 public:
  std::unique_ptr<DiskVolume> Mount(DiskDriveTable& table, int drive) override {
    switch (table.fsType[drive]) {
      // The FAT volume itself is read at its first operation, so registering never fails.
      case DISK_TYPE_FAT: return std::make_unique<FatVolume>(table, drive);
      case DISK_TYPE_EXT4: return Ext4DriveVolume::Mount(table, drive);
      // exFAT is mounted now: a volume that fails its checks is not served.
      case DISK_TYPE_EXFAT: {
        auto volume = std::make_unique<ExfatVolume>(table, drive);
        const bool readOnly = (table.access[drive] & 1) != 0;
        if (ExfatMount(*volume, table, drive, readOnly ? "noatime,ro" : "noatime")) return nullptr;
        return volume;
      }
      default: return nullptr;
    }
  }
};

}  // namespace

DiskEngines& DiskProgramEngines() {
  static ProgramEngines engines;
  return engines;
}
