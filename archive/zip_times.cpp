// Entry times: DOS stamps in local time, the extended-timestamp (0x5455) and NTFS (0x000A) fields.
#include "archive/zip_format.h"

#include <climits>
#include <ctime>

using namespace zipfmt;

void ZipDosTimeFromUnix(i64 seconds, u16* dosTime, u16* dosDate) {
  std::tm tm{};
  const std::time_t t = static_cast<std::time_t>(seconds);
  if (!::localtime_r(&t, &tm) || tm.tm_year < 80) {
    *dosTime = 0;
    *dosDate = (1 << 5) | 1;  // 1980-01-01
    return;
  }
  if (tm.tm_year > 207) {
    *dosTime = (23 << 11) | (59 << 5) | 29;
    *dosDate = static_cast<u16>((127 << 9) | (12 << 5) | 31);
    return;
  }
  *dosTime = static_cast<u16>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  *dosDate = static_cast<u16>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

i64 ZipUnixFromDosTime(u16 dosTime, u16 dosDate) {
  std::tm tm{};
  tm.tm_year = ((dosDate >> 9) & 0x7F) + 80;
  tm.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
  tm.tm_mday = dosDate & 0x1F;
  tm.tm_hour = (dosTime >> 11) & 0x1F;
  tm.tm_min = (dosTime >> 5) & 0x3F;
  tm.tm_sec = (dosTime & 0x1F) * 2;
  tm.tm_isdst = -1;
  if (tm.tm_mon < 0) tm.tm_mon = 0;
  if (tm.tm_mday == 0) tm.tm_mday = 1;
  const std::time_t t = std::mktime(&tm);
  return t < 0 ? 0 : static_cast<i64>(t);
}

bool ZipExtraMtime(std::string_view extra, i64* seconds) {
  bool haveUnix = false, haveNtfs = false;
  i64 unixTime = 0, ntfsTime = 0;
  ForEachExtra(extra, [&](u16 id, const u8* data, std::size_t size) {
    if (id == kExtraTime && size >= 5 && (data[0] & 1) && !haveUnix) {
      unixTime = static_cast<i32>(Get32(data + 1));
      haveUnix = true;
    } else if (id == kExtraNtfs && size >= 4 && !haveNtfs) {
      std::size_t pos = 4;  // reserved word
      while (pos + 4 <= size) {
        const u16 tag = Get16(data + pos);
        const u16 tagSize = Get16(data + pos + 2);
        if (pos + 4 + tagSize > size) break;
        if (tag == 1 && tagSize >= 24) {
          const u64 ft = Get64(data + pos + 4);
          ntfsTime = FileTimeToUnix(U64ToFileTime(ft));
          haveNtfs = ft != 0;
          break;
        }
        pos += 4 + std::size_t{tagSize};
      }
    }
  });
  if (haveUnix) {
    *seconds = unixTime;
    return true;
  }
  if (haveNtfs) {
    *seconds = ntfsTime;
    return true;
  }
  return false;
}

std::string ZipTimeExtra(i64 mtime) {
  std::string out;
  if (mtime >= INT32_MIN && mtime <= INT32_MAX) {
    Put16(out, kExtraTime);
    Put16(out, 5);
    out.push_back(1);  // modification time present
    Put32(out, static_cast<u32>(static_cast<i32>(mtime)));
  } else {
    const u64 ft = FileTimeToU64(FileTimeFromUnix(mtime));
    Put16(out, kExtraNtfs);
    Put16(out, 32);
    Put32(out, 0);
    Put16(out, 1);
    Put16(out, 24);
    Put64(out, ft);  // modification
    Put64(out, ft);  // access
    Put64(out, ft);  // creation
  }
  return out;
}

std::string zipfmt::ExtraWithout(std::string_view extra, u16 id) {
  std::string out;
  ForEachExtra(extra, [&](u16 fieldId, const u8* data, std::size_t size) {
    if (fieldId == id) return;
    Put16(out, fieldId);
    Put16(out, static_cast<u16>(size));
    out.append(reinterpret_cast<const char*>(data), size);
  });
  return out;
}
