// Timers by id on a window object: SetTimer/KillTimer with one callback that gets the id.
#pragma once

#include "platform/win_types.h"

#include <functional>
#include <map>
#include <memory>

class QObject;

// Main thread only; the timers stop when the object goes.
class CWndTimers {
 public:
  using Callback = std::function<void(UINT_PTR id)>;

  CWndTimers();
  ~CWndTimers();
  CWndTimers(const CWndTimers&) = delete;
  CWndTimers& operator=(const CWndTimers&) = delete;

  // The callback of every timer of this object (OnTimer).
  void OnTimer(Callback callback) { callback_ = std::move(callback); }
  // Starts the timer id with the period; an id already running restarts with the new period.
  // Returns the id.
  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs);
  // Stops the timer id; FALSE when it does not run. Safe inside the callback.
  BOOL KillTimer(UINT_PTR id);
  bool IsRunning(UINT_PTR id) const { return qtIds_.count(id) != 0; }

 private:
  class Host;
  void Fire(int qtId);

  std::unique_ptr<Host> host_;
  std::map<UINT_PTR, int> qtIds_;  // our id -> Qt's timer id
  Callback callback_;
};
