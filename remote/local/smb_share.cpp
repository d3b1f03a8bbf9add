// SmbShare over libsmbclient: a context per server, its credentials through the library's callback.
#include "remote/local/smb_share.h"

#include <libsmbclient.h>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define KPW_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KPW_LEAK_CHECKS 1
#endif
#endif

#ifdef KPW_LEAK_CHECKS
// Samba's debug module keeps a copy of its log file name for each new context and never frees
// the one before (talloc, below libsmbclient); that is not ours to mend.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libtalloc.so\n";
}
// The list of what was suppressed would end up among a program's error lines.
extern "C" const char* __lsan_default_options() {
  return "print_suppressions=0";
}
#endif

namespace {

// The library loads its configuration into process-wide state while a context is made or freed.
std::mutex g_contextMutex;

// The library's diagnostics are not ours to print.
void Quiet(void*, int, const char*) {}

int ErrnoOr(int fallback) {
  return errno ? errno : fallback;
}

void CopyInto(char* buffer, int size, const std::string& text) {
  if (buffer && size > 0) std::snprintf(buffer, static_cast<std::size_t>(size), "%s", text.c_str());
}

}  // namespace

// ---- files ---------------------------------------------------------------------------------------

SmbShare::File::~File() {
  Close();
}

SmbShare::File::File(File&& other) noexcept : m_context(other.m_context), m_file(other.m_file) {
  other.m_file = nullptr;
}

SmbShare::File& SmbShare::File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    m_context = other.m_context;
    m_file = other.m_file;
    other.m_file = nullptr;
  }
  return *this;
}

ssize_t SmbShare::File::Read(void* buffer, std::size_t size) {
  errno = 0;
  return smbc_getFunctionRead(m_context)(m_context, m_file, buffer, size);
}

ssize_t SmbShare::File::Write(const void* buffer, std::size_t size) {
  const auto* p = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    errno = 0;
    const ssize_t n = smbc_getFunctionWrite(m_context)(m_context, m_file, p + done, size - done);
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int SmbShare::File::Stat(struct stat& st) {
  errno = 0;
  return smbc_getFunctionFstat(m_context)(m_context, m_file, &st) == 0 ? 0 : ErrnoOr(EIO);
}

int SmbShare::File::Close() {
  if (!m_file) return 0;
  errno = 0;
  const int rc = smbc_getFunctionClose(m_context)(m_context, m_file);
  m_file = nullptr;
  return rc == 0 ? 0 : ErrnoOr(EIO);
}

// ---- the context ---------------------------------------------------------------------------------

std::unique_ptr<SmbShare> SmbShare::Create(const Login& login, int* error) {
  std::unique_ptr<SmbShare> share(new SmbShare(login));
  std::lock_guard lock(g_contextMutex);
  errno = 0;
  SMBCCTX* context = smbc_new_context();
  if (!context) {
    *error = ErrnoOr(ENOMEM);
    return nullptr;
  }
  smbc_setDebug(context, 0);
  smbc_setLogCallback(context, nullptr, Quiet);
  smbc_setOptionUserData(context, share.get());
  smbc_setFunctionAuthDataWithContext(context, Auth);
  smbc_setTimeout(context, 30000);
  if (login.port) smbc_setPort(context, login.port);
  // Without a user: a Kerberos ticket where one is at hand, else a guest.
  const char* cache = std::getenv("KRB5CCNAME");
  const std::string defaultCache = "/tmp/krb5cc_" + std::to_string(::getuid());
  const bool kerberos = login.user.empty() && ((cache && *cache) || ::access(defaultCache.c_str(), R_OK) == 0);
  smbc_setOptionUseKerberos(context, kerberos);
  smbc_setOptionFallbackAfterKerberos(context, kerberos);
  smbc_setOptionUseCCache(context, kerberos);
  if (!smbc_init_context(context)) {
    *error = ErrnoOr(EINVAL);
    smbc_free_context(context, 1);
    return nullptr;
  }
  share->m_context = context;
  return share;
}

SmbShare::~SmbShare() {
  if (!m_context) return;
  std::lock_guard lock(g_contextMutex);
  smbc_free_context(m_context, 1);
}

void SmbShare::Auth(SMBCCTX* context, const char*, const char*, char* workgroup, int workgroupSize, char* user,
                    int userSize, char* password, int passwordSize) {
  const auto* self = static_cast<const SmbShare*>(smbc_getOptionUserData(context));
  if (!self) return;
  const Login& login = self->m_login;
  if (!login.workgroup.empty()) CopyInto(workgroup, workgroupSize, login.workgroup);
  // Without a user the library's guest stands as it is.
  if (login.user.empty()) {
    CopyInto(password, passwordSize, "");
    return;
  }
  CopyInto(user, userSize, login.user);
  CopyInto(password, passwordSize, login.password);
}

std::string SmbShare::Url(std::string_view path) const {
  // Bytes outside the plain set travel escaped: the library reads "%", "?" and "@" in URLs.
  static const char kHex[] = "0123456789ABCDEF";
  std::string url = "smb://" + m_login.server;
  if (path.empty() || path.front() != '/') url += '/';
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      url += ch;
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 15];
    }
  }
  return url;
}

// ---- operations ----------------------------------------------------------------------------------

int SmbShare::Stat(std::string_view path, struct stat& st) {
  errno = 0;
  return smbc_getFunctionStat(m_context)(m_context, Url(path).c_str(), &st) == 0 ? 0 : ErrnoOr(EIO);
}

int SmbShare::Mkdir(std::string_view path) {
  errno = 0;
  return smbc_getFunctionMkdir(m_context)(m_context, Url(path).c_str(), 0777) == 0 ? 0 : ErrnoOr(EIO);
}

int SmbShare::Rmdir(std::string_view path) {
  errno = 0;
  return smbc_getFunctionRmdir(m_context)(m_context, Url(path).c_str()) == 0 ? 0 : ErrnoOr(EIO);
}

int SmbShare::Unlink(std::string_view path) {
  errno = 0;
  return smbc_getFunctionUnlink(m_context)(m_context, Url(path).c_str()) == 0 ? 0 : ErrnoOr(EIO);
}

int SmbShare::Rename(std::string_view from, std::string_view to) {
  errno = 0;
  return smbc_getFunctionRename(m_context)(m_context, Url(from).c_str(), m_context, Url(to).c_str()) == 0
             ? 0
             : ErrnoOr(EIO);
}

int SmbShare::SetTimes(std::string_view path, std::time_t accessed, std::time_t written) {
  struct timeval times[2] = {{accessed, 0}, {written, 0}};
  errno = 0;
  return smbc_getFunctionUtimes(m_context)(m_context, Url(path).c_str(), times) == 0 ? 0 : ErrnoOr(EIO);
}

int SmbShare::SetDosAttributes(std::string_view path, u32 attributes) {
  const u32 bits = attributes & (SMBC_DOS_MODE_READONLY | SMBC_DOS_MODE_HIDDEN | SMBC_DOS_MODE_SYSTEM |
                                 SMBC_DOS_MODE_ARCHIVE);
  const std::string url = Url(path);
  errno = 0;
  if (bits == 0) {
    // A mode of no bits means "unchanged" to the library; a mode with write bits is a normal file.
    return smbc_getFunctionChmod(m_context)(m_context, url.c_str(), 0644) == 0 ? 0 : ErrnoOr(EIO);
  }
  char value[16];
  const int n = std::snprintf(value, sizeof value, "0x%x", static_cast<unsigned>(bits));
  return smbc_getFunctionSetxattr(m_context)(m_context, url.c_str(), "system.dos_attr.mode", value,
                                             static_cast<std::size_t>(n), 0) == 0
             ? 0
             : ErrnoOr(EIO);
}

int SmbShare::Open(std::string_view path, int flags, File& file) {
  errno = 0;
  SMBCFILE* f = smbc_getFunctionOpen(m_context)(m_context, Url(path).c_str(), flags, 0666);
  if (!f) return ErrnoOr(EIO);
  file = File(m_context, f);
  return 0;
}

int SmbShare::List(std::string_view path, const std::function<bool(const Entry&)>& fn) {
  const bool shares = path.empty() || path == "/";
  errno = 0;
  SMBCFILE* dir = smbc_getFunctionOpendir(m_context)(m_context, Url(shares ? "/" : path).c_str());
  if (!dir) return ErrnoOr(EIO);
  int err = 0;
  if (shares) {
    for (;;) {
      errno = 0;
      const smbc_dirent* d = smbc_getFunctionReaddir(m_context)(m_context, dir);
      if (!d) {
        err = errno == ENOENT ? 0 : errno;
        break;
      }
      const Entry e{d->name, d->smbc_type == SMBC_FILE_SHARE ? Entry::DiskShare : Entry::OtherShare, 0, 0, {}, {},
                    {}};
      if (!fn(e)) break;
    }
  } else {
    for (;;) {
      struct stat st {};
      errno = 0;
      const libsmb_file_info* info = smbc_getFunctionReaddirPlus2(m_context)(m_context, dir, &st);
      if (!info) {
        err = errno == ENOENT ? 0 : errno;
        break;
      }
      const Entry::Kind kind = S_ISDIR(st.st_mode) ? Entry::Folder : S_ISREG(st.st_mode) ? Entry::File : Entry::Other;
      const Entry e{info->name, kind, info->attrs, info->size, info->btime_ts, info->atime_ts, info->mtime_ts};
      if (!fn(e)) break;
    }
  }
  smbc_getFunctionClosedir(m_context)(m_context, dir);
  return err;
}
