// "Copy", "Copy File" and "Update": one pass copies the files a source listing selects into a
// target tree or file.
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
#include <vector>

#include <fcntl.h>

namespace copyjob {

namespace {

// Where "Update" parts from "Copy"; every other step of the pass is the same. Each rule keeps
// what its mode has always done.
struct PassRules {
  // Update: files only, and only those whose target exists, as they were looked at before the
  // pass (the progress total counts just them); no folder is made.
  bool existingOnly;
  // Engine words: temporary name, times, forced replace, and for "Copy" missing folders made.
  int engineFlags;
  // Copy: a named source that is not there counts as a source that could not be read.
  bool missingIsUnread;
  // Copy: the question after a failed file ends with the last error's text.
  bool reasonInQuestion;
  // Copy: every target the flags leave alone moves the bar on; Update: only one not older.
  bool advanceEveryKept;
  // Update: the links left alone are told also when the answer Cancel ended the row.
  bool tellLinksOnStop;
};

constexpr int kCopyEngineFlags = 0x3B0;
constexpr PassRules kCopyRules{false, kCopyEngineFlags, true, true, true, false};
constexpr PassRules kUpdateRules{true, kCopyEngineFlags & ~SYS_COPY_MAKE_DIRS, false, false, false, true};

// A file of an "Update" row and its target as the selection found it.
struct Selected {
  int index;
  SysFileInfo target;
};

// The files whose target exists, looked up in folders opened by descriptor; the sum of their
// sizes goes to *total.
std::vector<Selected> SelectExisting(CDirListing& list, SysTree& targetTree, CFolderLinkNotes& targetLinks,
                                     u64* total) {
  std::vector<Selected> selected;
  *total = 0;
  const int count = list.GetCount();
  for (int i = 0; i < count; ++i) {
    const CDirListing::Entry& entry = *list.GetEntry(i);
    if (entry.IsFolder()) continue;
    Selected item{i, {}};
    const std::string rel = list.GetPath(i, nullptr, CDirListing::DL_PATH_RELATIVE);
    if (targetLinks.Covers(rel)) continue;
    const auto [relDir, name] = SysSplitRel(rel);
    bool byLink = false;
    const int dir = EntryFolder(targetTree, relDir, false, targetLinks, &byLink);
    if (dir < 0 || SysStatInfo(dir, std::string(name).c_str(), &item.target) != 0) continue;
    *total += entry.info.qwSize;
    selected.push_back(item);
  }
  return selected;
}

// Why the flags 0x01, 0x08 and 0x20 leave the target alone (KEEP_NONE: it is written). known is
// the target as the selection saw it; without it the name is looked up in dirFd (AT_FDCWD for a
// path), and only when one of the flags is set.
int TargetKept(u32 flags, const SysFileInfo& source, const SysFileInfo* known, int dirFd, const char* name) {
  if (!(flags & (RUN_NEWER_ONLY | RUN_NO_OVERWRITE | RUN_KEEP_READONLY))) return KEEP_NONE;
  SysFileInfo existing;
  if (!known) {
    if ((dirFd < 0 && dirFd != AT_FDCWD) || SysStatInfo(dirFd, name, &existing) != 0) return KEEP_NONE;
    known = &existing;
  }
  return LocalTargetKept(flags, source.timeWrite, *known, NEWER_EXACT);
}

int CopyPass(JobContext& ctx, const JobArgs& args, const PassRules& rules, CopyOutcome* outcome) {
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
  int listFlags = CDirListing::DL_READ_ALL;
  if (args.subdirs) listFlags |= CDirListing::DL_SUBDIRS | (rules.existingOnly ? 0 : CDirListing::DL_FOLDERS);
  CDirListing list;
  list.Open(source.c_str(), listFlags, args.plus, args.minus);
  out.readState = list.GetReadState();
  if (rules.missingIsUnread) {
    // A named file or folder that is not there is no empty listing but a source that is missing.
    out.sourceMissing = SysFileExist(out.split.root.c_str()) < 2 ||
                        (!std::strpbrk(out.split.pattern.c_str(), "*?") && SysFileExist(source.c_str()) == 0);
    if (out.sourceMissing) out.readState = 2;
  }
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
  // The links left alone, for the row's note or, with an outcome, for "Copy Del" to tell.
  const auto tellLinks = [&] {
    std::sort(out.sourceFolderLinks.begin(), out.sourceFolderLinks.end());
    out.folderLinks = std::move(sourceLinks);
    out.folderLinks.insert(out.folderLinks.end(), targetLinks.Found().begin(), targetLinks.Found().end());
    out.folderLinks.insert(out.folderLinks.end(), sourceSwapped.Found().begin(), sourceSwapped.Found().end());
    if (!outcome) NoteFolderLinks(ctx.run, out.folderLinks);
  };

  std::vector<Selected> selected;
  u64 total = list.GetTotalSize();
  if (rules.existingOnly) selected = SelectExisting(list, targetTree, targetLinks, &total);
  const int steps = rules.existingOnly ? static_cast<int>(selected.size()) : list.GetCount();

  ProgressPass progress(ctx, source, total);
  std::string sourcePath, targetPath;
  bool failed = false;
  for (int step = 0; step < steps; ++step) {
    if (progress.Stopped()) break;
    const int i = rules.existingOnly ? selected[static_cast<std::size_t>(step)].index : step;
    const SysFileInfo* known =
        rules.existingOnly ? &selected[static_cast<std::size_t>(step)].target : nullptr;
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
      if (!singleFile && IsFolderOrLink(base + rel))
        sourceLinks.push_back(list.GetPath(i, nullptr, CDirListing::DL_PATH_FULL));
      continue;
    }
    // A file left alone below a target link still shows that the source is not empty.
    if (!isFolder) ++out.filesSelected;
    if (!singleFile && targetLinks.Covers(rel)) continue;

    targetPath = singleFile ? target : base + rel;
    sourcePath = list.GetPath(i, nullptr, CDirListing::DL_PATH_FULL);
    const auto [relDir, nameView] = SysSplitRel(rel);
    const std::string name(nameView);
    bool byLink = false;

    int rc;
    if (isFolder && !singleFile) {
      progress.Lines(sourcePath, targetPath);
      bool made = false;
      const int fd = EntryFolder(targetTree, rel, true, targetLinks, &byLink, &made);
      if (byLink) continue;
      if (made) ctx.run.FilesCopied().fetch_add(1);
      rc = fd < 0 ? SYS_COPY_TARGET_ERROR : SYS_COPY_DONE;
    } else {
      int dstDir = AT_FDCWD;
      if (!singleFile) {
        dstDir = EntryFolder(targetTree, relDir, !rules.existingOnly, targetLinks, &byLink);
        if (byLink) continue;
      }
      if (const int keep =
              TargetKept(flags, entry.info, known, dstDir, singleFile ? target.c_str() : name.c_str())) {
        if (rules.advanceEveryKept || keep == KEEP_NOT_OLDER) progress.Advance(entry.info.qwSize);
        continue;
      }
      progress.Lines(sourcePath, targetPath);
      if (singleFile) {
        progress.BeginFile(entry.info.qwSize);
        rc = LocalCopyFile(ctx, rules.engineFlags, sourcePath.c_str(), targetPath.c_str());
        progress.EndFile(entry.info.qwSize);
      } else {
        rc = SYS_COPY_TARGET_ERROR;
        if (dstDir >= 0) {
          const int srcDir = EntryFolder(sourceTree, relDir, false, sourceSwapped, &byLink);
          if (byLink) continue;
          rc = SYS_COPY_SOURCE_ERROR;
          if (srcDir >= 0) {
            progress.BeginFile(entry.info.qwSize);
            rc = LocalCopyFileAt(ctx, rules.engineFlags, srcDir, name.c_str(), dstDir, name.c_str());
            progress.EndFile(entry.info.qwSize);
          }
        }
      }
    }
    if (rc == SYS_COPY_DONE) continue;
    if (rc == SYS_COPY_STOPPED) break;  // the run is cancelled; the old target is untouched
    failed = true;
    out.entryFailed = true;
    if (ctx.run.IsCancelled()) continue;
    std::string text = FmtString(kCopyFailed, sourcePath.c_str(), targetPath.c_str());
    if (rules.reasonInQuestion) text += LocalLastErrorNote();
    if (LocalFail(ctx, flags, text) == JOB_STOP_ALL) {
      if (rules.tellLinksOnStop) tellLinks();
      return JOB_STOP_ALL;
    }
  }

  tellLinks();
  if (ctx.run.IsCancelled()) return JOB_STOP_ALL;
  if (failed) return JOB_FAILED;
  if (out.readState <= 1) return JOB_DONE;
  LocalAsk(ctx, flags, FmtString(kCopyIncomplete, source.c_str()), kBoxNote);
  return JOB_FAILED;
}

}  // namespace

int CopyTree(JobContext& ctx, const JobArgs& args, CopyOutcome* outcome) {
  return CopyPass(ctx, args, kCopyRules, outcome);
}

}  // namespace copyjob

int RunCopy(JobContext& ctx, const JobArgs& args) {
  return copyjob::CopyTree(ctx, args, nullptr);
}

int RunCopyFile(JobContext& ctx, const JobArgs& args) {
  JobArgs file = args;
  file.plus = "";
  file.minus = "";
  file.subdirs = 0;
  file.flags = args.flags | RUN_SINGLE_FILE;
  return copyjob::CopyTree(ctx, file, nullptr);
}

int RunUpdate(JobContext& ctx, const JobArgs& args) {
  return copyjob::CopyPass(ctx, args, copyjob::kUpdateRules, nullptr);
}
