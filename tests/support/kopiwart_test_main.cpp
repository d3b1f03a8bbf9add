// A test build of the program, never installed: the end-to-end tests fix its clock with
// KPW_TEST_NOW (seconds since 1970) and its computer's name with KPW_HOSTNAME, so that one machine
// can play a given day or several computers.
#include "app/kopiwart_main.h"

#include <cerrno>
#include <cstdlib>

int main(int argc, char** argv) {
  JobEnvironment env = JobEnvironment::FromSystem();
  if (const char* text = std::getenv("KPW_TEST_NOW"); text && *text) {
    errno = 0;
    char* end = nullptr;
    const long long now = std::strtoll(text, &end, 10);
    if (errno == 0 && end && *end == '\0' && now > 0) env.clock = [now] { return static_cast<i64>(now); };
  }
  if (const char* host = std::getenv("KPW_HOSTNAME"); host && *host) env.hostName = host;
  return KopiwartMain(argc, argv, nullptr, env);
}
