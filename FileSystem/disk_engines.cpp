// The program's file-system engines as the drive table mounts them, one binding per type.
#include "FileSystem/drive_table.h"
#include "FileSystem/fat_engine.h"

namespace {

class ProgramEngines final : public DiskEngines {
 public:
  std::unique_ptr<DiskVolume> Mount(DiskDriveTable& table, int drive) override {
    switch (table.fsType[drive]) {
      // The FAT volume itself is read at its first operation, so registering never fails.
      case DISK_TYPE_FAT: return std::make_unique<FatVolume>(table, drive);
      // exFAT and ext4 volumes stay listed without a file system until their engines exist.
      default: return nullptr;
    }
  }
};

}  // namespace

DiskEngines& DiskProgramEngines() {
  static ProgramEngines engines;
  return engines;
}
