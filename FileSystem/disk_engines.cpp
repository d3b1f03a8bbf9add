// The program's file-system engines as the drive table mounts them, one binding per type.
#include "FileSystem/drive_table.h"

namespace {

class ProgramEngines final : public DiskEngines {
 public:
  std::unique_ptr<DiskVolume> Mount(DiskDriveTable& table, int drive) override {
    switch (table.fsType[drive]) {
      // No engine is bound yet: FAT, exFAT and ext4 volumes stay listed without a file system.
      default: return nullptr;
    }
  }
};

}  // namespace

DiskEngines& DiskProgramEngines() {
  static ProgramEngines engines;
  return engines;
}
