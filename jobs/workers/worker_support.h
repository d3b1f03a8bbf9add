// What every mode worker uses: questions, cancel tests, lookups that keep their errno, the copy of
// one file, the cancel callbacks of a run and the network-drive reconnection.
#pragma once

#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"
#include "jobs/worker.h"
#include "lib/system/sys_copy.h"
#include "lib/system/sys_counter.h"
#include "lib/system/sys_types.h"

#include <cerrno>
#include <string>

class CUrlConnection;

// Box types of the workers' questions.
inline constexpr u32 kBoxError = 0x11;  // OK and Cancel, stop icon
inline constexpr u32 kBoxNote = 0x10;   // OK, stop icon

// Asks text (with RunFlags 0x02; without it the text is only logged) and returns the answer;
// Cancel (2) sets the run's cancel flag.
int LocalAsk(JobContext& ctx, u32 flags, const std::string& text, u32 type);
// LocalAsk as a row's result: -2 when the answer was Cancel, else -1.
int LocalFail(JobContext& ctx, u32 flags, const std::string& text, u32 type = kBoxError);

// A cancelled progress dialog raises the run's cancel flag; true while the run is cancelled.
bool LocalCancelled(JobContext& ctx);

// The flag a copy watches: the dialog's cancel flag, or without a dialog the run's own, so that
// an unattended run that is stopped does not finish a large file first.
const SysCancelFlag* LocalEngineCancel(JobContext& ctx);

// Looks path up (a link reports its target's data and SYS_ATTR_LINK). 0 with *info
// filled, else the errno; the last error is set.
int LocalLookup(const char* path, SysFileInfo* info);
// Only these mean "not there"; any other failure means "cannot look".
inline bool LocalMissing(int err) { return err == ENOENT || err == ENOTDIR; }

// "\n(" + the German text of the last error + ")", or "" when the code has none.
std::string LocalLastErrorNote();

// The text cut to at most max bytes, never inside a UTF-8 sequence.
std::string LocalCutText(std::string text, std::size_t max);

// ---- one file copy ----------------------------------------------------------------------------

// Copies one file through the engine (its flags), counting into the run's progress record and
// watching LocalEngineCancel, and makes the engine's result the row's: SYS_COPY_DONE counts the
// file as copied; SYS_COPY_STOPPED leaves the run cancelled (a cancel of the dialog becomes the
// run's); a negative result is a failure that the last error explains. Returns the engine's
// result; the question after a failure is the caller's.
int LocalCopyFile(JobContext& ctx, int engineFlags, const char* from, const char* to);
// The same for srcName in the folder open as srcDir onto dstName in the folder open as dstDir.
int LocalCopyFileAt(JobContext& ctx, int engineFlags, int srcDir, const char* srcName, int dstDir,
                    const char* dstName);

// ---- cancel callbacks -------------------------------------------------------------------------

// Raises a worker's stop flag (the cancel callback of a progress dialog).
void CancelSetFlag(SysCancelFlag* flag);
// Breaks the connection's running transfer, if any (the cancel callback during a transfer).
void CancelBreakConnection(CUrlConnection* connection);

// ---- network drives ---------------------------------------------------------------------------

// Drive letters have no meaning here, so there is never a mapped drive to reconnect: empties the
// buffer (when there is room) and returns 0. No program is run.
int ConnectNetworkDrive(const char* drive, char* buffer, int size);
