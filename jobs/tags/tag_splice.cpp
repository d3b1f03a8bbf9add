// Putting a tag's replacement into its text: the blank rule and the bounded copy.
#include "jobs/tags/tag_splice.h"

#include "platform/last_error.h"

#include <cstring>
#include <string>

namespace kpw::tags {

namespace {
int TooLong() {
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return -1;
}
}  // namespace

bool NeedsBlankAfter(char next) {
  return next != '\0' && next != '.' && next != '_' && next != '0' && next != ' ';
}

int Splice(const char* text, int tagStart, int tagEnd, std::string_view replacement, bool blankRule,
           char* destination, int destinationSize) {
  if (!destination || destinationSize <= 0) return TooLong();
  std::string out(text, static_cast<std::size_t>(tagStart));
  out.append(replacement);
  if (blankRule && NeedsBlankAfter(text[tagEnd])) out.push_back(' ');
  out.append(text + tagEnd);
  if (out.size() + 1 > static_cast<std::size_t>(destinationSize)) return TooLong();
  std::memcpy(destination, out.c_str(), out.size() + 1);
  return static_cast<int>(out.size());
}

int CopyUnchanged(const char* text, char* destination, int destinationSize) {
  if (!destination || destinationSize <= 0) return TooLong();
  const std::size_t n = std::strlen(text);
  if (n + 1 > static_cast<std::size_t>(destinationSize)) return TooLong();
  if (destination != text) std::memmove(destination, text, n + 1);
  return static_cast<int>(n);
}

}  // namespace kpw::tags
