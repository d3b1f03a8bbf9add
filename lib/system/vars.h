// The variables table: named texts that $(NAME) in job paths and imported values refers to.
//
// One table per process, guarded by a lock; VarExpand may run on any number of threads at once.
//
// VarInit(what) fills the table; what is a bit set:
//   VAR_INIT_ENVIRONMENT (1)  every variable of the process environment,
//   VAR_INIT_PREDEFINED  (2)  the predefined names below, where the environment has no such name,
//   VAR_INIT_STARTUP     (4)  what the program does at start-up: the table is emptied first, then
//                             filled as with 1 | 2.
//
// Predefined names (computed by VarInit):
//   USER, LOGNAME, USERNAME        the login name of the effective user
//   HOME, USERPROFILE, HOMEPATH    the home folder; HOMEDRIVE is empty, so that the Windows form
//                                  $(HOMEDRIVE)$(HOMEPATH) gives the home folder too
//   HOSTNAME, COMPUTERNAME,        the host name (without domain)
//   USERDOMAIN
//   TEMP, TMP, TMPDIR              the temporary folder: $TMPDIR, else /tmp
//   XDG_CONFIG_HOME, APPDATA       $XDG_CONFIG_HOME, else ~/.config
//   XDG_DATA_HOME, LOCALAPPDATA    $XDG_DATA_HOME, else ~/.local/share
//   XDG_CACHE_HOME                 $XDG_CACHE_HOME, else ~/.cache
//   XDG_DESKTOP_DIR, DESKTOP       the desktop folder of ~/.config/user-dirs.dirs, else ~/Desktop
//   XDG_DOCUMENTS_DIR, DOCUMENTS   the documents folder of user-dirs.dirs, else the home folder
// Names computed at every expansion (local time), unless the table holds the name:
//   DATE "2024-03-31", TIME "14-05-09" (no ":", so that it may stand in file names), YEAR "2024",
//   MONTH "03", DAY "31", HOUR "14", MINUTE "05", SECOND "09", WEEKDAY "So" ... "Sa".
// Their time is the caller's now (seconds since 1970) where one is given: a run passes the clock
// of its environment, which also dates its tags. Without one it is the system's.
// The job engine sets KPW_PATH, KPW_FILE, CURRENT_PATH and CURRENT_FILE with VarSet.
//
// Names are looked up exactly first, then without regard to ASCII letter case, so that job files
// written on Windows ($(Temp), $(UserProfile)) still find their variables.
#pragma once

#include "platform/win_types.h"

#include <optional>
#include <string>
#include <string_view>

enum : int {
  VAR_INIT_ENVIRONMENT = 1,
  VAR_INIT_PREDEFINED = 2,
  VAR_INIT_STARTUP = 4,
};

// Fills the table as described above; returns the number of variables it holds afterwards.
int VarInit(int what);
// Empties the table.
void VarClear();
// Sets a variable (flags: 0); a null value removes it. FALSE (error 87) for an empty name or a
// name with "(", ")" or "$".
int VarSet(const char* name, const char* value, int flags);
// The value of a variable (also the computed date and time names, of now); nothing when unknown.
std::optional<std::string> VarGet(std::string_view name, std::optional<i64> now = std::nullopt);

// Expands $(NAME) (an unknown name gives nothing) and "$$" (gives "$"); a "$" before anything
// else, and "$(" without ")", stay as they are; values are not expanded again.
// Returns the text itself when it holds no "$", else a buffer of the calling thread that its next
// call reuses. size is the caller's buffer size, terminator included: a result that does not fit
// (also the unexpanded text itself) gives nullptr with last error 206, never a shortened text.
// A null text gives nullptr with last error 87.
const char* VarExpand(const char* text, int size);
// The same without a size limit; the date and time names give the time of now.
std::string VarExpandString(std::string_view text, std::optional<i64> now = std::nullopt);
