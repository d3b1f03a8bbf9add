// ExtractAll: unpacking every entry below a folder without ever writing outside it.
#include "archive/zip_crypt.h"
#include "archive/zip_internal.h"
#include "platform/secure_zero.h"

#include "lib/system/sys.h"
#include "lib/system/sys_ospath.h"
#include "lib/system/sys_tempfile.h"
#include "lib/system/sys_tree.h"
#include "lib/text/fmt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

using namespace zipfmt;

namespace {

std::string MethodText(u16 method) {
  const char* name = nullptr;
  switch (method) {
    case 1: name = "Shrink"; break;
    case 6: name = "Implode"; break;
    case 9: name = "Deflate64"; break;
    case 14: name = "LZMA"; break;
    case 93: name = "Zstandard"; break;
    case 95: name = "xz"; break;
    case 98: name = "PPMd"; break;
    case 99: name = "AES"; break;
    default: break;
  }
  return name ? FmtString("Methode %u, %s", method, name) : FmtString("Methode %u", method);
}

// Folders below the target, made where missing and opened without following links, so that a
// link already lying in the target, or swapped in meanwhile, cannot lead the writing elsewhere.
// A link to a folder on the way gives -1 with its relative path in *link.
int OpenFolder(SysTree& tree, const std::string& relative, std::string* link) {
  const int fd = tree.MakeFolders(relative);
  if (fd >= 0 || !link) return fd;
  const int err = errno;
  if (err == ELOOP || err == ENOTDIR || err == EEXIST) *link = tree.LinkOnWay(relative);
  errno = err;
  return -1;
}

}  // namespace

int CZipFile::Impl::SettlePassword(const ZipEntryRec& entry, std::string& detail) {
  for (;;) {
    const bool wrong = passwordWrong;
    if (!hasPassword) {
      if (!self.m_passwordFn) return ARC_ERR_ENCRYPTED;
      std::string given;
      const int answer = self.m_passwordFn(entry.name, wrong, given);
      if (answer <= 0) {
        SecureWipe(given);
        if (answer < 0) return ARC_ERR_USER_ABORT;
        return wrong ? ARC_ERR_PASSWORD : ARC_ERR_ENCRYPTED;
      }
      SecureWipe(password);
      password.swap(given);
      hasPassword = true;
      passwordWrong = false;
    }
    const int rc = ZipCheckPassword(input, entry, password, detail);
    if (rc != ARC_ERR_PASSWORD) return rc;
    SecureWipe(password);
    hasPassword = false;
    passwordWrong = true;
  }
}

int CZipFile::ExtractAll(const char* folder, const char*) {
  Impl& s = *m_impl;
  SetError(ARC_OK);
  if (m_openMode != ARC_OPEN_READ || !s.input.IsOpen()) return s.Fail(ARC_ERR_NOT_OPEN);
  const std::string target = folder ? folder : "";
  const SysOsPath os(target.c_str());
  if (target.empty() || !os.ok()) return s.Fail(ARC_ERR_CREATE, target, EINVAL);
  SysTree tree(target);
  if (const int err = tree.OpenRoot(true)) return s.Fail(ARC_ERR_CREATE, target, err);

  i64 total = 0;
  for (const ZipEntryRec& e : s.entries) total += static_cast<i64>(e.size);
  s.progressPos.store(0);
  s.progressTotal.store(total);
  s.running.store(true);

  int lastError = ARC_OK;
  bool stop = false;
  s.skippedFolderLinks.clear();
  // Below a link to a folder in the target nothing is written: the entry is left out, not failed.
  auto skippedByLink = [&](const std::string& link) {
    const std::string path = target + (target.back() == '/' ? "" : "/") + link;
    auto& links = s.skippedFolderLinks;
    if (std::find(links.begin(), links.end(), path) == links.end()) links.push_back(path);
  };
  // Records the error, asks through event 10; true when the answer stops.
  auto report = [&](int index, int code, const std::string& item, int err, std::string detail = {}) {
    s.Fail(code, item, err, std::move(detail));
    lastError = code;
    if (s.ReportError(index)) {
      lastError = ARC_ERR_USER_ABORT;
      return true;
    }
    return false;
  };

  {
    std::vector<std::pair<std::string, i64>> folderTimes;
    const int count = static_cast<int>(s.entries.size());
    for (int i = 0; i < count && !stop; ++i) {
      const ZipEntryRec& e = s.entries[static_cast<std::size_t>(i)];
      if (Notify(ARC_EVENT_ENTRY, i, nullptr) == 1) continue;
      std::string rel;
      const int safe = ZipSafeRelativeName(e.name, rel);
      if (safe < 0) {
        stop = report(i, ARC_ERR_UNSAFE_NAME, e.name, 0);
        continue;
      }
      if (safe == 0) continue;
      const u32 type = e.UnixMode() & S_IFMT;
      if (type == S_IFLNK) {
        stop = report(i, ARC_ERR_LINK, e.name, 0);
        continue;
      }
      std::string link;
      if (e.folder) {
        if (OpenFolder(tree, rel, &link) >= 0) folderTimes.emplace_back(rel, e.mtime);
        else if (!link.empty()) skippedByLink(link);
        else stop = report(i, ARC_ERR_CREATE, rel, errno);
        continue;
      }
      const bool encrypted = e.flags & (kFlagEncrypted | kFlagStrongEncryption);
      if (encrypted && !ZipCanDecrypt(e)) {
        stop = report(i, ARC_ERR_ENCRYPTED, e.name, 0);
        continue;
      }
      const u16 method = ZipPackMethod(e);
      if (!ZipMethodSupported(method)) {
        stop = report(i, ARC_ERR_METHOD, e.name, 0, MethodText(method));
        continue;
      }
      if (s.ProgressEvent(ARC_EVENT_READ, i, e.name)) {
        lastError = ARC_ERR_USER_ABORT;
        break;
      }
      const std::size_t slash = rel.rfind('/');
      const std::string dirPart = slash == std::string::npos ? std::string() : rel.substr(0, slash);
      const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
      const int dirFd = OpenFolder(tree, dirPart, &link);
      if (dirFd < 0) {
        if (!link.empty()) skippedByLink(link);
        else stop = report(i, ARC_ERR_CREATE, dirPart, errno);
        continue;
      }

      // Whether the name is taken is decided here: an entry whose file was not there never
      // replaces one that appears while it is unpacked.
      bool existed = false;
      struct stat st {};
      if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        existed = true;
        if (S_ISDIR(st.st_mode)) {
          stop = report(i, ARC_ERR_CREATE, rel, EISDIR);
          continue;
        }
        if (m_flags & ARC_FLAG_NO_OVERWRITE) continue;
        if ((m_flags & ARC_FLAG_KEEP_READONLY) && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) continue;
        if ((m_flags & ARC_FLAG_NEWER_ONLY) &&
            SysCompareFileTime(e.mtime, static_cast<SysUtc>(st.st_mtime), e.exactTime ? 0 : 2) <= 0)
          continue;
      } else if (errno != ENOENT) {
        stop = report(i, ARC_ERR_CREATE, rel, errno);
        continue;
      }
      // The password is settled before a byte is unpacked.
      if (encrypted) {
        std::string detail;
        const int rc = s.SettlePassword(e, detail);
        if (rc == ARC_ERR_USER_ABORT) {
          s.Fail(ARC_ERR_USER_ABORT);
          lastError = ARC_ERR_USER_ABORT;
          break;
        }
        if (rc != ARC_OK) {
          stop = report(i, rc, e.name, rc == ARC_ERR_READ ? errno : 0, detail);
          continue;
        }
      }
      // The entry gets its name only when it is whole and its check sum is right.
      SysTempFile file;
      if (const int err = file.Create(dirFd, name)) {
        stop = report(i, ARC_ERR_CREATE, rel, err);
        continue;
      }

      int writeErr = 0;
      std::string detail;
      int rc = ZipDecodeEntry(s.input, e, encrypted ? &s.password : nullptr, [&](const u8* data, std::size_t length) {
        if (const int err = file.Write(data, length)) {
          writeErr = err;
          return false;
        }
        s.progressPos.fetch_add(static_cast<i64>(length), std::memory_order_relaxed);
        return true;
      }, detail);
      const int readErr = errno;
      if (rc == ARC_OK) {
        const int fd = file.Fd();
        const u32 mode = e.UnixMode() & 07777;
        if (mode & 0777) {
          ::fchmod(fd, mode & 0777);
        } else if (e.externalAttr & 0x01) {
          struct stat own {};
          if (::fstat(fd, &own) == 0) ::fchmod(fd, own.st_mode & ~static_cast<mode_t>(0222));
        }
        const struct timespec times[2] = {{static_cast<time_t>(e.mtime), 0}, {static_cast<time_t>(e.mtime), 0}};
        ::futimens(fd, times);
        if (const int err = file.Commit(existed)) {
          rc = ARC_ERR_WRITE;
          writeErr = err;
        }
      } else {
        file.Discard();
      }
      if (rc != ARC_OK) {
        if (rc == ARC_ERR_WRITE) stop = report(i, ARC_ERR_CREATE, rel, writeErr);
        else if (rc == ARC_ERR_READ) stop = report(i, ARC_ERR_READ, e.name, readErr);
        else stop = report(i, rc, e.name, 0, detail.empty() ? MethodText(method) : detail);
        continue;
      }
      if (Notify(ARC_EVENT_FILE_DONE, i, nullptr) != 0) {
        s.Fail(ARC_ERR_USER_ABORT);
        lastError = ARC_ERR_USER_ABORT;
        break;
      }
    }
    // Folder times last: unpacking into a folder changes its time.
    for (auto it = folderTimes.rbegin(); it != folderTimes.rend(); ++it) {
      const int fd = tree.Folder(it->first);
      if (fd < 0) continue;
      const struct timespec times[2] = {{static_cast<time_t>(it->second), 0}, {static_cast<time_t>(it->second), 0}};
      ::futimens(fd, times);
    }
  }
  s.running.store(false);
  SetError(lastError);
  return lastError;
}
