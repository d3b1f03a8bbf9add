// The tray icon over QSystemTrayIcon.
#include "app/gui/tray_backend_qt.h"

#include "app/gui/app_icon.h"

#include <QSystemTrayIcon>

CQtTrayBackend::CQtTrayBackend(QObject* parent) : m_parent(parent), m_context(std::make_unique<QObject>()) {}

CQtTrayBackend::~CQtTrayBackend() {
  delete m_icon.data();
}

bool CQtTrayBackend::Add(UINT iconResource, const std::optional<std::string>& tip) {
  if (m_icon || !QSystemTrayIcon::isSystemTrayAvailable()) return false;
  m_icon = new QSystemTrayIcon(AppIcon(iconResource), m_parent);
  m_icon->setToolTip(tip ? QString::fromStdString(*tip) : QString());
  // Queued: the handler may open a menu, and the icon may go while it is open.
  QObject::connect(
      m_icon.data(), &QSystemTrayIcon::activated, m_context.get(),
      [this](QSystemTrayIcon::ActivationReason reason) {
        if (!m_notify) return;
        if (reason == QSystemTrayIcon::Trigger) m_notify(WM_LBUTTONDOWN);
        if (reason == QSystemTrayIcon::Context) m_notify(WM_RBUTTONDOWN);
      },
      Qt::QueuedConnection);
  m_icon->show();
  return true;
}

bool CQtTrayBackend::Modify(UINT iconResource, const std::optional<std::string>& tip) {
  if (!m_icon) return false;
  m_icon->setIcon(AppIcon(iconResource));
  m_icon->setToolTip(tip ? QString::fromStdString(*tip) : QString());
  return true;
}

bool CQtTrayBackend::Delete() {
  if (!m_icon) return false;
  m_icon->hide();
  m_icon->deleteLater();  // its parent frees it should the loop end first
  m_icon = nullptr;
  return true;
}
