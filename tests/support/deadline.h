// Deadlines for the waits of tests: every wait ends, and one that runs out fails with a message
// instead of hanging until the test runner kills the program.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace kpwtest {

// What a test waits at most for something that takes a moment, however loaded the machine.
inline constexpr std::chrono::milliseconds kWaitLimit{60'000};

// What a test waits at most for a child process or a tool to end.
inline constexpr std::chrono::milliseconds kChildLimit{300'000};

// Polls done until it holds or limit has passed; whether it held.
template <class Done>
bool WaitUntil(Done&& done, std::chrono::milliseconds limit = kWaitLimit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return static_cast<bool>(done());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// While it lives, the code it guards has until limit: past it, the test fails with what and the
// program ends, as a call or a thread that never returns cannot be left behind by a test that
// goes on.
class Deadline {
 public:
  explicit Deadline(std::string what, std::chrono::milliseconds limit = kWaitLimit)
      : m_what(std::move(what)), m_watcher([this, limit] { Watch(limit); }) {}
  ~Deadline() {
    {
      std::lock_guard lock(m_mutex);
      m_over = true;
    }
    m_cv.notify_all();
    m_watcher.join();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  void Watch(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    if (m_cv.wait_for(lock, limit, [this] { return m_over; })) return;
    ADD_FAILURE() << "no end within " << limit.count() / 1000 << " s: " << m_what;
    std::fprintf(stderr, "deadline passed: %s\n", m_what.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
  }

  std::string m_what;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_over = false;
  std::thread m_watcher;  // last: it starts once the rest is there
};

// Joins thread; one that has not ended within limit fails the test with what (see Deadline).
inline void JoinWithin(std::thread& thread, const std::string& what, std::chrono::milliseconds limit = kWaitLimit) {
  const Deadline deadline(what, limit);
  thread.join();
}

// waitpid(pid, status, 0) with a deadline: a child that has not ended within limit fails the test
// with what, and is killed and reaped. Whether pid was reaped (status as waitpid gives it).
inline bool WaitProcess(pid_t pid, int* status, const std::string& what,
                        std::chrono::milliseconds limit = kChildLimit) {
  int ignored = 0;
  int* st = status ? status : &ignored;
  if (pid <= 0) return false;
  const auto until = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    pid_t got = ::waitpid(pid, st, WNOHANG);
    if (got == pid) return true;
    if (got < 0 && errno != EINTR) return false;
    if (got == 0 && std::chrono::steady_clock::now() >= until) {
      ADD_FAILURE() << what << ": the process did not end within " << limit.count() / 1000 << " s and is killed";
      ::kill(pid, SIGKILL);
      while ((got = ::waitpid(pid, st, 0)) < 0 && errno == EINTR) {
      }
      return got == pid;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

}  // namespace kpwtest
