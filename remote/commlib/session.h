// One SSH session of the communication library, the table of handles, and the shared connect.
#pragma once

#include "remote/commlib/comm_lib_api.h"
#include "remote/commlib/line_framer.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#define COMM_EXPORT extern "C" __attribute__((visibility("default")))

namespace commlib {

enum class Kind { Sftp, Shell };

// Everything but Break, Progress and ProgressSet runs on the one thread that drives the handle.
class Session {
 public:
  explicit Session(Kind kind) : kind(kind) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The TCP connection, the SSH handshake, the host key and the login; for Kind::Sftp the SFTP
  // channel, for Kind::Shell the pty and the shell. A COMM_ code.
  int Connect(const char* host, int port, const char* user, const char* password, int timeoutMs);
  // Called from another thread: the running call returns COMM_BREAK and the session is lost.
  void Break();
  // Sets the code of a failed library call: the server's status for SFTP errors, COMM_BREAK
  // after a break, COMM_TIMEOUT, else the session is lost (COMM_CONNECTION_LOST).
  int Failure(int rc);
  // COMM_OK when calls may go to the server: connected, not lost, not broken.
  int Usable() const;
  bool Broken() const { return breakFlag.load(); }
  // Non-zero while connected and the server has not closed the connection.
  bool Alive() const;
  // The text of a code for this session (host, known-hosts file).
  std::string Text(int code) const;

  const Kind kind;
  LIBSSH2_SESSION* ssh = nullptr;
  LIBSSH2_SFTP* sftp = nullptr;
  LIBSSH2_CHANNEL* channel = nullptr;
  int timeoutMs = 30000;
  std::string host, user, password;
  int port = 22;
  std::string knownHosts;  // the file of the last connect

  // Progress of the running or last transfer: read and set from any thread.
  std::atomic<uint64_t> done{0};
  std::atomic<uint64_t> total{0};

  // The shell's output, line by line.
  LineFramer lines;
  bool eof = false;

  int Socket() const { return fd; }
  std::atomic<bool> lost{false};

  // libssh2 allocates through these, so that what it still holds when a session ends is freed:
  // a lost session cannot close its open file handles, and libssh2 keeps them then.
  void* Allocate(std::size_t size);
  void Free(void* block);
  void* Reallocate(void* block, std::size_t size);

 private:
  int OpenSocket(const char* host, int port, int timeoutMs);
  int CheckHostKey();
  int Login(const char* user, const char* password);
  int OpenShell();
  void CloseSocket();

  // The head of each block; what libssh2 gets follows it, aligned as malloc aligns.
  struct alignas(16) Block {
    Block* prev;
    Block* next;
  };
  void Link(Block* b);
  static void Unlink(Block* b);
  void FreeAllBlocks();
  Block blocks{&blocks, &blocks};  // every block libssh2 holds, in a ring

  std::mutex fdMutex;  // guards fd against Break's shutdown
  int fd = -1;
  std::atomic<bool> breakFlag{false};
  bool used = false;
  bool connected = false;
};

// The handle table: small ids, never given out twice.
uint32_t CreateHandle(Kind kind);
std::shared_ptr<Session> Find(uint32_t handle, Kind kind);
// Removes the handle; the session goes when its last user lets it go.
bool Release(uint32_t handle, Kind kind);

// Temporary files of uploads that a lost session left on its server; the next connect to the same
// server as the same user removes them. A file with a place to restore (the old content of a
// target that was being replaced) is renamed back there when that name is free again.
void RememberOrphan(const Session& s, const std::string& path, const std::string& restoreTo = {});
void RemoveOrphans(Session& s);

// Copies text cut to size-1 bytes with a NUL; its whole length.
int CopyText(const std::string& text, char* buffer, int size);

}  // namespace commlib
