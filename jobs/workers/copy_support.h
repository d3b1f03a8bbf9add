// Pieces the copy workers share: the tree copy with what the deleting mode learns from it, path
// helpers, progress reporting and questions.
#pragma once

#include "jobs/exclude_list.h"
#include "jobs/job_extra.h"
#include "jobs/run_host.h"
#include "jobs/workers/worker_support.h"
#include "lib/system/dirlisting.h"
#include "lib/system/sys_types.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CProgressDlg;

namespace copyjob {

// ---- texts ----------------------------------------------------------------------------------------

inline constexpr char kCopyFailed[] = "Fehler beim Kopieren von:\n%s\nnach:\n%s";
inline constexpr char kCopyIncomplete[] = "Es gab einen Fehler beim kopieren von:\n\n%s";
inline constexpr char kDeleteFailed[] = "Fehler beim Löschen von:\n%s";
inline constexpr char kDeleteIncomplete[] = "Es gab einen Fehler beim Löschen von:\n\n%s";
inline constexpr char kPathRefused[] = "Der Pfad kann hier nicht verwendet werden:\n%s";
inline constexpr char kSourceMissing[] = "Der Quellordner wurde nicht gefunden:\n%s\nIm Ziel wurde nichts gelöscht.";
inline constexpr char kSourceUnreadable[] =
    "Die Quelle konnte nicht vollständig gelesen werden:\n%s\nIm Ziel wurde nichts gelöscht.";
inline constexpr char kSourceEmpty[] =
    "Die Quelle enthält keine Dateien, das Ziel aber schon:\n%s\nIm Ziel wurde nichts gelöscht.";
inline constexpr char kRootRefused[] =
    "Das Ziel ist das Wurzelverzeichnis:\n%s\nKopieren mit Löschen wird dort nicht ausgeführt.";
inline constexpr char kTargetUnknown[] =
    "Das Ziel kann nicht geprüft werden:\n%s\nKopieren mit Löschen wird dort nicht ausgeführt.";

// ---- paths ----------------------------------------------------------------------------------------

// Where a listing of a source path starts: its folder (with a trailing "/") and the name pattern
// of its last component (a wildcard or a file name; empty when the path names a folder). Follows
// the listing's own rule, so both sides of a mode agree.
struct SourceSplit {
  std::string root;
  std::string pattern;
};
SourceSplit SplitSource(const std::string& source);
// Whether an entry's name passes the name pattern of a split (empty pattern: every name).
bool NameMatchesPattern(const std::string& pattern, const char* name, int length);

// The path of inner relative to outer when inner lies in outer or is outer itself ("" then),
// comparing real paths; nullopt when it does not or either cannot be resolved.
std::optional<std::string> RelativeInside(const std::string& outer, const std::string& inner);
// Whether rel lies strictly below one of the relative folder paths (sorted); the first such
// folder in *which.
bool IsBelowAny(std::string_view rel, const std::vector<std::string>& sortedFolders, std::string* which);
// Whether a path is a folder or a link (not followed).
bool IsFolderOrLink(const std::string& path);
// Whether rel is prefix or lies below it; an empty prefix covers everything.
bool IsAtOrBelow(const std::string& rel, const std::string& prefix);

// The folder part of an entry's relative path that the excluded folders are matched against:
// a folder's own path, a file's path without its name.
std::string FolderPart(const char* rel, int length, bool isFolder);
// Whether the excluded-folder list names the folder part (the remembered pattern first).
bool IsExcluded(CExcludeList& list, const std::string& folderPart);

// ---- running ----------------------------------------------------------------------------------------

// Refuses a source or target that has no local meaning (drive or UNC forms): tells why and
// returns false.
bool PathsUsable(JobContext& ctx, const JobArgs& args);

// A copy row's source and target.
struct CopyRowPaths {
  std::string source, target;
};
// The start that "Copy" and "Update" rows share: the host list in the extra cell, both paths
// given and usable, then the excluded folders of the run (whose "*" sign skips a row with a
// missing target). Returns the paths to go on with; nullopt ends the row with *result.
std::optional<CopyRowPaths> StartCopyRow(JobContext& ctx, const JobArgs& args, int* result);

// The progress of one pass over a listing: the record that the timer reads and, with a dialog,
// the lines and the bar. Removes its timer callback on every way out.
class ProgressPass {
 public:
  ProgressPass(JobContext& ctx, const std::string& line0, u64 total);
  ~ProgressPass();
  ProgressPass(const ProgressPass&) = delete;
  ProgressPass& operator=(const ProgressPass&) = delete;

  // The cancel test between entries (LocalCancelled), showing the position.
  bool Stopped();
  void Advance(u64 bytes);
  void Lines(const std::string& line0, const std::string& line1);
  // Around one file copy.
  void BeginFile(u64 size);
  void EndFile(u64 size);

 private:
  JobContext& m_ctx;
  CProgressDlg* m_dialog;
  u64 m_position = 0;
};

// ---- the tree copy ----------------------------------------------------------------------------------

// What the copy phase learned, for the delete phase of "Copy Del".
struct CopyOutcome {
  bool ran = false;          // false: another host, or the target sign with no target
  bool sourceMissing = false; // the named source or the folder of a pattern does not exist
  int readState = 2;         // of the source listing (2 also when the source is missing)
  u64 filesSelected = 0;     // source files the copy considered (not excluded, not the target)
  bool entryFailed = false;  // some entry could not be copied
  SourceSplit split;         // the listed folder and the name pattern
  // What the source listing held, as sorted keys of relative path and kind; the delete phase
  // looks its entries up here instead of asking the file system for each one again.
  std::vector<u64> sourceKeys;
  // Relative paths of the source's links to folders, which were not entered: nothing below
  // them in the target is surplus.
  std::vector<std::string> sourceFolderLinks;
  // Links to folders that were left alone, for the row's note.
  std::vector<std::string> folderLinks;
};

// The key of a relative path and kind in CopyOutcome::sourceKeys.
u64 SourceKey(std::string_view rel, bool isFolder);
bool HasSourceKey(const CopyOutcome& outcome, std::string_view rel, bool isFolder);

// "Copy" (and with RunFlags 0x200 "Copy File"); outcome may be null.
int CopyTree(JobContext& ctx, const JobArgs& args, CopyOutcome* outcome);

}  // namespace copyjob
