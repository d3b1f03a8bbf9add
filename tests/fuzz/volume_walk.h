// What the volume fuzz targets share: arbitrary bytes as an image, and a bounded walk that lists every folder and reads every file.
#pragma once

#include "FileSystem/Volume/drive_table.h"
#include "FileSystem/Volume/volume_api.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzwalk {

constexpr u32 kAttach = DISK_ATTACH_CLEAR | DISK_ATTACH_DROP_UNMOUNTABLE | DISK_ATTACH_FIXED_DRIVE;

// Lists folder and everything below it (links to folders are not entered) and reads each file.
void Walk(DiskDriveTable& table, const std::string& folder, int depth, int& seen);

// The input as a file of its own (-1 when it cannot be made); the caller closes it.
int ImageOf(const char* name, const std::uint8_t* data, std::size_t size);
std::string PathOf(int fd);

// A writable volume: walked read-only first (which must stay read-only), then written on:
// folders made, a file grown, renamed and removed, and walked again.
int WalkAndWrite(const char* name, const std::uint8_t* data, std::size_t size);

}  // namespace fuzzwalk
