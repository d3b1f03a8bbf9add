// A connection that logs its closes, its deletion and every read of its transfer counters into a
// log that outlives it, and notes when it was closed or deleted while a read was running.
#pragma once

#include "tests/support/stub_connection.h"

#include <atomic>
#include <cstring>
#include <functional>

namespace kpwtest {

struct ConnectionLog {
  std::atomic<int> closes{0};
  std::atomic<int> deletes{0};
  std::atomic<int> reads{0};
  std::atomic<int> readsAfterClose{0};
  std::atomic<bool> reading{false};
  std::atomic<bool> goneWhileRead{false};  // closed or deleted during a read
  std::atomic<u64> done{0};                // bytes done, answered as a 64-bit word
  std::function<void()> duringRead;        // called inside each read (set before any runs)
};

class LoggedConnection : public StubConnection {
 public:
  explicit LoggedConnection(ConnectionLog& log) : StubConnection(1, "host", "u", "p", 0, 22, 0), m_log(log) {}
  ~LoggedConnection() override {
    if (m_log.reading) m_log.goneWhileRead = true;
    ++m_log.deletes;
  }
  void Close() override {
    if (m_log.reading) m_log.goneWhileRead = true;
    ++m_log.closes;
  }
  BOOL Break() override { return TRUE; }
  // Options 63 and 64. Only the log is touched after duringRead: a broken owner may have deleted
  // this connection meanwhile, and the log is what tells.
  BOOL GetOption(int id, void* buffer, int* size) override {
    ConnectionLog& log = m_log;
    if ((id != URL_OPT_BYTES_DONE && id != URL_OPT_PROGRESS) || !buffer || !size || *size < 8) return FALSE;
    log.reading = true;
    ++log.reads;
    if (log.closes > 0 || log.deletes > 0) ++log.readsAfterClose;
    if (log.duringRead) log.duringRead();
    const u64 words[2] = {log.done.load(), log.done.load()};
    const int n = id == URL_OPT_PROGRESS && *size >= 16 ? 16 : 8;
    std::memcpy(buffer, words, static_cast<std::size_t>(n));
    *size = n;
    log.reading = false;
    return TRUE;
  }

 private:
  ConnectionLog& m_log;
};

}  // namespace kpwtest
