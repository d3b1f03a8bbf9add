// The tray icon in the desktop's system tray (StatusNotifierItem or XEmbed, as Qt finds one).
#pragma once

#include "app/tray_taskbar.h"

#include <QPointer>

#include <memory>

class QObject;
class QSystemTrayIcon;

// Where the desktop has no tray (offscreen, a bare X server) Add fails and nothing shows. A left
// click reports WM_LBUTTONDOWN, a right click (the context request) WM_RBUTTONDOWN. Main thread.
class CQtTrayBackend : public ITrayBackend {
 public:
  // parent owns the icon object, so that it never outlives the window it reports to.
  explicit CQtTrayBackend(QObject* parent);
  ~CQtTrayBackend() override;

  bool Add(UINT iconResource, const std::optional<std::string>& tip) override;
  bool Modify(UINT iconResource, const std::optional<std::string>& tip) override;
  bool Delete() override;
  void SetNotify(NotifyFn notify) override { m_notify = std::move(notify); }

 private:
  QObject* m_parent;
  std::unique_ptr<QObject> m_context;  // receives the clicks; they die with it
  QPointer<QSystemTrayIcon> m_icon;
  NotifyFn m_notify;
};
