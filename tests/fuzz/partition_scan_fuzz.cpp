// libFuzzer target: arbitrary bytes attached as a disk image (partition scan, sector I/O) and read as Partitions.txt.
#include "FileSystem/Media/partitions.h"
#include "FileSystem/Volume/drive_table.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("disk", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  DiskPartitionRecord record;
  if (DiskReadPartitionsFile(path.c_str(), record) != 0) __builtin_trap();

  // The last byte picks one partition now and then, as a URL's port does.
  const u32 selector = size && data[size - 1] < 24 ? data[size - 1] : DISK_ALL_PARTITIONS;
  DiskDriveTable table;
  const int drives = DiskAttach(table, path.c_str(), DISK_ATTACH_READ_ONLY, nullptr, selector);
  if (drives == 0 && table.message.empty()) __builtin_trap();  // a failure always has its text
  std::vector<std::uint8_t> sector(512);
  for (int d = 0; d < DISK_MAX_DRIVES; ++d) {
    if (table.fsType[d] == DISK_TYPE_FREE) continue;
    const u64 count = table.sectorCount[d];
    if (table.startSector[d] + count > size / 512) __builtin_trap();  // never past the image
    if (count && DiskRead(table, d, sector.data(), count - 1, 1) != DISK_OK) __builtin_trap();
    if (DiskRead(table, d, sector.data(), count, 1) != DISK_ERROR) __builtin_trap();
    if (DiskWrite(table, d, sector.data(), 0, 1) != DISK_WRITE_PROTECTED) __builtin_trap();
  }
  // A second scan of the same container with the file's descriptions adds nothing that overlaps.
  if (drives) DiskScanPartitions(table, 0, DISK_ALL_PARTITIONS, false, record);
  DiskDetach(table, 0);
  ::close(fd);
  return 0;
}
