// exFAT operations on names: create files and folders, unlink, rmdir and rename.
#include "FileSystem/Exfat/exfat_internal.h"

#include <algorithm>

namespace exfat {

namespace {

// The parent folder (referenced) and the last name of a path.
int SplitParent(ExfatFs& v, std::string_view path, ExfatNode** parent, std::u16string& name) {
  *parent = nullptr;
  const std::vector<std::string_view> parts = SplitPath(path);
  if (parts.empty()) return EXFAT_EFAULT;
  if (const int r = ExfatNameToUtf16(parts.back(), name)) return r;
  std::string dir;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) (dir += parts[i]) += '/';
  ExfatNode* node = nullptr;
  if (const int r = ExfatLookup(v, &node, dir)) return r;
  if (!node->IsDir()) {
    ExfatPutNode(v, node);
    return EXFAT_ENOTDIR;
  }
  if (const int r = LoadChildren(v, *node)) {
    ExfatPutNode(v, node);
    return r;
  }
  *parent = node;
  return 0;
}

int Create(ExfatFs& v, std::string_view path, bool directory) {
  if (v.readOnly) return EXFAT_EACCES;
  ExfatNode* parent = nullptr;
  std::u16string name;
  if (const int r = SplitParent(v, path, &parent, name)) return r;
  int result = 0;
  if (!ExfatNameAllowed(name)) result = EXFAT_ENOENT;
  else if (FindChild(v, *parent, name)) result = EXFAT_EEXIST;
  if (result) {
    ExfatPutNode(v, parent);
    return result;
  }
  auto node = std::make_unique<ExfatNode>();
  node->parent = parent;
  node->name = name;
  node->flags = directory ? EXFAT_ATTR_DIRECTORY : EXFAT_ATTR_ARCHIVE;
  node->ctime = node->mtime = node->atime = Now();
  node->lastUse = v.useCounter;
  if (directory) {
    // One cluster of zeros: a folder without entries.
    result = ResizeChain(v, *node, 0, 1);
    if (!result) {
      node->size = node->validSize = v.clusterBytes;
      result = WriteZeros(v, *node, 0, v.clusterBytes);
      if (result) ResizeChain(v, *node, 1, 0);
    }
    node->flags |= EXFAT_NODE_CACHED;
  }
  if (!result) {
    result = WriteEntrySet(v, *parent, *node);
    if (result && directory) ResizeChain(v, *node, 1, 0);
  }
  if (!result) {
    if (directory) ++v.loadedDirs;
    parent->children.push_back(std::move(node));
  }
  const int flushed = FlushBitmap(v);
  ExfatPutNode(v, parent);
  return result ? result : flushed;
}

// Flags the node unlinked and frees its entries; its clusters go with its last reference. A node
// whose chain cannot be freed whole (a loop) stays as it is.
int Remove(ExfatFs& v, ExfatNode& node) {
  if (const int r = CheckClusters(v, node)) return r;
  if (const int r = EraseEntries(v, node)) return r;
  node.flags |= EXFAT_NODE_UNLINKED;
  node.flags &= ~u32{EXFAT_NODE_DIRTY};
  return 0;
}

bool HasChildren(const ExfatNode& dir) {
  return std::any_of(dir.children.begin(), dir.children.end(),
                     [](const auto& c) { return !(c->flags & EXFAT_NODE_UNLINKED); });
}

// Gives the source its new name in parent. In its own folder the set is rewritten inside its
// sector when it fits there (taking the target's entries too when they lie there): one write.
// Elsewhere the new set comes first and the old one goes after it, so that a crash never leaves
// the clusters without a set.
int Move(ExfatFs& v, ExfatNode& source, ExfatNode& parent, const std::u16string& name, ExfatNode* target) {
  if (const int r = FlushBitmap(v)) return r;
  bool done = false;
  if (&parent == source.parent)
    if (const int r = RenameInSector(v, source, name, target, &done)) return r;
  if (done) return 0;
  ExfatNode* oldParent = source.parent;
  const u64 oldOffset = source.entryOffset;
  const u32 oldCount = source.entryCount;
  const std::u16string oldName = source.name;
  source.name = name;
  if (const int r = WriteEntrySet(v, parent, source)) {
    source.name = oldName;
    source.entryOffset = oldOffset;
    source.entryCount = oldCount;
    return r;
  }
  const u64 newOffset = source.entryOffset;
  const u32 newCount = source.entryCount;
  source.entryOffset = oldOffset;
  source.entryCount = oldCount;
  const int erased = EraseEntries(v, source);
  source.entryOffset = newOffset;
  source.entryCount = newCount;
  if (oldParent != &parent) {
    auto& list = oldParent->children;
    const auto it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.get() == &source; });
    parent.children.push_back(std::move(*it));
    list.erase(it);
    source.parent = &parent;
  }
  return erased;
}

}  // namespace

}  // namespace exfat

using namespace exfat;

int ExfatMknod(ExfatFs& v, std::string_view path) { return Create(v, path, false); }
int ExfatMkdir(ExfatFs& v, std::string_view path) { return Create(v, path, true); }

int ExfatUnlink(ExfatFs& v, ExfatNode& node) {
  if (node.IsDir()) return EXFAT_EISDIR;
  if (!node.parent) return EXFAT_EPERM;
  if (v.readOnly) return EXFAT_EACCES;
  return Remove(v, node);
}

int ExfatRmdir(ExfatFs& v, ExfatNode& node) {
  if (!node.IsDir()) return EXFAT_ENOTDIR;
  if (!node.parent) return EXFAT_EPERM;
  if (v.readOnly) return EXFAT_EACCES;
  if (const int r = LoadChildren(v, node)) return r;
  if (HasChildren(node)) return EXFAT_ENOTEMPTY;
  return Remove(v, node);
}

int ExfatRename(ExfatFs& v, std::string_view from, std::string_view to) {
  if (v.readOnly) return EXFAT_EACCES;
  ExfatNode* source = nullptr;
  if (const int r = ExfatLookup(v, &source, from)) return r;
  ExfatNode* parent = nullptr;
  std::u16string name;
  int result = source->parent ? SplitParent(v, to, &parent, name) : EXFAT_EPERM;
  if (!result && !ExfatNameAllowed(name)) result = EXFAT_ENOENT;
  for (ExfatNode* up = parent; !result && up; up = up->parent)
    if (up == source) result = EXFAT_EINVAL;  // into its own subtree
  ExfatNode* target = result ? nullptr : FindChild(v, *parent, name);
  if (target == source) target = nullptr;  // a change of case
  if (target) {
    ExfatGetNode(target);
    if (target->IsDir() != source->IsDir()) {
      result = target->IsDir() ? EXFAT_ENOTDIR : EXFAT_EISDIR;
    } else if (const int r = CheckClusters(v, *target)) {
      result = r;  // the target must be able to go before the source takes its name
    } else if (target->IsDir()) {
      result = LoadChildren(v, *target);
      if (!result && HasChildren(*target)) result = EXFAT_ENOTEMPTY;
    }
  }
  if (!result) result = Move(v, *source, *parent, name, target);
  // An existing target goes only once the source stands under its name; its clusters go with
  // its last reference.
  if (!result && target && !(target->flags & EXFAT_NODE_UNLINKED)) result = Remove(v, *target);
  ExfatPutNode(v, target);
  ExfatPutNode(v, parent);
  ExfatPutNode(v, source);
  const int flushed = FlushBitmap(v);
  return result ? result : flushed;
}
