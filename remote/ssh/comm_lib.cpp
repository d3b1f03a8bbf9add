// The communication library's table: stand-bys, and the counted loading of the library at run time.
#include "remote/ssh/comm_lib.h"

#include "lib/system/registry.h"
#include "platform/last_error.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

namespace {

constexpr const char* kCryptoSoname = "libcrypto.so.3";

enum SlotRole { kPlain, kCreate, kBreak, kErrorText };

constexpr bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

constexpr int SlotCode(std::string_view name) {
  return name.starts_with("Sftp") ? COMM_NOT_LOADED : name.starts_with("Ssh") ? COMM_SSH_NOT_LOADED : 10;
}

constexpr int SlotRoleOf(std::string_view name) {
  return EndsWith(name, "Create") ? kCreate : EndsWith(name, "Break") ? kBreak
                                          : EndsWith(name, "ErrorText") ? kErrorText
                                                                        : kPlain;
}

template <typename Fn, int Code>
struct Returns;
template <typename R, typename... A, int Code>
struct Returns<R (*)(A...), Code> {
  static R Call(A...) { return static_cast<R>(Code); }
};

int NotLoadedText(uint32_t, int, char* buffer, int size) {
  const int length = static_cast<int>(std::strlen(kCommLibNotLoaded));
  if (!buffer || size < 1) return length;
  const int n = length < size - 1 ? length : size - 1;
  std::memcpy(buffer, kCommLibNotLoaded, static_cast<std::size_t>(n));
  buffer[n] = '\0';
  return length;
}

template <typename Fn, int Code, int Role>
constexpr Fn StandBy() {
  if constexpr (Role == kErrorText)
    return &NotLoadedText;
  else if constexpr (Role == kCreate || Role == kBreak)
    return &Returns<Fn, 0>::Call;
  else
    return &Returns<Fn, Code>::Call;
}

constexpr CommLibFunctions MakeStandBys() {
  CommLibFunctions t{};
#define KPW_COMM_STANDBY(name, type) t.name = StandBy<type, SlotCode(#name), SlotRoleOf(#name)>();
  KPW_COMM_SLOTS(KPW_COMM_STANDBY)
#undef KPW_COMM_STANDBY
  return t;
}

constinit CommLibFunctions g_table = MakeStandBys();

std::mutex g_loadMutex;
int g_loadCount = 0;
void* g_crypto = nullptr;
void* g_library = nullptr;
std::string g_loadedPath;

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string exe(path, static_cast<std::size_t>(n));
  const std::size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

std::string RegistryFolder() {
  CRegistry key;
  std::string folder;
  if (!key.Open(HKEY_LOCAL_MACHINE, "Software\\Tavrin\\Tavrin-Tools", REG_OPEN_READ) ||
      !key.GetString("Path", folder))
    return {};
  return folder;
}

void* LoadCrypto() {
  if (void* h = ::dlopen(kCryptoSoname, RTLD_NOW | RTLD_GLOBAL)) return h;
  const char* conf = std::getenv("OPENSSL_CONF");
  if (!conf || !*conf) return nullptr;
  const std::string_view file(conf);
  const std::size_t slash = file.rfind('/');
  if (slash == std::string_view::npos) return nullptr;
  const std::string path = std::string(file.substr(0, slash + 1)) + kCryptoSoname;
  return ::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
}

struct ResultError {
  int result;
  DWORD error;
  bool renew;  // the session is in doubt after it
};

// Every result the library's interface names, and the shell results without a name that this
// build never gives but another build of the library may: each is read alike whatever the build.
constexpr ResultError kResultErrors[] = {
    {COMM_OK, ERROR_SUCCESS, false},
    {COMM_EOF, ERROR_HANDLE_EOF, false},
    {COMM_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND, false},
    {COMM_PERMISSION_DENIED, ERROR_ACCESS_DENIED, false},
    {COMM_FAILURE, ERROR_INVALID_ACCESS, false},
    {COMM_BAD_MESSAGE, ERROR_BAD_COMMAND, true},
    {COMM_NO_CONNECTION, ERROR_NOT_CONNECTED, true},
    {COMM_CONNECTION_LOST, ERROR_REQUEST_ABORTED, true},
    {COMM_OP_UNSUPPORTED, ERROR_CALL_NOT_IMPLEMENTED, false},
    {COMM_TIMEOUT, ERROR_TIMEOUT, false},
    {COMM_BREAK, ERROR_CANCELLED, false},
    {COMM_BUFFER_SMALL, ERROR_BUFFER_OVERFLOW, false},
    {COMM_SOURCE_FAILED, ERROR_WRITE_FAULT, false},
    {COMM_LOCAL_FILE, ERROR_FILE_INVALID, false},
    {COMM_LOCAL_IO, ERROR_WRITE_FAULT, false},
    {COMM_NOT_LOADED, ERROR_INVALID_DLL, false},
    {COMM_BAD_PARAMETER, ERROR_INVALID_PARAMETER, false},
    {COMM_HANDLE_USED, ERROR_ALREADY_ASSIGNED, false},
    {COMM_INTERNAL, ERROR_INTERNAL_ERROR, false},
    {COMM_UNREACHABLE, ERROR_HOST_UNREACHABLE, false},
    {COMM_SOURCE_CHANGED, ERROR_SHARING_VIOLATION, false},
    {COMM_SHELL_LOST, ERROR_REQUEST_ABORTED, true},
    {COMM_SHELL_BREAK, ERROR_CANCELLED, false},
    {COMM_SHELL_BAD_PARAMETER, ERROR_INVALID_PARAMETER, false},
    {COMM_SHELL_CLOSED, ERROR_NOT_CONNECTED, true},
    {COMM_SHELL_BAD_HANDLE, ERROR_INTERNAL_ERROR, false},
    {-1, ERROR_REQUEST_ABORTED, true},
    {-3, ERROR_CALL_NOT_IMPLEMENTED, false},
    {-4, ERROR_CALL_NOT_IMPLEMENTED, false},
    {-5, ERROR_SERVICE_LOGON_FAILED, false},
    {-6, ERROR_INTERNAL_ERROR, false},
    {-7, ERROR_SERVICE_LOGON_FAILED, false},
    {-8, ERROR_ACCESS_DENIED, false},
    {-9, ERROR_SERVICE_LOGON_FAILED, false},
    {-10, ERROR_REQUEST_ABORTED, true},
    {-11, ERROR_LOCAL_USER_SESSION_KEY, false},
    {-12, ERROR_OUTOFMEMORY, false},
    {-13, ERROR_INTERNAL_ERROR, false},
    {-15, ERROR_INTERNAL_ERROR, false},
    {-19, ERROR_INTERNAL_ERROR, false},
    {-20, ERROR_INTERNAL_ERROR, false},
    {-21, ERROR_INTERNAL_ERROR, false},
    {-22, ERROR_ALREADY_ASSIGNED, false},
    {-24, ERROR_INVALID_DLL, false},
    {-25, ERROR_HOST_UNREACHABLE, false},
};

}  // namespace

DWORD CommLibError(int result, bool* renew) {
  for (const ResultError& e : kResultErrors) {
    if (e.result != result) continue;
    if (renew) *renew = e.renew;
    return e.error;
  }
  if (renew) *renew = false;
  return ERROR_INVALID_ACCESS;
}

CommLibFunctions& CommLib() {
  return g_table;
}

CommLibFunctions CommLibStandBys() {
  return MakeStandBys();
}

std::vector<std::string> CommLibCandidates() {
  std::vector<std::string> out;
  const std::string program = ProgramFolder();
  if (!program.empty()) out.push_back(program + "/" + kCommLibFile);
  out.push_back(kCommLibFile);
  std::string folder = RegistryFolder();
  if (!folder.empty()) {
    if (folder.back() != '/') folder += '/';
    out.push_back(folder + "Tools/" + kCommLibFile);
  }
  return out;
}

int CommLibLoad() {
  std::lock_guard lock(g_loadMutex);
  if (g_library) {
    ++g_loadCount;
    return 1;
  }
  if (!g_crypto) g_crypto = LoadCrypto();
  for (const std::string& candidate : CommLibCandidates()) {
    // Only a path names a file; a bare name goes through the system's search.
    if (candidate.find('/') != std::string::npos && ::access(candidate.c_str(), F_OK) != 0) continue;
    if ((g_library = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL))) {
      g_loadedPath = candidate;
      break;
    }
  }
  if (!g_library) return 0;
  g_loadCount = 1;
  CommLibFunctions table = MakeStandBys();
#define KPW_COMM_LOOKUP(name, type) \
  if (void* f = ::dlsym(g_library, #name)) table.name = reinterpret_cast<type>(f);
  KPW_COMM_SLOTS(KPW_COMM_LOOKUP)
#undef KPW_COMM_LOOKUP
  g_table = table;
  return 1;
}

void CommLibUnload() {
  std::lock_guard lock(g_loadMutex);
  if (g_loadCount == 0 || --g_loadCount > 0) return;
  g_table = MakeStandBys();
  if (g_library) ::dlclose(g_library);
  if (g_crypto) ::dlclose(g_crypto);
  g_library = g_crypto = nullptr;
  g_loadedPath.clear();
}

std::string CommLibLoadedPath() {
  std::lock_guard lock(g_loadMutex);
  return g_loadedPath;
}
