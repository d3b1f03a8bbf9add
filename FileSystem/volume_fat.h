// The FAT engine as the file system of a drive.
#pragma once

#include "FileSystem/drive_table.h"
#include "FileSystem/fat_engine.h"

// The FAT volume of a drive: the engine object over the drive's sectors.
class FatVolume final : public DiskVolume, public FatFs {
 public:
  FatVolume(DiskDriveTable& table, int drive);
  void Unmount() override;

 private:
  DiskDriveDevice m_device;
};
