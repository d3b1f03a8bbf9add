// The environment that a test program's workers run in: tests set its clock and host name here.
#pragma once

#include "jobs/worker.h"

#include <string>

namespace kpwtest {

inline constexpr const char* kTestHost = "kpw-test-pc";

// One per test program; a test that changes it puts it back (see ScopedTestEnv).
inline JobEnvironment& TestEnv() {
  static JobEnvironment env{{}, kTestHost, nullptr};
  return env;
}

// Gives TestEnv back as it was when the scope began.
class ScopedTestEnv {
 public:
  ScopedTestEnv() : saved_(TestEnv()) {}
  ~ScopedTestEnv() { TestEnv() = saved_; }
  ScopedTestEnv(const ScopedTestEnv&) = delete;
  ScopedTestEnv& operator=(const ScopedTestEnv&) = delete;

 private:
  JobEnvironment saved_;
};

}  // namespace kpwtest
