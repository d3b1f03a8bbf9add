// Reading an archive's directory: the end records (with ZIP64), the central entries and their fields.
#include "archive/zip_internal.h"

#include <algorithm>

using namespace zipfmt;

namespace {

struct EndInfo {
  u64 count = 0;
  u64 dirSize = 0;
  u64 dirOffset = 0;
  u64 recordPos = 0;  // where the directory should end: the ZIP64 end record or the end record
  bool zip64 = false;
  bool multiDisk = false;
};

// Finds the end record in the last 64 KiB + 22 bytes.
int FindEnd(ZipInput& input, EndInfo& end, std::string& detail) {
  const u64 size = input.Size();
  if (size < kEndSize) {
    detail = "zu kurz";
    return ARC_ERR_FORMAT;
  }
  const u64 tailLength = std::min<u64>(size, 0xFFFF + kEndSize);
  const u64 tailStart = size - tailLength;
  std::vector<u8> tail(static_cast<std::size_t>(tailLength));
  if (!input.Read(tailStart, tail.data(), tail.size())) return ARC_ERR_READ;
  // The last record whose comment reaches the end exactly; else the last one whose comment fits.
  std::ptrdiff_t found = -1, loose = -1;
  for (std::ptrdiff_t p = static_cast<std::ptrdiff_t>(tail.size() - kEndSize); p >= 0; --p) {
    const u8* r = tail.data() + p;
    if (Get32(r) != kSigEnd) continue;
    const std::size_t end = static_cast<std::size_t>(p) + kEndSize + Get16(r + 20);
    if (end == tail.size()) {
      found = p;
      break;
    }
    if (end < tail.size() && loose < 0) loose = p;
  }
  if (found < 0) found = loose;
  if (found < 0) {
    detail = "kein Verzeichnis am Ende";
    return ARC_ERR_FORMAT;
  }
  const u8* r = tail.data() + found;
  const u64 endPos = tailStart + static_cast<u64>(found);
  end.multiDisk = Get16(r + 4) != 0 || Get16(r + 6) != 0;
  end.count = Get16(r + 10);
  end.dirSize = Get32(r + 12);
  end.dirOffset = Get32(r + 16);
  end.recordPos = endPos;

  if (endPos >= kLocator64Size) {
    u8 loc[kLocator64Size];
    if (input.Read(endPos - kLocator64Size, loc, sizeof loc) && Get32(loc) == kSigLocator64) {
      u64 pos = Get64(loc + 8);
      u8 rec[kEnd64Size];
      bool ok = input.Read(pos, rec, sizeof rec) && Get32(rec) == kSigEnd64;
      if (!ok && endPos >= kLocator64Size + kEnd64Size) {
        // Data in front of the archive shifts every offset; the record sits right before the locator.
        pos = endPos - kLocator64Size - kEnd64Size;
        ok = input.Read(pos, rec, sizeof rec) && Get32(rec) == kSigEnd64;
      }
      if (ok) {
        end.zip64 = true;
        end.multiDisk = end.multiDisk || Get32(rec + 16) != 0 || Get32(rec + 20) != 0 || Get32(loc + 16) > 1;
        end.count = Get64(rec + 32);
        end.dirSize = Get64(rec + 40);
        end.dirOffset = Get64(rec + 48);
        end.recordPos = pos;
      }
    }
  }
  return ARC_OK;
}

// Values from the ZIP64 field for the 32-bit fields that hold their marker.
void ApplyZip64(ZipEntryRec& e, bool sizeMarked, bool compMarked, bool offsetMarked) {
  ForEachExtra(e.extra, [&](u16 id, const u8* data, std::size_t size) {
    if (id != kExtraZip64) return;
    std::size_t pos = 0;
    auto take = [&](u64& field) {
      if (pos + 8 <= size) {
        field = Get64(data + pos);
        pos += 8;
      }
    };
    if (sizeMarked) take(e.size);
    if (compMarked) take(e.compSize);
    if (offsetMarked) take(e.localOffset);
  });
}

}  // namespace

int ZipReadDirectory(ZipInput& input, std::vector<ZipEntryRec>& entries, std::string& detail) {
  entries.clear();
  EndInfo end;
  if (const int rc = FindEnd(input, end, detail)) return rc;
  if (end.multiDisk) return ARC_ERR_MULTIDISK;
  if (end.dirOffset > end.recordPos || end.dirSize > end.recordPos - end.dirOffset) {
    detail = "Verzeichnis außerhalb der Datei";
    return ARC_ERR_FORMAT;
  }
  // Bytes in front of the archive (a self-extractor, say) shift every recorded offset.
  const u64 shift = end.recordPos - end.dirOffset - end.dirSize;
  const u64 dirStart = end.dirOffset + shift;
  std::vector<u8> dir(static_cast<std::size_t>(end.dirSize));
  if (!dir.empty() && !input.Read(dirStart, dir.data(), dir.size())) return ARC_ERR_READ;

  entries.reserve(static_cast<std::size_t>(std::min<u64>(end.count, dir.size() / kCentralSize)));
  std::size_t pos = 0;
  while (pos < dir.size()) {
    const u8* r = dir.data() + pos;
    // Only the digital signature may follow the entries; anything else is damage, and reading on
    // would drop the entries after it (an update would then write the archive without them).
    if (pos + 4 <= dir.size() && Get32(r) == kSigDigitalSignature) break;
    if (pos + kCentralSize > dir.size() || Get32(r) != kSigCentral) {
      detail = "Verzeichniseintrag beschädigt";
      return ARC_ERR_FORMAT;
    }
    const std::size_t nameLen = Get16(r + 28), extraLen = Get16(r + 30), commentLen = Get16(r + 32);
    if (pos + kCentralSize + nameLen + extraLen + commentLen > dir.size()) {
      detail = "Verzeichniseintrag abgeschnitten";
      return ARC_ERR_FORMAT;
    }
    ZipEntryRec e;
    e.madeBy = Get16(r + 4);
    e.needed = Get16(r + 6);
    e.flags = Get16(r + 8);
    e.method = Get16(r + 10);
    e.dosTime = Get16(r + 12);
    e.dosDate = Get16(r + 14);
    e.crc = Get32(r + 16);
    e.compSize = Get32(r + 20);
    e.size = Get32(r + 24);
    const u16 diskStart = Get16(r + 34);
    e.internalAttr = Get16(r + 36);
    e.externalAttr = Get32(r + 38);
    e.localOffset = Get32(r + 42);
    const char* text = reinterpret_cast<const char*>(r + kCentralSize);
    e.rawName.assign(text, nameLen);
    e.extra.assign(text + nameLen, extraLen);
    e.comment.assign(text + nameLen + extraLen, commentLen);
    ApplyZip64(e, e.size == kMax32, e.compSize == kMax32, e.localOffset == kMax32);
    e.extra = ExtraWithout(e.extra, kExtraZip64);
    if (diskStart != 0 && diskStart != kMax16) return ARC_ERR_MULTIDISK;
    e.localOffset += shift;
    e.name = ZipDecodeName(e.rawName, e.flags, e.Host(), e.extra);
    i64 exact = 0;
    if (ZipExtraMtime(e.extra, &exact)) {
      e.mtime = exact;
      e.exactTime = true;
    } else {
      e.mtime = ZipUnixFromDosTime(e.dosTime, e.dosDate);
    }
    const u32 unixType = e.UnixMode() & 0170000;
    e.folder = (!e.rawName.empty() && (e.rawName.back() == '/' || e.rawName.back() == '\\')) ||
               unixType == 0040000 || (e.UnixMode() == 0 && (e.externalAttr & 0x10) && e.size == 0);
    e.fromOld = true;
    entries.push_back(std::move(e));
    pos += kCentralSize + nameLen + extraLen + commentLen;
  }
  if (entries.empty() && end.count != 0) {
    detail = "Verzeichnis unlesbar";
    return ARC_ERR_FORMAT;
  }
  // Fewer entries than the end record counts: the directory is cut short. A short count that is
  // saturated or has wrapped says nothing.
  if (entries.size() < end.count && (end.zip64 || end.count != kMax16)) {
    detail = "Verzeichnis unvollständig";
    return ARC_ERR_FORMAT;
  }
  return ARC_OK;
}

bool ZipDataOffset(ZipInput& input, const ZipEntryRec& entry, u64* dataOffset) {
  u8 header[kLocalSize];
  if (!input.Read(entry.localOffset, header, sizeof header) || Get32(header) != kSigLocal) return false;
  const u64 start = entry.localOffset + kLocalSize + Get16(header + 26) + Get16(header + 28);
  if (start > input.Size() || entry.compSize > input.Size() - start) return false;
  *dataOffset = start;
  return true;
}
