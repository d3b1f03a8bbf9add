// exFAT nodes: entry sets read into the tree, lookups, references, flushing, trimming and directory iteration.
#include "FileSystem/Exfat/exfat_internal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace exfat {

namespace {

// The node of the file entry set at entry index i of a directory's bytes; -5 for a broken set.
int ParseSet(ExfatFs& v, const u8* d, std::size_t count, std::size_t i, std::unique_ptr<ExfatNode>& out) {
  const u8* file = d + i * kEntry;
  const u32 secondary = file[FILE_SECONDARY_COUNT];
  if (secondary < 2 || secondary > kMaxSecondary || i + secondary >= count) return EXFAT_EIO;
  if (ExfatSetChecksum(file, secondary + 1) != Le16(file + FILE_CHECKSUM)) return EXFAT_EIO;
  const u8* stream = file + kEntry;
  if (stream[0] != ENTRY_STREAM) return EXFAT_EIO;
  const u32 length = stream[STREAM_NAME_LENGTH];
  const u32 nameEntries = (length + kNameUnits - 1) / kNameUnits;
  if (length == 0 || nameEntries > secondary - 1) return EXFAT_EIO;
  auto node = std::make_unique<ExfatNode>();
  for (u32 k = 0; k + 1 < secondary; ++k) {
    const u8* e = stream + (k + 1) * kEntry;
    if (k < nameEntries) {
      if (e[0] != ENTRY_NAME) return EXFAT_EIO;
      for (u32 u = 0; u < kNameUnits && node->name.size() < length; ++u)
        node->name.push_back(static_cast<char16_t>(Le16(e + NAME_UNITS + 2 * u)));
    } else if ((e[0] & ENTRY_IN_USE) && !(e[0] & ENTRY_BENIGN)) {
      return EXFAT_EIO;  // a critical secondary this engine does not know
    }
  }
  node->flags = Le16(file + FILE_ATTRIBUTES) & 0xFFFF;
  if (stream[STREAM_FLAGS] & STREAM_NO_FAT_CHAIN) node->flags |= EXFAT_NODE_CONTIGUOUS;
  node->firstCluster = Le32(stream + STREAM_CLUSTER);
  node->size = Le64(stream + STREAM_LENGTH);
  node->validSize = Le64(stream + STREAM_VALID_LENGTH);
  const u64 clusters = ClustersFor(v, node->size);
  if (node->validSize > node->size || clusters > v.clusterCount) return EXFAT_EIO;
  if (node->IsDir() && node->size > kMaxDirectory) return EXFAT_EIO;
  if (clusters && !IsCluster(v, node->firstCluster)) return EXFAT_EIO;
  if (clusters && (node->flags & EXFAT_NODE_CONTIGUOUS) && node->firstCluster - 2 + clusters > v.clusterCount)
    return EXFAT_EIO;
  if (!clusters) node->firstCluster = 0;
  node->ctime = ExfatStampTime(Le32(file + FILE_CREATE), file[FILE_CREATE_CS], file[FILE_CREATE_UTC]);
  node->mtime = ExfatStampTime(Le32(file + FILE_MODIFY), file[FILE_MODIFY_CS], file[FILE_MODIFY_UTC]);
  node->atime = ExfatStampTime(Le32(file + FILE_ACCESS), 0, file[FILE_ACCESS_UTC]);
  node->entryOffset = i * kEntry;
  node->entryCount = secondary + 1;
  out = std::move(node);
  return 0;
}

// The entries of a new set for the node: file, stream, names.
std::vector<u8> BuildSet(const ExfatFs& v, const ExfatNode& node) {
  const u32 names = static_cast<u32>((node.name.size() + kNameUnits - 1) / kNameUnits);
  std::vector<u8> set((2 + names) * kEntry, 0);
  u8* file = set.data();
  u8* stream = file + kEntry;
  file[0] = ENTRY_FILE;
  file[FILE_SECONDARY_COUNT] = static_cast<u8>(names + 1);
  stream[0] = ENTRY_STREAM;
  stream[STREAM_NAME_LENGTH] = static_cast<u8>(node.name.size());
  Put16(stream + STREAM_NAME_HASH, ExfatNameHash(v, node.name));
  for (u32 k = 0; k < names; ++k) {
    u8* e = stream + (k + 1) * kEntry;
    e[0] = ENTRY_NAME;
    for (u32 u = 0; u < kNameUnits && k * kNameUnits + u < node.name.size(); ++u)
      Put16(e + NAME_UNITS + 2 * u, node.name[k * kNameUnits + u]);
  }
  return set;
}

// Stores the node's attributes, times, sizes and clusters into its file and stream entries.
void StoreFields(const ExfatNode& node, u8* file) {
  u8* stream = file + kEntry;
  Put16(file + FILE_ATTRIBUTES, static_cast<u16>(node.flags & 0x37));
  Put32(file + FILE_CREATE, ExfatStamp(node.ctime, &file[FILE_CREATE_CS], &file[FILE_CREATE_UTC]));
  Put32(file + FILE_MODIFY, ExfatStamp(node.mtime, &file[FILE_MODIFY_CS], &file[FILE_MODIFY_UTC]));
  Put32(file + FILE_ACCESS, ExfatStamp(node.atime, nullptr, &file[FILE_ACCESS_UTC]));
  const bool noChain = (node.flags & EXFAT_NODE_CONTIGUOUS) && node.firstCluster;
  stream[STREAM_FLAGS] = static_cast<u8>(STREAM_ALLOCATION_POSSIBLE | (noChain ? STREAM_NO_FAT_CHAIN : 0));
  Put32(stream + STREAM_CLUSTER, node.firstCluster);
  Put64(stream + STREAM_LENGTH, node.size);
  Put64(stream + STREAM_VALID_LENGTH, node.validSize);
}

void Seal(u8* set, u32 count) { Put16(set + FILE_CHECKSUM, ExfatSetChecksum(set, count)); }

bool Freeable(const ExfatNode& n, u64 counter, u64 age) {
  return n.references == 0 && !(n.flags & (EXFAT_NODE_DIRTY | EXFAT_NODE_CACHED)) && counter - n.lastUse > age;
}

// Drops the children of dir when every one of them may go; whether dir itself may go then.
bool TrimTree(ExfatFs& v, ExfatNode& dir, u64 age) {
  if (dir.flags & EXFAT_NODE_CACHED) {
    bool all = true;
    for (auto& child : dir.children)
      if (!TrimTree(v, *child, age)) all = false;
    if (all && dir.references == 0 && dir.parent) {
      dir.children.clear();
      dir.flags &= ~u32{EXFAT_NODE_CACHED};
      --v.loadedDirs;
    }
  }
  return Freeable(dir, v.useCounter, age);
}

int FlushTree(ExfatFs& v, ExfatNode& node) {
  int result = 0;
  for (auto& child : node.children)
    if (const int r = FlushTree(v, *child)) result = r;
  if (const int r = ExfatFlushNode(v, node)) result = r;
  return result;
}

}  // namespace

int LoadChildren(ExfatFs& v, ExfatNode& dir) {
  if (dir.flags & EXFAT_NODE_CACHED) return 0;
  if (!dir.IsDir()) return EXFAT_ENOTDIR;
  std::vector<u8> d;
  try {
    d.resize(dir.size);
  } catch (const std::bad_alloc&) {
    return EXFAT_ENOMEM;
  }
  if (dir.size && ReadRaw(v, dir, 0, d.data(), dir.size)) return EXFAT_EIO;
  const std::size_t count = d.size() / kEntry;
  std::vector<std::unique_ptr<ExfatNode>> found;
  ++v.useCounter;
  for (std::size_t i = 0; i < count; ++i) {
    // Entries past an end-of-directory entry are read as well: other systems' checkers accept sets there.
    if (d[i * kEntry] != ENTRY_FILE) continue;
    std::unique_ptr<ExfatNode> node;
    if (const int r = ParseSet(v, d.data(), count, i, node)) return r;
    node->parent = &dir;
    node->lastUse = v.useCounter;
    i += node->entryCount - 1;
    found.push_back(std::move(node));
  }
  // Clusters of these files that the bitmap calls free would be handed out again: a cheap look
  // here before anything is written into this folder.
  for (std::size_t k = 0; k < found.size() && !v.readOnly && !v.damaged; ++k) {
    bool marked = true;
    if (const int r = ClustersMarked(v, *found[k], &marked)) return r;
    if (!marked) MarkDamaged(v);
  }
  dir.children = std::move(found);
  dir.flags |= EXFAT_NODE_CACHED;
  ++v.loadedDirs;
  return 0;
}

ExfatNode* FindChild(const ExfatFs& v, const ExfatNode& dir, std::u16string_view name) {
  for (const auto& child : dir.children)
    if (!(child->flags & EXFAT_NODE_UNLINKED) && NamesEqual(v, child->name, name)) return child.get();
  return nullptr;
}

void DropNode(ExfatFs& v, ExfatNode* node) {
  ExfatNode* parent = node->parent;
  if (!parent) return;
  if (node->flags & EXFAT_NODE_CACHED) --v.loadedDirs;
  auto& list = parent->children;
  list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& p) { return p.get() == node; }), list.end());
}

int EraseEntries(ExfatFs& v, ExfatNode& node) {
  ExfatNode& dir = *node.parent;
  std::vector<u8> set(node.entryCount * kEntry);
  if (ReadRaw(v, dir, node.entryOffset, set.data(), set.size())) return EXFAT_EIO;
  for (u32 k = 0; k < node.entryCount; ++k) set[k * kEntry] &= static_cast<u8>(~ENTRY_IN_USE);
  if (WriteRaw(v, dir, node.entryOffset, set.data(), set.size())) return EXFAT_EIO;
  dir.freeHint = std::min(dir.freeHint, node.entryOffset);
  return 0;
}

int WriteEntrySet(ExfatFs& v, ExfatNode& dir, ExfatNode& node) {
  // The set may name clusters just taken (a new folder's): the bitmap goes first.
  if (const int r = FlushBitmap(v)) return r;
  std::vector<u8> set = BuildSet(v, node);
  StoreFields(node, set.data());
  const u32 count = static_cast<u32>(set.size() / kEntry);
  Seal(set.data(), count);
  const bool oneSector = count <= kSectorEntries;
  // A run of count unused entries from the hint on, inside one sector; the folder grows by
  // clusters until one fits.
  u64 from = 0, start = 0;
  std::vector<u8> d;
  for (;;) {
    from = std::min(dir.freeHint, dir.size);
    d.assign(dir.size - from, 0);
    if (!d.empty() && ReadRaw(v, dir, from, d.data(), d.size())) return EXFAT_EIO;
    u32 run = 0;
    bool found = false;
    for (std::size_t i = 0; i < d.size() / kEntry && !found; ++i) {
      const u64 at = from + i * kEntry;
      if (d[i * kEntry] & ENTRY_IN_USE) {
        run = 0;
        continue;
      }
      if (run && oneSector && at % kSector == 0) run = 0;
      if (run == 0) start = at;
      found = ++run == count;
    }
    if (found) break;
    if (dir.size + v.clusterBytes > kMaxDirectory) return EXFAT_ENOSPC;
    if (const int r = ExfatTruncate(v, dir, dir.size + v.clusterBytes, true)) return r;
    if (const int r = ExfatFlushNode(v, dir)) return r;
  }
  // End marks passed over before the set would hide it from every reader: they become unused
  // entries of their own.
  bool filled = false;
  for (u64 at = from; at < start; at += kEntry) {
    u8& type = d[at - from];
    if (type == ENTRY_END) {
      type = ENTRY_FILE & ~ENTRY_IN_USE;
      filled = true;
    }
  }
  if (filled && WriteRaw(v, dir, from, d.data(), start - from)) return EXFAT_EIO;
  if (WriteRaw(v, dir, start, set.data(), set.size())) return EXFAT_EIO;
  if (start == dir.freeHint) dir.freeHint = start + set.size();
  node.entryOffset = start;
  node.entryCount = count;
  return 0;
}

int RenameInSector(ExfatFs& v, ExfatNode& node, std::u16string_view name, ExfatNode* other, bool* done) {
  *done = false;
  ExfatNode& dir = *node.parent;
  const u64 base = node.entryOffset / kSector * kSector;
  const auto inside = [&](const ExfatNode& n) {
    return n.entryOffset >= base && n.entryOffset + n.entryCount * kEntry <= base + kSector;
  };
  if (!inside(node) || base + kSector > dir.size) return 0;
  ExfatNode renamed;
  renamed.name = name;
  std::vector<u8> set = BuildSet(v, renamed);
  StoreFields(node, set.data());
  const u32 count = static_cast<u32>(set.size() / kEntry);
  Seal(set.data(), count);
  if (count > kSectorEntries) return 0;
  u8 sector[kSector];
  if (ReadRaw(v, dir, base, sector, kSector)) return EXFAT_EIO;
  // The entries that may be taken: the node's, the other set's when it lies here, unused ones
  // (none behind an end mark: a set there would be hidden).
  bool own[kSectorEntries] = {};
  const auto mark = [&](const ExfatNode& n) {
    for (u32 k = 0; k < n.entryCount; ++k) own[(n.entryOffset - base) / kEntry + k] = true;
  };
  mark(node);
  const bool takeOther = other && other->parent == &dir && inside(*other);
  if (takeOther) mark(*other);
  u32 end = kSectorEntries;
  for (u32 k = 0; k < kSectorEntries; ++k)
    if (!own[k] && sector[k * kEntry] == ENTRY_END) {
      end = k;
      break;
    }
  const auto fits = [&](u32 s) {
    if (s > end || s + count > kSectorEntries) return false;
    for (u32 k = s; k < s + count; ++k)
      if (!own[k] && (sector[k * kEntry] & ENTRY_IN_USE)) return false;
    return true;
  };
  const u32 here = static_cast<u32>((node.entryOffset - base) / kEntry);
  u32 at = kSectorEntries;
  if (fits(here)) at = here;
  for (u32 s = 0; s < kSectorEntries && at == kSectorEntries; ++s)
    if (fits(s)) at = s;
  if (at == kSectorEntries) return 0;
  for (u32 k = 0; k < kSectorEntries; ++k)
    if (own[k]) sector[k * kEntry] &= static_cast<u8>(~ENTRY_IN_USE);
  std::memcpy(sector + at * kEntry, set.data(), set.size());
  if (WriteRaw(v, dir, base, sector, kSector)) return EXFAT_EIO;
  node.name = name;
  node.entryOffset = base + at * kEntry;
  node.entryCount = count;
  node.flags &= ~u32{EXFAT_NODE_DIRTY};
  if (takeOther) other->flags = (other->flags | EXFAT_NODE_UNLINKED) & ~u32{EXFAT_NODE_DIRTY};
  dir.freeHint = std::min(dir.freeHint, base);
  *done = true;
  return 0;
}

}  // namespace exfat

using namespace exfat;

int ExfatLookup(ExfatFs& v, ExfatNode** out, std::string_view path) {
  *out = nullptr;
  ExfatNode* node = v.root.get();
  for (const std::string_view part : SplitPath(path)) {
    std::u16string name;
    if (const int r = ExfatNameToUtf16(part, name)) return r;
    if (!node->IsDir()) return EXFAT_ENOTDIR;
    if (const int r = LoadChildren(v, *node)) return r;
    node = FindChild(v, *node, name);
    if (!node) return EXFAT_ENOENT;
    node->lastUse = v.useCounter;
  }
  *out = ExfatGetNode(node);
  return 0;
}

ExfatNode* ExfatGetNode(ExfatNode* node) {
  ++node->references;
  return node;
}

void ExfatPutNode(ExfatFs& v, ExfatNode* node) {
  if (!node || --node->references > 0) return;
  if (node->flags & EXFAT_NODE_UNLINKED) {
    // The last holder is gone: the clusters are free now.
    ResizeChain(v, *node, ClustersFor(v, node->size), 0);
    FlushBitmap(v);
    DropNode(v, node);
  }
}

int ExfatFlushNode(ExfatFs& v, ExfatNode& node) {
  if (!(node.flags & EXFAT_NODE_DIRTY)) return 0;
  // The bitmap first: a set on the medium never names a cluster that the bitmap there calls free.
  if (const int r = FlushBitmap(v)) return r;
  if (node.parent && !(node.flags & EXFAT_NODE_UNLINKED) && !v.readOnly) {
    ExfatNode& dir = *node.parent;
    std::vector<u8> set(node.entryCount * kEntry);
    if (ReadRaw(v, dir, node.entryOffset, set.data(), set.size())) return EXFAT_EIO;
    if (set[0] != ENTRY_FILE || set[kEntry] != ENTRY_STREAM) return EXFAT_EIO;
    StoreFields(node, set.data());
    Seal(set.data(), node.entryCount);
    if (WriteRaw(v, dir, node.entryOffset, set.data(), 2 * kEntry)) return EXFAT_EIO;
  }
  node.flags &= ~u32{EXFAT_NODE_DIRTY};
  return 0;
}

int ExfatFlushAll(ExfatFs& v) {
  if (!v.root) return 0;
  const int r = FlushTree(v, *v.root);
  const int b = FlushBitmap(v);
  return r ? r : b;
}

void ExfatTrim(ExfatFs& v, u64 age) {
  if (v.root) TrimTree(v, *v.root, age);
}

int ExfatOpenDir(ExfatFs& v, ExfatNode& dir, ExfatIterator& it) {
  if (!dir.IsDir()) return EXFAT_ENOTDIR;
  if (const int r = LoadChildren(v, dir)) return r;
  it.dir = ExfatGetNode(&dir);
  it.next = 0;
  return 0;
}

ExfatNode* ExfatReadDir(ExfatFs& v, ExfatIterator& it, int* err) {
  *err = 0;
  if (!it.dir || !(it.dir->flags & EXFAT_NODE_CACHED)) {
    *err = it.dir ? EXFAT_EIO : EXFAT_EINVAL;
    return nullptr;
  }
  while (it.next < it.dir->children.size()) {
    ExfatNode* child = it.dir->children[it.next++].get();
    if (child->flags & EXFAT_NODE_UNLINKED) continue;
    child->lastUse = v.useCounter;
    return ExfatGetNode(child);
  }
  return nullptr;
}

void ExfatCloseDir(ExfatFs& v, ExfatIterator& it) {
  ExfatPutNode(v, it.dir);
  it = ExfatIterator{};
}
