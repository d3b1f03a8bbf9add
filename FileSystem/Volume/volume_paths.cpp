// Volume paths: volume names, relative paths against the current path, ".." by the text, name encodings.
#include "FileSystem/Volume/volume_internal.h"

#include "lib/text/enc.h"

#include <cstring>
#include <vector>

namespace disk {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// "a/./b/../c" as "a/c"; ".." never leaves the volume.
std::string Normalize(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = at;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    const std::string_view part = text.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::string out;
  for (const std::string_view part : parts) {
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

// The path inside the volume of the current path ("/V/a/b" gives "a/b").
std::string CurrentInside(const DiskDriveTable& table) {
  const std::string& current = table.currentPath;
  if (current.size() <= 2) return {};
  return current.substr(3);
}

bool DriveUsable(const DiskDriveTable& table, u32 drive) {
  return drive >= 1 && drive <= DISK_MAX_DRIVES && table.fsType[drive - 1] >= DISK_TYPE_NO_FS;
}

}  // namespace

namespace {

int ResolveText(const DiskDriveTable& table, const char* path, std::string& inside) {
  inside.clear();
  if (!path) return SYS_ERR_INVALID;
  const std::string_view text(path);
  const bool absolute = !text.empty() && IsSeparator(text[0]);
  const bool volumeForm = text.size() >= 2 && text[1] == ':' && !IsSeparator(text[0]);
  if (!absolute && !volumeForm) {
    if (table.currentDrive != 0) {
      if (!DriveUsable(table, table.currentDrive)) return SYS_ERR_PATH;
      inside = Normalize(CurrentInside(table) + "/" + std::string(text));
      return static_cast<int>(table.currentDrive);
    }
    // From the drive list a relative path starts with a volume name.
  }
  std::string_view rest = absolute ? text.substr(1) : text;
  if (table.fixedDrive != 0) {
    if (!DriveUsable(table, table.fixedDrive)) return SYS_ERR_PATH;
    inside = Normalize(rest);
    return static_cast<int>(table.fixedDrive);
  }
  if (rest.empty()) return 0;
  char name = rest[0];
  if (name >= 'a' && name <= 'z') name = static_cast<char>(name - 32);
  const int index = name - '0';
  // Only names the table gave out: nothing below "0", nothing past its 64 names.
  if (index < 0 || index >= DISK_MAX_NAMES || table.nameMap[static_cast<std::size_t>(index)] == 0)
    return SYS_ERR_PATH;
  std::size_t at = 1;
  if (at < rest.size() && rest[at] == ':') ++at;
  if (at < rest.size() && !IsSeparator(rest[at])) return SYS_ERR_PATH;
  const u32 drive = table.nameMap[static_cast<std::size_t>(index)];
  if (!DriveUsable(table, drive)) return SYS_ERR_PATH;
  inside = Normalize(rest.substr(at));
  return static_cast<int>(drive);
}

}  // namespace

int Resolve(const DiskDriveTable& table, const char* path, std::string& inside) {
  const int drive = ResolveText(table, path, inside);
  // Names of bytes take any path; elsewhere a name must be UTF-8 to become UTF-16.
  const DiskVolume* v = drive > 0 ? table.fileSystem[static_cast<std::size_t>(drive - 1)].get() : nullptr;
  if (path && !EncIsValidUtf8(path) && !(v && v->ByteNames())) {
    inside.clear();
    return SYS_ERR_NAME_TOO_LONG;
  }
  return drive;
}

std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  const std::string text(utf8);
  const char* p = text.c_str();
  while (*p) {
    u32 cp = 0;
    const int n = EncUtf8Decode(p, &cp);
    if (n <= 0) break;
    WCHAR units[2];
    const int k = EncUtf16Encode(units, cp);
    out.append(units, units + k);
    p += n;
  }
  return out;
}

std::string ToUtf8(std::u16string_view utf16) {
  std::string out;
  const std::u16string text(utf16);
  const WCHAR* p = text.c_str();
  while (*p) {
    u32 cp = 0;
    const int n = EncUtf16Decode(p, &cp);
    if (n <= 0) break;
    char bytes[4];
    out.append(bytes, static_cast<std::size_t>(EncUtf8Encode(bytes, cp)));
    p += n;
  }
  return out;
}

}  // namespace disk

using namespace disk;

int DiskResolvePath(DiskDriveTable& table, const char* path, void* out, int outSize, int nameKind, int* outLength) {
  if (outLength) *outLength = 0;
  if (!out || outSize < 4) return SYS_ERR_INVALID;
  std::string inside;
  const int drive = Resolve(table, path, inside);
  if (drive < 0) return drive;
  const std::string text = drive == 0 ? "/" : "/" + inside;
  if (nameKind == DISK_NAME_BY_FS) {
    const DiskVolume* v = drive > 0 ? table.fileSystem[static_cast<std::size_t>(drive - 1)].get() : nullptr;
    nameKind = v ? v->NameKind() : DISK_NAME_UTF8;
  }
  if (nameKind == DISK_NAME_UTF16) {
    const std::u16string units = ToUtf16(text);
    if (static_cast<int>(units.size()) + 2 > outSize) return SYS_ERR_NAME_TOO_LONG;
    auto* o = static_cast<char16_t*>(out);
    std::memcpy(o, units.data(), units.size() * sizeof(char16_t));
    o[units.size()] = 0;
    if (outLength) *outLength = static_cast<int>(units.size());
  } else {
    const int room = nameKind == DISK_NAME_UTF8 ? 5 : 2;
    if (static_cast<int>(text.size()) + room > outSize) return SYS_ERR_NAME_TOO_LONG;
    std::memcpy(out, text.c_str(), text.size() + 1);
    if (outLength) *outLength = static_cast<int>(text.size());
  }
  return drive;
}

int DiskSetCurrentPath(DiskDriveTable& table, const char* path) {
  std::string inside;
  const int drive = Resolve(table, path, inside);
  if (drive < 0) return drive;
  if (drive == 0) {
    table.currentDrive = 0;
    table.currentPath = "/";
    return SYS_OK;
  }
  if (inside.size() > 508) return SYS_ERR_NAME_TOO_LONG;
  // Only a folder or a volume root: a worker makes a missing folder when entering it fails.
  const std::string full = std::string("/") + DiskVolumeName(table.nameIndex[drive - 1]) + (inside.empty() ? "" : "/" + inside);
  if (table.fixedDrive == 0 ? DiskPathKind(table, full.c_str()) != 2
                            : DiskPathKind(table, ("/" + inside).c_str()) != 2)
    return SYS_ERR_PATH;
  table.currentDrive = static_cast<u32>(drive);
  table.currentPath = full;
  return SYS_OK;
}

int DiskGetCurrentPath(const DiskDriveTable& table, char* buffer, int size) {
  std::string text = table.currentPath;
  if (table.fixedDrive != 0 && table.currentDrive != 0) {
    const std::string inside = CurrentInside(table);
    text = "/" + inside;
  }
  if (!buffer || size <= static_cast<int>(text.size())) {
    if (buffer && size >= 1) buffer[0] = '\0';
    return -1;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

int DiskFullPath(DiskDriveTable& table, const char* path, char* buffer, int size) {
  if (!buffer || size < 5) return SYS_ERR_INVALID;
  std::string inside;
  const int drive = Resolve(table, path, inside);
  if (drive < 0) return drive;
  std::string text = "/";
  if (drive > 0) {
    text += DiskVolumeName(table.nameIndex[drive - 1]);
    if (!inside.empty()) text += "/" + inside;
  }
  if (static_cast<int>(text.size()) >= size) return SYS_ERR_NAME_TOO_LONG;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

std::string DiskNameKey(DiskDriveTable& table, const char* folder, const char* name) {
  const std::string text = name ? name : "";
  std::string inside;
  const int drive = Resolve(table, folder ? folder : "", inside);
  if (drive <= 0) return text;
  DiskVolume* v = table.fileSystem[static_cast<std::size_t>(drive - 1)].get();
  return v ? v->NameKey(text) : text;
}
