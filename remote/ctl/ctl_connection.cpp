// The controller link: the library's loader, the connect, and the adapter over the twenty Ci functions.
#include "remote/ctl/ctl_connection.h"

#include "lib/system/sys_types.h"
#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <vector>

static_assert(sizeof(CiFileRecord) == sizeof(SysFindStruct),
              "the listing record has the Sys find record's layout");
static_assert(offsetof(CiFileRecord, name) == sizeof(SysFileInfo));
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);

namespace {

// ---- the library -----------------------------------------------------------------------------------

struct CtlApi {
  int (*Init)();
  int (*Exit)();
  int (*GetVersion)(char*, int);
  int (*IsOnline)(CiHandle);
  int (*ErrorToText)(int, char*, int);
  int (*Disconnect)(CiHandle);
  int (*Connect)(CiHandle*, const char*);
  int (*ConnectWait)(CiHandle*, const char*, const CiConnectParams*, const char*, unsigned);
  int (*ListFiles)(CiHandle, const char*, CiEntryFn, void*);
  int (*CreateFolder)(CiHandle, const char*, unsigned);
  int (*DeleteFolder)(CiHandle, const char*);
  int (*DeleteFile)(CiHandle, const char*);
  int (*RenameFile)(CiHandle, const char*, const char*);
  int (*UploadFile)(CiHandle, const char*, const char*, unsigned, CiProgress*);
  int (*UploadProc)(CiHandle, const char*, CiReadFn, unsigned, void*, CiProgress*, int64_t);
  int (*DownloadFile)(CiHandle, const char*, const char*, CiProgress*);
  int (*DownloadProc)(CiHandle, const char*, CiWriteFn, void*, CiProgress*);
  int (*GetFileAttr)(CiHandle, const char*, uint32_t*);
  int (*SetFileAttr)(CiHandle, const char*, uint32_t);
  int (*GetInfos)(CiHandle, int, char*, int*, unsigned);
};

template <typename Fn>
void** Slot(CtlApi& api, Fn CtlApi::*member) {
  return reinterpret_cast<void**>(&(api.*member));
}

std::mutex g_loadMutex;
void* g_module = nullptr;
std::atomic<bool> g_loaded{false};
CtlApi g_api{};

const CtlApi& Api() {
  return g_api;
}

const char* const kWithout = "ohne sie sind keine ctlcomm://-Verbindungen möglich.";

// The first-connect state callback and that of the reconnect: nothing to do.
void NoState(void*, CiHandle, int) {}

// 0: the controller keeps no such time.
FILETIME ToFileTime(int64_t seconds) { return seconds ? FileTimeFromUnix(seconds) : FILETIME{}; }

// The address text of a host and port (0: the host alone). An IPv6 address goes in brackets: in
// "::1:9300" the port would be read as the address's last group.
std::string Address(const std::string& host, unsigned port) {
  const std::string name =
      host.find(':') != std::string::npos && !host.starts_with('[') ? "[" + host + "]" : host;
  return port ? FmtString("%s:%u", name.c_str(), port) : name;
}

// The folder of the running program ("" when it cannot be told).
std::string ProgramFolder() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  const std::string program(path, static_cast<std::size_t>(n));
  return program.substr(0, program.rfind('/'));
}

}  // namespace

// ---- loader and connect ----------------------------------------------------------------------------

BOOL CtlClientLoad(const char* folder, std::string* problem) {
  std::lock_guard lock(g_loadMutex);
  if (g_loaded.load()) return TRUE;
  const std::string dir = folder ? folder : "";
  void* module = nullptr;
  std::string path;
  if (!dir.empty()) {
    path = dir;
    if (path.back() == '/') path.pop_back();
    path += "/" CI_LIBRARY_NAME;
    module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  std::string detail;
  if (!module && !path.empty() && ::access(path.c_str(), F_OK) == 0) {
    const char* error = ::dlerror();
    detail = error ? error : "";
  }
  // By name: beside the program first, where a program's own libraries lie, then by the loader's
  // search path.
  const std::string beside = ProgramFolder() + "/" CI_LIBRARY_NAME;
  if (!module && ::access(beside.c_str(), F_OK) == 0) {
    module = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module && detail.empty()) {
      const char* error = ::dlerror();
      detail = error ? error : "";
    }
  }
  if (!module) {
    module = ::dlopen(CI_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
    if (!module && detail.empty()) {
      const char* error = ::dlerror();
      if (error && !std::strstr(error, "No such file")) detail = error;
    }
  }
  if (!module) {
    if (problem) {
      if (!detail.empty())
        *problem = FmtString("Die Steuerungsbibliothek %s kann nicht geladen werden (%s); %s",
                             CI_LIBRARY_NAME, detail.c_str(), kWithout);
      else if (!dir.empty())
        *problem = FmtString(
            "Die Steuerungsbibliothek %s ist nicht zu finden, weder im Ordner \"%s\" noch im Ordner des "
            "Programms noch im Suchpfad des Systems; %s",
            CI_LIBRARY_NAME, dir.c_str(), kWithout);
      else
        *problem = FmtString(
            "Die Steuerungsbibliothek %s ist weder im Ordner des Programms noch im Suchpfad des Systems zu "
            "finden; %s",
            CI_LIBRARY_NAME, kWithout);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  // Fetched in this order; every one must be there.
  CtlApi api{};
  const std::pair<const char*, void**> symbols[] = {
      {"CiInit", Slot(api, &CtlApi::Init)},
      {"CiExit", Slot(api, &CtlApi::Exit)},
      {"CiGetVersion", Slot(api, &CtlApi::GetVersion)},
      {"CiIsOnline", Slot(api, &CtlApi::IsOnline)},
      {"CiErrorToText", Slot(api, &CtlApi::ErrorToText)},
      {"CiDisconnect", Slot(api, &CtlApi::Disconnect)},
      {"CiConnect", Slot(api, &CtlApi::Connect)},
      {"CiConnectWait", Slot(api, &CtlApi::ConnectWait)},
      {"CiListFiles", Slot(api, &CtlApi::ListFiles)},
      {"CiCreateFolder", Slot(api, &CtlApi::CreateFolder)},
      {"CiDeleteFolder", Slot(api, &CtlApi::DeleteFolder)},
      {"CiDeleteFile", Slot(api, &CtlApi::DeleteFile)},
      {"CiRenameFile", Slot(api, &CtlApi::RenameFile)},
      {"CiUploadFile", Slot(api, &CtlApi::UploadFile)},
      {"CiUploadProc", Slot(api, &CtlApi::UploadProc)},
      {"CiDownloadFile", Slot(api, &CtlApi::DownloadFile)},
      {"CiDownloadProc", Slot(api, &CtlApi::DownloadProc)},
      {"CiGetFileAttr", Slot(api, &CtlApi::GetFileAttr)},
      {"CiSetFileAttr", Slot(api, &CtlApi::SetFileAttr)},
      {"CiGetInfos", Slot(api, &CtlApi::GetInfos)},
  };
  for (const auto& [name, slot] : symbols) {
    *slot = ::dlsym(module, name);
    if (*slot) continue;
    if (problem) {
      const link_map* map = nullptr;
      const std::string file =
          ::dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name
              ? map->l_name
              : CI_LIBRARY_NAME;
      *problem = FmtString("Der Steuerungsbibliothek \"%s\" fehlt die Funktion %s; %s", file.c_str(), name,
                           kWithout);
    }
    ::dlclose(module);
    SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  api.Init();
  g_api = api;
  g_module = module;
  g_loaded.store(true);
  return TRUE;
}

BOOL CtlClientUnload() {
  std::lock_guard lock(g_loadMutex);
  if (!g_loaded.load()) return FALSE;
  g_api.Exit();
  g_loaded.store(false);
  ::dlclose(g_module);
  g_module = nullptr;
  g_api = CtlApi{};
  return TRUE;
}

BOOL CtlClientConnect(CiHandle* handle, const char* host, u16 port, const char*, const char*) {
  if (!handle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *handle = 0;
  if (!g_loaded.load()) {
    SetLastError(ERROR_INVALID_DLL);
    return FALSE;
  }
  const std::string address = Address(host ? host : "", port ? port : CI_DEFAULT_PORT);
  CiConnectParams record{};
  record.flags = 32;
  record.connectTimeout = 15;
  record.onState = NoState;
  CiHandle made = 0;
  const int result = Api().ConnectWait(&made, address.c_str(), &record, "", 0);
  if (result == CI_OK) {
    *handle = made;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  DWORD code = ERROR_TIMEOUT;
  switch (result) {
    case CI_E_ARGUMENT:
      code = ERROR_INVALID_PARAMETER;
      break;
    case CI_E_NO_MEMORY:
      code = ERROR_OUTOFMEMORY;
      break;
    case CI_E_BAD_ADDRESS:
      code = ERROR_RESOURCE_NAME_NOT_FOUND;
      break;
    case CI_E_NO_CONTROLLER:
    case CI_E_NOT_A_CONTROLLER:
      code = ERROR_NO_MORE_USER_HANDLES;
      break;
    default:
      break;
  }
  SetLastError(code);
  return FALSE;
}

DWORD CtlErrorFromCi(int result, bool* checkLink) {
  if (checkLink) *checkLink = result == CI_E_LINK_LOST || result == 11;
  switch (result) {
    case CI_OK:
      return ERROR_SUCCESS;
    case CI_E_ARGUMENT:
    case 30:
    case 33:
    case 36:
      return ERROR_INVALID_PARAMETER;
    case CI_E_NOT_READY:
    case 45:
      return ERROR_INVALID_DLL;
    case 4:
      return ERROR_PROC_NOT_FOUND;
    case CI_E_NO_MEMORY:
      return ERROR_OUTOFMEMORY;
    case CI_E_LINK_LOST:
      return ERROR_BAD_COMMAND;
    case 8:
    case 9:
      return ERROR_SERVICE_ALREADY_RUNNING;
    case 10:
      return ERROR_SERVICE_NOT_ACTIVE;
    case 11:
      return ERROR_NOT_CONNECTED;
    case 12:
      return ERROR_INVALID_THREAD_ID;
    case CI_E_NAME_TOO_LONG:
      return ERROR_BUFFER_OVERFLOW;
    case CI_E_DEVICE_FULL:
      return ERROR_NO_SYSTEM_RESOURCES;
    case 15:
      return ERROR_POINT_NOT_FOUND;
    case 16:
      return ERROR_LOGON_SESSION_COLLISION;
    case 17:
      return ERROR_LOGON_SESSION_EXISTS;
    case 18:
      return ERROR_HOST_UNREACHABLE;
    case 19:
      return ERROR_NETWORK_UNREACHABLE;
    case CI_E_BAD_ADDRESS:
      return ERROR_RESOURCE_NAME_NOT_FOUND;
    case 21:
      return ERROR_SESSION_CREDENTIAL_CONFLICT;
    case CI_E_NO_CONTROLLER:
    case 32:
    case CI_E_NOT_A_CONTROLLER:
      return ERROR_NO_MORE_USER_HANDLES;
    case CI_E_TIMEOUT:
      return ERROR_TIMEOUT;
    case 24:
      return ERROR_USER_MAPPED_FILE;
    case 25:
      return ERROR_BAD_NET_RESP;
    case CI_E_HANDLE:
    case 27:
      return ERROR_INVALID_HANDLE;
    case 28:
      return ERROR_NO_SUCH_LOGON_SESSION;
    case 29:
      return ERROR_OLD_WIN_VERSION;
    case 35:
      return ERROR_INVALID_FILTER_PROC;
    case CI_E_NOT_FOUND:
      return ERROR_FILE_NOT_FOUND;
    case 38:
      return ERROR_RESOURCE_NOT_ONLINE;
    case 42:
      return ERROR_UNKNOWN_COMPONENT;
    case 43:
      return ERROR_LOCK_VIOLATION;
    case CI_E_NOT_SUPPORTED:
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_INVALID_ACCESS;
  }
}

// ---- the adapter -----------------------------------------------------------------------------------

CCtlCommUrlConnection::CCtlCommUrlConnection(CiHandle handle, const char* host, const char* user,
                                             const char* password, u32 reserved, u16 port)
    : CUrlConnection(handle, host, user, password, reserved, port, 0) {
  m_urlPrefix = "ctlcomm://";
  m_caps = {.kind = URL_KIND_CTLCOMM, .kind68 = URL_KIND_CTLCOMM, .timeout = true, .utf8Option = true,
            .reconnects = true, .timeStep = 10'000'000, .setsTimes = false};
  m_pathRules.maxWire = CI_PATH_MAX;
}

CCtlCommUrlConnection::~CCtlCommUrlConnection() {
  if (GetEngineHandle() != 0 && g_loaded.load()) Close();
}

BOOL CCtlCommUrlConnection::SetCiError(int result) {
  bool link = false;
  SetLastError(CtlErrorFromCi(result, &link));
  if (link) m_checkLink = true;
  return result == CI_OK;
}

BOOL CCtlCommUrlConnection::Init(u32 reconnectFlag, u32 timeout, BOOL utf8Names) {
  char text[512] = {};
  int size = sizeof text;
  const int result = Api().GetInfos(Handle(), 0, text, &size, 0);
  if (result != CI_OK) return SetCiError(result);
  m_utf8Names = utf8Names != 0;
  m_currentDir = AbsolutePath(NameIn(text));
  m_checkLink = reconnectFlag != 0;
  m_timeout = timeout;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

bool CCtlCommUrlConnection::EnsureOnline(bool force) {
  const CiHandle handle = Handle();
  if (handle == 0) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return false;
  }
  if (!force && (!m_checkLink.load() || Api().IsOnline(handle))) return true;
  if (m_reconnecting) {
    // One reconnect per connection: a link lost again ends it.
    Api().Disconnect(handle);
    m_reconnecting = false;
    m_engineHandle.store(0);
    SetLastError(ERROR_INTERNAL_ERROR);
    return false;
  }
  m_reconnecting = true;
  const std::string address = Address(m_host, m_port);
  CiConnectParams record{};
  record.connectTimeout = 5000;
  record.answerTimeout = 2000;
  record.onState = NoState;
  record.context = this;
  CiHandle again = handle;
  const int result = Api().ConnectWait(&again, address.c_str(), &record, nullptr, 0);
  if (result != CI_OK) return SetCiError(result);
  m_engineHandle.store(again);
  SetLastError(ERROR_SUCCESS);
  return true;
}

BOOL CCtlCommUrlConnection::ChangeDir(const char* path) {
  std::string abs, wire;
  if (!EnsureOnline(false) || !Build(path, &abs, &wire)) return FALSE;
  uint32_t attr = 0;
  const int result = Api().GetFileAttr(Handle(), wire.c_str(), &attr);
  if (result != CI_OK) return SetCiError(result);
  // A link is never entered.
  if (!(attr & CI_ATTR_FOLDER) || (attr & CI_ATTR_TYPE_MASK) == CI_ATTR_TYPE_LINK)
    return Fail(ERROR_PATH_NOT_FOUND);
  return EnterDir(abs);
}

BOOL CCtlCommUrlConnection::SetFileTime(const char*, FILETIME) {
  if (!EnsureOnline(false)) return FALSE;
  return Fail(ERROR_NOT_SUPPORTED);
}

BOOL CCtlCommUrlConnection::SetAttributes(const char* path, u32 value) {
  std::string wire;
  if (!EnsureOnline(false) || !Build(path, nullptr, &wire)) return FALSE;
  u32 word = CI_ATTR_READABLE;
  if (!(value & URL_ATTR_READONLY)) word |= CI_ATTR_WRITABLE;
  if (value & URL_ATTR_HIDDEN) word |= CI_ATTR_HIDDEN;
  if (value & URL_ATTR_DIRECTORY) word |= CI_ATTR_FOLDER;
  if (value & URL_ATTR_SYSTEM) word |= CI_ATTR_SYSTEM;
  if (value & URL_ATTR_ARCHIVE) word |= CI_ATTR_ARCHIVE;
  if (value & URL_ATTR_NORMAL) word |= CI_ATTR_NORMAL;
  if (value >= 0x10000) {
    const u32 mode = value >> URL_ATTR_UNIX_MODE_SHIFT;
    word &= ~static_cast<u32>(CI_ATTR_READABLE | CI_ATTR_WRITABLE | CI_ATTR_NORMAL);
    if (mode & 0444) word |= CI_ATTR_READABLE | ((value & URL_ATTR_NORMAL) ? u32{CI_ATTR_NORMAL} : 0u);
    if (mode & 0222) word |= CI_ATTR_WRITABLE;
    if (mode & 0111) word |= CI_ATTR_NORMAL;
  }
  return SetCiError(Api().SetFileAttr(Handle(), wire.c_str(), word));
}

BOOL CCtlCommUrlConnection::Rmdir(const char* path) {
  std::string wire;
  if (!EnsureOnline(false) || !Build(path, nullptr, &wire)) return FALSE;
  return SetCiError(Api().DeleteFolder(Handle(), wire.c_str()));
}

BOOL CCtlCommUrlConnection::Mkdir(const char* path) {
  std::string wire;
  if (!EnsureOnline(false) || !Build(path, nullptr, &wire)) return FALSE;
  return SetCiError(Api().CreateFolder(Handle(), wire.c_str(), 0));
}

BOOL CCtlCommUrlConnection::Remove(const char* path) {
  std::string wire;
  if (!EnsureOnline(false) || !Build(path, nullptr, &wire)) return FALSE;
  return SetCiError(Api().DeleteFile(Handle(), wire.c_str()));
}

BOOL CCtlCommUrlConnection::Rename(const char* oldPath, const char* newPath) {
  std::string from, to;
  if (!EnsureOnline(false) || !Build(oldPath, nullptr, &from) || !Build(newPath, nullptr, &to)) return FALSE;
  return SetCiError(Api().RenameFile(Handle(), from.c_str(), to.c_str()));
}

void CCtlCommUrlConnection::Close() {
  const CiHandle handle = static_cast<CiHandle>(m_engineHandle.exchange(0));
  if (handle != 0) Api().Disconnect(handle);
  m_checkLink = false;
  m_reconnecting = false;
}

// ---- transfers -------------------------------------------------------------------------------------

void CCtlCommUrlConnection::BeginTransfer() {
  std::atomic_ref<uint64_t>(m_progress.done).store(0);
  std::atomic_ref<uint64_t>(m_progress.total).store(0);
  m_failureSide = URL_FAIL_TRANSFER;
  SetBusy(true);
}

BOOL CCtlCommUrlConnection::EndTransfer(int result) {
  SetBusy(false);
  if (result == CI_OK) m_failureSide = URL_FAIL_NONE;
  return SetCiError(result);
}

BOOL CCtlCommUrlConnection::UploadFile(const char* local, const char* remote, u32, u32) {
  if (!EnsureOnline(false)) return FALSE;
  // The local side first: a folder or a missing file is refused before anything is sent.
  struct stat st {};
  if (!local || ::stat(local, &st) != 0 || S_ISDIR(st.st_mode)) {
    m_failureSide = URL_FAIL_LOCAL;
    return Fail(local && S_ISDIR(st.st_mode)                   ? ERROR_ACCESS_DENIED
                : local && errno != ENOENT && errno != ENOTDIR ? Win32ErrorFromErrno(errno)
                                                               : ERROR_FILE_NOT_FOUND);
  }
  m_failureSide = URL_FAIL_TRANSFER;
  std::string wire;
  if (!Build(remote, nullptr, &wire)) return FALSE;
  BeginTransfer();
  return EndTransfer(Api().UploadFile(Handle(), wire.c_str(), local, 0, &m_progress));
}

BOOL CCtlCommUrlConnection::UploadProc(const char* remote, void* context, UrlReadFn read, u32, u32) {
  if (!read) return Fail(ERROR_INVALID_PARAMETER);
  if (!EnsureOnline(false)) return FALSE;
  m_failureSide = URL_FAIL_TRANSFER;
  std::string wire;
  if (!Build(remote, nullptr, &wire)) return FALSE;
  BeginTransfer();
  return EndTransfer(Api().UploadProc(Handle(), wire.c_str(), read, 0, context, &m_progress, -1));
}

BOOL CCtlCommUrlConnection::DownloadFile(const char* remote, const char* local, BOOL failIfExists, u32, u32,
                                         u32) {
  if (!EnsureOnline(false)) return FALSE;
  if (!local) return Fail(ERROR_INVALID_PARAMETER);
  if (!LocalTargetFree(local, failIfExists)) return FALSE;
  m_failureSide = URL_FAIL_TRANSFER;
  std::string wire;
  if (!Build(remote, nullptr, &wire)) return FALSE;
  BeginTransfer();
  return EndTransfer(Api().DownloadFile(Handle(), wire.c_str(), local, &m_progress));
}

BOOL CCtlCommUrlConnection::DownloadProc(const char* remote, void* context, UrlWriteFn write, u32, u32, u32) {
  if (!write) return Fail(ERROR_INVALID_PARAMETER);
  std::string wire;
  if (!EnsureOnline(false) || !Build(remote, nullptr, &wire)) return AbortDownload(context, write);
  BeginTransfer();
  const BOOL ok = EndTransfer(Api().DownloadProc(Handle(), wire.c_str(), write, context, &m_progress));
  const DWORD code = GetLastError();
  write(context, nullptr, ok ? 0 : -1);
  SetLastError(code);
  return ok;
}

// ---- listing ---------------------------------------------------------------------------------------

BOOL CCtlCommUrlConnection::ReadDir(const char* path, void* context, UrlEntryFn entry,
                                    const UrlDirFilter& filter) {
  if (!entry) return Fail(ERROR_INVALID_PARAMETER);
  const auto end = [&](BOOL ok) {
    const DWORD code = GetLastError();
    entry(context, nullptr);
    SetLastError(code);
    return ok;
  };
  if (!EnsureOnline(false)) return end(FALSE);
  std::string folder, mask;
  if (!Build(path && *path ? path : ".", nullptr, &folder)) return end(FALSE);
  if (!NameOut(filter.mask && *filter.mask ? filter.mask : "*", mask)) return end(FALSE);
  if (folder.back() != '/') folder += '/';
  folder += mask;
  if (folder.size() > CI_PATH_MAX) return end(Fail(ERROR_FILENAME_EXCED_RANGE));

  struct Context {
    CCtlCommUrlConnection* self;
    void* context;
    UrlEntryFn entry;
    bool stopped;
  } listing{this, context, entry, false};
  const auto filterEntry = [](void* ctx, const CiFileRecord* record) -> int {
    auto* l = static_cast<Context*>(ctx);
    if (l->stopped) return 0;
    WIN32_FIND_DATAA data;
    const std::string name = l->self->NameIn(record->name);
    // A name that does not fit the record would be cut into another name: it is left out.
    if (name.size() >= sizeof data.cFileName) return 1;
    data.ftCreationTime = ToFileTime(record->timeCreate);
    data.ftLastAccessTime = ToFileTime(record->timeAccess);
    data.ftLastWriteTime = ToFileTime(record->timeWrite);
    data.nFileSizeHigh = static_cast<DWORD>(record->size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(record->size);
    const u32 attr = record->attr;
    DWORD attributes = attr & ~0x3FFu & ~static_cast<u32>(CI_ATTR_TYPE_MASK);
    if (!(attr & CI_ATTR_WRITABLE)) attributes |= URL_ATTR_READONLY;
    if (attr & CI_ATTR_FOLDER) attributes |= URL_ATTR_DIRECTORY;
    if (attr & CI_ATTR_HIDDEN) attributes |= URL_ATTR_HIDDEN;
    if (attr & CI_ATTR_SYSTEM) attributes |= URL_ATTR_SYSTEM;
    if (attr & CI_ATTR_ARCHIVE) attributes |= URL_ATTR_ARCHIVE;
    if ((attr & CI_ATTR_TYPE_MASK) == CI_ATTR_TYPE_LINK) attributes |= URL_ATTR_LINK;
    data.dwFileAttributes = attributes;
    std::memcpy(data.cFileName, name.c_str(), name.size() + 1);
    if (!l->entry(l->context, &data)) l->stopped = true;
    return l->stopped ? 0 : 1;
  };
  SetBusy(true);
  const int result = Api().ListFiles(Handle(), folder.c_str(), filterEntry, &listing);
  SetBusy(false);
  return end(SetCiError(result));
}

// ---- options and break -----------------------------------------------------------------------------

bool CCtlCommUrlConnection::OptionReady(int id) { return id == URL_OPT_RECONNECT || EnsureOnline(false); }

BOOL CCtlCommUrlConnection::RefreshCounters() {
  // Read by the progress timer while the library counts: no test of the link from here.
  m_bytesDone.store(std::atomic_ref<uint64_t>(m_progress.done).load());
  m_bytesTotal.store(std::atomic_ref<uint64_t>(m_progress.total).load());
  return TRUE;
}

BOOL CCtlCommUrlConnection::SetDone(u64 value, int) {
  std::atomic_ref<uint64_t>(m_progress.done).store(value);
  return TRUE;
}

CUrlConnection::Attempt CCtlCommUrlConnection::ReconnectOnce() {
  if (EnsureOnline(true)) return Attempt::Done;
  // The connection has ended: no try can bring it back.
  return GetEngineHandle() == 0 ? Attempt::Ended : Attempt::Failed;
}

BOOL CCtlCommUrlConnection::SetFindData(const void* buffer, int size) {
  if (GetEngineHandle() == 0) return Fail(ERROR_INVALID_HANDLE);
  if (!EnsureOnline(false)) return FALSE;
  WIN32_FIND_DATAA record;
  if (!TakeFindData(buffer, size, &record)) return FALSE;
  if (record.dwFileAttributes == 0 || record.dwFileAttributes == 0xFFFFFFFF) return Fail(ERROR_NOT_SUPPORTED);
  return SetAttributes(record.cFileName, record.dwFileAttributes);
}

BOOL CCtlCommUrlConnection::Break() {
  if (!IsBusy()) return FALSE;
  const CiHandle handle = static_cast<CiHandle>(m_engineHandle.exchange(0));
  if (handle == 0) return FALSE;
  const int result = Api().Disconnect(handle);
  m_checkLink = true;
  SetBusy(false);
  return result == CI_OK;
}
