// The frame of a run without a window: no window at all, messages on standard error, and SIGINT
// and SIGTERM turned into a cancel.
#pragma once

#include "app/app_frame.h"
#include "app/headless_host.h"

#include <signal.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class CHeadlessFrame : public IAppFrame {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread, so that every thread started afterwards
  // has them blocked too and only Run receives them. Construct it before any other thread.
  CHeadlessFrame();
  ~CHeadlessFrame() override;
  CHeadlessFrame(const CHeadlessFrame&) = delete;
  CHeadlessFrame& operator=(const CHeadlessFrame&) = delete;

  // Called on the main loop's thread for a received signal, and again at every turn of the loop
  // (some 20 ms) until it ends, so that a run that starts meanwhile is cancelled too.
  void SetSignalHandler(std::function<void(int signal)> handler);

  IRunHost& Host() override { return m_host; }
  IViewHost& ViewHost() override { return m_host; }
  void ShowMainWindow(int) override {}
  void PostHiddenStart() override {}
  void PostToMainThread(std::function<void()> fn) override;
  int Run() override;
  void PostQuit(int status) override;
  u32 HiddenRunMinimumMs() override { return 0; }

 private:
  HeadlessRunHost m_host;
  sigset_t m_oldMask{};
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<std::function<void()>> m_posted;
  bool m_quit = false;
  int m_status = 0;
  std::function<void(int)> m_onSignal;
};
