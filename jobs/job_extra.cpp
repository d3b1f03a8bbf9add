// The head of the extra cell: does the row apply on this computer, must the target exist, which
// folders are left out.
#include "jobs/job_extra.h"

#include "lib/text/str.h"
#include "lib/text/strutf8.h"

#include <cstring>

namespace {

// In the cell, text a user writes, "\\" separates like "/".
bool IsCellSep(char c) { return c == '/' || c == '\\'; }
bool IsBlankLike(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool HostNameMatches(std::string_view cellName, std::string_view hostName) {
  if (hostName.empty()) return false;
  if (StrEqualsNoCase(cellName, hostName)) return true;
  // Linux hosts often report their full domain name; the cell usually names the short one.
  const auto dot = hostName.find('.');
  return dot != std::string_view::npos && dot > 0 && StrEqualsNoCase(cellName, hostName.substr(0, dot));
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

int HostListMatch(const char** text, std::string_view hostName) {
  if (!text || !*text) return 1;
  const std::string_view cell(*text);
  std::string name;
  const std::size_t span = ExtraHostSpan(cell, &name);
  if (span == 0) return 1;
  *text += span;
  return HostNameMatches(name, hostName) ? 1 : 0;
}

std::size_t ExtraTargetSignSpan(std::string_view text) {
  if (text == "*") return 1;
  if (text.size() >= 2 && text[0] == '*' && text[1] == ';') return 2;
  return 0;
}

void ExtraExcludedFolders(std::string_view list, std::vector<std::string>& out) {
  std::size_t pos = 0;
  while (pos < list.size()) {
    if (IsCellSep(list[pos])) {
      ++pos;
      if (pos == list.size()) break;  // a separator at the very end ends the walk
    }
    std::size_t end = list.find(';', pos);
    if (end == std::string_view::npos) end = list.size();
    std::size_t itemEnd = end;
    while (itemEnd > pos && IsBlankLike(list[itemEnd - 1])) --itemEnd;
    if (itemEnd > pos) {
      std::string item(list.substr(pos, itemEnd - pos));
      for (char& c : item) {
        if (c == '\\') c = '/';
        else c = static_cast<char>(kpw::text::AsciiLower(static_cast<unsigned char>(c)));
      }
      out.push_back(std::move(item));
    }
    pos = end < list.size() ? end + 1 : end;
  }
}

JobExtraHead ExtraHeadParse(std::string_view cell) {
  JobExtraHead head;
  std::size_t pos = ExtraHostSpan(cell, &head.host);
  head.hostRestricted = pos > 0;
  const std::size_t sign = ExtraTargetSignSpan(cell.substr(pos));
  head.targetMustExist = sign > 0;
  pos += sign;
  head.restOffset = pos;
  ExtraExcludedFolders(cell.substr(pos), head.excludedFolders);
  return head;
}

std::string ExtraListFormat(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (item.empty()) continue;
    if (!out.empty()) out += kExtraSeparator;
    out += item;
  }
  return out;
}

std::string ExtraHeadFormat(int when, std::string_view host, const std::vector<std::string>& folders) {
  std::string head;
  if (when == EXTRA_WHEN_TARGET_EXISTS) {
    head = kExtraTargetSign;
  } else if (when == EXTRA_WHEN_HOST) {
    head = kExtraHostHead;
    head += host;
    head += ']';
  }
  const std::string list = ExtraListFormat(folders);
  if (list.empty()) return head;
  if (!head.empty()) return head + kExtraSeparator + list;
  if (ExtraHostSpan(list) > 0 || ExtraTargetSignSpan(list) > 0) return kExtraSeparator + list;
  return list;
}
