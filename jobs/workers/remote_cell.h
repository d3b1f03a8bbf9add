// A cell that names a remote folder: its parts, its connection and its path on the server.
#pragma once

#include "remote/url_connection.h"

#include <memory>
#include <string>

class UrlBreakHandle;

// A remote cell split into what ConnectUrl takes.
struct RemoteCell {
  int kind = 0;
  std::string host, user, password, path;
  int port = 0;
};

inline constexpr std::size_t kRemotePathMax = 4095;

// Splits text (kind from GetUrlKind with URLs only); false with the row's message (a path too
// long, a server without host or user; local and disk URLs need neither).
bool RemoteCellSplit(const char* text, RemoteCell& out, std::string& message);

// Connects to the cell's store (reconnect and retry on); null with the row's message. breakRecord
// lets the dialog's cancel break a connect that hangs. A store the row only reads from is opened
// for reading alone (a disk image is attached read-only and left as it was). notice (when given)
// receives what the store said that the row should tell though the connect succeeded.
std::unique_ptr<CUrlConnection> RemoteCellConnect(const RemoteCell& cell, UrlBreakHandle* breakRecord,
                                                  std::string& message, bool readOnly = false,
                                                  std::string* notice = nullptr);

// The folder the cell means on the connection, "/" separators, no trailing "/": a path "." or
// "./x" (after the URL's own "/") is taken below the folder the connection logged in to, on every
// kind of connection; everything else from the root. False with the row's message.
bool RemoteCellResolve(CUrlConnection& c, const RemoteCell& cell, std::string& out, std::string& message);

// A name from a listing that may be joined to a path: not empty, not "." or "..", no "/".
bool RemoteSafeName(const std::string& name);

// Whether an entry of a target listing is a link that a row leaves as it is: one that leads to a
// folder, or one whose listing does not tell where it leads (an FTP "l" line, a dangling link). A
// link known to lead to a file acts on its own name, as a file does (it is replaced or removed,
// never written through).
bool RemoteKeptLink(u32 attributes);

// folder + "/" + name, with "/" as the folder giving "/name".
inline std::string RemoteJoin(const std::string& folder, const std::string& name) {
  return (folder == "/" ? "" : folder) + "/" + name;
}
