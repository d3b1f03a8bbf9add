// "Copy Del": copy, then delete the selected target files and emptied folders the source lacks.
#include "jobs/workers/copy_workers.h"

#include "jobs/workers/copy_support.h"
#include "jobs/workers/delete_guard.h"
#include "jobs/workers/folder_links.h"
#include "jobs/workers/row_notes.h"
#include "lib/system/sys.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_tree.h"
#include "lib/text/fmt.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace copyjob {

namespace {

enum : DWORD { kCandidate = 1 };

struct SurplusFolder {
  std::string path;
  std::string rel;
  std::size_t depth;
};

// Removes the surplus folders that are empty now, deepest first. A folder that still holds
// files the row did not select stays without a failure; so do mount points and the home folder.
// The folders that stayed are told in one note.
bool RemoveEmptyFolders(JobContext& ctx, u32 flags, SysTree& tree, CFolderLinkNotes& links,
                        std::vector<SurplusFolder>& folders, bool* stopAll) {
  std::stable_sort(folders.begin(), folders.end(),
                   [](const SurplusFolder& a, const SurplusFolder& b) { return a.depth > b.depth; });
  bool failed = false;
  std::vector<std::string> kept;
  for (const SurplusFolder& folder : folders) {
    if (ctx.run.IsCancelled()) break;
    if (DelGuard(folder.path.c_str(), true) != DEL_GUARD_OK) {
      kept.push_back(folder.path);
      continue;
    }
    // Removed by its name in its parent, opened without following links: a folder swapped for
    // a link meanwhile is no folder there (ENOTDIR) and stays.
    const auto [parent, name] = SysSplitRel(folder.rel);
    bool byLink = false;
    const int dir = EntryFolder(tree, parent, false, links, &byLink);
    if (byLink) continue;
    if (dir >= 0 && ::unlinkat(dir, std::string(name).c_str(), AT_REMOVEDIR) == 0) {
      ctx.run.FilesCopied().fetch_add(1);
      continue;
    }
    const int err = errno;
    if (err == ENOENT) continue;
    if (err == ENOTDIR && dir >= 0 && SysIsFolderLinkAt(dir, std::string(name).c_str())) {
      links.Add(folder.rel);
      continue;
    }
    if (err == ENOTEMPTY || err == EEXIST) {
      kept.push_back(folder.path);
      continue;
    }
    SetLastErrorFromErrno(err, folder.path.c_str());
    failed = true;
    if (LocalAsk(ctx, flags, FmtString(kDeleteFailed, folder.path.c_str()), kBoxError) == IDCANCEL) {
      *stopAll = true;
      break;
    }
  }
  std::reverse(kept.begin(), kept.end());  // outer folders first, as a listing shows them
  NoteKeptFolders(ctx.run, kept);
  return !failed;
}

// The delete phase over the listed target.
int DeleteSurplus(JobContext& ctx, const JobArgs& args, const std::string& target, const CopyOutcome& copy,
                  const char* exclusions, std::vector<std::string>& folderLinks) {
  const u32 flags = args.flags;
  CExcludeList& excluded = ctx.run.ExcludeList();
  ExcludeListBuild(excluded, exclusions, EXCLUDE_TARGET_SIGN);

  const int listFlags = CDirListing::DL_READ_ALL | (args.subdirs ? CDirListing::DL_SUBDIRS | CDirListing::DL_FOLDERS : 0);
  CDirListing list;
  list.Open(target.c_str(), listFlags, args.plus, args.minus);

  // A source inside the target is no surplus of it.
  const std::optional<std::string> sourceInside = RelativeInside(target, copy.split.root);

  // First pass: which entries are the row's at all (name pattern, excluded folders, the source
  // itself). Nothing is deleted before it is known whether the source shows any file.
  std::size_t candidateFiles = 0;
  const int count = list.GetCount();
  for (int i = 0; i < count; ++i) {
    CDirListing::Entry& entry = *list.GetEntry(i);
    entry.dwUser = 0;
    int relLength = 0;
    const char* rel = list.GetPath(i, &relLength, CDirListing::DL_PATH_RELATIVE);
    if (sourceInside && IsAtOrBelow(rel, *sourceInside)) continue;
    // Below a name that is a link to a folder in the source nothing was listed there: what the
    // target holds under it is no surplus.
    std::string link;
    if (IsBelowAny(std::string_view(rel, static_cast<std::size_t>(relLength)), copy.sourceFolderLinks, &link)) {
      const std::string path = copy.split.root + link;
      if (std::find(folderLinks.begin(), folderLinks.end(), path) == folderLinks.end()) folderLinks.push_back(path);
      continue;
    }
    const bool realFolder = entry.IsFolder() && !(entry.info.dwAttr & SYS_ATTR_LINK);
    if (IsExcluded(excluded, FolderPart(rel, relLength, realFolder))) continue;
    const char* name = list.GetPath(i, nullptr, CDirListing::DL_PATH_NAME);
    if (!NameMatchesPattern(copy.split.pattern, name, static_cast<int>(entry.nameLength))) continue;
    entry.dwUser = kCandidate;
    if (!realFolder) ++candidateFiles;
  }
  if (copy.filesSelected == 0 && candidateFiles > 0) {
    LocalAsk(ctx, flags, FmtString(kSourceEmpty, args.source), kBoxNote);
    return JOB_FAILED;
  }

  // Deleted by name in folders opened without following links: a folder swapped for a link while
  // the row runs is never deleted beneath.
  SysTree tree(target);
  CFolderLinkNotes links(tree.Root());
  struct KeepLinks {
    CFolderLinkNotes& found;
    std::vector<std::string>& into;
    ~KeepLinks() {
      for (const std::string& path : found.Found())
        if (std::find(into.begin(), into.end(), path) == into.end()) into.push_back(path);
    }
  } keep{links, folderLinks};
  ProgressPass progress(ctx, target, list.GetTotalSize());
  std::vector<SurplusFolder> folders;
  std::string sourcePath, targetPath;
  bool failed = false;
  for (int i = 0; i < count; ++i) {
    if (progress.Stopped()) break;
    const CDirListing::Entry& entry = *list.GetEntry(i);
    if (entry.dwUser != kCandidate) continue;
    const bool isLink = entry.info.dwAttr & SYS_ATTR_LINK;
    const bool realFolder = entry.IsFolder() && !isLink;
    int relLength = 0;
    const char* rel = list.GetPath(i, &relLength, CDirListing::DL_PATH_RELATIVE);
    const std::string relText(rel, static_cast<std::size_t>(relLength));  // the listing's buffer is reused
    const std::string_view relView(relText);
    // The source as its listing saw it: a folder for a folder; a file for a file; either for a
    // link, which is removed itself when neither is there.
    const bool inSource = realFolder ? HasSourceKey(copy, relView, true)
                                     : HasSourceKey(copy, relView, false) || (isLink && HasSourceKey(copy, relView, true));
    sourcePath = copy.split.root;
    sourcePath.append(relView);
    targetPath = list.GetPath(i, nullptr, CDirListing::DL_PATH_FULL);
    progress.Lines(targetPath, sourcePath);

    if (realFolder) {
      if (!inSource)
        folders.push_back({targetPath, std::string(relView),
                           static_cast<std::size_t>(std::count(relView.begin(), relView.end(), '/'))});
      continue;
    }
    if (!inSource) {
      // Linux lets anyone with rights on the folder delete a read-only file: test the bit.
      if ((flags & RUN_KEEP_READONLY) && !(entry.info.dwAttr & SYS_ATTR_WRITABLE)) {
        progress.Advance(entry.info.qwSize);
        continue;
      }
      const auto [relDir, name] = SysSplitRel(relView);
      bool byLink = links.Covers(relView);
      const int dir = byLink ? -1 : EntryFolder(tree, relDir, false, links, &byLink);
      if (byLink) {
        progress.Advance(entry.info.qwSize);
        continue;
      }
      if (dir >= 0 && SysDeleteAt(dir, std::string(name).c_str())) {
        ctx.run.FilesCopied().fetch_add(1);
      } else {
        failed = true;
        if (!ctx.run.IsCancelled() &&
            LocalAsk(ctx, flags, FmtString(kDeleteFailed, targetPath.c_str()), kBoxError) == IDCANCEL)
          return JOB_STOP_ALL;
      }
    }
    progress.Advance(entry.info.qwSize);
  }

  bool stopAll = false;
  if (!ctx.run.IsCancelled() && !RemoveEmptyFolders(ctx, flags, tree, links, folders, &stopAll)) failed = true;
  if (stopAll || ctx.run.IsCancelled()) return JOB_STOP_ALL;
  if (failed) return JOB_FAILED;
  if (list.GetReadState() <= 1) return JOB_DONE;
  LocalAsk(ctx, flags, FmtString(kDeleteIncomplete, target.c_str()), kBoxNote);
  return JOB_FAILED;
}

}  // namespace

}  // namespace copyjob

int RunCopyDel(JobContext& ctx, const JobArgs& args) {
  using namespace copyjob;
  const char* rest = args.extra ? args.extra : "";
  if (!HostListMatch(&rest, ctx.env.hostName)) return JOB_DONE;
  if (!args.source || !*args.source || !args.target || !*args.target) return JOB_FAILED;
  if (!PathsUsable(ctx, args)) return JOB_FAILED;
  const std::string target = args.target;
  switch (DelGuard(target.c_str(), false)) {
    case DEL_GUARD_ROOT:
      LocalAsk(ctx, args.flags, FmtString(kRootRefused, args.target), kBoxNote);
      return JOB_FAILED;
    case DEL_GUARD_UNKNOWN:
      LocalAsk(ctx, args.flags, FmtString(kTargetUnknown, args.target), kBoxNote);
      return JOB_FAILED;
    default:
      break;
  }

  CopyOutcome copy;
  const int copied = CopyTree(ctx, args, &copy);
  // The links both phases left alone are told once, on every way out.
  struct TellLinks {
    CRunState& run;
    std::vector<std::string> links;
    ~TellLinks() { NoteFolderLinks(run, links); }
  } tell{ctx.run, copy.folderLinks};
  if (ctx.run.IsCancelled() || copied == JOB_STOP_ALL || !copy.ran) return copied;

  // Nothing is deleted on the word of a source that is not there or could not be read whole:
  // a missing share or an unmounted disk must not empty the target.
  if (copy.sourceMissing) {
    LocalAsk(ctx, args.flags, FmtString(kSourceMissing, args.source), kBoxNote);
    return JOB_FAILED;
  }
  if (copy.readState > 1) {
    LocalAsk(ctx, args.flags, FmtString(kSourceUnreadable, args.source), kBoxNote);
    return JOB_FAILED;
  }
  if (SysFileExist(target.c_str()) != 2) return copied;  // no target folder: nothing to delete

  const int deleted = DeleteSurplus(ctx, args, target, copy, rest, tell.links);
  if (deleted != JOB_DONE) return deleted;
  return copied;
}
