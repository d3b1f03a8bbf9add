// Timer ids mapped onto Qt timers of a private object.
#include "platform/gui/wnd_timers.h"

#include <QObject>
#include <QTimerEvent>

class CWndTimers::Host : public QObject {
 public:
  explicit Host(CWndTimers& owner) : owner_(owner) {}

 protected:
  void timerEvent(QTimerEvent* event) override { owner_.Fire(event->timerId()); }

 private:
  CWndTimers& owner_;
};

CWndTimers::CWndTimers() : host_(std::make_unique<Host>(*this)) {}

CWndTimers::~CWndTimers() = default;

UINT_PTR CWndTimers::SetTimer(UINT_PTR id, UINT elapseMs) {
  KillTimer(id);
  const int qtId = host_->startTimer(static_cast<int>(elapseMs));
  if (qtId == 0) return 0;
  qtIds_[id] = qtId;
  return id;
}

BOOL CWndTimers::KillTimer(UINT_PTR id) {
  const auto it = qtIds_.find(id);
  if (it == qtIds_.end()) return FALSE;
  host_->killTimer(it->second);
  qtIds_.erase(it);
  return TRUE;
}

void CWndTimers::Fire(int qtId) {
  for (const auto& [id, running] : qtIds_) {
    if (running != qtId) continue;
    const UINT_PTR timerId = id;  // copies: the callback may kill timers or replace itself
    if (const Callback callback = callback_) callback(timerId);
    return;
  }
}
