// The lock keys of an X server, read through the keyboard extension's named indicators.
#pragma once

#include "app/status_panes.h"

#include <memory>
#include <optional>

struct _XDisplay;

// A connection of its own to the X server (Qt's stays untouched); main thread only.
class CXkbLockKeys : public ILockKeySource {
 public:
  // displayName null: the DISPLAY of the environment. Null when the server cannot be reached or
  // has no keyboard extension.
  static std::unique_ptr<CXkbLockKeys> Open(const char* displayName = nullptr);
  ~CXkbLockKeys() override;
  CXkbLockKeys(const CXkbLockKeys&) = delete;
  CXkbLockKeys& operator=(const CXkbLockKeys&) = delete;

  // The lights "Caps Lock", "Num Lock" and "Scroll Lock"; one the keyboard map lacks is off.
  std::optional<LockKeyState> Read() override;

 private:
  explicit CXkbLockKeys(_XDisplay* display);
  _XDisplay* display_;
  unsigned long atoms_[3] = {};
};
