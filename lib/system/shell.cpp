// File-type registration through XDG: MIME package, desktop entries, default application.
#include "lib/system/shell.h"

#include "lib/system/sys_fdio.h"
#include "lib/system/sys_replace.h"
#include "platform/last_error.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string HomeDir() {
  const char* home = std::getenv("HOME");
  return (home && *home) ? home : "/";
}

std::string XdgDir(const char* variable, const char* fallback) {
  const char* v = std::getenv(variable);
  std::string dir = (v && *v == '/') ? std::string(v) : HomeDir() + fallback;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}
std::string DataHome() { return XdgDir("XDG_DATA_HOME", "/.local/share"); }
std::string ConfigHome() { return XdgDir("XDG_CONFIG_HOME", "/.config"); }

bool MakeDirs(const std::string& dir) {
  struct stat st{};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || (errno = ENOTDIR, false);
  const auto slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) return false;
  return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// Replaces path's content by the one replace (not flushed: the files can be made anew).
bool WriteText(const std::string& path, const std::string& text) {
  const auto slash = path.rfind('/');
  if (slash != std::string::npos && !MakeDirs(path.substr(0, slash))) {
    SetLastErrorFromErrno(errno, path.c_str());
    return false;
  }
  return SysReplaceFile(path.c_str(), text, false) == 0;
}

// The executable's file name in lower case, reduced to characters safe in file and type names.
std::string ProgramName(const char* exePath) {
  std::string name = exePath ? exePath : "";
  if (const auto slash = name.find_last_of("/\\"); slash != std::string::npos) name.erase(0, slash + 1);
  if (name.size() > 4 && (name.compare(name.size() - 4, 4, ".exe") == 0 || name.compare(name.size() - 4, 4, ".EXE") == 0))
    name.resize(name.size() - 4);
  std::string out;
  for (const char c : name) {
    if (c >= 'A' && c <= 'Z')
      out.push_back(static_cast<char>(c + 32));
    else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')
      out.push_back(c);
    else
      out.push_back('-');
  }
  return out.empty() ? std::string("program") : out;
}

// ".kpw" -> "kpw"; empty when the extension holds anything but letters, digits, "_", "+", "-".
std::string ExtensionName(const char* extension) {
  if (!extension) return {};
  std::string ext = extension[0] == '.' ? extension + 1 : extension;
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '+' || c == '-';
    if (!ok) return {};
  }
  return ext;
}

std::string MimeType(const std::string& program, const std::string& ext) {
  return "application/x-" + program + "-" + ext;
}

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// A desktop-entry string value (line breaks, tabs and backslashes escaped).
std::string DesktopString(const std::string& s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// One argument of an Exec line, quoted where the desktop-entry rules demand it.
std::string ExecArgument(const std::string& arg) {
  static const char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";
  std::string escaped;
  for (const char c : arg) {
    if (c == '%') escaped += "%%";
    else escaped.push_back(c);
  }
  if (!escaped.empty() && escaped.find_first_of(kReserved) == std::string::npos) return escaped;
  std::string out = "\"";
  for (const char c : escaped) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// Splits a Windows command-line text into arguments: blanks separate, double quotes group.
std::vector<std::string> SplitWindowsArguments(const std::string& text) {
  std::vector<std::string> args;
  std::string current;
  bool inQuotes = false;
  bool any = false;
  for (const char c : text) {
    if (c == '"') {
      inQuotes = !inQuotes;
      any = true;
    } else if ((c == ' ' || c == '\t') && !inQuotes) {
      if (any) args.push_back(current);
      current.clear();
      any = false;
    } else {
      current.push_back(c);
      any = true;
    }
  }
  if (any) args.push_back(current);
  return args;
}

// The Exec line of a verb: the program, then the argument text with "%1" as the file.
bool ExecLine(const char* exePath, const char* arguments, std::string& exec) {
  exec = ExecArgument(exePath);
  const auto args = SplitWindowsArguments(arguments ? arguments : "");
  if (args.empty()) {
    exec += " %f";
    return true;
  }
  bool file = false;
  for (const auto& a : args) {
    if (a == "%1" || a == "%L" || a == "%l") {
      exec += file ? "" : " %f";  // the desktop entry may name the file only once
      file = true;
    } else if (a == "%*") {
      continue;
    } else if (a.find("%1") != std::string::npos) {
      return false;  // a file name inside a longer argument has no desktop-entry form
    } else {
      exec += " " + ExecArgument(a);
    }
  }
  return true;
}

// Sets "mime=desktop-id" in the [Default Applications] group of mimeapps.list.
bool SetDefaultApplication(const std::string& mime, const std::string& desktopId) {
  const std::string path = ConfigHome() + "/mimeapps.list";
  std::string old;
  SysReadWholeFile(path.c_str(), old);  // none yet: an empty list
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < old.size();) {
    const std::size_t end = std::min(old.find('\n', at), old.size());
    lines.emplace_back(old, at, end - at);
    at = end + 1;
  }
  const std::string entry = mime + "=" + desktopId + ";";
  bool inGroup = false;
  bool groupSeen = false;
  bool done = false;
  std::size_t insertAt = lines.size();
  for (std::size_t i = 0; i < lines.size() && !done; ++i) {
    const std::string& l = lines[i];
    if (!l.empty() && l.front() == '[') {
      if (inGroup) {
        insertAt = i;
        break;
      }
      inGroup = l == "[Default Applications]";
      if (inGroup) {
        groupSeen = true;
        insertAt = i + 1;
      }
      continue;
    }
    if (inGroup) {
      if (l.rfind(mime + "=", 0) == 0) {
        lines[i] = entry;
        done = true;
      } else if (!l.empty()) {
        insertAt = i + 1;
      }
    }
  }
  if (!done) {
    if (!groupSeen) {
      if (!lines.empty() && !lines.back().empty()) lines.emplace_back();
      lines.emplace_back("[Default Applications]");
      lines.push_back(entry);
    } else {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    }
  }
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return WriteText(path, text);
}

// Runs a tool with one argument; true when it succeeded or is not installed.
bool RunTool(const char* tool, const std::string& argument) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string arg = argument;
  std::string name = tool;
  char* argv[] = {name.data(), arg.data(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, tool, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == ENOENT) return true;
  if (rc != 0) {
    SetLastErrorFromErrno(rc, nullptr);
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      SetLastErrorFromErrno(errno, nullptr);
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return true;  // not found by a wrapper
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    SetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  return true;
}

std::string DisplayName(const std::string& program) {
  std::string name = program;
  if (!name.empty() && name[0] >= 'a' && name[0] <= 'z') name[0] = static_cast<char>(name[0] - 32);
  return name;
}

}  // namespace

BOOL SysRegisterFileType(const char* extension, const char* exePath, int iconIndex, const char* typeName,
                         const void* /*reserved*/) {
  const std::string ext = ExtensionName(extension);
  if (ext.empty() || !exePath || !*exePath || iconIndex < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string program = ProgramName(exePath);
  const std::string icon = iconIndex == 0 ? program : program + "-" + std::to_string(iconIndex);
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
      << "  <mime-type type=\"" << MimeType(program, ext) << "\">\n"
      << "    <comment>" << XmlEscape(typeName && *typeName ? typeName : ext) << "</comment>\n"
      << "    <icon name=\"" << icon << "\"/>\n"
      << "    <glob pattern=\"*." << ext << "\"/>\n"
      << "  </mime-type>\n"
      << "</mime-info>\n";
  if (!WriteText(DataHome() + "/mime/packages/" + program + "-" + ext + ".xml", xml.str())) return FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SysRegisterFileVerb(const char* extension, const char* exePath, const char* verb, const char* arguments) {
  const std::string ext = ExtensionName(extension);
  const std::string verbName = ExtensionName(verb);
  std::string exec;
  if (ext.empty() || verbName.empty() || !exePath || !*exePath || !ExecLine(exePath, arguments, exec)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string program = ProgramName(exePath);
  const std::string mime = MimeType(program, ext);
  const bool open = verbName == "open";
  const std::string name = open ? DisplayName(program) : DisplayName(program) + " (" + verb + ")";
  std::string desktop = "[Desktop Entry]\n";
  desktop += "Type=Application\n";
  desktop += "Name=" + DesktopString(name) + "\n";
  desktop += "Exec=" + DesktopString(exec) + "\n";
  desktop += "Icon=" + program + "\n";
  desktop += "MimeType=" + mime + ";\n";
  desktop += "NoDisplay=true\n";
  desktop += "Terminal=false\n";
  const std::string id = program + "-" + ext + "-" + verbName + ".desktop";
  if (!WriteText(DataHome() + "/applications/" + id, desktop)) return FALSE;
  if (open && !SetDefaultApplication(mime, id)) return FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SysShellRefresh(const char* /*extension*/) {
  const std::string data = DataHome();
  bool ok = true;
  struct stat st{};
  if (::stat((data + "/mime/packages").c_str(), &st) == 0) ok = RunTool("update-mime-database", data + "/mime") && ok;
  if (::stat((data + "/applications").c_str(), &st) == 0)
    ok = RunTool("update-desktop-database", data + "/applications") && ok;
  return ok ? TRUE : FALSE;
}
