// SmbShare: one server reached through libsmbclient, with its own context, for the share mode of the local adapter.
#pragma once

#include "platform/win_types.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct _SMBCCTX;
struct _SMBCFILE;

// Paths are the server's: "/share/folder/name" with "/" separators ("/" alone is the server
// with its shares). Every call answers 0 or an errno value; the context is used by one thread at
// a time, and nothing else of the process shares it.
class SmbShare {
 public:
  struct Login {
    std::string server;
    std::string user;  // empty: a guest (or a Kerberos ticket where one exists)
    std::string password;
    std::string workgroup;  // empty: the library's own
    u16 port = 0;           // 0: the library's (445, then 139)
  };

  // One entry of a listing.
  struct Entry {
    enum Kind { Folder, File, DiskShare, OtherShare, Other };
    const char* name;
    Kind kind;
    u16 attributes;  // the server's DOS attributes (0 for shares)
    u64 size;
    timespec created, accessed, written;
  };

  // An open file of the server; closed when it goes.
  class File {
   public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    explicit operator bool() const { return m_file != nullptr; }
    // The count, 0 at the end, -1 with errno.
    ssize_t Read(void* buffer, std::size_t size);
    // The whole block or -1 with errno.
    ssize_t Write(const void* buffer, std::size_t size);
    int Stat(struct stat& st);
    // 0 or errno; a write that the server refuses at the close shows here.
    int Close();

   private:
    friend class SmbShare;
    File(_SMBCCTX* context, _SMBCFILE* file) : m_context(context), m_file(file) {}
    _SMBCCTX* m_context = nullptr;
    _SMBCFILE* m_file = nullptr;
  };

  // A context for the server; null with *error set when the library cannot make one.
  static std::unique_ptr<SmbShare> Create(const Login& login, int* error);
  ~SmbShare();
  SmbShare(const SmbShare&) = delete;
  SmbShare& operator=(const SmbShare&) = delete;

  const std::string& Server() const { return m_login.server; }

  int Stat(std::string_view path, struct stat& st);
  int Mkdir(std::string_view path);
  int Rmdir(std::string_view path);
  int Unlink(std::string_view path);
  // Replaces an existing target (the library's rename does); callers that must not replace check first.
  int Rename(std::string_view from, std::string_view to);
  // Access and write time in whole seconds (the library sends no more).
  int SetTimes(std::string_view path, std::time_t accessed, std::time_t written);
  // The DOS bits read-only, hidden, system and archive as given; none of them: a normal file.
  int SetDosAttributes(std::string_view path, u32 attributes);
  // flags as for open(2).
  int Open(std::string_view path, int flags, File& file);
  // Lists a folder, or the shares at "/"; each entry goes to fn, which stops by returning false.
  int List(std::string_view path, const std::function<bool(const Entry&)>& fn);

 private:
  explicit SmbShare(Login login) : m_login(std::move(login)) {}
  std::string Url(std::string_view path) const;
  static void Auth(_SMBCCTX* context, const char* server, const char* share, char* workgroup, int workgroupSize,
                   char* user, int userSize, char* password, int passwordSize);

  Login m_login;
  _SMBCCTX* m_context = nullptr;
};
