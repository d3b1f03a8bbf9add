// The lock keys of an X server through XKB.
#include "app/gui/xkb_lock_keys.h"

#include <X11/XKBlib.h>

namespace {

// The indicator names of the keyboard maps, in the order of LockKeyState.
constexpr const char* kIndicatorNames[] = {"Caps Lock", "Num Lock", "Scroll Lock"};

}  // namespace

std::unique_ptr<CXkbLockKeys> CXkbLockKeys::Open(const char* displayName) {
  int major = XkbMajorVersion, minor = XkbMinorVersion;
  int event = 0, error = 0, reason = 0;
  Display* display = XkbOpenDisplay(const_cast<char*>(displayName), &event, &error, &major, &minor, &reason);
  if (!display) return nullptr;
  return std::unique_ptr<CXkbLockKeys>(new CXkbLockKeys(display));
}

CXkbLockKeys::CXkbLockKeys(_XDisplay* display) : display_(display) {
  for (int i = 0; i < 3; ++i) atoms_[i] = XInternAtom(display_, kIndicatorNames[i], False);
}

CXkbLockKeys::~CXkbLockKeys() { XCloseDisplay(display_); }

std::optional<LockKeyState> CXkbLockKeys::Read() {
  bool on[3] = {};
  for (int i = 0; i < 3; ++i) {
    int index = 0;
    Bool state = False;
    // Looked up by name each time: a keyboard map loaded meanwhile may number its lights anew.
    if (XkbGetNamedIndicator(display_, atoms_[i], &index, &state, nullptr, nullptr)) on[i] = state != False;
  }
  return LockKeyState{on[0], on[1], on[2]};
}
