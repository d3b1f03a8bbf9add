// The shared archive and the held connection, with their release after a row.
#include "jobs/progress/row_carry.h"

#include "archive/zip_file.h"
#include "remote/url_connection.h"

#include <utility>

CRowCarry::CRowCarry() : m_archive(std::make_unique<CZipFile>()) {}

CRowCarry::~CRowCarry() { CloseConnection(TakeConnection()); }

CZipFile& CRowCarry::Archive() {
  std::lock_guard lock(m_mutex);
  return *m_archive;
}

void CRowCarry::SetArchive(std::unique_ptr<CZipFile> archive) {
  std::unique_ptr<CZipFile> old;
  {
    std::lock_guard lock(m_mutex);
    old = std::exchange(m_archive, archive ? std::move(archive) : std::make_unique<CZipFile>());
  }
}

void CRowCarry::ReadArchiveProgress(i64* position, i64* total) const {
  std::lock_guard lock(m_mutex);
  m_archive->GetProgress(position, total);
}

CUrlConnection* CRowCarry::Connection() const {
  std::lock_guard lock(m_mutex);
  return m_connection.get();
}

void CRowCarry::HoldConnection(std::unique_ptr<CUrlConnection> connection) {
  std::unique_ptr<CUrlConnection> old;
  {
    std::lock_guard lock(m_mutex);
    old = std::exchange(m_connection, std::move(connection));
  }
  CloseConnection(std::move(old));
}

std::unique_ptr<CUrlConnection> CRowCarry::TakeConnection() {
  std::lock_guard lock(m_mutex);
  return std::move(m_connection);
}

bool CRowCarry::ReadConnection(const std::function<void(CUrlConnection&)>& read) const {
  std::lock_guard lock(m_mutex);
  if (!m_connection) return false;
  read(*m_connection);
  return true;
}

int CRowCarry::Release(bool discard, const CloseErrorFn& onCloseError) {
  int result = 0;
  CZipFile& archive = Archive();
  if (archive.IsOpen()) {
    if (discard) {
      archive.Discard();
    } else if (archive.Close() != 0) {
      if (onCloseError) onCloseError(archive.GetErrorText());
      result = -1;
    }
  }
  // Taken out under the lock first: a timer read still running ends before, none starts after.
  CloseConnection(TakeConnection());
  return result;
}

void CRowCarry::CloseConnection(std::unique_ptr<CUrlConnection> connection) {
  if (connection) connection->Close();
}
