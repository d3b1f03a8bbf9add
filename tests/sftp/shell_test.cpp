// The communication library's shell session against sshd: one line per read, whatever the packets.
#include "remote/ssh/comm_lib.h"
#include "tests/sftp/sftp_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kpwtest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Shell : public SshTest {
 protected:
  void SetUp() override {
    SshTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    h = CommLib().SshCreate();
    ASSERT_EQ(CommLib().SshConnect(h, "127.0.0.1", server->Port(), SshServer::kUser, SshServer::kPassword, 10000),
              0);
    // A short prompt, and nothing of the login left to read.
    Send("PS1='$ '\n");
    Lines(600ms);
  }
  void TearDown() override {
    if (h) CommLib().SshClose(h);
    SshTest::TearDown();
  }
  void Send(const std::string& text) {
    ASSERT_EQ(CommLib().SshWrite(h, text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()));
  }
  // Every line that comes within the time, one per SshRead.
  std::vector<std::string> Lines(std::chrono::milliseconds within) {
    std::vector<std::string> out;
    const auto end = Clock::now() + within;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || CommLib().SshWait(h, static_cast<int>(left), 1) <= 0) break;
      char line[4096];
      const int n = CommLib().SshRead(h, line, sizeof line);
      if (n > 0) out.emplace_back(line, static_cast<std::size_t>(n));
    }
    return out;
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  static std::string Show(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines) all += "[" + l + "]";
    return all;
  }

  u32 h = 0;
};

TEST_F(Shell, ALineThatComesInTwoPacketsIsReadWhole) {
  // The second half follows after 50 ms: within the settle time, so it is one line.
  Send("printf 'aaee0000'; sleep 0.05; printf '0001xxyy\\n'\n");
  const std::vector<std::string> lines = Lines(800ms);
  EXPECT_TRUE(Has(lines, "aaee00000001xxyy\n")) << Show(lines);
  for (const std::string& line : lines) EXPECT_NE(line.rfind("aaee0000", 0) == 0 && line.size() < 17, true) << Show(lines);
  // The typed line comes back as the shell echoes it, a line of its own.
  EXPECT_TRUE(Has(lines, "printf 'aaee0000'; sleep 0.05; printf '0001xxyy\\n'\n")) << Show(lines);
}

TEST_F(Shell, APromptWithoutALineEndComesAfterTheSettleTime) {
  Send("printf 'Password: '; sleep 1.5\n");
  const auto sent = Clock::now();
  std::vector<std::string> lines;
  for (int i = 0; i < 3 && !Has(lines, "Password: "); ++i) {
    ASSERT_GT(CommLib().SshWait(h, 1000, 1), 0);
    char line[256];
    const int n = CommLib().SshRead(h, line, sizeof line);
    lines.emplace_back(line, static_cast<std::size_t>(std::max(n, 0)));
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
  EXPECT_TRUE(Has(lines, "Password: ")) << Show(lines);
  EXPECT_GE(waited, 100);
  EXPECT_LT(waited, 1200) << "delivered while the command still runs";
  // Nothing more until the command ends.
  char rest[64];
  EXPECT_EQ(CommLib().SshRead(h, rest, sizeof rest), 0);
  int count = -1;
  EXPECT_EQ(CommLib().SshReadCount(h, &count), 0);
  EXPECT_EQ(count, 0);
}

TEST_F(Shell, LinesEndAtLoneCrsCrLfsAndLfsAndLoseTheirEscapes) {
  Send("printf 'one\\rtwo\\r\\nthree\\r\\r\\nfour\\n'\n");
  std::vector<std::string> lines = Lines(600ms);
  auto at = std::find(lines.begin(), lines.end(), "one\n");
  ASSERT_NE(at, lines.end()) << Show(lines);
  ASSERT_GE(lines.end() - at, 4) << Show(lines);
  EXPECT_EQ(std::vector<std::string>(at, at + 4), (std::vector<std::string>{"one\n", "two\n", "three\n", "four\n"}));

  Send("printf '\\033[1mbold\\033[0m \\033]0;title\\007end\\033(B\\n'\n");
  lines = Lines(600ms);
  EXPECT_TRUE(Has(lines, "bold end\n")) << Show(lines);
}

TEST_F(Shell, ReadCountTellsWhatIsReadyAndALongLineComesInPieces) {
  Send("printf '%0300d\\n' 7; sleep 0.3\n");
  std::this_thread::sleep_for(250ms);
  int count = 0;
  EXPECT_GT(CommLib().SshReadCount(h, &count), 0);
  EXPECT_GT(count, 300);
  // Drained in pieces of 256, as the adapters drain.
  std::string all;
  char piece[256];
  while (CommLib().SshReadCount(h, &count) > 0) {
    const int n = CommLib().SshRead(h, piece, sizeof piece);
    ASSERT_GT(n, 0);
    all.append(piece, static_cast<std::size_t>(n));
  }
  EXPECT_NE(all.find(std::string(299, '0') + "7\n"), std::string::npos) << all;
}

TEST_F(Shell, ABreakEndsAWaitAndTheEndOfTheShellIsTold) {
  Send("sleep 5\n");
  Lines(300ms);
  std::thread breaker([&] {
    std::this_thread::sleep_for(200ms);
    CommLib().SshBreak(h);
  });
  const auto start = Clock::now();
  EXPECT_EQ(CommLib().SshWait(h, 5000, 1), COMM_SHELL_BREAK);
  breaker.join();
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1500);
  EXPECT_EQ(CommLib().SshIsConnected(h), 0);
  char text[8];
  EXPECT_LT(CommLib().SshRead(h, text, sizeof text), 0);
  EXPECT_LT(CommLib().SshWrite(h, "x", 1), 0);

  // A second session: "exit" ends the shell, and waiting says so.
  const u32 other = CommLib().SshCreate();
  ASSERT_EQ(CommLib().SshConnect(other, "127.0.0.1", server->Port(), SshServer::kUser, SshServer::kPassword, 10000), 0);
  EXPECT_EQ(CommLib().SshIsConnected(other), 1);
  ASSERT_EQ(CommLib().SshWrite(other, "exit\n", 5), 5);
  int result = 1;
  char line[4096];
  for (int i = 0; i < 200 && result > 0; ++i) {
    result = CommLib().SshWait(other, 200, 1);
    if (result > 0) CommLib().SshRead(other, line, sizeof line);
  }
  EXPECT_EQ(result, COMM_SHELL_CLOSED);
  EXPECT_EQ(CommLib().SshIsConnected(other), 0);
  CommLib().SshClose(other);
}

}  // namespace
