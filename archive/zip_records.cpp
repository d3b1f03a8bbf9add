// Building the records of a new archive: local and central headers, ZIP64 fields and end records.
#include "archive/zip_internal.h"

using namespace zipfmt;

namespace {

struct Zip64Need {
  bool size = false, comp = false, offset = false;
  bool Any() const { return size || comp || offset; }
};

Zip64Need CentralNeed(const ZipEntryRec& e) {
  Zip64Need n;
  n.size = e.size >= kMax32 || e.localZip64;
  n.comp = e.compSize >= kMax32 || e.localZip64;
  n.offset = e.localOffset >= kMax32;
  return n;
}

u16 Needed(const ZipEntryRec& e, bool zip64) { return zip64 && e.needed < kNeedZip64 ? kNeedZip64 : e.needed; }

}  // namespace

std::string ZipLocalHeader(const ZipEntryRec& e) {
  std::string out;
  std::string extra;
  if (e.localZip64) {
    Put16(extra, kExtraZip64);
    Put16(extra, 16);
    Put64(extra, e.size);
    Put64(extra, e.compSize);
  }
  extra += e.extra;
  out.reserve(kLocalSize + e.rawName.size() + extra.size());
  Put32(out, kSigLocal);
  Put16(out, Needed(e, e.localZip64));
  Put16(out, e.flags);
  Put16(out, e.method);
  Put16(out, e.dosTime);
  Put16(out, e.dosDate);
  Put32(out, e.crc);
  Put32(out, e.localZip64 ? kMax32 : static_cast<u32>(e.compSize));
  Put32(out, e.localZip64 ? kMax32 : static_cast<u32>(e.size));
  Put16(out, static_cast<u16>(e.rawName.size()));
  Put16(out, static_cast<u16>(extra.size()));
  out += e.rawName;
  out += extra;
  return out;
}

std::string ZipCentralHeader(const ZipEntryRec& e) {
  const Zip64Need need = CentralNeed(e);
  std::string extra;
  if (need.Any()) {
    Put16(extra, kExtraZip64);
    Put16(extra, static_cast<u16>(8 * (need.size + need.comp + need.offset)));
    if (need.size) Put64(extra, e.size);
    if (need.comp) Put64(extra, e.compSize);
    if (need.offset) Put64(extra, e.localOffset);
  }
  extra += e.extra;
  std::string out;
  out.reserve(kCentralSize + e.rawName.size() + extra.size() + e.comment.size());
  Put32(out, kSigCentral);
  Put16(out, e.madeBy);
  Put16(out, Needed(e, need.Any()));
  Put16(out, e.flags);
  Put16(out, e.method);
  Put16(out, e.dosTime);
  Put16(out, e.dosDate);
  Put32(out, e.crc);
  Put32(out, need.comp ? kMax32 : static_cast<u32>(e.compSize));
  Put32(out, need.size ? kMax32 : static_cast<u32>(e.size));
  Put16(out, static_cast<u16>(e.rawName.size()));
  Put16(out, static_cast<u16>(extra.size()));
  Put16(out, static_cast<u16>(e.comment.size()));
  Put16(out, 0);  // disk
  Put16(out, e.internalAttr);
  Put32(out, e.externalAttr);
  Put32(out, need.offset ? kMax32 : static_cast<u32>(e.localOffset));
  out += e.rawName;
  out += extra;
  out += e.comment;
  return out;
}

std::string ZipEndRecords(u64 count, u64 directoryOffset, u64 directorySize) {
  std::string out;
  const bool zip64 = count >= kMax16 || directoryOffset >= kMax32 || directorySize >= kMax32;
  if (zip64) {
    const u64 end64Offset = directoryOffset + directorySize;
    Put32(out, kSigEnd64);
    Put64(out, kEnd64Size - 12);
    Put16(out, kVersionMadeBy);
    Put16(out, kNeedZip64);
    Put32(out, 0);
    Put32(out, 0);
    Put64(out, count);
    Put64(out, count);
    Put64(out, directorySize);
    Put64(out, directoryOffset);
    Put32(out, kSigLocator64);
    Put32(out, 0);
    Put64(out, end64Offset);
    Put32(out, 1);
  }
  Put32(out, kSigEnd);
  Put16(out, 0);
  Put16(out, 0);
  const u16 count16 = count >= kMax16 ? kMax16 : static_cast<u16>(count);
  Put16(out, count16);
  Put16(out, count16);
  Put32(out, directorySize >= kMax32 ? kMax32 : static_cast<u32>(directorySize));
  Put32(out, directoryOffset >= kMax32 ? kMax32 : static_cast<u32>(directoryOffset));
  Put16(out, 0);
  return out;
}
