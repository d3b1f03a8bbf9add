// Pumping the main thread's events while another thread works, with a deadline.
#pragma once

#include "tests/support/deadline.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>

namespace kpwtest {

// Runs the main loop's events until done holds or limit has passed; whether it held.
template <class Done>
bool PumpUntil(Done&& done, std::chrono::milliseconds limit = kWaitLimit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return static_cast<bool>(done());
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

}  // namespace kpwtest
