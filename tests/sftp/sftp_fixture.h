// The tests' sshd with the built communication library loaded through the machine's registry.
#pragma once

#include "lib/text/enc.h"
#include "remote/ssh/comm_lib.h"
#include "remote/connect_url.h"
#include "tests/support/ssh_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

namespace kpwtest {

class SshTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SshServer::Missing().empty()) GTEST_SKIP() << SshServer::Missing();
    server = SshServer::Start(options);
    ASSERT_NE(server, nullptr);
    UseBuiltCommLib(server->Folder() + "/install");
    ASSERT_EQ(CommLibLoad(), 1);
  }
  void TearDown() override {
    if (server) CommLibUnload();
  }
  // A connected Sftp handle of the library (0 on failure).
  u32 SftpHandle(const char* password = SshServer::kPassword) const {
    const u32 h = CommLib().SftpCreate();
    if (CommLib().SftpConnect(h, "127.0.0.1", server->Port(), SshServer::kUser, password, 10000) != 0) return 0;
    return h;
  }
  std::unique_ptr<CUrlConnection> Connect(const std::string& start, u32 flags = URL_CONNECT_RECONNECT) const {
    return ConnectUrl("127.0.0.1", SshServer::kUser, SshServer::kPassword, static_cast<u16>(server->Port()),
                      u32{URL_KIND_SFTP} | flags, start.c_str(), nullptr);
  }

  SshServer::Options options;
  std::unique_ptr<SshServer> server;
};

// Counts the calls that go through the library's table while it is alive; the table is as it was
// afterwards.
class CallCounter {
 public:
  CallCounter() : m_saved(CommLib()) {
    s_real = m_saved;
    s_calls = 0;
#define KPW_COUNT_SLOT(name, type) CommLib().name = &Count<type, &CommLibFunctions::name>::Call;
    KPW_COMM_SLOTS(KPW_COUNT_SLOT)
#undef KPW_COUNT_SLOT
  }
  ~CallCounter() { CommLib() = m_saved; }
  CallCounter(const CallCounter&) = delete;
  CallCounter& operator=(const CallCounter&) = delete;
  int Calls() const { return s_calls.load(); }

 private:
  template <typename Fn, Fn CommLibFunctions::*Slot>
  struct Count;
  template <typename R, typename... A, R (*CommLibFunctions::*Slot)(A...)>
  struct Count<R (*)(A...), Slot> {
    static R Call(A... a) {
      ++s_calls;
      return (s_real.*Slot)(a...);
    }
  };
  inline static CommLibFunctions s_real{};
  inline static std::atomic<int> s_calls{0};
  CommLibFunctions m_saved;
};

}  // namespace kpwtest
