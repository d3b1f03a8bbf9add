// What the parts of the volume file API and its engines' bindings share: resolved paths, names, slots.
#pragma once

#include "FileSystem/Volume/volume_api.h"

#include <string>
#include <string_view>

namespace disk {

// The drive (1-based; 0 the drive list) of a path and the path inside it ("a/b", "" for the root),
// or a SysError.
int Resolve(const DiskDriveTable& table, const char* path, std::string& inside);

std::u16string ToUtf16(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);

// A record's name, cut to what it holds.
void SetRecordName(DiskFindRecord& record, std::string_view name);

// What must hold before a name goes, where the engine checks it by the entry's status: the entry
// itself (not a link's target) is there, a folder other than the root (or no folder), on a
// writable drive.
int CheckRemoval(DiskVolume& volume, const std::string& inside, bool folder, bool readOnly);

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
