// The communication library's function table: stand-bys until the library is loaded at run time.
#pragma once

#include "platform/win_types.h"
#include "remote/commlib/comm_lib_api.h"

#include <string>
#include <vector>

// The library's file name; it is looked up in the program's own folder, then by name (the
// system's library path), then in the folder that the machine's registry value
// "Software\Tavrin\Tavrin-Tools" "Path" names, below "Tools/".
inline constexpr const char* kCommLibFile = "libTavrinCommLib.so";
// The text of every stand-by ErrorText.
inline constexpr const char* kCommLibNotLoaded = "libTavrinCommLib.so isn't loaded";

// The 55 slots in their fixed order: Sftp (22), then Ssh, Raw and Telnet (11 each). Raw and
// Telnet have the Ssh call shapes; only Sftp and Ssh are called.
#define KPW_COMM_SHELL_SLOTS(X, P)                                                                            \
  X(P##ErrorText, SshErrorTextFn) X(P##Connect, SshConnectFn) X(P##Wait, SshWaitFn) X(P##Read, SshReadFn)      \
  X(P##Write, SshWriteFn) X(P##ReadCount, SshReadCountFn) X(P##WriteCount, SshWriteCountFn)                    \
  X(P##IsConnected, SshIsConnectedFn) X(P##Close, SshCloseFn) X(P##Break, SshBreakFn) X(P##Create, SshCreateFn)
#define KPW_COMM_SLOTS(X)                                                                                      \
  X(SftpCreate, SftpCreateFn) X(SftpBreak, SftpBreakFn) X(SftpIsConnected, SftpIsConnectedFn)                  \
  X(SftpClose, SftpCloseFn) X(SftpErrorText, SftpErrorTextFn) X(SftpConnect, SftpConnectFn)                    \
  X(SftpStat, SftpStatFn) X(SftpSetStat, SftpSetStatFn) X(SftpRemove, SftpRemoveFn) X(SftpRmdir, SftpRmdirFn)  \
  X(SftpMkdir, SftpMkdirFn) X(SftpReadDir, SftpReadDirFn) X(SftpRealPath, SftpRealPathFn)                      \
  X(SftpReadLink, SftpReadLinkFn) X(SftpRename, SftpRenameFn) X(SftpSymLink, SftpSymLinkFn)                    \
  X(SftpUploadProc, SftpUploadProcFn) X(SftpUploadFile, SftpUploadFileFn)                                      \
  X(SftpDownloadProc, SftpDownloadProcFn) X(SftpDownloadFile, SftpDownloadFileFn)                              \
  X(SftpProgressSet, SftpProgressSetFn) X(SftpProgress, SftpProgressFn)                                        \
  KPW_COMM_SHELL_SLOTS(X, Ssh) KPW_COMM_SHELL_SLOTS(X, Raw) KPW_COMM_SHELL_SLOTS(X, Telnet)

struct CommLibFunctions {
#define KPW_COMM_MEMBER(name, type) type name;
  KPW_COMM_SLOTS(KPW_COMM_MEMBER)
#undef KPW_COMM_MEMBER
};
static_assert(sizeof(CommLibFunctions) == 55 * sizeof(void*), "55 slots");

// The process's table. It changes only in CommLibLoad and CommLibUnload, which callers keep apart
// from calls through it (a connect loads once per process; nothing unloads while it runs).
CommLibFunctions& CommLib();
// A table of stand-bys only: Create gives 0, Break does nothing, ErrorText copies
// kCommLibNotLoaded, the other Sftp slots return 15, Ssh 24, Raw and Telnet 10.
CommLibFunctions CommLibStandBys();

// Counted: a call when the library is not loaded loads the crypto library by its soname (else
// from the folder of the file that OPENSSL_CONF names), then the library (see kCommLibFile);
// each exported name replaces its stand-by. TRUE when the library is loaded; only such calls
// count (a failed one tries again next time and needs no CommLibUnload).
int CommLibLoad();
// Counts down; at 0 the stand-bys return and both libraries are let go.
void CommLibUnload();
// The Windows error of a result of the Sftp or Ssh functions (any other result gives 12); *renew
// (may be null) says whether the session is in doubt after it and must be tested, or replaced,
// before the next call.
DWORD CommLibError(int result, bool* renew = nullptr);

// The places CommLibLoad tries for the library, in order, and the one it loaded ("" for none).
std::vector<std::string> CommLibCandidates();
std::string CommLibLoadedPath();
