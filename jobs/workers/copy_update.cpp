// "Update": refresh target files that already exist from the source; never creates anything.
#include "jobs/workers/copy_workers.h"

#include "jobs/workers/copy_support.h"
#include "jobs/workers/folder_links.h"
#include "jobs/workers/local_target.h"
#include "jobs/workers/row_notes.h"
#include "lib/system/sys.h"
#include "lib/system/sys_stat.h"
#include "lib/system/sys_tree.h"
#include "lib/text/fmt.h"

#include <vector>

namespace {

// Without 0x100: a target folder that vanished meanwhile is not made again.
constexpr int kUpdateEngineFlags = 0x3B0 & ~SYS_COPY_MAKE_DIRS;

}  // namespace

int RunUpdate(JobContext& ctx, const JobArgs& args) {
  using namespace copyjob;
  const u32 flags = args.flags;
  int result = JOB_DONE;
  const std::optional<CopyRowPaths> row = StartCopyRow(ctx, args, &result);
  if (!row) return result;
  const std::string& source = row->source;
  const std::string& target = row->target;
  CExcludeList& excluded = ctx.run.ExcludeList();

  const int listFlags = CDirListing::DL_READ_ALL | (args.subdirs ? CDirListing::DL_SUBDIRS : 0);
  CDirListing list;
  list.Open(source.c_str(), listFlags, args.plus, args.minus);
  const std::optional<std::string> targetInside = RelativeInside(SplitSource(source).root, target);

  std::string base = target;
  if (base.back() != '/') base += '/';

  // Only files whose counterpart exists take part; folders exist already or are not made.
  struct Item {
    int index;
    SysFileInfo existing;
  };
  std::vector<Item> items;
  u64 total = 0;
  // Both trees are walked by descriptor: a target file behind a link to a folder is no file of
  // the row's, even when the link was swapped in while the row runs.
  SysTree sourceTree(SplitSource(source).root), targetTree(base);
  CFolderLinkNotes targetLinks(base), sourceSwapped(sourceTree.Root());
  // The links left alone are told once, on every way out.
  struct TellLinks {
    CRunState& run;
    const CFolderLinkNotes& target;
    const CFolderLinkNotes& source;
    ~TellLinks() {
      std::vector<std::string> links = target.Found();
      links.insert(links.end(), source.Found().begin(), source.Found().end());
      NoteFolderLinks(run, links);
    }
  } tell{ctx.run, targetLinks, sourceSwapped};
  const int count = list.GetCount();
  for (int i = 0; i < count; ++i) {
    const CDirListing::Entry& entry = *list.GetEntry(i);
    if (entry.IsFolder()) continue;
    Item item{i, {}};
    const std::string rel = list.GetPath(i, nullptr, CDirListing::DL_PATH_RELATIVE);
    if (targetLinks.Covers(rel)) continue;
    const auto [relDir, name] = SysSplitRel(rel);
    bool byLink = false;
    const int dir = EntryFolder(targetTree, relDir, false, targetLinks, &byLink);
    if (dir < 0 || SysStatInfo(dir, std::string(name).c_str(), &item.existing) != 0) continue;
    total += entry.info.qwSize;
    items.push_back(item);
  }

  ProgressPass progress(ctx, source, total);
  std::string sourcePath, targetPath;
  bool failed = false;
  for (const Item& item : items) {
    if (progress.Stopped()) break;
    const CDirListing::Entry& entry = *list.GetEntry(item.index);
    const std::string rel = list.GetPath(item.index, nullptr, CDirListing::DL_PATH_RELATIVE);
    if (IsExcluded(excluded, FolderPart(rel.c_str(), static_cast<int>(rel.size()), false))) continue;
    if (targetInside && IsAtOrBelow(rel, *targetInside)) continue;
    targetPath = base + rel;
    // 0x01 (onto an older target only; sizes do not matter) moves the bar on, 0x20 and 0x08 do not.
    if (const int keep = LocalTargetKept(flags, entry.info.timeWrite, item.existing, NEWER_EXACT)) {
      if (keep == KEEP_NOT_OLDER) progress.Advance(entry.info.qwSize);
      continue;
    }
    sourcePath = list.GetPath(item.index, nullptr, CDirListing::DL_PATH_FULL);
    progress.Lines(sourcePath, targetPath);
    const auto [relDir, nameView] = SysSplitRel(rel);
    const std::string name(nameView);
    // Opened again: the folder may have been swapped for a link since the first pass.
    bool byLink = false;
    int rc = SYS_COPY_TARGET_ERROR;
    const int dstDir = EntryFolder(targetTree, relDir, false, targetLinks, &byLink);
    if (byLink) continue;
    if (dstDir >= 0) {
      const int srcDir = EntryFolder(sourceTree, relDir, false, sourceSwapped, &byLink);
      if (byLink) continue;
      rc = SYS_COPY_SOURCE_ERROR;
      if (srcDir >= 0) {
        progress.BeginFile(entry.info.qwSize);
        rc = LocalCopyFileAt(ctx, kUpdateEngineFlags, srcDir, name.c_str(), dstDir, name.c_str());
        progress.EndFile(entry.info.qwSize);
      }
    }
    if (rc == SYS_COPY_DONE) continue;
    if (rc == SYS_COPY_STOPPED) break;
    failed = true;
    if (ctx.run.IsCancelled()) continue;
    if (LocalFail(ctx, flags, FmtString(kCopyFailed, sourcePath.c_str(), targetPath.c_str())) == JOB_STOP_ALL)
      return JOB_STOP_ALL;
  }

  if (ctx.run.IsCancelled()) return JOB_STOP_ALL;
  if (failed) return JOB_FAILED;
  if (list.GetReadState() <= 1) return JOB_DONE;
  LocalAsk(ctx, flags, FmtString(kCopyIncomplete, source.c_str()), kBoxNote);
  return JOB_FAILED;
}
