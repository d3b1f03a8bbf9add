// The environment of a run as the system gives it: its clock and the computer's name.
#include "jobs/worker.h"

#include <unistd.h>

#include <climits>
#include <ctime>

i64 JobEnvironment::Now() const { return clock ? clock() : static_cast<i64>(std::time(nullptr)); }

JobEnvironment JobEnvironment::FromSystem() {
  JobEnvironment env;
  // gethostname may leave a cut name unterminated: room for the longest name and our own NUL.
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) == 0) env.hostName = buffer;
  return env;
}
