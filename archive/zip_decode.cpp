// Unpacking one entry's data: stored, deflate (raw inflate) and bzip2, with size and CRC checks.
#include "archive/crc32.h"
#include "archive/zip_internal.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

using namespace zipfmt;

namespace {

constexpr std::size_t kPiece = 256 * 1024;

// One raw inflate state per thread, started afresh for each entry.
struct Inflater {
  z_stream zs{};
  bool ready = false;
  Inflater() { ready = inflateInit2(&zs, -15) == Z_OK; }
  ~Inflater() {
    if (ready) inflateEnd(&zs);
  }
  // inflateReset keeps the input pointer and count: an entry that stopped inside its data
  // (a size that lies, a failed write) left them pointing into its freed buffer.
  void Start() {
    inflateReset(&zs);
    zs.next_in = nullptr;
    zs.avail_in = 0;
    zs.next_out = nullptr;
    zs.avail_out = 0;
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
};

// Counts, checks and passes on the unpacked bytes.
struct Checker {
  const ZipEntryRec& entry;
  const ZipSink& sink;
  u32 crc = 0;
  u64 total = 0;
  // 0, or an ArcError code.
  int Take(const u8* data, std::size_t length, std::string& detail) {
    if (!length) return ARC_OK;
    if (length > entry.size - total) {
      detail = "mehr Daten als angegeben";
      return ARC_ERR_DATA;
    }
    total += length;
    crc = Crc32Update(crc, data, length);
    return sink(data, length) ? ARC_OK : ARC_ERR_WRITE;
  }
  int Finish(std::string& detail) const {
    if (total != entry.size) {
      detail = "weniger Daten als angegeben";
      return ARC_ERR_DATA;
    }
    if (crc != entry.crc) {
      detail = "Prüfsumme falsch";
      return ARC_ERR_DATA;
    }
    return ARC_OK;
  }
};

int DecodeStored(ZipInput& input, u64 offset, const ZipEntryRec& entry, Checker& check, std::string& detail) {
  if (entry.compSize != entry.size) {
    detail = "Größen passen nicht zusammen";
    return ARC_ERR_DATA;
  }
  std::vector<u8> buffer(static_cast<std::size_t>(std::min<u64>(entry.compSize, 4 * kPiece)));
  u64 left = entry.compSize;
  while (left) {
    const std::size_t n = static_cast<std::size_t>(std::min<u64>(left, buffer.size()));
    if (!input.Read(offset, buffer.data(), n)) return ARC_ERR_READ;
    if (const int rc = check.Take(buffer.data(), n, detail)) return rc;
    offset += n;
    left -= n;
  }
  return check.Finish(detail);
}

int DecodeDeflate(ZipInput& input, u64 offset, const ZipEntryRec& entry, Checker& check, std::string& detail) {
  thread_local std::unique_ptr<Inflater> inflater;
  if (!inflater) inflater = std::make_unique<Inflater>();
  if (!inflater->ready) return ARC_ERR_DATA;
  inflater->Start();
  z_stream& zs = inflater->zs;
  std::vector<u8> in(static_cast<std::size_t>(std::min<u64>(entry.compSize, kPiece)));
  std::vector<u8> out(kPiece);
  u64 left = entry.compSize;
  int zrc = Z_OK;
  while (zrc != Z_STREAM_END) {
    if (zs.avail_in == 0) {
      if (!left) break;
      const std::size_t n = static_cast<std::size_t>(std::min<u64>(left, in.size()));
      if (!input.Read(offset, in.data(), n)) return ARC_ERR_READ;
      offset += n;
      left -= n;
      zs.next_in = in.data();
      zs.avail_in = static_cast<uInt>(n);
    }
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    zrc = inflate(&zs, Z_NO_FLUSH);
    if (zrc != Z_OK && zrc != Z_STREAM_END && zrc != Z_BUF_ERROR) {
      detail = zs.msg ? zs.msg : "Datenstrom fehlerhaft";
      return ARC_ERR_DATA;
    }
    if (const int rc = check.Take(out.data(), out.size() - zs.avail_out, detail)) return rc;
    if (zrc == Z_BUF_ERROR && zs.avail_in == 0 && !left) break;
  }
  if (zrc != Z_STREAM_END) {
    detail = "Datenstrom endet vorzeitig";
    return ARC_ERR_DATA;
  }
  return check.Finish(detail);
}

int DecodeBzip2(ZipInput& input, u64 offset, const ZipEntryRec& entry, Checker& check, std::string& detail) {
  bz_stream bs{};
  if (BZ2_bzDecompressInit(&bs, 0, 0) != BZ_OK) return ARC_ERR_DATA;
  struct Closer {
    bz_stream* s;
    ~Closer() { BZ2_bzDecompressEnd(s); }
  } closer{&bs};
  std::vector<u8> in(static_cast<std::size_t>(std::min<u64>(entry.compSize, kPiece)));
  std::vector<u8> out(kPiece);
  u64 left = entry.compSize;
  int brc = BZ_OK;
  while (brc != BZ_STREAM_END) {
    if (bs.avail_in == 0) {
      if (!left) break;
      const std::size_t n = static_cast<std::size_t>(std::min<u64>(left, in.size()));
      if (!input.Read(offset, in.data(), n)) return ARC_ERR_READ;
      offset += n;
      left -= n;
      bs.next_in = reinterpret_cast<char*>(in.data());
      bs.avail_in = static_cast<unsigned>(n);
    }
    bs.next_out = reinterpret_cast<char*>(out.data());
    bs.avail_out = static_cast<unsigned>(out.size());
    brc = BZ2_bzDecompress(&bs);
    if (brc != BZ_OK && brc != BZ_STREAM_END) {
      detail = "bzip2-Datenstrom fehlerhaft";
      return ARC_ERR_DATA;
    }
    const std::size_t produced = out.size() - bs.avail_out;
    if (const int rc = check.Take(out.data(), produced, detail)) return rc;
    if (brc == BZ_OK && produced == 0 && bs.avail_in == 0 && !left) break;
  }
  if (brc != BZ_STREAM_END) {
    detail = "Datenstrom endet vorzeitig";
    return ARC_ERR_DATA;
  }
  return check.Finish(detail);
}

}  // namespace

bool ZipMethodSupported(u16 method) {
  return method == kMethodStored || method == kMethodDeflate || method == kMethodBzip2;
}

int ZipDecodeEntry(ZipInput& input, const ZipEntryRec& entry, const ZipSink& sink, std::string& detail) {
  if (entry.flags & (kFlagEncrypted | kFlagStrongEncryption)) return ARC_ERR_ENCRYPTED;
  if (!ZipMethodSupported(entry.method)) return ARC_ERR_METHOD;
  u64 offset = 0;
  if (!ZipDataOffset(input, entry, &offset)) {
    detail = "Kopf des Eintrags beschädigt";
    return ARC_ERR_DATA;
  }
  Checker check{entry, sink};
  switch (entry.method) {
    case kMethodStored: return DecodeStored(input, offset, entry, check, detail);
    case kMethodDeflate: return DecodeDeflate(input, offset, entry, check, detail);
    default: return DecodeBzip2(input, offset, entry, check, detail);
  }
}
