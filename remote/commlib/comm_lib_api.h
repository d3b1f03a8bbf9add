// The functions that the communication library exports by name with C linkage, and their codes.
#pragma once

#include <stdint.h>

// Handles are small non-zero ids that are never handed out twice in a process; a call on an id
// that is closed or unknown does nothing (Break, Progress) or fails with COMM_BAD_HANDLE.
//
// Threads: each handle is driven by one thread at a time. Break and Progress/ProgressSet may be
// called from any thread at any time: Break only sets a flag and shuts the socket down, and the
// call that was running returns COMM_BREAK; the session is lost then and a new handle is needed.
//
// Environment (read at each connect): TAVRIN_KNOWN_HOSTS names the known-hosts file (default
// $XDG_CONFIG_HOME/Tavrin/known_hosts, else ~/.config/Tavrin/known_hosts); TAVRIN_SSH_IDENTITY
// names the private key tried after the password (default ~/.ssh/id_ed25519, id_ecdsa, id_rsa).

extern "C" {

// Result codes of the Sftp and Ssh functions. 1 to 8 are the SFTP server's own status codes,
// passed on unchanged.
enum CommResult {
  COMM_OK = 0,
  COMM_EOF = 1,
  COMM_NO_SUCH_FILE = 2,
  COMM_PERMISSION_DENIED = 3,
  COMM_FAILURE = 4,
  COMM_BAD_MESSAGE = 5,
  COMM_NO_CONNECTION = 6,    // the handle was never connected
  COMM_CONNECTION_LOST = 7,  // the session broke down: a new handle is needed
  COMM_OP_UNSUPPORTED = 8,
  COMM_TIMEOUT = 9,
  COMM_BREAK = 10,
  COMM_BUFFER_SMALL = 11,
  COMM_SOURCE_FAILED = 12,   // the read callback failed
  COMM_LOCAL_FILE = 13,      // a local file could not be opened, created or renamed
  COMM_LOCAL_IO = 14,        // reading or writing local data failed, or a write callback refused
  COMM_NOT_LOADED = 15,      // what the stand-bys of the Sftp functions return
  COMM_BAD_PARAMETER = 16,
  COMM_HANDLE_USED = 17,     // the handle was connected once: take a new one
  COMM_INTERNAL = 18,
  COMM_UNREACHABLE = 19,     // no TCP connection, or no SSH server there
  COMM_LOGIN_REFUSED = 20,
  COMM_HOST_KEY_CHANGED = 21,  // the host offers another key than the one remembered
  COMM_HOST_KEY_UNSAVED = 22,  // a new host's key could not be remembered
  COMM_BAD_HANDLE = 23,
  COMM_SSH_NOT_LOADED = 24,  // what the stand-bys of the Ssh functions return
  COMM_SOURCE_CHANGED = 25,  // a download's file changed while it was read (size or time)
};

// Negative results of SshWait, SshRead, SshReadCount and SshWrite.
enum CommShellResult {
  COMM_SHELL_LOST = -14,      // the session broke down
  COMM_SHELL_BREAK = -16,
  COMM_SHELL_BAD_PARAMETER = -17,
  COMM_SHELL_CLOSED = -18,    // the shell ended (end of its output) or was never opened
  COMM_SHELL_BAD_HANDLE = -23,
};

// The SFTP attribute record.
struct SftpAttributes {
  uint32_t flags;  // SFTP_ATTR_*
  uint32_t unused;
  uint64_t size;
  uint32_t uid;
  uint32_t gid;
  uint32_t permissions;  // Unix mode with the type bits (0xF000)
  uint32_t atime;        // seconds since 1970, UTC
  uint32_t mtime;
};
enum : uint32_t {
  SFTP_ATTR_SIZE = 0x1,
  SFTP_ATTR_OWNER = 0x2,
  SFTP_ATTR_PERMISSIONS = 0x4,
  SFTP_ATTR_TIMES = 0x8,
};

// Upload source: bytes delivered, 0 at the end, negative on an error.
typedef int (*CommReadFn)(void* context, unsigned char* buffer, int size);
// Download sink: must take every byte (return count). The last call carries no data: (null, 0)
// after a download that succeeded, (null, -1) after one that failed, whatever failed.
typedef int (*CommWriteFn)(void* context, const unsigned char* buffer, int count);
// Listing entry: the name, the server's long form of the entry and its attributes (those of the
// entry itself, links not followed). 0 goes on, anything else ends the listing (result 0).
typedef int (*SftpEntryFn)(void* context, const char* name, const char* longName, const SftpAttributes* attrs);

// ---- Sftp ----------------------------------------------------------------------------------------
typedef uint32_t (*SftpCreateFn)(void);
typedef int (*SftpBreakFn)(uint32_t handle);
// Non-zero while the session is up (not lost, not broken, the server still there).
typedef int (*SftpIsConnectedFn)(uint32_t handle);
typedef int (*SftpCloseFn)(uint32_t handle);
// The text of code (for a handle, with its host): at most size-1 bytes and a NUL; its length.
typedef int (*SftpErrorTextFn)(uint32_t handle, int code, char* buffer, int size);
// port 0 is 22, a time-out of 0 or less is 30 s; the time-out also bounds every later wait.
// Login: the password, then keyboard-interactive with it, then the private key.
typedef int (*SftpConnectFn)(uint32_t handle, const char* host, int port, const char* user, const char* password,
                             int timeoutMs);
// Stat follows links.
typedef int (*SftpStatFn)(uint32_t handle, const char* path, SftpAttributes* attrs);
// Sets what attrs->flags names (SFTP_ATTR_PERMISSIONS, SFTP_ATTR_TIMES).
typedef int (*SftpSetStatFn)(uint32_t handle, const char* path, const SftpAttributes* attrs);
typedef int (*SftpRemoveFn)(uint32_t handle, const char* path);
typedef int (*SftpRmdirFn)(uint32_t handle, const char* path);
// mode 0: the server's default mode.
typedef int (*SftpMkdirFn)(uint32_t handle, const char* path, int mode);
typedef int (*SftpReadDirFn)(uint32_t handle, const char* path, SftpEntryFn entry, void* context);
typedef int (*SftpRealPathFn)(uint32_t handle, const char* path, char* buffer, int size);
typedef int (*SftpReadLinkFn)(uint32_t handle, const char* path, char* buffer, int size);
// Fails onto an existing name (SFTP version 3).
typedef int (*SftpRenameFn)(uint32_t handle, const char* oldPath, const char* newPath);
typedef int (*SftpSymLinkFn)(uint32_t handle, const char* target, const char* link);
// Uploads write a temporary name beside the target and rename it over the target when whole; an
// existing target keeps its permissions. A failed upload leaves the old target; one that the
// session lost leaves its temporary file, which the next connect to the same server as the same
// user removes. total (low and high word; all ones: unknown) is what progress reports as total.
typedef int (*SftpUploadProcFn)(uint32_t handle, const char* path, CommReadFn read, void* context, uint32_t mode,
                                uint32_t totalLow, uint32_t totalHigh, uint32_t reserved1, uint32_t reserved2);
typedef int (*SftpUploadFileFn)(uint32_t handle, const char* path, const char* localPath, uint32_t mode,
                                uint32_t reserved1, uint32_t reserved2);
typedef int (*SftpDownloadProcFn)(uint32_t handle, const char* path, CommWriteFn write, void* context,
                                  uint32_t reserved1, uint32_t reserved2, uint32_t reserved3);
// Writes a temporary file beside localPath and renames it over localPath when whole.
typedef int (*SftpDownloadFileFn)(uint32_t handle, const char* path, const char* localPath, uint32_t reserved1,
                                  uint32_t reserved2, uint32_t reserved3);
// Sets the bytes done; the total too unless both its words are all ones.
typedef int (*SftpProgressSetFn)(uint32_t handle, uint32_t doneLow, uint32_t doneHigh, uint32_t totalLow,
                                 uint32_t totalHigh);
// Bytes done of the running or last transfer; *total (when given) its total.
typedef uint64_t (*SftpProgressFn)(uint32_t handle, uint64_t* total);

// ---- Ssh: an interactive shell on a pty of type "dumb", 4096 columns wide, echo on ---------------
// Output is read a line at a time: a line ends at LF, CR LF or a lone CR (a run of CRs before an
// LF counts once); escape sequences are dropped. An unfinished line is held back until no byte has
// come for 100 ms, then delivered without a line end (a prompt).
typedef int (*SshErrorTextFn)(uint32_t handle, int code, char* buffer, int size);
typedef int (*SshConnectFn)(uint32_t handle, const char* host, int port, const char* user, const char* password,
                            int timeoutMs);
// 1 when a line is ready, 0 when none came within ms, negative when the shell ended or broke.
typedef int (*SshWaitFn)(uint32_t handle, int ms, int flags);
// One line (ending in "\n" unless it is a settled unfinished line; a longer line than count goes
// in pieces): its length; 0 when no line is ready (it does not wait); negative on an error.
typedef int (*SshReadFn)(uint32_t handle, char* buffer, int count);
// Writes all of text: length, or negative.
typedef int (*SshWriteFn)(uint32_t handle, const char* text, int length);
// Bytes ready to read (lines and settled text) into *count and as the result; negative when none
// are and the shell ended.
typedef int (*SshReadCountFn)(uint32_t handle, int* count);
typedef int (*SshWriteCountFn)(uint32_t handle, int* count);
typedef int (*SshIsConnectedFn)(uint32_t handle);
typedef int (*SshCloseFn)(uint32_t handle);
typedef int (*SshBreakFn)(uint32_t handle);
typedef uint32_t (*SshCreateFn)(void);

}  // extern "C"
