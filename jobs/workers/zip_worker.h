// The packing half of the "Zip" worker, for the "Shrink" worker's archive copies.
#pragma once

#include "jobs/worker.h"

#include <string>
#include <string_view>
#include <vector>

// Packs args.source into the archive args.target as a "Zip" row does, also when the source
// itself ends in ".zip" (a folder of that name). args.extra: the folder inside the archive, then
// ";" and the excluded folders.
int ZipPackRow(JobContext& ctx, const JobArgs& args);

// The extra cell of packing: the text before the first ";" names the folder inside the archive,
// the rest behind it lists the excluded folders.
struct ZipExtra {
  std::string_view folder;
  std::string_view excluded;
};
ZipExtra ZipSplitExtra(std::string_view cell);
// The folder inside the archive from its text (at most 260 characters of it): "/" separators, no
// empty or "." steps. False for a ".." step, which would name a place outside wherever the
// archive is unpacked.
bool ZipArchiveFolder(std::string_view text, std::string& out);
// The cell that ZipSplitExtra reads back as folder and excluded folders: the folder, then each
// non-empty excluded folder behind ";".
std::string ZipFormatExtra(std::string_view folder, const std::vector<std::string>& excluded);
