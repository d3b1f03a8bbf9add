// What the parts of the FTP client share: replies, commands, paths and the data connection.
#pragma once

#include "remote/ftp/ftp_client.h"

#include <chrono>
#include <memory>
#include <string>

namespace ftpint {

using Clock = std::chrono::steady_clock;

// The longest command line (without CR LF) that goes out; servers take 4096 bytes and more.
inline constexpr std::size_t kMaxCommandLine = 4000;
// The most one reply may hold, all its lines together (a FEAT reply holds a few hundred bytes).
inline constexpr std::size_t kMaxReply = 256 * 1024;

// Stores a code and its text as the last result.
void Keep(FtpSession& s, int code, std::string text);
// Stores an own code with its text as the last result; returns the code.
int Fail(FtpSession& s, int code, const char* text);
// What one reply may take, all its lines together: the session's time-out and kMaxReply bytes.
// A server that goes on past either (a "220-" greeting that never ends) fails the reply with 996.
struct ReplyLimit {
  explicit ReplyLimit(const FtpSession& s) : deadline(Clock::now() + std::chrono::milliseconds(s.timeoutMs)) {}
  Clock::time_point deadline;
  std::size_t left = kMaxReply;
};
// Reads one whole reply (RFC 959: after "NNN-" up to the line "NNN "); its code, or 996/997
// (the control socket then closed). firstLineOnly stops after the first line (FEAT). A line that
// does not begin with a code is a reply of code 0.
int ReadReply(FtpSession& s, bool keepText = true, bool firstLineOnly = false);
// One line of the control connection (without its line end) within the reply's limits.
int ReadLine(FtpSession& s, std::string& line, ReplyLimit& limit);
// Sends line and CR LF: 0, or 998 with the control socket closed.
int SendLine(FtpSession& s, const std::string& line);
// Drops what the server sent that no command waited for.
void Drain(FtpSession& s);
// Sends a command and reads its reply. closeOnFail closes the control socket on a non-2xx code.
int Command(FtpSession& s, const std::string& line, bool closeOnFail = false);
// verb + " " + the built path: 0 with the line, or an own code (982, 981) with nothing sent.
// dropSlash drops one trailing "/" (CWD, RMD, MKD).
int BuildCommand(FtpSession& s, const char* verb, const char* path, std::string& line, bool dropSlash = false);
// The path on the wire: absolute, or joined to the current folder; Latin-1 with FTP_RAW_NAMES.
int BuildPath(FtpSession& s, const char* path, std::string& out);
// A name from the wire as we hold it (UTF-8).
std::string NameIn(const FtpSession& s, std::string_view wire);
// Before a command: the control connection is there, or made again with FTP_RECONNECT. 0 or a code.
int Ready(FtpSession& s);
int LoginLocked(FtpSession& s);
void CloseControl(FtpSession& s);
void CloseData(FtpSession& s);
void CloseListening(FtpSession& s);
// Opens a data connection for command (STOR, RETR, LIST) and reads its 1xx reply: 0 with the
// data socket in s.data, else the code.
int OpenDataConnection(FtpSession& s, const std::string& command);
// After a transfer that a break or a failure stopped: ABOR once and the replies that follow.
void AbortTransfer(FtpSession& s);
// The command lock for one operation; the break is cleared when an operation that saw it ends.
class Operation {
 public:
  explicit Operation(FtpSession& s) : m_s(s), m_lock(s.commandLock) {
    std::lock_guard lock(s.socketLock);
    s.running = true;
  }
  ~Operation() {
    std::lock_guard lock(m_s.socketLock);
    m_s.running = false;
    m_s.breakFlag = false;
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

 private:
  FtpSession& m_s;
  std::lock_guard<FtpCommandLock> m_lock;
};
// The result of an operation that the break flag may have ended: 996 "user break".
int BreakResult(FtpSession& s);
int SizeLocked(FtpSession& s, const char* path, u64* size);
int MdtmLocked(FtpSession& s, const char* path, i64* time);
int CwdRaw(FtpSession& s, const char* path);
int PwdLocked(FtpSession& s, std::string* dir);

}  // namespace ftpint
