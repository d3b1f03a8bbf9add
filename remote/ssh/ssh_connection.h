// CSshUrlConnection: a Linux host's files through shell commands in an interactive SSH session.
#pragma once

#include "remote/ssh/comm_connection.h"

#include <atomic>
#include <functional>
#include <string>

// The engine handle is an Ssh handle of the communication library (remote/ssh/comm_lib.h). Every
// operation is one shell command framed by a sentinel line; every path goes to the shell in
// single quotes, so that no name is ever run or expanded. Listings and transfers use the helper
// program hexout when the probe found it (or installed it, with the alternate mode), else ls,
// printf and hexdump. Uploads and downloads write a temporary name beside the target and rename
// it when whole. Line framing: the session delivers one output line per read with the terminal's
// echo on; the helper upload counts echoed lines for its flow control. The framing, the session
// and the probe are in ssh_shell.cpp.
class CSshUrlConnection : public CCommLibConnection {
 public:
  // Where the helper lies on the host unless SetHelperPath says otherwise.
  static constexpr const char* kHelperPath = "/bin/hexout";

  CSshUrlConnection(std::uintptr_t engineHandle, const char* host, const char* user, const char* password,
                    u32 reserved, u16 port, u32 alternateMode);

  // Before Probe: the helper's absolute path on the host.
  void SetHelperPath(std::string path) { m_helperPath = std::move(path); }
  // The first step on a connected handle: finds the ls variant or the helper (installs it with the
  // alternate mode on an x86 host), the current folder, and does the elevation of the user text.
  BOOL Probe(u32 reconnect, u32 timeoutMs, u32 utf8Names);
  u32 HelperVersion() const { return m_helperVersion; }
  int LsStyle() const { return m_lsStyle; }

  // Single operations (ssh_connection.cpp): folders, files, then times and modes.
  BOOL ChangeDir(const char* path) override;
  BOOL Mkdir(const char* path) override;
  BOOL Rmdir(const char* path) override;
  BOOL Remove(const char* path) override;
  BOOL Rename(const char* oldPath, const char* newPath) override;
  BOOL SetFileTime(const char* path, FILETIME lastWrite) override;
  BOOL SetAttributes(const char* path, u32 attributes) override;
  // Listings (ssh_listing.cpp). With the helper, listings tell creation times and can be of folders
  // only (option 78).
  BOOL ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) override;
  UrlCapabilities Capabilities() const override;
  // Transfers (ssh_transfer.cpp).
  BOOL UploadProc(const char* remote, void* context, UrlReadFn read, u32 r1, u32 r2) override;
  BOOL UploadFile(const char* local, const char* remote, u32 r1, u32 r2) override;
  BOOL DownloadProc(const char* remote, void* context, UrlWriteFn write, u32 r1, u32 r2, u32 r3) override;
  BOOL DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32 r1, u32 r2,
                    u32 r3) override;

  // text in single quotes for the shell, each quote inside as '\''.
  static std::string ShellQuote(const std::string& text);
  // The helper's escaping of a path ('=' codes for blank, '"', '*', '-', ';', '=', '?').
  static std::string EncodeHelperPath(const std::string& path);
  // Bytes as a printf format that writes exactly them (octal escapes for all but letters and
  // digits).
  static std::string PrintfEscape(const unsigned char* data, std::size_t count);
  // One line of a listing: the helper's (">attr size mtime ctime name") or one of ls (style 0:
  // --full-time -alog, 1: --full-time -alg, 2: -alg, 3: -al). Negative: no entry; 0 a file, 1 a
  // folder, above 1 the position of a link's target in text.
  static int ParseLsLine(const std::string& text, int style, WIN32_FIND_DATAA* record);
  // Shell messages (English and German) and helper codes as Windows codes; 0 when unknown.
  static DWORD MapShellError(const std::string& text);
  static DWORD MapHelperError(i64 code);
  // The Windows code of a library result (or of kTimedOut), and whether the session must be
  // checked after it.
  static DWORD MapLibraryCode(int code, bool* link);
  // What RunCommand gives when no line came in time.
  static constexpr int kTimedOut = -255;
  // The mode chmod is given: UnixMode without the bits above 0777.
  static u32 ModeOf(u32 attributes);

 private:
  using Source = std::function<int(BYTE*, int)>;       // count, 0 at the end, negative: failed
  using Sink = std::function<bool(const BYTE*, int)>;  // false: refused

  bool EnsureConnected(bool force) override;
  BOOL Reconnect(u64 tries) override;
  BOOL SetFindData(const void* buffer, int size) override;
  void OnBreak() override;
  bool Login();
  // Drops the output that is ready, and a line's part held back.
  void Drain();
  // The next line of output, trimmed, whole: parts that the session delivered apart are joined
  // until a line end. 1, 0 when nothing came within the time-out, negative on a session failure.
  int NextLine(std::string& text);
  bool Send(const std::string& line);
  // One framed command; its reply (the rest of the sentinel line) and the mapped error as last
  // error. The reply's length, or negative on a session failure (kTimedOut).
  int RunCommand(const std::string& command, std::string* reply);
  // A command whose empty reply means success; failure codes: mapped, else fallback.
  BOOL Simple(const std::string& command, DWORD fallback, bool folderCodes = false);
  bool Stat(const std::string& wire, WIN32_FIND_DATAA* record);
  std::string HelperCommand(const std::string& options, const std::string& wire) const;
  // The session's state after a failed read or wait.
  DWORD SessionFailure(int code);
  BOOL Upload(const std::string& wire, const Source& source, u64 total, bool checkSize, DWORD sourceError);
  BOOL Download(const std::string& wire, const Sink& sink);
  int UploadHelper(const std::string& wire, const Source& source, DWORD sourceError);
  int UploadShell(const std::string& wire, const Source& source, DWORD sourceError);
  // Cuts the file to length (perl); false with last error set.
  bool Truncate(const std::string& wire, u64 length);
  // Removes a temporary file that a lost session left.
  void RemoveLeftover();

  std::string m_lsPrefix;
  std::string m_lsOptions = "-al";
  std::string m_helperPath = kHelperPath;
  u32 m_helperVersion = 0;
  int m_lsStyle = 3;
  std::atomic<bool> m_breakRequested{false};
  bool m_useHelper = false;
  bool m_lost = false;  // the session failed; the next operation renews it
  std::string m_leftover;  // a temporary file of an upload that did not end
  std::string m_linePart;  // output of a line whose end has not come yet
};
