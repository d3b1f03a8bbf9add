// What a row hands to the next: the shared archive and the connection a row holds.
#pragma once

#include "platform/win_types.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

class CZipFile;
class CUrlConnection;

// Owns the shared archive of the zip rows and the connection of the row that runs. Rows, the
// runner and their workers change it on the run's thread; the progress timer reads it from the
// dialog's thread, and only under the lock, so that a connection is never read once the row has
// let it go.
class CRowCarry {
 public:
  // Told the archive's error text when committing it fails.
  using CloseErrorFn = std::function<void(const std::string& errorText)>;

  CRowCarry();  // an archive object that is not open, no connection
  // An archive still open is dropped uncommitted (only Release commits); a held connection is
  // closed.
  ~CRowCarry();
  CRowCarry(const CRowCarry&) = delete;
  CRowCarry& operator=(const CRowCarry&) = delete;

  // The shared archive: always an object, open while the zip rows hand it on.
  CZipFile& Archive();
  // Puts another archive object in place (null: a fresh one); not while a run uses it.
  void SetArchive(std::unique_ptr<CZipFile> archive);
  // The archive's position and total for the progress timer; any thread.
  void ReadArchiveProgress(i64* position, i64* total) const;

  // The connection the row holds, or null (the run's thread).
  CUrlConnection* Connection() const;
  // The row holds this connection now: the progress timer reads it, and the runner closes it
  // after the row unless the row hands it on. One held before is closed first.
  void HoldConnection(std::unique_ptr<CUrlConnection> connection);
  // Takes the held connection back (null when none); the timer no longer sees it.
  std::unique_ptr<CUrlConnection> TakeConnection();
  // Calls read with the held connection, which cannot be let go meanwhile; false when none is
  // held. Any thread; read must be short and must not call back into the carry.
  bool ReadConnection(const std::function<void(CUrlConnection&)>& read) const;

  // The end of what a row handed on: closes the archive (discard: drops it uncommitted) and closes
  // and deletes the connection. Each is released once; a second call finds nothing. 0, or -1 when
  // committing the archive failed, after onCloseError got its text.
  int Release(bool discard, const CloseErrorFn& onCloseError = {});

 private:
  static void CloseConnection(std::unique_ptr<CUrlConnection> connection);

  // Guards the two pointers; the objects themselves belong to the run's thread.
  mutable std::mutex m_mutex;
  std::unique_ptr<CZipFile> m_archive;
  std::unique_ptr<CUrlConnection> m_connection;
};
