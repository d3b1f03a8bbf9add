// The program's file-system engines as the drive table mounts them, one binding per type.
#include "FileSystem/drive_table.h"
#include "FileSystem/ext4_drive.h"

namespace {

class ProgramEngines final : public DiskEngines {
 public:
  std::unique_ptr<DiskVolume> Mount(DiskDriveTable& table, int drive) override {
    switch (table.fsType[drive]) {
      case DISK_TYPE_EXT4: return Ext4DriveVolume::Mount(table, drive);
      // No engine is bound yet: FAT and exFAT volumes stay listed without a file system.
      default: return nullptr;
    }
  }
};

}  // namespace

DiskEngines& DiskProgramEngines() {
  static ProgramEngines engines;
  return engines;
}
