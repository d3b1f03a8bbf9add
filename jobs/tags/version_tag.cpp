// The version tags "#@n#", "#@#" and "#@" with tokens.
#include "jobs/tags/path_tags.h"
#include "jobs/tags/tag_splice.h"
#include "jobs/tags/version_info.h"
#include "jobs/tags/version_text.h"
#include "lib/system/sys_path.h"
#include "lib/text/str.h"
#include "platform/last_error.h"

#include <cstring>
#include <string>

namespace {

constexpr int kTagTokenChars = 256;
constexpr u32 kIndentClass = 0xA0;  // blanks and tabs
constexpr char kProgramExtensions[] = "exe;dll;sys;ocx";

// The end of a token text: up to three tokens and the blanks after them. The closing "#" ends
// the list early, and an unquoted token too (a quoted one may hold "#").
const char* SkipTokens(const char* p) {
  for (int i = 0; i < 3; ++i) {
    p += StrSpanClassA(p, kIndentClass);
    if (!*p || *p == '#') return p;
    int limit = kTagTokenChars;
    if (*p != '"') {
      const char* hash = std::strchr(p, '#');
      if (hash && hash - p < limit) limit = static_cast<int>(hash - p);
    }
    char token[kTagTokenChars + 1];
    const int used = StrReadTokenA(token, p, sizeof token, '\\', '"', limit);
    if (used <= 0) return p;
    p += used;
  }
  return p + StrSpanClassA(p, kIndentClass);
}

}  // namespace

int ExpandVersionTag(const char* source, char* destination, int destinationSize, const char* filePath) {
  using kpw::tags::CopyUnchanged;
  if (!source) source = "";
  const char* hash = std::strchr(source, '#');
  // "#@" and at least one more character ("#@#" is the shortest tag).
  if (!hash || hash[1] != '@' || !hash[2]) return CopyUnchanged(source, destination, destinationSize);

  const char* body = hash + 2;
  const char* end;
  int form = -1;  // -1: a token text
  if (*body >= '0' && *body <= '9') {
    form = *body - '0';
    end = body + 1;
  } else if (*body == '#') {
    form = 0;
    end = body;
  } else {
    end = SkipTokens(body);
  }
  if (*end != '#') return CopyUnchanged(source, destination, destinationSize);

  std::string version;
  if (form >= 0) {
    if (!filePath || SysPathExtInList(filePath, kProgramExtensions) <= 0) {
      SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
      return -1;
    }
    char text[32];
    if (ReadVersionInfo(filePath, form, text, sizeof text) <= 0) return -1;
    version = text;
  } else {
    // The whole version: it must fit the destination, never be cut to a small buffer.
    const std::string tokens(body, static_cast<std::size_t>(end - body));
    if (!ReadVersionTextFull(filePath, tokens.c_str(), &version) || version.empty()) return -1;
  }
  const int at = static_cast<int>(hash - source);
  return kpw::tags::Splice(source, at, static_cast<int>(end - source) + 1, version, true, destination,
                           destinationSize);
}
