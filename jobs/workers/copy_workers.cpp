// "Copy" and "Copy File": copy the files a source listing selects into a target tree or file.
#include "jobs/workers/copy_workers.h"

#include "jobs/workers/copy_support.h"
#include "jobs/workers/folder_links.h"
#include "jobs/workers/local_target.h"
#include "jobs/workers/row_notes.h"
#include "lib/system/sys.h"
#include "lib/system/sys_stat.h"
#include "lib/system/sys_tree.h"
#include "lib/text/fmt.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>

namespace copyjob {

namespace {

constexpr int kCopyEngineFlags = 0x3B0;  // temporary name, times, forced replace, folders made

// Whether the flags 0x01, 0x08 and 0x20 leave an existing target alone (name in dirFd).
bool KeepExistingTarget(u32 flags, const SysFileInfo& source, int dirFd, const char* name) {
  if (!(flags & (RUN_NEWER_ONLY | RUN_NO_OVERWRITE | RUN_KEEP_READONLY))) return false;
  SysFileInfo existing;
  if (SysStatInfo(dirFd, name, &existing) != 0) return false;
  return LocalTargetKept(flags, source.timeWrite, existing, NEWER_EXACT) != KEEP_NONE;
}

}  // namespace

int CopyTree(JobContext& ctx, const JobArgs& args, CopyOutcome* outcome) {
  CopyOutcome local;
  CopyOutcome& out = outcome ? *outcome : local;
  out = CopyOutcome();
  const u32 flags = args.flags;
  const bool singleFile = flags & RUN_SINGLE_FILE;

  int result = JOB_DONE;
  const std::optional<CopyRowPaths> row = StartCopyRow(ctx, args, &result);
  if (!row) return result;
  const std::string& source = row->source;
  const std::string& target = row->target;
  CExcludeList& excluded = ctx.run.ExcludeList();
  out.ran = true;
  out.split = SplitSource(source);

  // Read whole first, so that folders the copy creates are never listed.
  const int listFlags = CDirListing::DL_READ_ALL | (args.subdirs ? CDirListing::DL_SUBDIRS | CDirListing::DL_FOLDERS : 0);
  CDirListing list;
  list.Open(source.c_str(), listFlags, args.plus, args.minus);
  out.readState = list.GetReadState();
  // A named file or folder that is not there is no empty listing but a source that is missing.
  out.sourceMissing = SysFileExist(out.split.root.c_str()) < 2 ||
                      (!std::strpbrk(out.split.pattern.c_str(), "*?") && SysFileExist(source.c_str()) == 0);
  if (out.sourceMissing) out.readState = 2;
  if (outcome) {
    out.sourceKeys.reserve(static_cast<std::size_t>(list.GetCount()));
    for (int i = 0; i < list.GetCount(); ++i) {
      int relLength = 0;
      const char* rel = list.GetPath(i, &relLength, CDirListing::DL_PATH_RELATIVE);
      out.sourceKeys.push_back(SourceKey(std::string_view(rel, static_cast<std::size_t>(relLength)),
                                         list.GetEntry(i)->IsFolder()));
    }
    std::sort(out.sourceKeys.begin(), out.sourceKeys.end());
  }

  // A target inside the source is no part of it; otherwise each run would nest another copy.
  const std::optional<std::string> targetInside = RelativeInside(out.split.root, target);

  std::string base = target;
  if (!singleFile && base.back() != '/') base += '/';
  // Both trees are walked by descriptor: below the target a link to a folder, even one swapped in
  // while the row runs, is never written into, and below the source never read through.
  SysTree sourceTree(out.split.root), targetTree(base);
  CFolderLinkNotes targetLinks(base), sourceSwapped(out.split.root);
  std::vector<std::string> sourceLinks;

  ProgressPass progress(ctx, source, list.GetTotalSize());
  std::string sourcePath, targetPath;
  bool failed = false;
  const int count = list.GetCount();
  for (int i = 0; i < count; ++i) {
    if (progress.Stopped()) break;
    const CDirListing::Entry& entry = *list.GetEntry(i);
    const bool isFolder = entry.IsFolder();
    int relLength = 0;
    const char* relText = list.GetPath(i, &relLength, CDirListing::DL_PATH_RELATIVE);
    const std::string rel(relText, static_cast<std::size_t>(relLength));
    if (IsExcluded(excluded, FolderPart(rel.c_str(), relLength, isFolder))) continue;
    if (targetInside && IsAtOrBelow(rel, *targetInside)) continue;
    // A link to a folder is never entered; an empty folder in its place would pass for a copy.
    if (isFolder && (entry.info.dwAttr & SYS_ATTR_LINK)) {
      out.sourceFolderLinks.push_back(rel);
      if (!singleFile && IsFolderOrLink(base + rel)) sourceLinks.push_back(list.GetPath(i, nullptr, CDirListing::DL_PATH_FULL));
      continue;
    }
    // A file left alone below a target link still shows that the source is not empty.
    if (!isFolder) ++out.filesSelected;
    if (!singleFile && targetLinks.Covers(rel)) continue;

    targetPath = singleFile ? target : base + rel;
    sourcePath = list.GetPath(i, nullptr, CDirListing::DL_PATH_FULL);
    const auto [relDir, name] = SysSplitRel(rel);
    const std::string nameText(name);

    int rc;
    bool byLink = false;
    if (singleFile) {
      if (KeepExistingTarget(flags, entry.info, AT_FDCWD, target.c_str())) {
        progress.Advance(entry.info.qwSize);
        continue;
      }
      progress.Lines(sourcePath, targetPath);
      progress.BeginFile(entry.info.qwSize);
      rc = LocalCopyFile(ctx, kCopyEngineFlags, sourcePath.c_str(), targetPath.c_str());
      progress.EndFile(entry.info.qwSize);
    } else if (isFolder) {
      progress.Lines(sourcePath, targetPath);
      bool made = false;
      const int fd = EntryFolder(targetTree, rel, true, targetLinks, &byLink, &made);
      if (byLink) continue;
      if (made) ctx.run.FilesCopied().fetch_add(1);
      rc = fd < 0 ? SYS_COPY_TARGET_ERROR : SYS_COPY_DONE;
    } else {
      const int dstDir = EntryFolder(targetTree, relDir, true, targetLinks, &byLink);
      if (byLink) continue;
      if (dstDir >= 0 && KeepExistingTarget(flags, entry.info, dstDir, nameText.c_str())) {
        progress.Advance(entry.info.qwSize);
        continue;
      }
      progress.Lines(sourcePath, targetPath);
      rc = SYS_COPY_TARGET_ERROR;
      if (dstDir >= 0) {
        const int srcDir = EntryFolder(sourceTree, relDir, false, sourceSwapped, &byLink);
        if (byLink) continue;
        rc = SYS_COPY_SOURCE_ERROR;
        if (srcDir >= 0) {
          progress.BeginFile(entry.info.qwSize);
          rc = LocalCopyFileAt(ctx, kCopyEngineFlags, srcDir, nameText.c_str(), dstDir, nameText.c_str());
          progress.EndFile(entry.info.qwSize);
        }
      }
    }
    if (rc == SYS_COPY_DONE) continue;
    if (rc == SYS_COPY_STOPPED) break;  // the run is cancelled; the old target is untouched
    failed = true;
    out.entryFailed = true;
    if (ctx.run.IsCancelled()) continue;
    const std::string text = FmtString(kCopyFailed, sourcePath.c_str(), targetPath.c_str()) + LocalLastErrorNote();
    if (LocalFail(ctx, flags, text) == JOB_STOP_ALL) return JOB_STOP_ALL;
  }

  std::sort(out.sourceFolderLinks.begin(), out.sourceFolderLinks.end());
  out.folderLinks = std::move(sourceLinks);
  out.folderLinks.insert(out.folderLinks.end(), targetLinks.Found().begin(), targetLinks.Found().end());
  out.folderLinks.insert(out.folderLinks.end(), sourceSwapped.Found().begin(), sourceSwapped.Found().end());
  if (!outcome) NoteFolderLinks(ctx.run, out.folderLinks);

  if (ctx.run.IsCancelled()) return JOB_STOP_ALL;
  if (failed) return JOB_FAILED;
  if (out.readState <= 1) return JOB_DONE;
  LocalAsk(ctx, flags, FmtString(kCopyIncomplete, source.c_str()), kBoxNote);
  return JOB_FAILED;
}

}  // namespace copyjob

int RunCopy(JobContext& ctx, const JobArgs& args) { return copyjob::CopyTree(ctx, args, nullptr); }

int RunCopyFile(JobContext& ctx, const JobArgs& args) {
  JobArgs file = args;
  file.plus = "";
  file.minus = "";
  file.subdirs = 0;
  file.flags = args.flags | RUN_SINGLE_FILE;
  return copyjob::CopyTree(ctx, file, nullptr);
}
