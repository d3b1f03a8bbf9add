// The variables table under a lock, the predefined names, and $(NAME) expansion per thread.
#include "lib/system/vars.h"

#include "lib/system/sys_fdio.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

extern char** environ;

namespace {

std::shared_mutex g_mutex;
std::map<std::string, std::string> g_table;

// Date and time names, computed for now (the system's clock when absent).
std::optional<std::string> TimeName(std::string_view name, std::optional<i64> now) {
  static const char* const kNames[] = {"DATE", "TIME", "YEAR", "MONTH", "DAY", "HOUR", "MINUTE", "SECOND", "WEEKDAY"};
  int which = -1;
  for (int i = 0; i < 9; ++i)
    if (StrEqualsNoCase(name, kNames[i])) which = i;
  if (which < 0) return std::nullopt;
  const std::time_t time = now ? static_cast<std::time_t>(*now) : std::time(nullptr);
  struct tm t{};
  localtime_r(&time, &t);
  static const char* const kDays[] = {"So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"};
  switch (which) {
    case 0: return FmtString("%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    case 1: return FmtString("%02d-%02d-%02d", t.tm_hour, t.tm_min, t.tm_sec);
    case 2: return FmtString("%04d", t.tm_year + 1900);
    case 3: return FmtString("%02d", t.tm_mon + 1);
    case 4: return FmtString("%02d", t.tm_mday);
    case 5: return FmtString("%02d", t.tm_hour);
    case 6: return FmtString("%02d", t.tm_min);
    case 7: return FmtString("%02d", t.tm_sec);
    default: return std::string(kDays[t.tm_wday % 7]);
  }
}

// Looks a name up; the caller holds the lock (shared).
const std::string* LookupLocked(std::string_view name) {
  if (const auto it = g_table.find(std::string(name)); it != g_table.end()) return &it->second;
  for (const auto& [key, value] : g_table)
    if (StrEqualsNoCase(key, name)) return &value;
  return nullptr;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : fallback;
}

// A folder of ~/.config/user-dirs.dirs ("XDG_DESKTOP_DIR="$HOME/Desktop""), or nothing.
std::optional<std::string> UserDir(const std::string& configHome, const std::string& home, const char* key) {
  std::string text;
  SysReadWholeFile((configHome + "/user-dirs.dirs").c_str(), text);
  const std::string prefix = std::string(key) + "=";
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (line.rfind(prefix, 0) != 0) continue;
    std::string v(line.substr(prefix.size()));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    if (v.rfind("$HOME", 0) == 0) v = home + v.substr(5);
    if (!v.empty() && v.front() == '/') {
      while (v.size() > 1 && v.back() == '/') v.pop_back();
      return v;
    }
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> PredefinedNames() {
  std::string login;
  std::string home;
  {
    struct passwd pw{};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found) {
      if (found->pw_name) login = found->pw_name;
      if (found->pw_dir) home = found->pw_dir;
    }
  }
  if (login.empty()) login = EnvOr("USER", EnvOr("LOGNAME", ""));
  home = EnvOr("HOME", home.empty() ? std::string("/") : home);

  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  std::string hostName = host;
  if (const auto dot = hostName.find('.'); dot != std::string::npos) hostName.resize(dot);

  std::string temp = EnvOr("TMPDIR", "/tmp");
  while (temp.size() > 1 && temp.back() == '/') temp.pop_back();
  const std::string configHome = EnvOr("XDG_CONFIG_HOME", home + "/.config");
  const std::string dataHome = EnvOr("XDG_DATA_HOME", home + "/.local/share");
  const std::string cacheHome = EnvOr("XDG_CACHE_HOME", home + "/.cache");
  const std::string desktop = UserDir(configHome, home, "XDG_DESKTOP_DIR").value_or(home + "/Desktop");
  const std::string documents = UserDir(configHome, home, "XDG_DOCUMENTS_DIR").value_or(home);

  return {
      {"USER", login},           {"LOGNAME", login},
      {"USERNAME", login},       {"HOME", home},
      {"USERPROFILE", home},     {"HOMEPATH", home},
      {"HOMEDRIVE", ""},         {"HOSTNAME", hostName},
      {"COMPUTERNAME", hostName}, {"USERDOMAIN", hostName},
      {"TEMP", temp},            {"TMP", temp},
      {"TMPDIR", temp},          {"XDG_CONFIG_HOME", configHome},
      {"APPDATA", configHome},   {"XDG_DATA_HOME", dataHome},
      {"LOCALAPPDATA", dataHome}, {"XDG_CACHE_HOME", cacheHome},
      {"XDG_DESKTOP_DIR", desktop}, {"DESKTOP", desktop},
      {"XDG_DOCUMENTS_DIR", documents}, {"DOCUMENTS", documents},
  };
}

bool ValidName(const char* name) {
  return name && *name && !std::strpbrk(name, "()$");
}

// Expands text; false only when the result would exceed limit bytes (limit < 0: no limit).
bool ExpandInto(std::string_view text, std::string& out, long long limit, std::optional<i64> now) {
  out.clear();
  std::shared_lock lock(g_mutex, std::defer_lock);
  std::size_t i = 0;
  // Once a "$(" finds no ")", no later one can: a long text is not searched again for each.
  bool closeAhead = true;
  while (i < text.size()) {
    const auto dollar = text.find('$', i);
    out.append(text.substr(i, dollar == std::string_view::npos ? std::string_view::npos : dollar - i));
    if (dollar == std::string_view::npos) break;
    i = dollar;
    const auto close = i + 1 < text.size() && text[i + 1] == '(' && closeAhead ? text.find(')', i + 2)
                                                                                : std::string_view::npos;
    if (i + 1 < text.size() && text[i + 1] == '(' && close == std::string_view::npos) closeAhead = false;
    if (i + 1 < text.size() && text[i + 1] == '$') {
      out.push_back('$');
      i += 2;
    } else if (close != std::string_view::npos) {
      const std::string_view name = text.substr(i + 2, close - i - 2);
      if (!lock.owns_lock()) lock.lock();
      if (const std::string* value = LookupLocked(name))
        out.append(*value);
      else if (const auto computed = TimeName(name, now))
        out.append(*computed);
      i = close + 1;
    } else {
      out.push_back('$');
      ++i;
    }
    if (limit >= 0 && static_cast<long long>(out.size()) > limit) return false;
  }
  return limit < 0 || static_cast<long long>(out.size()) <= limit;
}

}  // namespace

int VarInit(int what) {
  if (what & VAR_INIT_STARTUP) what |= VAR_INIT_ENVIRONMENT | VAR_INIT_PREDEFINED;
  std::vector<std::pair<std::string, std::string>> env;
  if (what & VAR_INIT_ENVIRONMENT) {
    for (char** e = environ; e && *e; ++e) {
      const char* eq = std::strchr(*e, '=');
      if (!eq || eq == *e) continue;
      env.emplace_back(std::string(*e, static_cast<std::size_t>(eq - *e)), std::string(eq + 1));
    }
  }
  const auto predefined = (what & VAR_INIT_PREDEFINED) ? PredefinedNames()
                                                        : std::vector<std::pair<std::string, std::string>>{};
  std::unique_lock lock(g_mutex);
  if (what & VAR_INIT_STARTUP) g_table.clear();
  for (auto& [name, value] : env) g_table[name] = value;
  for (const auto& [name, value] : predefined) {
    if (!(what & VAR_INIT_ENVIRONMENT) || !std::getenv(name.c_str())) g_table[name] = value;
  }
  return static_cast<int>(g_table.size());
}

void VarClear() {
  std::unique_lock lock(g_mutex);
  g_table.clear();
}

int VarSet(const char* name, const char* value, int /*flags*/) {
  if (!ValidName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::unique_lock lock(g_mutex);
  if (value)
    g_table[name] = value;
  else
    g_table.erase(name);
  return TRUE;
}

std::optional<std::string> VarGet(std::string_view name, std::optional<i64> now) {
  {
    std::shared_lock lock(g_mutex);
    if (const std::string* value = LookupLocked(name)) return *value;
  }
  return TimeName(name, now);
}

const char* VarExpand(const char* text, int size) {
  if (!text) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const long long limit = size > 0 ? size - 1 : -1;
  if (!std::strchr(text, '$')) {
    if (limit < 0 || static_cast<long long>(std::strlen(text)) > limit) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return nullptr;
    }
    return text;
  }
  thread_local std::string t_result;
  // Expand into a fresh string: text may be this thread's previous result.
  std::string expanded;
  if (limit < 0 || !ExpandInto(text, expanded, limit, std::nullopt)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  t_result.swap(expanded);
  return t_result.c_str();
}

std::string VarExpandString(std::string_view text, std::optional<i64> now) {
  std::string out;
  ExpandInto(text, out, -1, now);
  return out;
}
