// CLocalUrlConnection: file:// paths of this machine through the same interface as remote stores.
#pragma once

#include "lib/system/sys_fd.h"
#include "lib/system/sys_tree.h"
#include "remote/url_connection.h"

#include <functional>
#include <memory>
#include <string>

class SmbShare;

// The root is "/" and the current folder an absolute path; "\" is an ordinary byte of a name.
// Drive forms ("C:/x") fail with 15 and UNC forms ("//server/x") with 53, so that neither ever
// touches a local path that merely looks alike.
//
// Share mode: a host names a server (smb://server/share, file://server/share), reached through
// libsmbclient for the life of the connection, with no mount; Close frees the library's context.
// Paths are the server's: "/share/folder/name", and "/" lists the server's disk shares (names
// ending in "$" left out). "\" is a separator there, as a server's names never hold it. Links
// that the server reports (reparse points) are listed with URL_ATTR_LINK; a server that follows
// links shows them as what they lead to. Rename never replaces: an existing target is refused
// before the server is asked. Times travel in whole seconds; SetAttributes sets the DOS bits
// read-only, hidden, system and archive (a Unix mode only through its owner write bit).
//
// Links: ChangeDir to a folder outside the base folder follows links on the way, once, and makes
// that folder the base. Below the base no link is ever followed: folders on the way are opened
// without following links (a link there fails as a missing folder, 3), and an operation on a
// link's own name acts on the link (Remove and Rename take the link, a transfer replaces it,
// SetAttributes refuses it with 50), so nothing is written into or deleted under a name whose
// content was not listed. Workers therefore enter their folder with ChangeDir (ConnectUrl's start
// path does) before they work below it. Listings report links with URL_ATTR_LINK.
//
// Transfers write a temporary file beside the target and rename it over the target when it is
// whole: a failed or broken transfer leaves the old file as it was and no new file behind.
// SetAttributes: bit 0x01 clears the owner write bit (without it the bit is set), a Unix mode in
// the upper 16 bits is applied (07777); hidden, system and archive bits are ignored.
class CLocalUrlConnection : public CUrlConnection {
 public:
  CLocalUrlConnection(std::uintptr_t engineHandle, const char* host, const char* user, const char* password,
                      u32 reserved, u16 port, u32 alternateMode);
  ~CLocalUrlConnection() override;

  // An empty host opens this machine with the working folder as the current folder (3 when it is
  // gone). Any other host opens share mode: "server[/share[/folder]]", the rest being the current
  // folder; the login is checked at once (1326 refused, 67 no such share, 53 no server, 1215 no
  // server named), with Message() saying why in German. 4316 without an engine handle.
  BOOL Open(const char* host);
  const std::string& Message() const { return m_message; }

  BOOL ChangeDir(const char* path) override;
  BOOL SetFileTime(const char* path, FILETIME lastWrite) override;
  BOOL SetAttributes(const char* path, u32 attributes) override;
  BOOL Rmdir(const char* path) override;
  BOOL Mkdir(const char* path) override;
  BOOL Remove(const char* path) override;
  BOOL Rename(const char* oldPath, const char* newPath) override;
  void Close() override;
  BOOL UploadProc(const char* remote, void* context, UrlReadFn read, u32 r1, u32 r2) override;
  BOOL UploadFile(const char* local, const char* remote, u32 r1, u32 r2) override;
  BOOL DownloadProc(const char* remote, void* context, UrlWriteFn write, u32 r1, u32 r2, u32 r3) override;
  BOOL DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32 r1, u32 r2,
                    u32 r3) override;
  int FullPath(const char* name, char* buffer, int size) override;
  BOOL ReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter) override;
  BOOL Break() override;
  // A share compares names as Samba and Windows do, without regard to case: the key is the name
  // upper-cased; this machine's folders keep names as they are.
  std::string NameKey(const char* folder, const std::string& name) override;

  // Share mode reaches a server; otherwise a plain folder of this machine.
  bool IsShareMode() const { return m_shareMode; }
  // A mark of our own on a file (an extended attribute in the user namespace holding seconds
  // since 1970); not in share mode. GetMark: 1 marked (since set), 0 not, -1 failed (50 where the
  // file system keeps no such attributes). SetMark with since < 0 removes the mark. Neither
  // changes the file's content or write time, and neither follows a link.
  int GetMark(const char* path, i64* since) override;
  BOOL SetMark(const char* path, i64 since) override;

 private:
  // The folder that holds an operation's name, open, and the name.
  struct Place {
    SysFd dir;
    std::string name;
  };

  bool IsOpen() const override;
  // IsOpen, else false with 6.
  bool Ready() const;
  // Option 74: times (access and write, never creation) and attributes; 1359 without an engine.
  BOOL SetFindData(const void* buffer, int size) override;
  // The absolute path of an operation's path, "." and ".." resolved; false with the last error.
  bool Join(const char* path, std::string& out) const;
  bool BelowBase(const std::string& abs, std::string* rel) const;
  // The folder holding abs (below the base without following links; elsewhere by path).
  bool Locate(const std::string& abs, Place& place);
  // The folder abs itself, open for reading; -1 with errno.
  SysFd OpenFolder(const std::string& abs);
  // A file opened for its mark; invalid with the last error.
  SysFd OpenForMark(const char* path);
  BOOL SetTimes(const WIN32_FIND_DATAA& record);
  // Counters cleared, break cleared, busy raised; the total given.
  void BeginTransfer(u64 total);
  BOOL EndTransfer(BOOL ok, u32 failureSide);

  // ---- share mode (local_share.cpp)
  BOOL OpenShare(const char* host);
  bool ShareJoin(const char* path, std::string& out) const;
  // The share mode's failure: code from err (missing names give missing), FALSE.
  static BOOL ShareFail(int err, DWORD missing);
  BOOL ShareChangeDir(const char* path);
  BOOL ShareSetFileTime(const char* path, FILETIME lastWrite);
  BOOL ShareSetAttributes(const char* path, u32 attributes);
  BOOL ShareRmdir(const char* path);
  BOOL ShareMkdir(const char* path);
  BOOL ShareRemove(const char* path);
  BOOL ShareRename(const char* oldPath, const char* newPath);
  BOOL ShareUploadProc(const char* remote, void* context, UrlReadFn read);
  BOOL ShareUploadFile(const char* local, const char* remote);
  BOOL ShareDownloadProc(const char* remote, void* context, UrlWriteFn write);
  BOOL ShareDownloadFile(const char* remote, const char* local, BOOL failIfExists);
  BOOL ShareReadDir(const char* path, void* context, UrlEntryFn entry, const UrlDirFilter& filter);
  BOOL ShareSetTimes(const WIN32_FIND_DATAA& record);
  // Writes a new file at abs from read (a temporary name beside it, renamed over it when whole).
  using ShareSource = std::function<int(BYTE* buffer, int size)>;
  BOOL ShareWriteFile(const std::string& abs, const ShareSource& read, u32 failureSide);

  std::string m_base;  // the folder entered from outside; "" for none
  std::unique_ptr<SysTree> m_tree;
  SysCancelFlag m_break{0};
  bool m_shareMode = false;
  std::unique_ptr<SmbShare> m_share;
  std::string m_message;
};
