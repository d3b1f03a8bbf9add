// A tray backend for tests: records what the frame asks of the tray icon and clicks it on request.
#pragma once

#include "app/tray_taskbar.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CFakeTray : public ITrayBackend {
 public:
  struct Call {
    std::string op;  // "add", "modify", "delete"
    UINT icon = 0;
    std::optional<std::string> tip;
    bool done = false;    // what the call answered
    bool inLoop = false;  // made from a running event loop (not after the loop ended)
    std::chrono::steady_clock::time_point at;
  };

  bool Add(UINT iconResource, const std::optional<std::string>& tip) override;
  bool Modify(UINT iconResource, const std::optional<std::string>& tip) override;
  bool Delete() override;
  void SetNotify(NotifyFn notify) override;

  // A press of the mouse button on the icon, as the desktop reports it.
  void Click(UINT mouseMessage);
  std::vector<Call> Calls() const;
  bool Shown() const;

 private:
  bool Record(const char* op, UINT icon, const std::optional<std::string>& tip, bool done);

  mutable std::mutex m_mutex;
  std::vector<Call> m_calls;
  bool m_shown = false;
  NotifyFn m_notify;
};
