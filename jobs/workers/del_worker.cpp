// "Del": deletes the files that the filters select, then the listed folders, deepest first.
#include "jobs/progress/progress_dlg.h"
#include "jobs/workers/delete_guard.h"
#include "jobs/workers/folder_links.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/row_notes.h"
#include "jobs/workers/worker_support.h"
#include "lib/system/dirlisting.h"
#include "lib/system/sys.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_tree.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kDelFailHead[] = "Fehler beim Löschen von:\n\n";

bool HasWildcard(const char* path) {
  int nameLength = 0;
  const char* name = SysPathName(-1, path, &nameLength);
  return std::strpbrk(name, "*?") != nullptr;
}

// A name part made of "*", "?" and "." with at least one "*" ("*", "*.*", "?*", ...) counts as
// selecting everything, like no filter at all. Some of them spare a few names; for the folders
// that are never emptied it is safer to refuse those too.
bool SelectsEverything(const char* path) {
  int nameLength = 0;
  const char* name = SysPathName(-1, path, &nameLength);
  return std::strchr(name, '*') != nullptr && name[std::strspn(name, "*?.")] == '\0';
}

std::string GuardText(int guard, const char* source) {
  switch (guard) {
    case DEL_GUARD_ROOT: return std::string("Das Wurzelverzeichnis wird nicht gelöscht:\n") + source;
    case DEL_GUARD_MOUNT: return std::string("Ein Einhängepunkt wird nicht ohne Filter gelöscht:\n") + source;
    case DEL_GUARD_UNKNOWN: return std::string("Der Ordner kann nicht geprüft werden und wird nicht gelöscht:\n") + source;
    default: return std::string("Das Benutzerverzeichnis wird nicht ohne Filter gelöscht:\n") + source;
  }
}

// Longest path first; equal lengths in reverse text order, so that inner folders go before
// the folders that hold them.
bool DeeperFirst(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() > b.size();
  return a > b;
}

// The path without separators at its end ("/" stays), so that "link/" names the link itself.
std::string WithoutEndSlash(const char* path) {
  std::string bare = path;
  while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
  return bare;
}

bool IsLink(const std::string& path) {
  const SysOsPath os(path.c_str());
  struct stat st {};
  return os.ok() && ::lstat(os.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int RemoveFolder(const char* path) {
  const SysOsPath os(path);
  if (!os.ok()) return 0;
  if (::rmdir(os.c_str()) == 0) return 1;
  SetLastErrorFromErrno(errno, os.c_str());
  return 0;
}

}  // namespace

int RunDel(JobContext& ctx, const JobArgs& args) {
  const char* source = args.source;
  const u32 flags = args.flags;
  const bool filtered = *args.plus || *args.minus;
  const bool wildcard = HasWildcard(source);

  // A job path that is a link goes as a link, whatever the filters say; nothing behind it is
  // listed or touched, so the guards of the folder it points to do not apply.
  if (!wildcard) {
    const std::string bare = WithoutEndSlash(source);
    if (IsLink(bare)) {
      if (CProgressDlg* dialog = ctx.run.ActiveDialog()) {
        dialog->SetLine(nullptr, source, 0);
        dialog->SetTotal(1);
        dialog->SetPos(0);
        dialog->SetLine(nullptr, "Löschen", 1);
      }
      if (LocalCancelled(ctx)) return JOB_DONE;
      if (!SysDelete(bare.c_str()))
        return LocalFail(ctx, flags, kDelFailHead + std::string(source) + LocalLastErrorNote());
      ++ctx.run.FilesCopied();
      return JOB_DONE;
    }
  }

  // The folder that is listed: the source, or for a wildcard the folder that holds the names.
  std::string folder = source;
  if (wildcard) {
    SysStrDir(folder, source);
    if (folder.empty()) folder = ".";
  }
  SysFileInfo info;
  if (const int err = LocalLookup(folder.c_str(), &info)) {
    if (LocalMissing(err)) return JOB_DONE;
    return LocalFail(ctx, flags, kDelFailHead + std::string(source) + LocalLastErrorNote());
  }
  const bool sourceFolder = !wildcard && (info.dwAttr & SYS_ATTR_FOLDER);
  if (wildcard && !(info.dwAttr & SYS_ATTR_FOLDER)) return JOB_DONE;  // nothing can match

  const bool emptiesWhole = !filtered && (sourceFolder || (wildcard && SelectsEverything(source)));
  if (const int guard = DelGuard(folder.c_str(), emptiesWhole)) return LocalFail(ctx, flags, GuardText(guard, source));

  CDirListing listing(source, args.subdirs ? 0x7000 : 0x1000, args.plus, args.minus);
  const int count = listing.GetCount();
  CProgressDlg* dialog = ctx.run.ActiveDialog();
  if (dialog) {
    dialog->SetLine(nullptr, source, 0);
    dialog->SetTotal(count);
    dialog->SetPos(0);
    dialog->SetLine(nullptr, "Löschen", 1);
  }

  bool failed = false;
  int done = 0;
  // Before each deletion: a cancel in the dialog stops the run; false once the run is stopped.
  const auto goOn = [&] {
    if (dialog && dialog->IsCancelled()) ctx.run.SetCancel();
    if (dialog) dialog->SetPos(done);
    return !ctx.run.IsCancelled();
  };
  // After each deletion: counted, or told; false when the answer stops every row.
  const auto settle = [&](bool deleted, const std::string& path) {
    if (deleted) {
      ++ctx.run.FilesCopied();
    } else {
      failed = true;
      if (LocalFail(ctx, flags, kDelFailHead + path) == JOB_STOP_ALL) return false;
    }
    if (dialog) dialog->SetLine(nullptr, path.c_str(), 0);
    ++done;
    return true;
  };

  // Below the listed folder everything is deleted by name in folders opened without following
  // links: a folder swapped for a link while the row runs is never deleted beneath.
  SysTree tree(listing.GetRootPath());
  CFolderLinkNotes links(tree.Root());
  struct TellLinks {
    CRunState& run;
    const CFolderLinkNotes& links;
    ~TellLinks() { NoteFolderLinks(run, links.Found()); }
  } tell{ctx.run, links};
  // Deletes rel (a folder with folder set); false when it failed. A name below a link to a
  // folder is left alone: true with *skipped set.
  const auto removeAt = [&](const std::string& rel, bool folder, bool* skipped) {
    *skipped = links.Covers(rel);
    if (*skipped) return true;
    const auto [relDir, name] = SysSplitRel(rel);
    const int dir = EntryFolder(tree, relDir, false, links, skipped);
    if (*skipped) return true;
    if (dir < 0) return false;
    const std::string leaf(name);
    if (!folder) return SysDeleteAt(dir, leaf.c_str()) != 0;
    if (SysRmdirAt(dir, leaf.c_str())) return true;
    if (SysIsFolderLinkAt(dir, leaf.c_str())) {
      links.Add(rel);
      *skipped = true;
      return true;
    }
    return false;
  };

  struct Folder {
    std::string path, rel;
  };
  std::vector<Folder> folders;
  for (int i = 0; i < count; ++i) {
    if (!goOn()) break;
    const CDirListing::Entry* entry = listing.GetEntry(i);
    const std::string rel = listing.GetPath(i, nullptr, CDirListing::DL_PATH_RELATIVE);
    const std::string path = listing.GetPath(i, nullptr, CDirListing::DL_PATH_FULL);
    const bool link = entry->info.dwAttr & SYS_ATTR_LINK;
    if (entry->IsFolder() && !link) {
      folders.push_back({path, rel});
      continue;
    }
    if (entry->IsFolder() && *args.plus) {
      // A link to a folder is deleted as a link, and only when the plus filter names it like a file.
      int nameLength = 0;
      const char* name = listing.GetPath(i, &nameLength, CDirListing::DL_PATH_NAME);
      if (StrMatchPatternListA(name, nameLength, args.plus, STR_MATCH_NOCASE | STR_MATCH_STARDOT, ';') <= 0) continue;
    }
    if ((flags & RUN_KEEP_READONLY) && !(entry->info.dwAttr & SYS_ATTR_WRITABLE)) continue;
    bool skipped = false;
    const bool deleted = removeAt(rel, false, &skipped);
    if (skipped) continue;
    if (!settle(deleted, path)) return JOB_STOP_ALL;
    if (dialog) dialog->SetPos(done);
  }

  std::sort(folders.begin(), folders.end(), [](const Folder& a, const Folder& b) { return DeeperFirst(a.path, b.path); });
  for (const Folder& folder : folders) {
    if (!goOn()) break;
    bool skipped = false;
    const bool deleted = removeAt(folder.rel, true, &skipped);
    if (skipped) continue;
    if (!settle(deleted, folder.path)) return JOB_STOP_ALL;
  }
  // No filters: the folder itself goes too, whatever the subdirectories cell says; it is the
  // cell's own path, and a folder holds no folders deeper than itself.
  if (sourceFolder && !filtered && goOn()) {
    if (!settle(RemoveFolder(source) != 0, source)) return JOB_STOP_ALL;
  }

  if (failed) return JOB_FAILED;
  if (listing.GetReadState() <= 1) return JOB_DONE;
  return LocalFail(ctx, flags, std::string("Es gab einen Fehler beim Löschen von:\n\n") + source, kBoxNote);
}
