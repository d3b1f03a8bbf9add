// FAT folder indexes: names, short names in use and where free entries may be, of the folders used last.
#include "FileSystem/Fat/fat_internal.h"
#include "lib/text/upcase.h"

#include <algorithm>
#include <cstring>

namespace fat {

namespace {

// Enough for the folders of a path and a few besides.
constexpr std::size_t kKeptIndexes = 16;

bool IsLongEntry(const u8* e) { return (e[DIR_ATTR] & 0x3F) == FAT_ATTR_LONG_NAME; }

int Build(FatFs& v, DirIndex& index) {
  FatDirCursor cur;
  if (const int r = DirRewind(v, cur, index.start)) return r;
  for (;;) {
    u8* e = nullptr;
    if (const int r = DirEntry(v, cur, &e)) return r;
    const bool free = e[0] == 0 || e[0] == kDeleted;
    if (free && !index.hintValid) {
      index.hint = cur;
      index.hintValid = true;
      index.hintInclusive = true;
    }
    if (e[0] == 0) break;
    if (!free && !IsLongEntry(e)) {
      FatShortName n;
      std::memcpy(n.data(), e, 11);
      index.shorts.insert(n);
    }
    const int r = DirNext(v, cur, false);
    if (r == FAT_NO_FILE) {
      if (!index.hintValid) {
        index.hint = cur;  // every entry is taken: new ones go behind the last
        index.hintValid = true;
        index.hintInclusive = false;
      }
      break;
    }
    if (r) return r;
  }
  if (const int r = DirRewind(v, cur, index.start)) return r;
  for (;;) {
    FatEntryInfo info;
    const int r = DirRead(v, cur, info, false);
    if (r == FAT_NO_FILE) return FAT_OK;
    if (r) return r;
    const u32 slot = static_cast<u32>(index.entries.size());
    // The first of equal names wins, as a search from the start would find it.
    if (!info.longName.empty()) index.byName.emplace(Upper(info.longName), slot);
    index.byName.emplace(Upper(info.shortName), slot);
    const bool folder = info.attributes & FAT_ATTR_DIRECTORY;
    index.entries.push_back(
        {info.first, info.entry, std::move(info.longName), std::move(info.shortName), folder, info.firstCluster});
  }
}

}  // namespace

std::u16string Upper(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) c = EncUpcase(c);
  return out;
}

DirIndex* KeptIndex(FatFs& v, u32 start) {
  if (v.indexMountId != v.mountId) {
    v.indexes.clear();
    v.indexMountId = v.mountId;
  }
  for (auto it = v.indexes.begin(); it != v.indexes.end(); ++it) {
    if ((*it)->start != start) continue;
    // The latest at the back: the one used longest ago goes first.
    std::rotate(it, it + 1, v.indexes.end());
    return v.indexes.back().get();
  }
  return nullptr;
}

DirIndex* IndexOf(FatFs& v, u32 start, int& r) {
  r = FAT_OK;
  if (DirIndex* kept = KeptIndex(v, start)) return kept;
  auto index = std::make_unique<DirIndex>();
  index->start = start;
  if ((r = Build(v, *index)) != FAT_OK) return nullptr;
  if (v.indexes.size() >= kKeptIndexes) v.indexes.erase(v.indexes.begin());
  v.indexes.push_back(std::move(index));
  return v.indexes.back().get();
}

void DropIndex(FatFs& v, u32 start) {
  v.indexes.erase(std::remove_if(v.indexes.begin(), v.indexes.end(),
                                 [start](const std::unique_ptr<DirIndex>& i) { return i->start == start; }),
                  v.indexes.end());
}

}  // namespace fat
