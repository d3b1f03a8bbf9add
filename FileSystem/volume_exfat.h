// The exFAT engine as the file system of a drive.
#pragma once

#include "FileSystem/drive_table.h"
#include "FileSystem/exfat_engine.h"

// The exFAT volume of a drive: the engine object over the drive's sectors; it unmounts when it goes.
class ExfatVolume final : public DiskVolume, public ExfatFs {
 public:
  ExfatVolume(DiskDriveTable& table, int drive);
  ~ExfatVolume() override;
  // Closes what is open and unmounts.
  void Unmount() override;

 private:
  friend int ExfatMount(ExfatVolume& v, DiskDriveTable& table, int drive, const char* options);
  DiskDriveDevice m_device;
};

// Mounts the exFAT volume of the drive with the engine's options: 0 or the engine's result.
int ExfatMount(ExfatVolume& v, DiskDriveTable& table, int drive, const char* options);
