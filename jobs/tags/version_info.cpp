// The file version of a program as text, in the ten forms of the version tags.
#include "jobs/tags/version_info.h"

#include "jobs/tags/pe_version.h"
#include "lib/text/fmt.h"

#include <cstring>

int ReadVersionInfo(const char* filePath, int form, char* buffer, int bufferSize) {
  if (!buffer || bufferSize <= 0) return -1;
  buffer[0] = '\0';
  PeFileVersion v;
  if (!PeReadFileVersionFile(filePath, &v)) return -1;
  const int major = static_cast<int>(v.ms >> 16), minor = static_cast<int>(v.ms & 0xFFFF);
  const int third = static_cast<int>(v.ls >> 16), fourth = static_cast<int>(v.ls & 0xFFFF);
  if (form == 0) form = fourth != 0 ? 4 : third != 0 ? 3 : 5;

  char text[32];  // "65535.65535.65535.65535" at most
  switch (form) {
    case 1: FmtSnprintfA(text, sizeof text, "%i", major); break;
    case 2: FmtSnprintfA(text, sizeof text, "%i.%i", major, minor); break;
    case 3: FmtSnprintfA(text, sizeof text, "%i.%i.%i", major, minor, third); break;
    case 4: FmtSnprintfA(text, sizeof text, "%i.%i.%i.%i", major, minor, third, fourth); break;
    default: FmtSnprintfA(text, sizeof text, "%i.%02i", major, minor); break;
  }
  // The text is ASCII, so cutting it to the buffer never splits a character.
  int n = static_cast<int>(std::strlen(text));
  if (n > bufferSize - 1) n = bufferSize - 1;
  std::memcpy(buffer, text, static_cast<std::size_t>(n));
  buffer[n] = '\0';
  return n;
}
