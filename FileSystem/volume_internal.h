// What the parts of the volume file API share: resolved paths, engine lookup, names and result maps.
#pragma once

#include "FileSystem/fat_engine.h"
#include "FileSystem/volume_api.h"

#include <string>
#include <string_view>

namespace disk {

// The drive (1-based; 0 the drive list) of a path and the path inside it ("a/b", "" for the root),
// or a SysError.
int Resolve(const DiskDriveTable& table, const char* path, std::string& inside);

// The FAT engine object of a drive (0-based), or null.
FatVolume* Fat(DiskDriveTable& table, int drive);

std::u16string ToUtf16(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);

// A FAT engine result as a SysError.
int MapFat(int result);
// The attribute word of FAT attributes.
u32 FatAttributeWord(u8 attributes);
// A find record of a FAT entry.
void FatRecord(const FatEntryInfo& info, DiskFindRecord& record);

// Takes the first free slot after the one taken last; -1 when all are taken.
template <typename Slots, typename Used>
int TakeSlot(const Slots& slots, int& last, Used used) {
  const int count = static_cast<int>(slots.size());
  for (int i = 1; i <= count; ++i) {
    const int slot = (last + i) % count;
    if (!used(slots[static_cast<std::size_t>(slot)])) {
      last = slot;
      return slot;
    }
  }
  return -1;
}

}  // namespace disk
