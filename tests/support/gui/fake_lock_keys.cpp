// A lock-key source whose states the test sets.
#include "tests/support/gui/fake_lock_keys.h"

namespace kpwtest {

std::optional<LockKeyState> FakeLockKeys::Read() {
  ++state_->reads;
  return state_->keys;
}

}  // namespace kpwtest
