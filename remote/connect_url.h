// Connect-by-URL: the connection of a kind, its failures as exceptions, and the break of a hanging connect.
#pragma once

#include "platform/win_types.h"
#include "remote/url_connection.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

// Connect flags above the kind's low byte.
enum : u32 {
  URL_CONNECT_RECONNECT = 0x100,   // reconnect when the link drops
  URL_CONNECT_ALTERNATE = 0x200,   // FTP passive data connections; the uploaded helper for ssh
  URL_CONNECT_RETRY = 0x400,       // retry a failed transfer once after a reconnect
  URL_CONNECT_FTP_LINKS = 0x800,   // FTP: resolve the link entries of listings
  URL_CONNECT_READ_ONLY = 0x1000,  // disk: attach read-only
};

// Every failure of ConnectUrl: a Windows error code (context 0) and, where the code alone does not
// say enough, a German text for the user (empty otherwise: callers show the code's text).
class CInternetException : public std::exception {
 public:
  explicit CInternetException(DWORD error, std::string text = {});
  const char* what() const noexcept override { return m_what.c_str(); }
  const std::string& Text() const { return m_text; }

  DWORD m_dwError;
  std::uintptr_t m_dwContext = 0;

 private:
  std::string m_text;
  std::string m_what;
};

// An engine's abort of a blocking connect, by its handle.
using UrlEngineBreakFn = BOOL (*)(std::uintptr_t handle);

// The break record {kind, engine handle} of a connect that may hang. Its owner (a worker's row)
// keeps it for as long as another thread may break: ConnectUrl publishes the connect in it and
// withdraws it before it returns or throws, and a break from another thread reaches the engine
// only while it is published, under the record's lock. So a break never touches an engine that
// is gone, however late it comes.
class UrlBreakHandle {
 public:
  UrlBreakHandle() = default;
  UrlBreakHandle(const UrlBreakHandle&) = delete;
  UrlBreakHandle& operator=(const UrlBreakHandle&) = delete;

  // For ConnectUrl and the engines: a connect of kind begins (handle 0 until the engine's
  // session exists); the engine's session is there; the connect is over. Withdraw returns only
  // when no break runs any more.
  void Publish(int kind, UrlEngineBreakFn breakFn);
  void SetHandle(std::uintptr_t handle);
  void Withdraw();

  int Kind() const;
  std::uintptr_t Handle() const;
  // Kind 1 gives the engine's answer; kinds 2 and 7 TRUE once asked; nothing published, a
  // handle of 0 or another kind: FALSE. The engine's break must be short and must not call back
  // into the record.
  BOOL Break();

 private:
  mutable std::mutex m_mutex;
  int m_kind = 0;
  std::uintptr_t m_handle = 0;
  UrlEngineBreakFn m_break = nullptr;
};

// Aborts the connect published in record (null: FALSE); may be called from any thread.
BOOL BreakUrlConnection(UrlBreakHandle* record);

// Connects to a store of the kind in the low byte of kindAndFlags (see GetUrlKind), builds its
// adapter, enters startPath (when not empty) and returns it; every failure throws a
// CInternetException: 87 for kinds 0, 4 and above 7; 50 with a German text for a kind this
// version cannot reach yet (naming its scheme); 15 with a German text for drive-letter paths; a
// share ("smb://", "file://server/share", "file:////server/share") that cannot be opened throws
// the adapter's code with its German text. sftp: 1154 (with a text) without the communication
// library, 4002 without a handle of it, 2202 for a refused login, 1164 when the server's folder
// cannot be read, 1229 for every other failure (with a text when the host's key changed or cannot
// be remembered). A start folder that cannot be entered is
// recorded: relative paths then fail until ChangeDir succeeds. breakRecord (may be null) is used
// as described above.
std::unique_ptr<CUrlConnection> ConnectUrl(const char* host, const char* user, const char* password, u16 port,
                                           u32 kindAndFlags, const char* startPath,
                                           UrlBreakHandle* breakRecord);

// The server and share a local connection with a host reaches: a host that names only a server
// gets the first component of the start path as its share ("srv" and "share/dir" give
// "srv/share", "srv/" gives "srv/share"); a longer host stays as it is.
std::string UrlShareHost(const char* host, const char* startPath);

// The process-wide folder in which the controller library is looked up first: with a text it is
// set (at most 259 bytes); the folder is returned. It starts empty.
std::string CtlClientFolder(const char* folder);

// German texts of connections that cannot be made; no password ever appears in them.
std::string UrlKindNotAvailableText(const char* scheme);
// The communication library (sftp, ssh) could not be loaded.
std::string UrlCommLibMissingText();
std::string UrlDrivePathText(const std::string& path);
// For callers that take a path as a URL: its scheme names no connection (GetUrlUnknownScheme).
std::string UrlSchemeUnknownText(const std::string& scheme);
