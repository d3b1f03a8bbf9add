// The host restriction of the extra cell: does the row apply on this computer?
#include "jobs/worker_support.h"

#include "lib/text/strutf8.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <unistd.h>

namespace {

std::mutex g_hostMutex;
std::optional<std::string> g_hostOverride;

const std::string& SystemHostName() {
  static std::once_flag once;
  static std::string name;
  std::call_once(once, [] {
    // Lets several "computers" share one machine, as buffer carriers are tested end to end.
    if (const char* forced = std::getenv(kHostNameVariable); forced && *forced) {
      name = forced;
      return;
    }
    // gethostname may leave a cut name unterminated: room for the longest name and our own NUL.
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) == 0) {
      buffer[sizeof buffer - 1] = '\0';
      name = buffer;
    }
  });
  return name;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (kpw::text::AsciiLower(static_cast<unsigned char>(a[i])) !=
        kpw::text::AsciiLower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

std::string WorkerHostName() {
  {
    std::lock_guard lock(g_hostMutex);
    if (g_hostOverride) return *g_hostOverride;
  }
  return SystemHostName();
}

void SetWorkerHostName(std::optional<std::string> name) {
  std::lock_guard lock(g_hostMutex);
  g_hostOverride = std::move(name);
}

bool HostNameMatches(std::string_view cellName, std::string_view hostName) {
  if (hostName.empty()) return false;
  if (EqualNoCase(cellName, hostName)) return true;
  // Linux hosts often report their full domain name; the cell usually names the short one.
  const auto dot = hostName.find('.');
  return dot != std::string_view::npos && dot > 0 && EqualNoCase(cellName, hostName.substr(0, dot));
}

std::size_t ExtraHostSpan(std::string_view text, std::string* host) {
  if (text.size() < 2 || text[0] != '*' || text[1] != '[') return 0;
  std::size_t end = text.find_first_of(";]", 2);
  if (end == std::string_view::npos) end = text.size();
  if (host) host->assign(text.substr(2, end - 2));
  std::size_t pos = end;
  if (pos < text.size() && text[pos] == ']') ++pos;
  if (pos < text.size() && text[pos] == ';') ++pos;
  return pos;
}

int HostListMatch(const char** text) {
  if (!text || !*text) return 1;
  const std::string_view cell(*text);
  std::string name;
  const std::size_t span = ExtraHostSpan(cell, &name);
  if (span == 0) return 1;
  *text += span;
  return HostNameMatches(name, WorkerHostName()) ? 1 : 0;
}
