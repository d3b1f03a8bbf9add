// Rules of a run that need no view: schedule test, RunFlags, target and path checks, continuation.
#pragma once

#include "jobs/job_model.h"
#include "platform/win_types.h"

#include <optional>
#include <string>
#include <string_view>

// ---- schedule -----------------------------------------------------------------------------------

// How early a run may start and still count as due: 1/24 of the interval, at most one hour, so
// that a daily start a few minutes early, or a long run, does not skip every other day.
i64 ScheduleTolerance(i64 intervalSeconds);

// Whether a run under the schedule is due at now (seconds since 1970): always for the unit
// "always", an unknown unit or an interval of 0; when it never ran (last-run time 0); when the
// clock went back (now before the last run); else once the interval less the tolerance has
// passed. 64-bit throughout.
bool ScheduleIsDue(const JobSchedule& schedule, i64 now);

// ---- RunFlags -----------------------------------------------------------------------------------

// The RunFlags that the schedule word's options give: 0x8000 -> 0x01, 0x4000 -> 0x08,
// 0x2000 -> 0x20. The one place they are derived; every run applies them.
u32 RunFlagsFromSchedule(u32 word);

// RunFlags of a start-up run: 0x02 | 0x04, with "always" 0x02 instead (the schedule is not
// applied); without a window 0x02 is removed (the run is direct). The schedule's options come
// on top.
u32 StartupRunFlags(bool always, bool noWindow, u32 word);

// ---- rows ---------------------------------------------------------------------------------------

// Whether a row needs a target: every mode does, except an import by "Reg" or "Reg Add" (a
// source ending in ".reg" or ".crg", letter case ignored).
bool RowNeedsTarget(int mode, std::string_view source);

// Whether a "Reg" source names a registry key ("HKEY_" in any letter case) rather than a file.
bool IsRegistryKeyPath(std::string_view text);
// A source or target cell as the row takes it: in a local path, text the user wrote, "\" is a
// separator and becomes "/" before the variables are expanded (their values stay as they are).
// A URL, and the registry key of a "Reg" or "Reg Add" source, keep their "\". The date and time
// variables give the time of now, the run's clock.
std::string RowPathFromCell(int mode, int column, std::string_view cell, i64 now);
// The first $(NAME) of a cell whose name is unknown (nothing when every name is known), and the
// message of a row refused for it.
std::optional<std::string> UnknownVariableOf(std::string_view cell);
std::string UnknownVariableText(std::string_view name);

// Notes of rows that fail before any worker: a German line naming the row (1-based number).
std::string RowRefusedText(int row, std::string_view reason);
inline constexpr char kNoSourceReason[] = "Es ist keine Quelle angegeben; der Eintrag wird nicht ausgeführt !";
inline constexpr char kNoTargetReason[] = "Es ist kein Ziel angegeben; der Eintrag wird nicht ausgeführt !";
// A source or target cell longer than kJobCellMaxChars characters: the row is refused whole
// rather than run on a cut path.
std::string SourceTooLongReason();
std::string TargetTooLongReason();
// The export of a key without a target: in one line, and as the registry worker words a failed
// export.
std::string NoExportTargetReason(std::string_view key);
std::string RegExportFailedText(std::string_view key, std::string_view target);

// A drive letter ("X:") or a UNC head ("\\server" or "//server") as EncUrlForm tells them: such
// paths have no meaning here.
bool IsDriveOrUncPath(std::string_view path);
// The message of a row refused for such a path.
std::string DriveOrUncPathText(std::string_view path);

// Characters (code points) of an expanded cell at most; a longer one fails the row.
bool CellFitsAfterExpansion(std::string_view text);
// The message of a row whose cell grows too long by its variables.
std::string CellTooLongText(std::string_view cell);

// What decides whether a row continues its neighbour's archive or connection: the mode found in
// the table and the target with its variables and date expanded (generation and version tags
// as they stand).
struct RowKey {
  int mode = JOB_MODE_COPY;
  std::string target;
};

// Whether next continues what row opened: "Zip" or "Zip Add" followed by "Zip Add" on the same
// archive path; "Kopiwart" followed by "Kopiwart" whose target URL names the same scheme, host,
// port, user and password. Row then gets RunFlags 0x400 and next 0x800.
bool RowContinues(const RowKey& row, const RowKey& next);

// The RunFlags that a mode adds of its own: 0x10 for "Zip Add" and "Reg Add", 0x100 for "Ftp Del".
u32 ModeAddedFlags(int mode);
// Whether the mode shares an archive or a connection with its neighbours (0x400 and 0x800).
bool ModeContinues(int mode);
