// The recording tray backend of the window tests.
#include "tests/support/gui/fake_tray.h"

#include <QThread>

bool CFakeTray::Record(const char* op, UINT icon, const std::optional<std::string>& tip, bool done) {
  Call call;
  call.op = op;
  call.icon = icon;
  call.tip = tip;
  call.done = done;
  call.inLoop = QThread::currentThread()->loopLevel() > 0;
  call.at = std::chrono::steady_clock::now();
  m_calls.push_back(std::move(call));
  return done;
}

bool CFakeTray::Add(UINT iconResource, const std::optional<std::string>& tip) {
  std::lock_guard lock(m_mutex);
  const bool done = !m_shown;
  m_shown = true;
  return Record("add", iconResource, tip, done);
}

bool CFakeTray::Modify(UINT iconResource, const std::optional<std::string>& tip) {
  std::lock_guard lock(m_mutex);
  return Record("modify", iconResource, tip, m_shown);
}

bool CFakeTray::Delete() {
  std::lock_guard lock(m_mutex);
  const bool done = m_shown;
  m_shown = false;
  return Record("delete", 0, std::nullopt, done);
}

void CFakeTray::SetNotify(NotifyFn notify) {
  std::lock_guard lock(m_mutex);
  m_notify = std::move(notify);
}

void CFakeTray::Click(UINT mouseMessage) {
  NotifyFn notify;
  {
    std::lock_guard lock(m_mutex);
    notify = m_notify;
  }
  if (notify) notify(mouseMessage);
}

std::vector<CFakeTray::Call> CFakeTray::Calls() const {
  std::lock_guard lock(m_mutex);
  return m_calls;
}

bool CFakeTray::Shown() const {
  std::lock_guard lock(m_mutex);
  return m_shown;
}
