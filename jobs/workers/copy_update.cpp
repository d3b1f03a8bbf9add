// "Update": refresh target files that already exist from the source; never creates anything.
#include "jobs/workers/copy_workers.h"

#include "jobs/workers/copy_support.h"
#include "jobs/workers/folder_links.h"
#include "jobs/workers/row_notes.h"
#include "lib/system/sys.h"
#include "lib/text/fmt.h"

#include <vector>

namespace {

// Without 0x100: a target folder that vanished meanwhile is not made again.
constexpr int kUpdateEngineFlags = copyjob::kCopyEngineFlags & ~0x100;

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
  // A target file behind a link to a folder is no file of the row's.
  CFolderLinkGuard targetLinks(base);
  const int count = list.GetCount();
  for (int i = 0; i < count; ++i) {
    const CDirListing::Entry& entry = *list.GetEntry(i);
    if (entry.IsFolder()) continue;
    Item item{i, {}};
    const char* rel = list.GetPath(i, nullptr, CDirListing::DL_PATH_RELATIVE);
    if (targetLinks.Blocks(rel, false)) continue;
    if (!LookupPath(base + rel, &item.existing)) continue;
    total += entry.info.qwSize;
    items.push_back(item);
  }

  NoteFolderLinks(ctx.run, targetLinks.Found());

  ProgressPass progress(ctx, source, total);
  std::string sourcePath, targetPath;
  bool failed = false;
  for (const Item& item : items) {
    if (progress.Stopped()) break;
    const CDirListing::Entry& entry = *list.GetEntry(item.index);
    int relLength = 0;
    const char* rel = list.GetPath(item.index, &relLength, CDirListing::DL_PATH_RELATIVE);
    if (IsExcluded(excluded, FolderPart(rel, relLength, false))) continue;
    if (targetInside && IsAtOrBelow(rel, *targetInside)) continue;
    targetPath = base + rel;
    if ((flags & RUN_KEEP_READONLY) && !(item.existing.dwAttr & SYS_ATTR_WRITABLE)) continue;
    if (flags & RUN_NO_OVERWRITE) continue;
    // Only newer: onto an older target only, as the flag says; sizes do not matter.
    if ((flags & RUN_NEWER_ONLY) && !(entry.info.timeWrite != 0 && item.existing.timeWrite < entry.info.timeWrite)) {
      progress.Advance(entry.info.qwSize);
      continue;
    }
    sourcePath = list.GetPath(item.index, nullptr, CDirListing::DL_PATH_FULL);
    progress.Lines(sourcePath, targetPath);
    progress.BeginFile(entry.info.qwSize);
    const int rc = SysFileCopyEx(kUpdateEngineFlags, sourcePath.c_str(), targetPath.c_str(), progress.Counter(),
                                 nullptr, progress.EngineCancel());
    progress.EndFile(entry.info.qwSize);
    if (rc == 1) {
      ctx.run.FilesCopied().fetch_add(1);
      continue;
    }
    if (rc == 0) {
      progress.TakeOverDialogCancel();
      ctx.run.SetCancel();
      break;
    }
    failed = true;
    if (ctx.run.IsCancelled()) continue;
    if (Ask(ctx, flags, FmtString(kCopyFailed, sourcePath.c_str(), targetPath.c_str()), kAskError) == IDCANCEL)
      return JOB_STOP_ALL;
  }

  if (ctx.run.IsCancelled()) return JOB_STOP_ALL;
  if (failed) return JOB_FAILED;
  if (list.GetReadState() <= 1) return JOB_DONE;
  Ask(ctx, flags, FmtString(kCopyIncomplete, source.c_str()), kNoteError);
  return JOB_FAILED;
}
