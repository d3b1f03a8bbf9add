// ConnectUrl with its table of kinds, the guarded break record and the controller folder.
#include "remote/connect_url.h"

#include "lib/text/enc.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"
#include "platform/last_error.h"
#include "remote/ssh/comm_lib.h"
#include "remote/ctl/ctl_connection.h"
#include "remote/disk/disk_connection.h"
#include "remote/ftp/ftp_connection.h"
#include "remote/local/local_connection.h"
#include "remote/ssh/sftp_connection.h"
#include "remote/ssh/ssh_connection.h"

#include <string_view>

namespace {

struct ConnectArgs {
  const char* host;
  const char* user;
  const char* password;
  u16 port;
  u32 flags;  // the kind word's upper bits
  const char* startPath;
  UrlBreakHandle* breakRecord;
};

using ConnectFn = std::unique_ptr<CUrlConnection> (*)(const ConnectArgs& args);

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// Kind 3: this machine's files, or with a host the shares of a server. A host that names only a
// server takes the start path's first component as its share.
std::unique_ptr<CUrlConnection> ConnectLocal(const ConnectArgs& args) {
  const std::string host = args.host ? args.host : "";
  const std::string start = args.startPath ? args.startPath : "";
  for (const std::string* path : {&host, &start})
    if (EncUrlForm(*path) == URL_FORM_DRIVE)
      throw CInternetException(ERROR_INVALID_DRIVE, UrlDrivePathText(*path));
  const std::string share = host.empty() ? host : UrlShareHost(host.c_str(), start.c_str());
  auto connection =
      std::make_unique<CLocalUrlConnection>(1, share.c_str(), args.user ? args.user : "", args.password, 0,
                                            args.port, (args.flags & URL_CONNECT_ALTERNATE) ? 1 : 0);
  if (!connection->Open(share.c_str())) throw CInternetException(GetLastError(), connection->Message());
  return connection;
}

// The FTP engine's abort of a hanging connect.
BOOL BreakFtpConnect(std::uintptr_t handle) {
  return FtpBreak(reinterpret_cast<FtpSession*>(handle)) > 0 ? TRUE : FALSE;
}

// Kind 1: the session is published in the break record as soon as it exists.
std::unique_ptr<CUrlConnection> ConnectFtp(const ConnectArgs& args) {
  u32 ftpFlags = 0;
  if (args.flags & URL_CONNECT_ALTERNATE) ftpFlags |= FTP_PASSIVE;
  if (args.flags & URL_CONNECT_RECONNECT) ftpFlags |= FTP_RECONNECT;
  if (args.flags & URL_CONNECT_FTP_LINKS) ftpFlags |= FTP_RESOLVE_LINKS;
  UrlBreakHandle* record = args.breakRecord;
  if (record) record->Publish(URL_KIND_FTP, BreakFtpConnect);
  int result = 0;
  auto session = FtpConnect(args.host, args.user ? args.user : "", args.password, args.port, ftpFlags, 30000,
                            &result, [record](FtpSession* s) {
                              if (record) record->SetHandle(reinterpret_cast<std::uintptr_t>(s));
                            });
  if (!session) {
    const DWORD code = result == 530               ? ERROR_INVALID_PASSWORD
                       : result / 100 == 3         ? ERROR_BAD_USERNAME
                       : result == FTP_E_NO_MEMORY ? ERROR_OUTOFMEMORY
                       : result == 500             ? ERROR_GEN_FAILURE
                                                   : ERROR_CONNECTION_INVALID;
    throw CInternetException(code);
  }
  auto connection =
      std::make_unique<CFtpUrlConnection>(std::move(session), args.host, args.user ? args.user : "", args.password,
                                          0, args.port, (args.flags & URL_CONNECT_ALTERNATE) ? 1 : 0);
  if (args.flags & URL_CONNECT_RETRY) {
    const u32 on = 1;
    connection->SetOption(URL_OPT_RETRY, &on, sizeof on, 0);
  }
  return connection;
}

// The communication library, loaded once per process by the first connect that needs it.
bool CommLibReady() {
  static std::mutex mutex;
  static bool loaded = false;
  std::lock_guard lock(mutex);
  if (!loaded) loaded = CommLibLoad() != 0;
  return loaded;
}

BOOL BreakSftpConnect(std::uintptr_t handle) {
  CommLib().SftpBreak(static_cast<u32>(handle));
  return TRUE;
}

BOOL BreakSshConnect(std::uintptr_t handle) {
  CommLib().SshBreak(static_cast<u32>(handle));
  return TRUE;
}

// Kinds 2 and 7: a handle of the library's half for the kind, connected as login and published in
// the break record meanwhile; the handle, or a throw.
u32 ConnectCommLib(const ConnectArgs& args, int kind, const std::string& login) {
  if (!CommLibReady()) throw CInternetException(ERROR_INVALID_DLL, UrlCommLibMissingText());
  CommLibFunctions& lib = CommLib();
  const bool sftp = kind == URL_KIND_SFTP;
  const u32 handle = (sftp ? lib.SftpCreate : lib.SshCreate)();
  if (!handle) throw CInternetException(ERROR_STATIC_INIT);
  UrlBreakHandle* record = args.breakRecord;
  if (record) {
    record->Publish(kind, sftp ? BreakSftpConnect : BreakSshConnect);
    record->SetHandle(handle);
  }
  const int result = (sftp ? lib.SftpConnect : lib.SshConnect)(handle, args.host, args.port, login.c_str(),
                                                                args.password ? args.password : "", 0);
  if (record) record->Withdraw();
  if (result == COMM_OK) return handle;
  // A changed host key is told in words: the user has to decide what to do about it.
  std::string text;
  if (result == COMM_HOST_KEY_CHANGED || result == COMM_HOST_KEY_UNSAVED) {
    char buffer[2048];
    (sftp ? lib.SftpErrorText : lib.SshErrorText)(handle, result, buffer, sizeof buffer);
    text = buffer;
  }
  (sftp ? lib.SftpClose : lib.SshClose)(handle);
  throw CInternetException(result == COMM_LOGIN_REFUSED ? ERROR_BAD_USERNAME : ERROR_CONNECTION_INVALID, text);
}

// Kind 2: a handle of the communication library, connected, then the adapter on it.
std::unique_ptr<CUrlConnection> ConnectSftp(const ConnectArgs& args) {
  const std::string user = args.user ? args.user : "";
  const u32 handle = ConnectCommLib(args, URL_KIND_SFTP, user);
  auto connection = std::make_unique<CSftpUrlConnection>(handle, args.host, user.c_str(), args.password, 0,
                                                         args.port, (args.flags & URL_CONNECT_ALTERNATE) ? 1 : 0);
  if (!connection->Init((args.flags & URL_CONNECT_RECONNECT) ? 1 : 0, 30000, 1))
    throw CInternetException(ERROR_DEVICE_REINITIALIZATION_NEEDED);
  return connection;
}

// Kind 7: a shell session of the communication library; the adapter probes the host on it. The
// user text may carry an elevation after '|' (the adapter does it): only the name logs in.
std::unique_ptr<CUrlConnection> ConnectSsh(const ConnectArgs& args) {
  const std::string user = args.user ? args.user : "";
  const u32 handle = ConnectCommLib(args, URL_KIND_SSH, user.substr(0, user.find('|')));
  auto connection = std::make_unique<CSshUrlConnection>(handle, args.host, user.c_str(), args.password, 0, args.port,
                                                        (args.flags & URL_CONNECT_ALTERNATE) ? 1 : 0);
  if (!connection->Probe((args.flags & URL_CONNECT_RECONNECT) ? 1 : 0, 30000, 1))
    throw CInternetException(ERROR_BAD_NETPATH);
  return connection;
}

// Kind 5: an image or block device. The host comes escaped, so that no "/" or ":" of a file's
// path is taken for a separator of the URL; the start path is not entered.
std::unique_ptr<CUrlConnection> ConnectDisk(const ConnectArgs& args) {
  std::string escaped;
  for (const char* p = args.host; *p; ++p) {
    switch (*p) {
      case '%': escaped += "%25"; break;
      case ':': escaped += "%3A"; break;
      case '/':
      case '\\': escaped += "%2F"; break;
      default: escaped += *p;
    }
  }
  auto connection = std::make_unique<CDiskUrlConnection>(
      std::make_unique<DiskDriveTable>(), escaped.c_str(), args.user ? args.user : "", args.password, 0, args.port,
      (args.flags & URL_CONNECT_ALTERNATE) ? 1 : 0);
  if (!connection->Open((args.flags & URL_CONNECT_READ_ONLY) != 0))
    throw CInternetException(GetLastError(), connection->Message());
  return connection;
}

// Kind 6: a controller through the controller library. The host is passed whole (a cut name
// would reach another host); port 0 means the library's default. Flag 0x100 tests the link
// before each operation.
std::unique_ptr<CUrlConnection> ConnectCtlComm(const ConnectArgs& args) {
  const char* user = args.user ? args.user : "";
  std::string problem;
  if (!CtlClientLoad(CtlClientFolder(nullptr).c_str(), &problem)) throw CInternetException(ERROR_INVALID_DLL, problem);
  CiHandle handle = 0;
  if (!CtlClientConnect(&handle, args.host, args.port, user, args.password)) throw CInternetException(GetLastError());
  auto connection = std::make_unique<CCtlCommUrlConnection>(handle, args.host, user, args.password, 0, args.port);
  if (!connection->Init(args.flags & URL_CONNECT_RECONNECT, 30000, TRUE)) throw CInternetException(ERROR_BAD_NETPATH);
  return connection;
}

struct KindEntry {
  int kind;                  // its scheme: UrlKindFind
  ConnectFn connect;         // null: not reached by this version
  UrlEngineBreakFn breakFn;  // the engine's abort of a hanging connect; null for none
};

// One entry per kind; each kind's connect comes with its adapter.
constexpr KindEntry kKinds[] = {
    {URL_KIND_FTP, ConnectFtp, BreakFtpConnect},    {URL_KIND_SFTP, ConnectSftp, BreakSftpConnect},
    {URL_KIND_LOCAL, ConnectLocal, nullptr},        {URL_KIND_DISK, ConnectDisk, nullptr},
    {URL_KIND_CTLCOMM, ConnectCtlComm, nullptr},    {URL_KIND_SSH, ConnectSsh, BreakSshConnect},
};

const KindEntry* FindKind(int kind) {
  for (const KindEntry& entry : kKinds)
    if (entry.kind == kind) return &entry;
  return nullptr;
}

// Withdraws the record's connect on every way out of ConnectUrl.
class Withdrawal {
 public:
  explicit Withdrawal(UrlBreakHandle* record) : m_record(record) {
    if (m_record) m_record->Withdraw();
  }
  ~Withdrawal() {
    if (m_record) m_record->Withdraw();
  }
  Withdrawal(const Withdrawal&) = delete;
  Withdrawal& operator=(const Withdrawal&) = delete;

 private:
  UrlBreakHandle* m_record;
};

std::mutex g_ctlFolderMutex;
std::string g_ctlFolder;

}  // namespace

// ---- the exception -------------------------------------------------------------------------------

CInternetException::CInternetException(DWORD error, std::string text)
    : m_dwError(error), m_text(std::move(text)) {
  m_what = m_text.empty() ? FmtString("Windows-Fehler %u", static_cast<unsigned>(error)) : m_text;
}

// ---- the break record ----------------------------------------------------------------------------

void UrlBreakHandle::Publish(int kind, UrlEngineBreakFn breakFn) {
  std::lock_guard lock(m_mutex);
  m_kind = kind;
  m_handle = 0;
  m_break = breakFn;
}

void UrlBreakHandle::SetHandle(std::uintptr_t handle) {
  std::lock_guard lock(m_mutex);
  m_handle = handle;
}

void UrlBreakHandle::Withdraw() {
  std::lock_guard lock(m_mutex);
  m_kind = 0;
  m_handle = 0;
  m_break = nullptr;
}

int UrlBreakHandle::Kind() const {
  std::lock_guard lock(m_mutex);
  return m_kind;
}

std::uintptr_t UrlBreakHandle::Handle() const {
  std::lock_guard lock(m_mutex);
  return m_handle;
}

BOOL UrlBreakHandle::Break() {
  std::lock_guard lock(m_mutex);
  if (!m_break || m_handle == 0) return FALSE;
  switch (m_kind) {
    case URL_KIND_FTP:
      return m_break(m_handle) ? TRUE : FALSE;
    case URL_KIND_SFTP:
    case URL_KIND_SSH:
      m_break(m_handle);
      return TRUE;
    default:
      return FALSE;
  }
}

BOOL BreakUrlConnection(UrlBreakHandle* record) {
  return record ? record->Break() : FALSE;
}

// ---- connect -------------------------------------------------------------------------------------

std::unique_ptr<CUrlConnection> ConnectUrl(const char* host, const char* user, const char* password, u16 port,
                                           u32 kindAndFlags, const char* startPath,
                                           UrlBreakHandle* breakRecord) {
  const Withdrawal withdrawal(breakRecord);
  const int kind = static_cast<int>(kindAndFlags & 0xFF);
  const KindEntry* entry = FindKind(kind);
  if (!entry) throw CInternetException(ERROR_INVALID_PARAMETER);
  if (!entry->connect)
    throw CInternetException(ERROR_NOT_SUPPORTED, UrlKindNotAvailableText(UrlKindFind(kind)->scheme));
  // "file:////server/share/dir": the start path names server and share.
  std::string hostText = host ? host : "";
  std::string startText = startPath ? startPath : "";
  if (kind == URL_KIND_LOCAL && hostText.empty() && EncUrlForm(startText) == URL_FORM_UNC) {
    std::string_view rest(startText);
    while (!rest.empty() && IsSeparator(rest.front())) rest.remove_prefix(1);
    const std::size_t end = std::min(rest.size(), rest.find_first_of("/\\"));
    hostText = std::string(rest.substr(0, end));
    startText = std::string(rest.substr(end));
  }
  // A share's start path names share and folder from the server, with or without its "/".
  if (kind == URL_KIND_LOCAL && !hostText.empty() && !startText.empty() && !IsSeparator(startText.front()))
    startText.insert(0, "/");
  startPath = startText.c_str();
  const ConnectArgs args{hostText.c_str(), user,      password,   port,
                         kindAndFlags & ~0xFFu, startPath, breakRecord};
  std::unique_ptr<CUrlConnection> connection = entry->connect(args);
  if (kind != URL_KIND_DISK && startPath && *startPath && !connection->ChangeDir(startPath))
    connection->ForgetCurrentDir();
  return connection;
}

std::string UrlShareHost(const char* host, const char* startPath) {
  const std::string h = host ? host : "";
  std::string_view server(h);
  while (!server.empty() && IsSeparator(server.front())) server.remove_prefix(1);
  if (server.empty() || (server.size() >= 2 && (IsSeparator(server[1]) || server[1] == ':'))) return h;
  std::string_view start = startPath ? std::string_view(startPath) : std::string_view();
  while (!start.empty() && IsSeparator(start.front())) start.remove_prefix(1);
  const std::string_view share = start.substr(0, std::min(start.size(), start.find_first_of("/\\")));
  if (share.empty()) return h;
  const std::size_t end = server.find_first_of("/\\");
  if (end == std::string_view::npos) return h + "/" + std::string(share);
  if (end + 1 == server.size()) return h + std::string(share);
  return h;
}

std::string CtlClientFolder(const char* folder) {
  std::lock_guard lock(g_ctlFolderMutex);
  if (folder) {
    char cut[260];
    StrCopyA(cut, folder, sizeof cut);
    g_ctlFolder = cut;
  }
  return g_ctlFolder;
}

// ---- texts ---------------------------------------------------------------------------------------

std::string UrlKindNotAvailableText(const char* scheme) {
  return FmtString("Verbindungen über \"%s://\" sind in dieser Version noch nicht verfügbar.", scheme);
}

std::string UrlDrivePathText(const std::string& path) {
  return FmtString("Der Pfad:\n%s\nhat einen Laufwerksbuchstaben; solche Pfade gibt es hier nicht.",
                   path.c_str());
}

std::string UrlSchemeUnknownText(const std::string& scheme) {
  return FmtString(
      "\"%s:\" ist kein bekanntes URL-Schema; der Pfad wird weder als URL noch als lokaler Pfad "
      "genommen.",
      scheme.c_str());
}

std::string UrlCommLibMissingText() {
  return FmtString(
      "Die Bibliothek \"%s\" für SFTP- und SSH-Verbindungen ist nicht vorhanden; sie gehört neben das "
      "Programm.",
      kCommLibFile);
}
