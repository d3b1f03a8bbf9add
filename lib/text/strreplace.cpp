// In-place replacement of substrings and ranges within a bounded buffer.
#include "lib/text/str.h"
#include "lib/text/strutf8.h"

#include <cstring>
#include <string>

namespace {

// Current length of the buffer's text; a buffer without a NUL is terminated at size - 1 first.
int TextLength(char* buffer, int size) {
  int len = 0;
  while (len < size && buffer[len] != '\0') ++len;
  if (len == size) {
    len = kpw::text::Utf8SafeCut(buffer, size - 1, buffer + size);
    buffer[len] = '\0';
  }
  return len;
}

}  // namespace

int StrReplaceAllA(char* buffer, const char* oldText, const char* newText, int size) {
  if (!buffer || size <= 0) return 0;
  const int len = TextLength(buffer, size);
  const size_t oldLen = oldText ? std::strlen(oldText) : 0;
  if (oldLen == 0) return len;
  const std::string text(buffer, static_cast<size_t>(len));
  std::string out;
  size_t pos = 0;
  for (size_t hit; (hit = text.find(oldText, pos, oldLen)) != std::string::npos; pos = hit + oldLen) {
    out.append(text, pos, hit - pos);
    out += newText ? newText : "";
  }
  out.append(text, pos);
  return StrCopyA(buffer, out.c_str(), size);
}

int StrReplaceRangeA(char* buffer, int position, int count, const char* replacement, int size,
                     int replacementLength) {
  if (!buffer || size <= 0) return 0;
  const int len = TextLength(buffer, size);
  if (position < 0) position = 0;
  if (position > len) position = len;
  if (count < 0) count = 0;
  if (count > len - position) count = len - position;
  if (!replacement) replacementLength = 0;
  else if (replacementLength < 0) replacementLength = static_cast<int>(std::strlen(replacement));
  std::string out(buffer, static_cast<size_t>(position));
  out.append(replacement ? replacement : "", static_cast<size_t>(replacementLength));
  out.append(buffer + position + count, static_cast<size_t>(len - position - count));
  // A NUL inside the replacement would end the text early; keep what precedes it.
  return StrCopyA(buffer, out.c_str(), size);
}
