// Block devices as the kernel shows them: their sysfs entries (partitions, starts, sizes) and the mount table.
#pragma once

#include "lib/system/sys_fd.h"
#include "platform/win_types.h"

#include <string>
#include <vector>

// One block device; sectors count 512 bytes, as sysfs counts them.
struct DrvBlockDevice {
  u64 device = 0;     // the device number (dev_t)
  std::string name;   // the kernel's name ("sdb1", "loop0p1"), also its node under /dev
  u32 partition = 0;  // its number on the disk; 0 for a whole disk
  u64 start = 0;      // first sector on the disk (partitions)
  u64 size = 0;       // sectors
  u64 disk = 0;       // the whole disk of a partition; the device itself for a disk
};

// The device of a number; false when sysfs does not know it.
bool DrvDescribeDevice(u64 device, DrvBlockDevice* out);
// The partitions of a whole disk, by number (none for a partition or an unknown device).
std::vector<DrvBlockDevice> DrvPartitionsOf(u64 disk);
// Every block device the kernel lists that holds sectors, by name.
std::vector<DrvBlockDevice> DrvBlockDevices();

// One line of this process's mount table.
struct DrvMount {
  u64 device = 0;          // of the mounted file system
  std::string root;        // the folder of that file system mounted ("/" for the whole)
  std::string mountPoint;  // where
  std::string fsType;
};
std::vector<DrvMount> DrvMounts();

// Opens the folder where the device's whole file system is mounted, read-only: the first mount of
// root "/" whose folder still shows that file system (not one mounted over it). An invalid
// descriptor when there is none; with fsType and mountPoint, the mount's.
SysFd DrvOpenMountRoot(u64 device, std::string* fsType = nullptr, std::string* mountPoint = nullptr);

// The names in a folder (without "." and ".."), sorted; none when it cannot be read.
std::vector<std::string> DrvFolderEntries(const std::string& dir);

// The /dev node of a device ("/dev/sdb1"); empty when its name cannot be one.
std::string DrvDeviceNode(const DrvBlockDevice& device);

// The /dev node of a device, checked to be that device; invalid when there is none. Read-only,
// never blocking and never exclusive.
SysFd DrvOpenDeviceNode(const DrvBlockDevice& device);
