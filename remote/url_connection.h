// The abstract connection through which workers reach every kind of file store a URL names.
#pragma once

#include "lib/system/sys_counter.h"
#include "lib/system/sys_fd.h"
#include "lib/system/sys_path.h"
#include "platform/win_types.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

// Option ids of GetOption/SetOption.
enum : int {
  URL_OPT_TIMEOUT = 5,  // time-out in milliseconds; 6 and 8 name the same value
  URL_OPT_TIMEOUT_B = 6,
  URL_OPT_TIMEOUT_C = 8,
  URL_OPT_BYTES_DONE = 63,  // bytes done of the running or last transfer
  URL_OPT_PROGRESS = 64,    // bytes done and bytes in total
  URL_OPT_SET_DONE = 65,
  URL_OPT_RETRY = 66,       // retry a failed transfer once after a reconnect
  URL_OPT_KIND_68 = 68,     // ftp 1, sftp 2, ssh 2, local 3, disk 1, ctlcomm 6
  URL_OPT_UTF8_NAMES = 69,  // file names travel as UTF-8
  URL_OPT_DRIVE_ROOT = 70,  // the root is a list of drives
  URL_OPT_KIND = 71,        // connection kind: ftp 1, sftp 2, ssh 2, local 3, disk 5, ctlcomm 6
  URL_OPT_RECONNECT = 72,
  URL_OPT_IS_DISK = 73,
  URL_OPT_APPLY_FIND = 74,  // apply a WIN32_FIND_DATAA record to the file it names
  URL_OPT_FAIL_SIDE = 75,
  URL_OPT_UPLOAD_SIZE = 76,
  URL_OPT_ROOT_KIND = 77,     // 2 when the root is a list of drives, else 1
  URL_OPT_FOLDERS_ONLY = 78,  // ReadDir can list folders only
  URL_OPT_DOWNLOAD_SIZE = 79,  // set: the size a listing gave for the next download (ftp)
};

// Attribute bits of listing records and of SetAttributes (below 0x10000).
enum : DWORD {
  URL_ATTR_READONLY = 0x01,
  URL_ATTR_HIDDEN = 0x02,
  URL_ATTR_SYSTEM = 0x04,
  URL_ATTR_DIRECTORY = 0x10,
  URL_ATTR_ARCHIVE = 0x20,
  URL_ATTR_NORMAL = 0x80,
  // A symbolic link (with URL_ATTR_DIRECTORY when it leads to a folder): removed as a link, never
  // entered. Listings of the local adapter put bits 32-37 of the size into bits 10-15, so 0x400
  // says nothing about links.
  URL_ATTR_LINK = 0x200,
  URL_ATTR_UNIX_MODE_SHIFT = 16,  // SetAttributes: a value of 0x10000 or more carries a Unix mode here
};

// dwReserved1 of a listing record: its write time is only as exact as a listing line tells it
// (minutes with a guessed year, or a day), not to the second. 0: exact.
inline constexpr DWORD URL_TIME_COARSE = 0x1;

// Where the last transfer stopped (option 75).
enum : u32 {
  URL_FAIL_NONE = 0,
  URL_FAIL_LOCAL = 1,  // on the local side before anything was sent: file missing, unreadable, target exists
  URL_FAIL_TRANSFER = 2,  // during the transfer itself
};

// UploadProc's source: fills at most size bytes; the count, 0 at the end of the data, negative on
// an error.
using UrlReadFn = int (*)(void* context, BYTE* buffer, int size);
// DownloadProc's sink: must return count, any other value aborts the transfer. Every DownloadProc
// ends with exactly one call without data: (null, 0) after the last byte, (null, -1) when the
// transfer failed; a sink treats a null buffer as that signal and copies nothing.
using UrlWriteFn = int (*)(void* context, const BYTE* buffer, int count);
// ReadDir's entry callback: one record per entry, then null once; listing goes on while it
// returns non-zero.
using UrlEntryFn = BOOL (*)(void* context, const WIN32_FIND_DATAA* entry);

// What ReadDir lists: a name mask that the adapter applies itself (null or "" for all entries),
// or folders only, which only adapters that answer option 78 honour.
struct UrlDirFilter {
  const char* mask = nullptr;
  bool foldersOnly = false;  // the value 291
};

// What a store can do and keeps, for workers and for the options that tell it. An adapter sets its
// own in its constructor (and where its state changes what it can); a store that declares no
// kind answers none of the options below.
struct UrlCapabilities {
  u32 kind = 0;                // option 71: ftp 1, sftp 2, ssh 2, local 3, disk 5, ctlcomm 6
  u32 kind68 = 0;              // option 68
  bool isDisk = false;         // option 73
  bool timeout = false;        // options 5, 6 and 8: a time-out in milliseconds
  bool utf8Option = false;     // option 69: names may travel in Latin-1 instead of UTF-8
  bool reconnects = false;     // option 72: the connection is made again on request
  u32 rootKind = 0;            // options 77 and 70: 0 not told, 1 the root is a folder, 2 it lists drives
  int foldersOnly = -1;        // option 78: -1 not told, else non-zero when ReadDir lists folders only
  bool caseFolding = false;    // names that differ in letter case only are one entry (see NameKey)
  u64 timeStep = 1;            // the 100-ns units in which the store keeps write times
  bool creationTimes = true;   // listings carry a creation time
  bool reportsLinks = true;    // listings mark links with URL_ATTR_LINK
  bool setsTimes = true;       // SetFileTime and option 74 set write times
  bool setsModes = true;       // SetAttributes changes the mode
  bool marks = false;          // GetMark and SetMark keep marks on the files themselves
  bool escapedHost = false;    // GetHost gives the host percent-escaped (a disk's image path)
};

// How an adapter builds the paths of its operations from what callers give (Build).
struct UrlPathRules {
  u32 dots = SYS_DOTS_FROM_ROOT;  // how "." and ".." are resolved (SysPathDots)
  std::size_t maxPath = std::numeric_limits<std::size_t>::max();  // the longest joined path (206)
  std::size_t maxWire = std::numeric_limits<std::size_t>::max();  // the longest path on the wire (206)
  const char* refused = nullptr;  // bytes that no path may hold (123)
};

// Every operation reports failure as FALSE (or -1 for counts) with a Windows error code left as
// the thread's last error; every operation fails with 6 while the engine handle is 0. Paths use
// "/" as separator; a "\" is an ordinary byte of a name. A connection is used by one thread; only
// Break (and BreakIfBusy) may be called from another thread while a transfer runs, and options
// 63 and 64 may be read from another thread at any time.
class CUrlConnection {
 public:
  // host, user and password are copied (null stays empty); the URL prefix starts as "ftp://".
  CUrlConnection(std::uintptr_t engineHandle, const char* host, const char* user, const char* password,
                 u32 reserved, u16 port, u32 alternateMode);
  virtual ~CUrlConnection() = default;
  CUrlConnection(const CUrlConnection&) = delete;
  CUrlConnection& operator=(const CUrlConnection&) = delete;

  // Sets the current remote folder; a relative path is taken against it.
  virtual BOOL ChangeDir(const char* path) = 0;
  // The current folder into buffer; *size is the buffer's size on entry and the text's length on
  // return. A buffer too small fails with 122 and *size the size needed; 3 while the current
  // folder is lost.
  virtual BOOL GetCurrentDir(char* buffer, int* size);
  virtual BOOL SetFileTime(const char* path, FILETIME lastWrite) = 0;
  // A file's exact write time, where a listing gives it coarser (URL_TIME_COARSE). The base
  // fails with 120.
  virtual BOOL GetFileTime(const char* path, FILETIME* lastWrite);
  // The write time (seconds since 1970) that a file at path keeps when SetFileTime is given
  // seconds: a time outside what the store holds comes back as the store clamps it. The base
  // keeps every time.
  virtual i64 StoredWriteTime(const char* path, i64 seconds);
  // Below 0x10000 Windows attribute bits; a value of 0x10000 or more carries a Unix mode in its
  // upper 16 bits.
  virtual BOOL SetAttributes(const char* path, u32 attributes) = 0;
  virtual BOOL Rmdir(const char* path) = 0;
  virtual BOOL Mkdir(const char* path) = 0;
  virtual BOOL Remove(const char* path) = 0;
  // Never replaces an existing target.
  virtual BOOL Rename(const char* oldPath, const char* newPath) = 0;
  // Disconnects and clears the engine handle.
  virtual void Close() = 0;

  // A negative length fails with 87; 0 makes an empty file.
  virtual BOOL UploadMemory(const char* remote, const void* buffer, int length, u32 r1, u32 r2);
  // The base writes the data to a temporary file and sends that with UploadFile: a source that
  // fails gives 30, a temporary file that cannot be written its write error; nothing is sent then.
  virtual BOOL UploadProc(const char* remote, void* context, UrlReadFn read, u32 r1, u32 r2);
  virtual BOOL UploadFile(const char* local, const char* remote, u32 r1, u32 r2) = 0;
  // The bytes stored, or -1 (also when the file does not fit the buffer).
  virtual int DownloadMemory(const char* remote, void* buffer, int size, u32 r1, u32 r2, u32 r3);
  // The base fetches the file into a temporary file with DownloadFile and hands it on in blocks.
  virtual BOOL DownloadProc(const char* remote, void* context, UrlWriteFn write, u32 r1, u32 r2, u32 r3);
  // failIfExists refuses an existing local file (80, failure side 1).
  virtual BOOL DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32 r1, u32 r2,
                            u32 r3) = 0;
  virtual int Reserved18(u32, u32, u32, u32) { return 0; }
  // The full remote path of name; the length written. The base writes an empty text.
  virtual int FullPath(const char* name, char* buffer, int size);

  // Asks an option into buffer; *size is the buffer's size on entry and the answer's length on
  // return. Unknown ids fail with 123, buffers below the answer's size with 87. Options 63 and 64
  // answer 32-bit words in a buffer of 4 and 8 bytes; with room for 8 and 16 bytes they answer
  // 64-bit words, so that transfers of 4 GiB and more keep counting. The base answers the
  // options of Capabilities, 63 and 64, and 75.
  virtual BOOL GetOption(int id, void* buffer, int* size);
  // The base sets the options of Capabilities, 65, 74 (ApplyFindData) and 76 (size of the next
  // upload); a store that declares no kind, option 76 only. Values come from 4 bytes as 32-bit
  // words, from 8 and more as 64-bit ones.
  virtual BOOL SetOption(int id, const void* buffer, int size, u32 reserved);
  // What the store can do and keeps.
  virtual UrlCapabilities Capabilities() const { return m_caps; }

  // Lists the folder path: one record per entry, then entry(context, null) once, whatever
  // happens. TRUE with last error 0 when the folder was listed (also when nothing matched).
  virtual BOOL ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) = 0;

  // A mark of the program's own on a file (seconds since 1970), where Capabilities says marks:
  // GetMark 1 marked (since set), 0 not, -1 failed; SetMark with since < 0 removes it. Neither
  // changes the file. The base keeps none (-1 and FALSE with 50).
  virtual int GetMark(const char* path, i64* since);
  virtual BOOL SetMark(const char* path, i64 since);
  // What opening the store found that the user should know though it succeeded (German); empty
  // mostly.
  virtual std::string Notice() const { return {}; }

  // The key under which the folder keeps a name: names with one key are one entry there; "" for
  // a name the folder cannot hold. The base keeps names as they are given.
  virtual std::string NameKey(const char* folder, const std::string& name);

  // Aborts the running transfer; may be called from another thread.
  virtual BOOL Break() = 0;
  // Calls Break when a transfer is running (the job engine's cancel does this).
  void BreakIfBusy();
  bool IsBusy() const { return m_busy.load() != 0; }

  // The answer of a text option: asks its size first (error 122), then the text. On failure the
  // text is empty.
  BOOL GetOptionString(int id, std::string& out);
  // URL prefix + host + "/" (left out when the current folder begins with "/") + current folder.
  BOOL GetUrlPath(std::string& out);
  std::string GetHost() const { return m_host; }
  const char* GetUrlPrefix() const { return m_urlPrefix; }
  BOOL GetCurrentDirString(std::string& out);
  BOOL GetCurrentDirBuf(char* buffer, int size);
  // Creates a folder and its missing parents: Mkdir on the whole path, then on ever shorter
  // ones until one succeeds, then down again. A path that exists already fails (every Mkdir
  // does); so callers try ChangeDir first. A drive root ("X:", "X:/") is never made.
  BOOL MakeDirTree(const char* path);
  // Removes a folder with everything below it. Links are removed as links, never entered.
  BOOL RemoveTree(const char* path);
  // Option 74 for adapters without their own: the write time when its high word is non-zero,
  // then the attributes (without 0x400) when they are neither 0 nor 0xFFFFFFFF.
  BOOL ApplyFindData(const WIN32_FIND_DATAA& record);

  std::uintptr_t GetEngineHandle() const { return m_engineHandle.load(); }
  // After a start folder could not be entered: relative paths fail with 3 until ChangeDir
  // succeeds, so that nothing lands in the login folder by mistake.
  void ForgetCurrentDir() { m_currentDirLost = true; }

  // Names between our UTF-8 and an engine that does not take UTF-8 (option 69 off): Latin-1.
  // A name with a character that Latin-1 lacks (or that is no valid UTF-8) fails with 123, so
  // that no name is ever taken for another.
  static bool NameToLatin1(std::string_view utf8, std::string& out);
  static std::string NameFromLatin1(std::string_view latin1);
  // A Unix mode for SetAttributes: Windows bits mapped to permission bits, or the mode carried in
  // the upper 16 bits. Folders keep x wherever r is, so they stay enterable.
  static u32 UnixMode(u32 attributes);

 protected:
  // Adapters raise the busy flag around each transfer call into their engine.
  void SetBusy(bool busy) { m_busy.store(busy ? 1 : 0); }
  // A name as the engine takes it (option 69 decides); false with last error 123.
  bool NameOut(const char* name, std::string& wire) const;
  std::string NameIn(const char* wire) const;

  // Answers for GetOption: a 32-bit word (87 for a buffer below 4 bytes), and options 63 and 64
  // from the transfer counters.
  static BOOL AnswerWord(void* buffer, int* size, u32 value);
  BOOL AnswerCounters(int id, void* buffer, int* size) const;
  // Reads a 32-bit (4 bytes) or 64-bit (8 bytes and more) value of SetOption; 87 below 4 bytes.
  static bool TakeValue(const void* buffer, int size, u64* value);
  // Reads the record of option 74 (its name always ends); false with 87 for a short buffer.
  static bool TakeFindData(const void* buffer, int size, WIN32_FIND_DATAA* record);
  // Copies text with its end byte into the caller's buffer; *size becomes the text's length, or
  // the size needed when the buffer is missing or too small (122).
  static BOOL CopyOut(const std::string& text, char* buffer, int* size);
  // A path always from the root: "." and ".." resolved by name (".." at the root stays there),
  // repeated and trailing slashes dropped; "/" at least.
  static std::string AbsolutePath(const std::string& path);
  // Fails with code (FALSE); the common way out of every operation.
  static BOOL Fail(DWORD code);

  // ---- what adapters share
  // Whether the engine is there: every operation fails with 6 otherwise.
  virtual bool IsOpen() const { return GetEngineHandle() != 0; }
  // The current folder as GetCurrentDir tells it; the base keeps it in m_currentDir.
  virtual bool CurrentDir(std::string& dir);
  // path as an operation takes it (m_pathRules): from the root, a relative one joined to the
  // current folder, "." and ".." resolved. False with 87 for none, 3 for a relative one while
  // the current folder is lost, 123 for a refused byte, 206 for a path too long.
  bool JoinPath(const char* path, std::string& joined) const;
  // JoinPath, then the path as the engine takes it (NameOut) into wire; joined may be null.
  bool Build(const char* path, std::string* joined, std::string* wire) const;
  // A download or listing that ends before it began: the sink gets its one call without data
  // (-1), the entry callback its one null; FALSE with the last error as it was.
  BOOL AbortDownload(void* context, UrlWriteFn write);
  BOOL AbortListing(void* context, UrlEntryFn entry);
  // The folder that is to hold a download's local file, open for lookups, and the file's name;
  // false with the last error (3 for a missing folder or no name; a drive or UNC form refused).
  static bool OpenLocalFolder(const char* local, SysFd& folder, std::string& name);
  // Before a download whose local target must not be there (failIfExists): FALSE with 80 and the
  // failure side local when a file or link is there.
  BOOL LocalTargetFree(const char* local, BOOL failIfExists);
  // A folder entered: it is the current folder, last error 0, TRUE.
  BOOL EnterDir(std::string dir);
  // Option 72: up to tries attempts of ReconnectOnce, 500 ms apart, until one succeeds (TRUE,
  // last error 0); an attempt that ends the connection ends them (FALSE).
  BOOL ReconnectTries(u64 tries);
  enum class Attempt { Done, Failed, Ended };
  virtual Attempt ReconnectOnce() { return Attempt::Ended; }
  // The options' parts that differ. Reconnect: option 72 (ReconnectTries with the adapter's
  // count). RefreshCounters: the counters from the engine before options 63 and 64 are answered
  // (another thread may ask). OptionReady: the engine is ready for an option other than 63 and 64.
  // SetDone: option 65. SetFindData: option 74, which the base gives ApplyFindData. SetOwnOption:
  // an option that only this adapter knows.
  virtual BOOL Reconnect(u64 tries) { return ReconnectTries(tries); }
  virtual BOOL RefreshCounters() { return TRUE; }
  virtual bool OptionReady(int) { return true; }
  virtual u32 Timeout() { return m_timeout; }
  virtual void SetTimeout(u64 ms) { m_timeout = static_cast<u32>(ms); }
  virtual BOOL SetDone(u64 value, int size);
  virtual BOOL SetFindData(const void* buffer, int size);
  virtual BOOL SetOwnOption(int id, const void* buffer, int size);

  u16 m_port = 0;
  u32 m_alternateMode = 0;
  u64 m_nextUploadSize = 0;
  u32 m_reserved = 0;
  u32 m_failureSide = URL_FAIL_NONE;
  std::string m_host;
  std::string m_user;
  std::string m_password;
  const char* m_urlPrefix = "ftp://";
  std::atomic<std::uintptr_t> m_engineHandle{0};
  std::atomic<u32> m_busy{0};
  bool m_utf8Names = true;
  bool m_currentDirLost = false;
  std::string m_currentDir = "/";  // the current folder, where the adapter keeps it (UTF-8)
  u32 m_timeout = 10000;           // options 5, 6 and 8, where the adapter keeps it
  UrlCapabilities m_caps;
  UrlPathRules m_pathRules;
  // Bytes done and in total of the running or last transfer; read by the progress timer.
  SysByteCounter m_bytesDone{0};
  std::atomic<u64> m_bytesTotal{0};
};
