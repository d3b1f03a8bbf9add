// The FTP client: one session per control connection, its commands, data transfers and listings.
#pragma once

#include "platform/win_types.h"
#include "remote/sock/sock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// Option flags of a session.
enum : u32 {
  FTP_RAW_NAMES = 0x0001,       // names travel in Latin-1 (else UTF-8, as inside)
  FTP_KEEP_NAMES = 0x0002,      // never set FTP_RAW_NAMES on a DOS listing
  FTP_PASSIVE = 0x0004,         // passive data connections
  FTP_RECONNECT = 0x0008,       // log in again before a command when the control connection closed
  FTP_NO_GUEST = 0x0010,        // no guest try when a login without user name is refused
  FTP_FEAT_MFMT = 0x0100,       // the server sets times with MFMT
  FTP_RESOLVE_LINKS = 0x0800,   // resolve link entries of listings
  FTP_FEAT_MDTM = 0x1000,
  FTP_FEAT_SIZE = 0x2000,
  FTP_FEAT_EPRT = 0x4000,
  FTP_FEAT_EPSV = 0x8000,
};

// The client's own result codes (reply codes are 100-599).
enum : int {
  FTP_E_CHANGED = 980,         // a download brought more bytes than the file had before it
  FTP_E_BAD_NAME = 981,        // a name that the server's encoding cannot carry
  FTP_E_PATH_TOO_LONG = 982,   // a command line longer than servers take; nothing was sent
  FTP_E_LISTING = 983,         // a listing with a line that could not be read: incomplete
  FTP_E_NO_DATA_CONN = 984,
  FTP_E_NO_MEMORY = 985,
  FTP_E_WRONG_TIME = 986,
  FTP_E_LOCAL_WRITE = 987,
  FTP_E_SEND_DATA = 988,
  FTP_E_LOCAL_READ = 989,
  FTP_E_LISTEN = 990,
  FTP_E_PASSIVE_CONN = 991,
  FTP_E_PASSIVE_PORT = 992,
  FTP_E_LOCAL_CREATE = 993,
  FTP_E_LOCAL_MISSING = 994,
  FTP_E_CONNECT = 995,
  FTP_E_TIMEOUT = 996,  // also "user break"
  FTP_E_BROKEN = 997,
  FTP_E_SEND = 998,
  FTP_E_HOST = 999,
};

// Session states.
enum : u32 {
  FTP_STATE_CLOSED = 0,
  FTP_STATE_CONNECTING = 1,
  FTP_STATE_CONNECTED = 2,
  FTP_STATE_PASSIVE_WAIT = 3,
  FTP_STATE_ACTIVE_WAIT = 4,
};

// The command lock: one operation at a time; FtpClose waits for it a while. (A mutex with a
// condition rather than std::timed_mutex, whose timed lock the thread sanitizer cannot follow.)
class FtpCommandLock {
 public:
  void lock() {
    std::unique_lock guard(m_mutex);
    m_free.wait(guard, [this] { return !m_held; });
    m_held = true;
  }
  bool try_lock_for(std::chrono::milliseconds wait) {
    std::unique_lock guard(m_mutex);
    if (!m_free.wait_for(guard, wait, [this] { return !m_held; })) return false;
    m_held = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard guard(m_mutex);
      m_held = false;
    }
    m_free.notify_one();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_free;
  bool m_held = false;
};

// One control connection. All operations except FtpBreak and the progress and time-out
// accessors hold the command lock, so one session serves one operation at a time. FtpBreak may
// come from any thread: it only shuts sockets down, under the socket lock; the thread that owns
// an operation closes them.
struct FtpSession {
  std::string host, user, password;
  std::string replyText;   // of the last reply (at most 127 bytes), or the client's own error text
  std::string replyWhole;  // the same, whole
  std::string currentDir;  // as the last PWD reported it
  std::string inBuffer;    // received control bytes not read yet
  int lastResult = 0;
  u32 flags = 0;
  u16 port = 21;
  int timeoutMs = 30000;
  SockAddr serverAddress;
  u16 listenPort = 0;

  std::atomic<u32> state{FTP_STATE_CLOSED};
  std::atomic<bool> breakFlag{false};
  std::atomic<bool> abortSent{false};
  std::atomic<u64> bytesDone{0};
  std::atomic<u64> expectedSize{0};  // 0: unknown
  u64 nextUploadSize = 0;            // FtpSetTransferSize
  std::optional<u64> nextDownloadSize;  // FtpSetDownloadSize
  bool plainList = false;  // the server refused "LIST -al path" and listed with "LIST path"

  FtpCommandLock commandLock;
  std::mutex socketLock;  // guards the three socket pointers and running against FtpBreak
  bool running = false;   // an operation holds the command lock
  std::unique_ptr<Sock> control;
  std::unique_ptr<Sock> data;
  std::unique_ptr<Sock> listening;
  SockBreakHandle connectBreak;
};

// Reports the session to another thread as soon as it exists, and null before it is freed.
using FtpEarlyFn = std::function<void(FtpSession*)>;

// Connects and logs in (USER, PASS, TYPE I, FEAT, PWD); *result gets the login's code (2xx) or the
// failure's. Port 0 means 21. Null on failure.
std::unique_ptr<FtpSession> FtpConnect(const char* host, const char* user, const char* password, u16 port,
                                       u32 flags, int timeoutMs, int* result, const FtpEarlyFn& early = {});
int FtpReconnect(FtpSession* s);
// Waits for the running operation (at least 50 ms when waitMs is not 0, then breaks it), says
// QUIT and closes every socket.
BOOL FtpClose(std::unique_ptr<FtpSession> s, int waitMs);
// 0 for null, 2 when a break is pending already, else 1. A break while no operation runs stays
// pending for the next one; each operation ends with the break cleared.
int FtpBreak(FtpSession* s);
// Drops a pending break (before a caller starts what a break may stop).
void FtpClearBreak(FtpSession* s);
void FtpSetTimeout(FtpSession* s, int ms);  // bounded to 1000-200000
int FtpGetTimeout(FtpSession* s);
BOOL FtpGetProgress(FtpSession* s, u64* done, u64* total);
void FtpSetProgress(FtpSession* s, u64 done, u64 total);  // ~0 keeps a field
void FtpSetTransferSize(FtpSession* s, u64 size);
// The size a listing gave for the next download: without SIZE, a download of another size fails
// (426 when it is shorter, FTP_E_CHANGED when it is longer).
void FtpSetDownloadSize(FtpSession* s, u64 size);
std::string FtpLastText(FtpSession* s);

// Commands: the reply code (or an own code). Paths: "/..." absolute, else below the current
// folder ("./" dropped); "\" is an ordinary byte of a name.
int FtpPwd(FtpSession* s, std::string* dir);
int FtpCwd(FtpSession* s, const char* path);
int FtpRmdir(FtpSession* s, const char* path);
int FtpMkdir(FtpSession* s, const char* path);
int FtpRemove(FtpSession* s, const char* path);
int FtpRename(FtpSession* s, const char* oldPath, const char* newPath);
int FtpChmod(FtpSession* s, const char* path, u32 mode);
// Seconds since 1970 (UTC); MFMT where the server announced it, else MDTM with the time first.
int FtpSetFileTime(FtpSession* s, const char* path, i64 time);
int FtpGetFileTime(FtpSession* s, const char* path, i64* time);
// Whether the path names something on the server: 1 a file, 2 a folder, 0 nothing, -1 unknown.
int FtpProbe(FtpSession* s, const char* path);

// Transfers: the final reply code, 226 on success. The read callback gives bytes, 0 at the end,
// a negative value on an error; the write callback must take every byte. Both get one last call
// without data: (null, 0) after a 226, (null, -1) otherwise.
using FtpReadFn = int (*)(void* context, BYTE* buffer, int size);
using FtpWriteFn = int (*)(void* context, const BYTE* buffer, int count);
int FtpUploadProc(FtpSession* s, const char* remote, void* context, FtpReadFn read);
int FtpDownloadProc(FtpSession* s, const char* remote, void* context, FtpWriteFn write);
// The file variants: the upload goes to a temporary name beside the target that replaces it when
// whole (where the server renames onto no existing name, the old file is moved aside until the
// new one stands); the download goes to a temporary file beside the local target that replaces
// it after the 226. A failure leaves the old files as they were.
int FtpUploadFile(FtpSession* s, const char* remote, const char* local);
int FtpDownloadFile(FtpSession* s, const char* remote, const char* local);
int FtpUploadMemory(FtpSession* s, const char* remote, const void* buffer, int length);
int FtpDownloadMemory(FtpSession* s, const char* remote, void* buffer, int size, int* stored);

// ---- listings ------------------------------------------------------------------------------------

// One parsed listing line.
struct FtpListEntry {
  WIN32_FIND_DATAA data{};
  bool askTime = false;   // the line gave no exact time
  bool isLink = false;
  std::string linkTarget;
};
// The clock of the year rule: the current UTC year and month, and the current time.
struct FtpListClock {
  int year = 1970;
  int month = 1;
  i64 now = 0;
  static FtpListClock System();
};
enum : int {
  FTP_LINE_ENTRY = 0,  // an entry
  FTP_LINE_SKIP = 1,   // nothing to list ("total N", devices, pipes, sockets)
  FTP_LINE_BAD = 2,    // a line that cannot be read: the listing is incomplete
};
// Parses one line (without its line end). flags may gain FTP_RAW_NAMES (a DOS line).
int FtpParseListLine(std::string_view line, u32* flags, const FtpListClock& clock, FtpListEntry* out);
// Drops "." segments and lets ".." remove the segment before it; the new length.
int FtpNormalizePath(std::string& path);

// Lists the folder path ("LIST -al "): each entry in arrival order, then null once. 226 on success;
// a listing with a line that could not be read fails with FTP_E_LISTING and delivers nothing.
// A listing that names no folder of its own ("." missing) is checked with CWD: a path that is no
// folder fails with the CWD's code.
using FtpEntryFn = BOOL (*)(void* context, const WIN32_FIND_DATAA* entry);
int FtpReadDir(FtpSession* s, const char* path, void* context, FtpEntryFn entry,
               const FtpListClock* clock = nullptr);
