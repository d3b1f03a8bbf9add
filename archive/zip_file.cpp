// CZipFile: opening for reading, updating or creating, the commit by rename, discarding, queries.
#include "archive/zip_internal.h"
#include "platform/secure_zero.h"
#include "lib/system/sys_fdio.h"

#include "lib/system/sys.h"
#include "lib/system/sys_ospath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

using namespace zipfmt;

CZipFile::CZipFile() : m_impl(std::make_unique<Impl>(*this)) {}

CZipFile::~CZipFile() {
  if (m_openMode) Discard();
}

void CZipFile::SetThreadCount(int count) { m_impl->threads = std::max(0, count); }

void CZipFile::Impl::Reset() {
  if (oldFd >= 0) ::close(oldFd);
  oldFd = -1;
  input.Reset(-1, 0);
  replacement.Discard();
  tempFd = -1;
  output.Attach(-1);
  entries.clear();
  byName.clear();
  changed = false;
  oldExists = false;
  SecureWipe(password);
  hasPassword = false;
  passwordWrong = false;
}

bool CZipFile::Impl::IsSelf(dev_t dev, ino_t ino) const {
  return (tempFd >= 0 && dev == tempDev && ino == tempIno) || (oldExists && dev == oldDev && ino == oldIno);
}

void CZipFile::Impl::Restore(int index, int replaced) {
  const std::string& name = entries[static_cast<std::size_t>(index)].name;
  if (replaced >= 0) {
    entries[static_cast<std::size_t>(replaced)].dropped = false;
    byName[name] = replaced;
  } else {
    const auto it = byName.find(name);
    if (it != byName.end() && it->second == index) byName.erase(it);
  }
}

void CZipFile::Impl::Compact() {
  entries.erase(std::remove_if(entries.begin(), entries.end(), [](const ZipEntryRec& e) { return e.dropped; }),
                entries.end());
  byName.clear();
  byName.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) byName[entries[i].name] = static_cast<int>(i);
}

int CZipFile::Open(const char* path, int mode, int level) {
  Impl& s = *m_impl;
  if (m_openMode) Discard();
  SetError(ARC_OK);
  m_path = path ? path : "";
  s.level = std::clamp(level, 0, 9);
  if (mode != ARC_OPEN_READ && mode != ARC_OPEN_UPDATE && mode != ARC_OPEN_CREATE)
    return s.Fail(ARC_ERR_OPEN, {}, EINVAL);
  const SysOsPath os(m_path.c_str());
  if (m_path.empty() || !os.ok()) return s.Fail(ARC_ERR_OPEN, {}, EINVAL);

  struct stat st {};
  const bool exists = ::stat(os.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return s.Fail(ARC_ERR_OPEN, {}, EISDIR);
  if (!exists && (mode == ARC_OPEN_READ || errno != ENOENT)) return s.Fail(ARC_ERR_OPEN, {}, errno);
  if (exists) {
    s.oldExists = true;
    s.oldDev = st.st_dev;
    s.oldIno = st.st_ino;
  }

  // The old archive is read for reading and updating (an empty file counts as an empty archive).
  if (exists && mode != ARC_OPEN_CREATE && (mode == ARC_OPEN_READ || st.st_size > 0)) {
    s.oldFd = SysOpenRegular(os.c_str());
    if (s.oldFd < 0) {
      const int err = errno;
      s.Reset();
      return s.Fail(ARC_ERR_OPEN, {}, err);
    }
    struct stat fst {};
    ::fstat(s.oldFd, &fst);
    s.input.Reset(s.oldFd, static_cast<u64>(fst.st_size));
    std::string detail;
    const int rc = ZipReadDirectory(s.input, s.entries, detail);
    if (rc != ARC_OK) {
      const int err = errno;
      s.Reset();
      return s.Fail(rc, {}, rc == ARC_ERR_READ ? err : 0, detail);
    }
    s.Compact();
  }

  if (mode != ARC_OPEN_READ) {
    // Through a link the file it points to is replaced; the link stays.
    if (const int err = s.replacement.Begin(os.c_str())) {
      s.Reset();
      return s.Fail(ARC_ERR_OPEN, {}, err);
    }
    s.tempFd = s.replacement.Fd();
    struct stat tst {};
    if (::fstat(s.tempFd, &tst) != 0) {
      const int err = errno;
      s.Reset();
      return s.Fail(ARC_ERR_OPEN, {}, err);
    }
    s.tempDev = tst.st_dev;
    s.tempIno = tst.st_ino;
    s.output.Attach(s.tempFd);
  }
  m_openMode = mode;
  return ARC_OK;
}

int CZipFile::OpenMemory(const void* data, std::size_t size, const char* name) {
  Impl& s = *m_impl;
  if (m_openMode) Discard();
  SetError(ARC_OK);
  m_path = name ? name : "";
  if (!data && size) return s.Fail(ARC_ERR_OPEN, {}, EINVAL);
  static const u8 kNone = 0;
  s.input.ResetMemory(data ? static_cast<const u8*>(data) : &kNone, size);
  std::string detail;
  if (const int rc = ZipReadDirectory(s.input, s.entries, detail)) {
    s.Reset();
    return s.Fail(rc, {}, 0, detail);
  }
  s.Compact();
  m_openMode = ARC_OPEN_READ;
  return ARC_OK;
}

int CZipFile::Close() {
  Impl& s = *m_impl;
  if (!m_openMode) return ARC_OK;
  SetError(ARC_OK);
  if (m_openMode == ARC_OPEN_READ) {
    s.Reset();
    m_openMode = 0;
    return ARC_OK;
  }
  // An update that changed nothing leaves the archive as it was.
  if (m_openMode == ARC_OPEN_UPDATE && s.oldExists && !s.changed &&
      std::none_of(s.entries.begin(), s.entries.end(), [](const ZipEntryRec& e) { return e.dropped; })) {
    s.Reset();
    m_openMode = 0;
    return ARC_OK;
  }
  auto fail = [&](int code, int err) {
    s.Reset();
    m_openMode = 0;
    s.running.store(false);
    return s.Fail(code, {}, err);
  };

  s.Compact();
  i64 toCopy = 0;
  for (const ZipEntryRec& e : s.entries)
    if (e.fromOld) toCopy += static_cast<i64>(e.compSize);
  s.progressPos.store(0);
  s.progressTotal.store(toCopy);
  s.running.store(true);

  ZipOutput& out = s.output;
  for (ZipEntryRec& e : s.entries) {
    if (!e.fromOld) continue;
    u64 dataOffset = 0;
    if (!ZipDataOffset(s.input, e, &dataOffset)) {
      const int err = errno;
      s.errItem = e.name;
      return fail(err ? ARC_ERR_READ : ARC_ERR_FORMAT, err);
    }
    const bool descriptor = (e.flags & kFlagDescriptor) && (e.flags & kFlagEncrypted);
    if (!descriptor) e.flags &= static_cast<u16>(~kFlagDescriptor);
    e.localZip64 = e.size >= kMax32 || e.compSize >= kMax32;
    e.localOffset = out.Offset();
    if (!out.Write(ZipLocalHeader(e)) || !out.CopyFrom(s.oldFd, dataOffset, e.compSize))
      return fail(ARC_ERR_WRITE, out.Error());
    if (descriptor) {
      std::string d;
      Put32(d, kSigDescriptor);
      Put32(d, e.crc);
      if (e.localZip64) {
        Put64(d, e.compSize);
        Put64(d, e.size);
      } else {
        Put32(d, static_cast<u32>(e.compSize));
        Put32(d, static_cast<u32>(e.size));
      }
      if (!out.Write(d)) return fail(ARC_ERR_WRITE, out.Error());
    }
    e.fromOld = false;
    s.progressPos.fetch_add(static_cast<i64>(e.compSize));
  }

  const u64 dirOffset = out.Offset();
  for (const ZipEntryRec& e : s.entries)
    if (!out.Write(ZipCentralHeader(e))) return fail(ARC_ERR_WRITE, out.Error());
  const u64 dirSize = out.Offset() - dirOffset;
  if (!out.Write(ZipEndRecords(s.entries.size(), dirOffset, dirSize)) || !out.Flush())
    return fail(ARC_ERR_WRITE, out.Error());

  if (const int err = s.replacement.Commit(true)) return fail(ARC_ERR_COMMIT, err);
  s.Reset();
  s.running.store(false);
  m_openMode = 0;
  return ARC_OK;
}

void CZipFile::Discard() {
  m_impl->Reset();
  m_impl->running.store(false);
  m_openMode = 0;
}

int CZipFile::GetEntryCount() const { return static_cast<int>(m_impl->entries.size()); }

const std::vector<std::string>& CZipFile::SkippedFolderLinks() const { return m_impl->skippedFolderLinks; }

bool CZipFile::GetProgress(i64* position, i64* total) const {
  if (position) *position = m_impl->progressPos.load(std::memory_order_relaxed);
  if (total) *total = m_impl->progressTotal.load(std::memory_order_relaxed);
  return m_impl->running.load();
}

bool CZipFile::GetEntryName(int index, std::string& name) const {
  if (index < 0 || index >= GetEntryCount()) {
    name.clear();
    return false;
  }
  name = m_impl->entries[static_cast<std::size_t>(index)].name;
  return true;
}

bool CZipFile::IsEntryFolder(int index) const {
  return index >= 0 && index < GetEntryCount() && m_impl->entries[static_cast<std::size_t>(index)].folder;
}

CZipFile::NameOffsets CZipFile::GetNameOffsets() const { return m_impl->offsets; }
