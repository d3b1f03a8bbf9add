// The frame of a run without a window.
#include "app/headless_frame.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace {

sigset_t CancelSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

CHeadlessFrame::CHeadlessFrame() {
  const sigset_t set = CancelSignals();
  pthread_sigmask(SIG_BLOCK, &set, &m_oldMask);
}

CHeadlessFrame::~CHeadlessFrame() { pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr); }

void CHeadlessFrame::SetSignalHandler(std::function<void(int)> handler) {
  std::lock_guard lock(m_mutex);
  m_onSignal = std::move(handler);
}

void CHeadlessFrame::PostToMainThread(std::function<void()> fn) {
  {
    std::lock_guard lock(m_mutex);
    m_posted.push_back(std::move(fn));
  }
  m_cv.notify_all();
}

void CHeadlessFrame::PostQuit(int status) {
  {
    std::lock_guard lock(m_mutex);
    if (!m_quit) m_status = status;
    m_quit = true;
  }
  m_cv.notify_all();
}

int CHeadlessFrame::Run() {
  const sigset_t set = CancelSignals();
  int received = 0;
  for (;;) {
    std::function<void()> fn;
    std::function<void(int)> onSignal;
    {
      std::unique_lock lock(m_mutex);
      if (m_posted.empty() && !m_quit) m_cv.wait_for(lock, std::chrono::milliseconds(20));
      if (!m_posted.empty()) {
        fn = std::move(m_posted.front());
        m_posted.pop_front();
      } else if (m_quit) {
        return m_status;
      }
      onSignal = m_onSignal;
    }
    if (fn) fn();
    const timespec zero{0, 0};
    const int sig = sigtimedwait(&set, nullptr, &zero);
    if (sig > 0) received = sig;
    if (received && onSignal) onSignal(received);
  }
}
