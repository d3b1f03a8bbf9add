// The status bar's lock-key panes: the states read where the desktop tells them, shown at once.
#pragma once

#include "app/status_panes.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <string_view>

class QWidget;

// Reads the lock keys every kIntervalMs while the window shows (a key locked in another program
// shows too), and at once when a lock key is pressed or released in this one. Without a source
// the panes stay empty. Main thread only.
class CLockKeyWatch : public QObject {
 public:
  static constexpr int kIntervalMs = 250;

  CLockKeyWatch(CStatusPanes& panes, QWidget* window, std::unique_ptr<ILockKeySource> source);
  ~CLockKeyWatch() override;

  // Another source (null: none), read at once.
  void SetSource(std::unique_ptr<ILockKeySource> source);
  bool HasSource() const { return source_ != nullptr; }
  // Reads the states and hands them to the panes.
  void Update();

 protected:
  bool eventFilter(QObject* object, QEvent* event) override;

 private:
  CStatusPanes& panes_;
  QWidget* window_;
  std::unique_ptr<ILockKeySource> source_;
  QTimer timer_;
};

// The source of the platform Qt runs on: XKB on X11 ("xcb"); none on Wayland, offscreen and
// elsewhere, where nothing tells an application the lock keys' states.
std::unique_ptr<ILockKeySource> MakeLockKeySource(std::string_view platformName);
// The same for the platform of the running application.
std::unique_ptr<ILockKeySource> MakeLockKeySource();
