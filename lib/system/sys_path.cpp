// Path text functions: separators, parts, extensions, normalising, joining and relative paths.
#include "lib/system/sys_path.h"

#include "platform/last_error.h"

#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

int Len(const char* text, int length) {
  return length < 0 ? static_cast<int>(std::strlen(text)) : length;
}

bool IsAsciiLetter(char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); }

char Lower(char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch; }

// The head of a path: what stays in front of the components.
struct PathHead {
  std::string text;     // "", "/", "//", "X:" or "X:/"
  bool absolute = false;
  int fixed = 0;        // components that belong to the head (server and share of a UNC path)
};

PathHead SplitHead(std::string_view path, std::size_t& pos) {
  PathHead head;
  pos = 0;
  const int drive = SysPathDriveLen(path.data(), static_cast<int>(path.size()));
  if (drive > 0) {
    head.text.assign(path.substr(0, 2));
    head.absolute = true;
    pos = 2;
    if (pos < path.size() && SysIsSlash(path[pos])) {
      head.text += '/';
      ++pos;
    }
  } else if (path.size() >= 2 && SysIsSlash(path[0]) && SysIsSlash(path[1])) {
    head.text.assign(2, '/');
    head.absolute = true;
    head.fixed = 2;
    pos = 2;
  } else if (!path.empty() && SysIsSlash(path[0])) {
    head.text.assign(1, '/');
    head.absolute = true;
    pos = 1;
  }
  return head;
}

struct SplitPath {
  PathHead head;
  std::vector<std::string_view> parts;
  bool trailing = false;  // the text ended in a separator
};

// Splits and resolves "." and ".." (never above the first `levels` components).
SplitPath Resolve(std::string_view path, int levels) {
  SplitPath out;
  std::size_t pos = 0;
  out.head = SplitHead(path, pos);
  const std::size_t keep = static_cast<std::size_t>(out.head.fixed + (levels > 0 ? levels : 0));
  while (pos <= path.size()) {
    std::size_t end = pos;
    while (end < path.size() && !SysIsSlash(path[end])) ++end;
    const std::string_view part = path.substr(pos, end - pos);
    const bool last = end >= path.size();
    if (part.empty() || part == ".") {
      if (last && part.empty()) out.trailing = !out.parts.empty();
    } else {
      SysPathDotStep(out.parts, part, keep, !out.head.absolute && keep == 0);
    }
    pos = end + 1;
  }
  return out;
}

std::string Compose(const SplitPath& sp) {
  std::string out = sp.head.text;
  for (std::size_t i = 0; i < sp.parts.size(); ++i) {
    if (i > 0) out += '/';
    out.append(sp.parts[i]);
  }
  if (sp.trailing && !sp.parts.empty()) out += '/';
  if (out.empty()) out.assign(1, '.');
  return out;
}

int Store(char* dst, int size, const std::string& text) {
  if (!dst || size <= 0 || static_cast<int>(text.size()) + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return -1;
  }
  std::memcpy(dst, text.data(), text.size());
  dst[text.size()] = '\0';
  return static_cast<int>(text.size());
}

std::string Absolute(const char* path) {
  std::size_t pos = 0;
  if (SplitHead(path, pos).absolute) return path;
  char cwd[MAX_PATH];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  std::string out = cwd;
  out += '/';
  out += path;
  return out;
}

}  // namespace

int SysPathDriveLen(const char* path, int length) {
  if (!path) return 0;
  const int n = Len(path, length);
  // "X:\" counts too: such a head has no local meaning and is refused wherever it reaches.
  if (n >= 2 && IsAsciiLetter(path[0]) && path[1] == ':' &&
      (n == 2 || SysIsSlash(path[2]) || path[2] == '\\' || path[2] == '\0'))
    return 2;
  return 0;
}

int SysPathAddSlash(char* buffer, int length) { return SysPathAddChar('/', buffer, length); }

int SysPathAddChar(char ch, char* path, int length) {
  const int n = Len(path, length);
  // An empty path stays empty: a lone separator would turn "no folder" into the root.
  if (n == 0 || SysIsSlash(path[n - 1])) return n;
  path[n] = ch;
  path[n + 1] = '\0';
  return n + 1;
}

int SysPathCutSlash(char* path, int length) {
  int n = Len(path, length);
  if (n <= 1 || !SysIsSlash(path[n - 1])) return n;
  if (n == 3 && SysPathDriveLen(path, n) == 2) return n;  // "X:/" stays a root
  path[--n] = '\0';
  return n;
}

int SysPathDirLen(int length, const char* path) {
  const int n = Len(path, length);
  for (int i = n - 1; i >= 0; --i)
    if (SysIsSlash(path[i])) return i + 1;
  return SysPathDriveLen(path, n);
}

const char* SysPathName(int length, const char* path, int* outLength) {
  const int n = Len(path, length);
  const int d = SysPathDirLen(n, path);
  if (outLength) *outLength = n - d;
  return path + d;
}

int SysPathCutName(int length, char* path) {
  const int n = Len(path, length);
  const int d = SysPathDirLen(n, path);
  int keep = d;
  if (d > 0 && SysIsSlash(path[d - 1])) {
    const bool root = (d == 1) || (d == 3 && SysPathDriveLen(path, n) == 2) ||
                      (d == 2 && SysIsSlash(path[0]));
    if (!root) keep = d - 1;
  }
  path[keep] = '\0';
  return keep;
}

const char* SysPathExt(int length, const char* path, int /*flags*/) {
  int nameLength = 0;
  const char* name = SysPathName(length, path, &nameLength);
  for (int i = nameLength - 1; i >= 0; --i)
    if (name[i] == '.') return name + i + 1;
  return name + nameLength;
}

int SysPathExtInList(const char* path, const char* list, int length) {
  if (!path || !list) return 0;
  const int n = Len(path, length);
  const char* ext = SysPathExt(n, path);
  const int extLength = static_cast<int>(path + n - ext);
  if (extLength == 0) return 0;
  int position = 0;
  const char* p = list;
  while (true) {
    ++position;
    const char* end = p;
    while (*end && *end != ';') ++end;
    const char* a = p;
    const char* b = end;
    while (a < b && (*a == ' ' || *a == '\t')) ++a;
    while (b > a && (b[-1] == ' ' || b[-1] == '\t')) --b;
    if (a < b && *a == '*') ++a;
    if (a < b && *a == '.') ++a;
    if (b - a == extLength) {
      int i = 0;
      while (i < extLength && Lower(a[i]) == Lower(ext[i])) ++i;
      if (i == extLength) return position;
    }
    if (!*end) return 0;
    p = end + 1;
  }
}

int SysPathBaseName(char* target, int length, const char* path, int size) {
  if (!target || size <= 0) return 0;
  const int n = Len(path, length);
  int nameLength = 0;
  const char* name = SysPathName(n, path, &nameLength);
  const char* ext = SysPathExt(n, path);
  int baseLength = (ext > name && ext[-1] == '.' && ext <= name + nameLength) ? static_cast<int>(ext - 1 - name)
                                                                               : nameLength;
  if (baseLength > size - 1) {
    baseLength = size - 1;
    while (baseLength > 0 && (static_cast<unsigned char>(name[baseLength]) & 0xC0) == 0x80) --baseLength;
  }
  std::memmove(target, name, static_cast<std::size_t>(baseLength));
  target[baseLength] = '\0';
  return baseLength;
}

int SysPathSetName(int pathLength, char* target, const char* path, const char* newName, int targetSize,
                   int newNameLength) {
  const int n = Len(path, pathLength);
  const int d = SysPathDirLen(n, path);
  const int nn = Len(newName, newNameLength);
  if (!target || d + nn + 1 > targetSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return -1;
  }
  // The new name may live in the target buffer behind the folder part: keep it safe first.
  const std::string name(newName, static_cast<std::size_t>(nn));
  std::memmove(target, path, static_cast<std::size_t>(d));
  std::memcpy(target + d, name.data(), name.size());
  target[d + nn] = '\0';
  return d + nn;
}

int SysPathSlashes(char* path, int separator) {
  const char from = (separator == '/' || separator == 0) ? '\\' : '/';
  const char to = from == '\\' ? '/' : '\\';
  int i = 0;
  for (; path[i]; ++i)
    if (path[i] == from) path[i] = to;
  return i;
}

void SysPathDotStep(std::vector<std::string_view>& parts, std::string_view part, std::size_t floor, bool keepUp) {
  if (part.empty() || part == ".") return;
  if (part != "..") {
    parts.push_back(part);
  } else if (parts.size() > floor && parts.back() != "..") {
    parts.pop_back();
  } else if (keepUp) {
    parts.push_back(part);
  }
}

namespace {

bool DotsSeparator(char c, u32 flags) {
  return c == '/' || (c == '\\' && (flags & SYS_DOTS_BACKSLASH));
}

bool DotsAbsolute(std::string_view path, u32 flags) {
  return (flags & SYS_DOTS_FROM_ROOT) || (!path.empty() && DotsSeparator(path.front(), flags));
}

}  // namespace

std::vector<std::string_view> SysPathDotParts(std::string_view path, u32 flags) {
  const bool keepUp = !DotsAbsolute(path, flags) && (flags & SYS_DOTS_KEEP_UP);
  std::vector<std::string_view> parts;
  for (std::size_t at = 0; at <= path.size();) {
    std::size_t end = at;
    while (end < path.size() && !DotsSeparator(path[end], flags)) ++end;
    SysPathDotStep(parts, path.substr(at, end - at), 0, keepUp);
    at = end + 1;
  }
  return parts;
}

std::string SysPathDots(std::string_view path, u32 flags) {
  const bool absolute = DotsAbsolute(path, flags);
  std::string out;
  for (const std::string_view part : SysPathDotParts(path, flags)) {
    if (absolute || !out.empty()) out += '/';
    out.append(part);
  }
  if (out.empty()) return absolute ? "/" : (flags & SYS_DOTS_EMPTY_DOT) ? "." : "";
  return out;
}

int SysPathNormalize(char* dst, const char* path, int size) {
  if (!path) return -1;
  if (!*path) return Store(dst, size, std::string());
  return Store(dst, size, Compose(Resolve(path, 0)));
}

int SysPathJoin(char* dst, const char* base, const char* name, int size, int levels) {
  std::string text;
  std::size_t pos = 0;
  if (!name || !*name) {
    text = base ? base : "";
  } else if (!base || !*base || SplitHead(name, pos).absolute) {
    text = name;
  } else {
    text = base;
    if (!SysIsSlash(text.back()) && !(text.size() == 2 && SysPathDriveLen(text.c_str()) == 2)) text += '/';
    text += name;
  }
  if (text.empty()) return Store(dst, size, text);
  return Store(dst, size, Compose(Resolve(text, levels)));
}

int SysPathRelative(char* dst, const char* base, const char* target, int size, int minShared) {
  if (!base || !target) return -1;
  const SplitPath b = Resolve(base, 0);
  const SplitPath t = Resolve(target, 0);
  if (b.head.text != t.head.text) return -1;
  std::size_t shared = 0;
  while (shared < b.parts.size() && shared < t.parts.size() && b.parts[shared] == t.parts[shared]) ++shared;
  // A relative base that still climbs cannot be walked back by name.
  for (std::size_t i = shared; i < b.parts.size(); ++i)
    if (b.parts[i] == "..") return -1;
  if (static_cast<int>(shared) < minShared) return -1;
  std::string out;
  for (std::size_t i = shared; i < b.parts.size(); ++i) out += "/..";
  for (std::size_t i = shared; i < t.parts.size(); ++i) {
    out += '/';
    out.append(t.parts[i]);
  }
  return Store(dst, size, out);
}

int SysPathCompare(const char* a, const char* b, int flags) {
  if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
  const std::string fa = (flags & SYS_PATH_FULL_A) ? Absolute(a) : std::string(a);
  const std::string fb = (flags & SYS_PATH_FULL_B) ? Absolute(b) : std::string(b);
  SplitPath sa = Resolve(fa, 0);
  SplitPath sb = Resolve(fb, 0);
  sa.trailing = sb.trailing = false;
  const int c = Compose(sa).compare(Compose(sb));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int SysFullDir(char* target, const char* path, int size) {
  if (!path || !target || size <= 0) return 0;
  const std::string full = Compose(Resolve(Absolute(path), 0));
  int d = SysPathDirLen(static_cast<int>(full.size()), full.c_str());
  // A path that ends in a separator (or resolves to a root) is itself the folder.
  std::string_view name(full.c_str() + d, full.size() - static_cast<std::size_t>(d));
  std::string dir = name.empty() ? full : full.substr(0, static_cast<std::size_t>(d));
  if (dir.empty() || !SysIsSlash(dir.back())) dir += '/';
  if (static_cast<int>(dir.size()) + 1 > size) return 0;
  std::memcpy(target, dir.data(), dir.size());
  target[dir.size()] = '\0';
  return static_cast<int>(dir.size());
}

void SysStrDir(std::string& out, const char* path) {
  if (!path) {
    out.clear();
    return;
  }
  out.assign(path, static_cast<std::size_t>(SysPathDirLen(-1, path)));
}

void SysStrAddSlash(std::string& path, char ch) {
  if (!path.empty() && !SysIsSlash(path.back())) path += ch;
}

void SysStrCutSlash(std::string& path) {
  const int n = SysPathCutSlash(path.data(), static_cast<int>(path.size()));
  path.resize(static_cast<std::size_t>(n));
}
