// Job vocabulary: job rows, the seventeen modes, run flags, the schedule word, the extra-cell head.
#pragma once

#include "platform/win_types.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---- JobEntry ---------------------------------------------------------------------------------

// Columns of a job row, in list order.
enum JobColumn : int {
  JOB_COL_SOURCE = 0,   // "Quelle", key Q
  JOB_COL_TARGET = 1,   // "Ziel", key Z
  JOB_COL_PLUS = 2,     // "Plus Filter", key P
  JOB_COL_MINUS = 3,    // "Minus Filter", key M
  JOB_COL_SUBDIRS = 4,  // "Unter": "Ja" or "Nein"
  JOB_COL_MODE = 5,     // "Modus": a JobMode name
  JOB_COL_EXTRA = 6,    // "Zusatz", key X
  JOB_COLUMNS = 7,
};

// A cell holds at most this many characters (code points, not bytes).
inline constexpr int kJobCellMaxChars = 1283;
// The classic buffer size of a cell (terminator included); callers with char buffers use it.
inline constexpr int kJobCellBufSize = 1284;
// The subdirectories and mode cells are read through buffers of this size by the runner.
inline constexpr int kJobShortCellBufSize = 32;

// Column titles of the job list.
extern const char* const kJobColumnTitles[JOB_COLUMNS];

struct JobEntry {
  std::array<std::string, JOB_COLUMNS> cells;

  const std::string& Cell(int column) const { return cells[static_cast<std::size_t>(column)]; }
  std::string& Cell(int column) { return cells[static_cast<std::size_t>(column)]; }
  bool operator==(const JobEntry&) const = default;
};

// A cell never holds a line break (it would become a line of its own in the job file) nor a NUL;
// both become blanks. The text is kept whole: a cut path would name another folder, so a longer
// cell is refused when its row runs, and a save writes it back as it was.
std::string JobCellSanitize(std::string_view text);
// Whether a cell holds at most kJobCellMaxChars characters (code points; stops counting there).
bool JobCellFits(std::string_view text);

// The subdirectories cell means "no" only when it equals "Nein", letter case ignored.
bool JobSubdirsFromCell(std::string_view cell);
const char* JobSubdirsCell(bool subdirs);

// ---- JobMode ----------------------------------------------------------------------------------

enum JobMode : int {
  JOB_MODE_COPY = 0,
  JOB_MODE_COPY_DEL = 1,
  JOB_MODE_COPY_FILE = 2,
  JOB_MODE_ZIP = 3,
  JOB_MODE_ZIP_ADD = 4,
  JOB_MODE_REG = 5,
  JOB_MODE_REG_ADD = 6,
  JOB_MODE_MOVE = 7,
  JOB_MODE_DEL = 8,
  JOB_MODE_FTP = 9,
  JOB_MODE_FTP_DEL = 10,
  JOB_MODE_SYNCH = 11,
  JOB_MODE_PUFFER = 12,
  JOB_MODE_UPDATE = 13,
  JOB_MODE_VERSION = 14,
  JOB_MODE_SHRINK = 15,
  JOB_MODE_KOPIWART = 16,
  JOB_MODE_COUNT = 17,
};

// Mode number of a name, letter case ignored; a name not in the table gives JOB_MODE_COPY.
int JobModeFromName(std::string_view name);
// Mode number of a name, or -1 when the name is not in the table.
int JobModeFindName(std::string_view name);
// Mode number of a switch word such as "/ZIP_ADD" (letter case ignored, whole word), or -1.
int JobModeFromSwitch(std::string_view word);
// The name of a mode number; out-of-range numbers give "Copy".
const char* JobModeName(int mode);
// The switch word of a mode number, or null for "Copy" and numbers out of range.
const char* JobModeSwitch(int mode);

// ---- RunFlags ---------------------------------------------------------------------------------

enum RunFlags : u32 {
  RUN_NEWER_ONLY = 0x01,        // copy only files newer than the target
  RUN_DIALOG = 0x02,            // the run has a progress dialog: questions allowed
  RUN_SCHEDULE = 0x04,          // apply the schedule test
  RUN_NO_OVERWRITE = 0x08,      // never overwrite an existing target
  RUN_ADD = 0x10,               // the "Add" variant ("Zip Add", "Reg Add")
  RUN_KEEP_READONLY = 0x20,     // leave read-only targets alone
  RUN_DELETE_SURPLUS = 0x100,   // delete target files that the source lacks ("Ftp Del")
  RUN_SINGLE_FILE = 0x200,      // the target is a single file ("Copy File")
  RUN_CONTINUE_NEXT = 0x400,    // the next row continues the same archive or connection
  RUN_CONTINUED = 0x800,        // the previous row opened it
};

// ---- the mode table -----------------------------------------------------------------------------

// What a mode needs of its row's target when it runs.
enum class ModeTarget : u8 {
  Needed,
  NotForImport,  // an import (a ".reg" or ".crg" source) needs none
};

// What a mode shares with its neighbours (RunFlags 0x400 and 0x800).
enum class ModeShare : u8 {
  None,
  NewArchive,  // "Zip": continues into an add on the same archive
  AddArchive,  // "Zip Add": continues one on the same archive, and into the next add
  Connection,  // "Kopiwart": continues into a row on the same server
};

// What the runner, the view and the job file know of a mode besides its name.
enum ModeTraits : u32 {
  MODE_REGISTRY = 0x01,          // a registry key ("HKEY_...") belongs here and keeps its "\"
  MODE_REMOTE_SOURCE = 0x02,     // reaches a remote URL source
  MODE_REMOTE_TARGET = 0x04,     // reaches a remote URL target
  MODE_OWN_TARGET_TAGS = 0x08,   // keeps the date and generation tags of its target for itself
  MODE_RECHECK_ROW = 0x10,       // its row is checked again after it succeeded (its paths changed)
  MODE_FILE_NO_TARGET = 0x20,    // the job file keeps a row of this mode without a target
};

struct JobModeInfo {
  const char* name;
  const char* switchWord;  // the job-file line; null for "Copy"
  u32 addedFlags;          // the RunFlags the runner adds for the mode
  ModeTarget target;
  ModeShare share;
  u32 traits;              // ModeTraits
};

// One row a mode, by mode number. The workers are joined to it by the same numbers
// (jobs/worker_table.cpp), above the workers.
inline constexpr JobModeInfo kJobModes[JOB_MODE_COUNT] = {
    {"Copy", nullptr, 0, ModeTarget::Needed, ModeShare::None, 0},
    {"Copy Del", "/COPY_DEL", 0, ModeTarget::Needed, ModeShare::None, 0},
    {"Copy File", "/COPY_FILE", 0, ModeTarget::Needed, ModeShare::None, MODE_RECHECK_ROW},
    {"Zip", "/ZIP", 0, ModeTarget::Needed, ModeShare::NewArchive, 0},
    {"Zip Add", "/ZIP_ADD", RUN_ADD, ModeTarget::Needed, ModeShare::AddArchive, 0},
    {"Reg", "/REG", 0, ModeTarget::NotForImport, ModeShare::None, MODE_REGISTRY | MODE_FILE_NO_TARGET},
    {"Reg Add", "/REG_ADD", RUN_ADD, ModeTarget::NotForImport, ModeShare::None, MODE_REGISTRY},
    {"Move", "/MOVE", 0, ModeTarget::Needed, ModeShare::None, MODE_RECHECK_ROW},
    {"Del", "/DEL", 0, ModeTarget::Needed, ModeShare::None, MODE_FILE_NO_TARGET},
    {"Ftp", "/FTP", 0, ModeTarget::Needed, ModeShare::None, MODE_REMOTE_SOURCE | MODE_REMOTE_TARGET},
    {"Ftp Del", "/FTP_DEL", RUN_DELETE_SURPLUS, ModeTarget::Needed, ModeShare::None,
     MODE_REMOTE_SOURCE | MODE_REMOTE_TARGET},
    {"Synch", "/SYNCH", 0, ModeTarget::Needed, ModeShare::None, 0},
    {"Puffer", "/BUFFER", 0, ModeTarget::Needed, ModeShare::None, 0},
    {"Update", "/UPDATE", 0, ModeTarget::Needed, ModeShare::None, 0},
    {"Version", "/VERSION", 0, ModeTarget::Needed, ModeShare::None, 0},
    {"Shrink", "/SHRINK", 0, ModeTarget::Needed, ModeShare::None, MODE_OWN_TARGET_TAGS},
    {"Kopiwart", "/KOPIWART", 0, ModeTarget::Needed, ModeShare::Connection, MODE_REMOTE_TARGET},
};

// The row of a mode number; out-of-range numbers give "Copy".
constexpr const JobModeInfo& JobModeInfoOf(int mode) {
  return kJobModes[(mode >= 0 && mode < JOB_MODE_COUNT) ? mode : JOB_MODE_COPY];
}
constexpr bool JobModeHas(int mode, u32 traits) { return (JobModeInfoOf(mode).traits & traits) != 0; }

// ---- ScheduleWord -----------------------------------------------------------------------------

enum ScheduleWord : u32 {
  SCHED_UNIT_MASK = 0xFF,
  SCHED_ALWAYS = 0,
  SCHED_DAYS = 1,
  SCHED_WEEKS = 2,
  SCHED_MONTHS = 3,               // months of 30 days
  SCHED_NEWER_ONLY = 0x8000,      // "Nur neuere Dateien kopieren"
  SCHED_NEVER_OVERWRITE = 0x4000, // "Dateien nie überschreiben"
  SCHED_KEEP_READONLY = 0x2000,   // leave read-only files alone
  SCHED_NO_STORE_TIME = 0x1000,   // a changed last-run time does not mark the list modified
  SCHED_OPTION_MASK = 0xF000,
};

// The schedule kept beside the rows. An empty list has (0, 1, 0).
struct JobSchedule {
  u32 word = 0;
  i32 interval = 1;   // interval count; the dialog offers 0-1023
  u32 lastRun = 0;    // seconds since 1970 UTC, 0 = never; 32 bits reach 2106
  bool operator==(const JobSchedule&) const = default;
};

// Seconds of one unit of the word: 0 for "always" and for unknown units. 64-bit throughout, so
// that 1023 months or a negative count cannot overflow.
i64 ScheduleUnitSeconds(u32 word);
i64 ScheduleIntervalSeconds(u32 word, i32 count);
// Last-run time plus interval, in 64 bits.
i64 ScheduleNextTime(const JobSchedule& schedule);

// ---- JobExtraField head -----------------------------------------------------------------------

// The common head of the extra-settings cell: "*[" host "]" ";", then "*" or "*;" (the target must
// exist), then ";"-separated excluded folders. The per-mode rest follows. The parsing belongs to
// the worker services; this is the shape they fill.
struct JobExtraHead {
  bool hostRestricted = false;     // the cell began with "*["
  std::string host;                // the computer name of the restriction
  bool targetMustExist = false;    // the existing-target sign was present
  std::vector<std::string> excludedFolders;  // lower case, "/" separators, may hold "*" and "?"
  std::size_t restOffset = 0;      // where the per-mode remainder begins
};

inline constexpr char kExtraHostHead[] = "*[";
inline constexpr char kExtraTargetSign = '*';
inline constexpr char kExtraSeparator = ';';
