// A lock-key source whose states the test sets while the frame owns the source.
#pragma once

#include "app/status_panes.h"

#include <memory>
#include <optional>

namespace kpwtest {

class FakeLockKeys : public ILockKeySource {
 public:
  struct State {
    std::optional<LockKeyState> keys = LockKeyState{};
    int reads = 0;
  };
  explicit FakeLockKeys(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::optional<LockKeyState> Read() override;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kpwtest
