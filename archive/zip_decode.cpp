// Unpacking one entry's data: stored, deflate (raw inflate), deflate64, bzip2, LZMA and xz
// (liblzma) and PPMd (libarchive), decrypted on the way where the entry is encrypted, with size,
// CRC and AES code checks.
#include "archive/crc32.h"
#include "archive/zip_crypt.h"
#include "archive/zip_inflate64.h"
#include "archive/zip_internal.h"

#include <archive.h>
#include <archive_entry.h>
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

using namespace zipfmt;

namespace {

constexpr std::size_t kPiece = 256 * 1024;
constexpr u64 kLzmaMemLimit = u64{1600} << 20;  // beyond what packers use for a dictionary

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

// The packed bytes of an entry, decrypted where it is encrypted.
class EntrySource {
 public:
  EntrySource(ZipInput& input, u64 offset, u64 length, ZipDecryptor* decryptor)
      : m_input(input), m_offset(offset), m_left(length), m_decryptor(decryptor) {}
  // Up to length bytes: the count, 0 at the end, -1 when reading failed (errno set).
  std::ptrdiff_t Pull(u8* data, std::size_t length) {
    const std::size_t n = static_cast<std::size_t>(std::min<u64>(length, m_left));
    if (!n) return 0;
    if (!m_input.Read(m_offset, data, n)) return -1;
    m_offset += n;
    m_left -= n;
    if (m_decryptor) m_decryptor->Decrypt(data, n);
    return static_cast<std::ptrdiff_t>(n);
  }
  // Exactly length bytes; false when fewer are left or reading failed.
  bool PullAll(u8* data, std::size_t length) {
    return length <= m_left && Pull(data, length) == static_cast<std::ptrdiff_t>(length);
  }
  // Passes what the decoder left through the decryptor (its code covers all the data).
  bool Drain() {
    std::vector<u8> rest(static_cast<std::size_t>(std::min<u64>(m_left, kPiece)));
    while (m_left)
      if (Pull(rest.data(), rest.size()) < 0) return false;
    return true;
  }
  u64 Left() const { return m_left; }
  u64 End() const { return m_offset + m_left; }

 private:
  ZipInput& m_input;
  u64 m_offset;
  u64 m_left;
  ZipDecryptor* m_decryptor;
};

// Counts, checks and passes on the unpacked bytes.
struct Checker {
  const ZipEntryRec& entry;
  const ZipSink& sink;
  bool checkCrc = true;
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
    if (checkCrc && crc != entry.crc) {
      detail = "Prüfsumme falsch";
      return ARC_ERR_DATA;
    }
    return ARC_OK;
  }
};

int Truncated(std::string& detail) {
  detail = "Datenstrom endet vorzeitig";
  return ARC_ERR_DATA;
}

int DecodeStored(EntrySource& source, const ZipEntryRec& entry, Checker& check, std::string& detail) {
  if (source.Left() != entry.size) {
    detail = "Größen passen nicht zusammen";
    return ARC_ERR_DATA;
  }
  std::vector<u8> buffer(static_cast<std::size_t>(std::min<u64>(source.Left(), 4 * kPiece)));
  while (source.Left()) {
    const std::ptrdiff_t n = source.Pull(buffer.data(), buffer.size());
    if (n < 0) return ARC_ERR_READ;
    if (const int rc = check.Take(buffer.data(), static_cast<std::size_t>(n), detail)) return rc;
  }
  return check.Finish(detail);
}

int DecodeDeflate(EntrySource& source, Checker& check, std::string& detail) {
  thread_local std::unique_ptr<Inflater> inflater;
  if (!inflater) inflater = std::make_unique<Inflater>();
  if (!inflater->ready) return ARC_ERR_DATA;
  inflater->Start();
  z_stream& zs = inflater->zs;
  std::vector<u8> in(static_cast<std::size_t>(std::min<u64>(source.Left(), kPiece)));
  std::vector<u8> out(kPiece);
  int zrc = Z_OK;
  while (zrc != Z_STREAM_END) {
    if (zs.avail_in == 0) {
      if (!source.Left()) break;
      const std::ptrdiff_t n = source.Pull(in.data(), in.size());
      if (n < 0) return ARC_ERR_READ;
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
    if (zrc == Z_BUF_ERROR && zs.avail_in == 0 && !source.Left()) break;
  }
  if (zrc != Z_STREAM_END) return Truncated(detail);
  return check.Finish(detail);
}

int DecodeDeflate64(EntrySource& source, Checker& check, std::string& detail) {
  int taken = ARC_OK;
  const Inflate64Result result = Inflate64(
      [&](u8* data, std::size_t length) { return source.Pull(data, length); },
      [&](const u8* data, std::size_t length) { return (taken = check.Take(data, length, detail)) == ARC_OK; },
      detail);
  switch (result) {
    case Inflate64Result::Done: return check.Finish(detail);
    case Inflate64Result::InputFailed: return ARC_ERR_READ;
    case Inflate64Result::OutputStopped: return taken;
    default: return ARC_ERR_DATA;
  }
}

int DecodeBzip2(EntrySource& source, Checker& check, std::string& detail) {
  bz_stream bs{};
  if (BZ2_bzDecompressInit(&bs, 0, 0) != BZ_OK) return ARC_ERR_DATA;
  struct Closer {
    bz_stream* s;
    ~Closer() { BZ2_bzDecompressEnd(s); }
  } closer{&bs};
  std::vector<u8> in(static_cast<std::size_t>(std::min<u64>(source.Left(), kPiece)));
  std::vector<u8> out(kPiece);
  int brc = BZ_OK;
  while (brc != BZ_STREAM_END) {
    if (bs.avail_in == 0) {
      if (!source.Left()) break;
      const std::ptrdiff_t n = source.Pull(in.data(), in.size());
      if (n < 0) return ARC_ERR_READ;
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
    if (brc == BZ_OK && produced == 0 && bs.avail_in == 0 && !source.Left()) break;
  }
  if (brc != BZ_STREAM_END) return Truncated(detail);
  return check.Finish(detail);
}

// Runs a liblzma decoder that init set up over the rest of the source.
int RunLzma(lzma_stream& ls, EntrySource& source, Checker& check, std::string& detail) {
  struct Ender {
    lzma_stream* s;
    ~Ender() { lzma_end(s); }
  } ender{&ls};
  std::vector<u8> in(static_cast<std::size_t>(std::min<u64>(source.Left(), kPiece)));
  std::vector<u8> out(kPiece);
  lzma_ret lrc = LZMA_OK;
  while (lrc != LZMA_STREAM_END) {
    lzma_action action = LZMA_RUN;
    if (ls.avail_in == 0) {
      const std::ptrdiff_t n = source.Pull(in.data(), in.size());
      if (n < 0) return ARC_ERR_READ;
      ls.next_in = in.data();
      ls.avail_in = static_cast<std::size_t>(n);
      if (n == 0) action = LZMA_FINISH;
    }
    ls.next_out = out.data();
    ls.avail_out = out.size();
    lrc = lzma_code(&ls, action);
    if (const int rc = check.Take(out.data(), out.size() - ls.avail_out, detail)) return rc;
    if (lrc == LZMA_BUF_ERROR) return Truncated(detail);
    if (lrc != LZMA_OK && lrc != LZMA_STREAM_END) {
      detail = lrc == LZMA_MEMLIMIT_ERROR || lrc == LZMA_MEM_ERROR ? "zu wenig Speicher für das Wörterbuch"
                                                                   : "LZMA-Datenstrom fehlerhaft";
      return ARC_ERR_DATA;
    }
  }
  return check.Finish(detail);
}

// LZMA in zip: a version (2 bytes), the size of the properties (2 bytes, 5), the properties, then
// the raw stream, with or without an end marker (flag bit 1 tells, the size is known anyway).
int DecodeLzma(EntrySource& source, const ZipEntryRec& entry, Checker& check, std::string& detail) {
  u8 head[9];
  if (!source.PullAll(head, sizeof head) || Get16(head + 2) != 5) {
    detail = "LZMA-Kopf fehlerhaft";
    return ARC_ERR_DATA;
  }
  unsigned props = head[4];
  if (props >= 9 * 5 * 5) {
    detail = "LZMA-Kopf fehlerhaft";
    return ARC_ERR_DATA;
  }
  lzma_options_lzma options{};
  options.lc = props % 9;
  props /= 9;
  options.lp = props % 5;
  options.pb = props / 5;
  // No back-reference reaches further than the entry is long.
  const u64 dictionary = std::max<u64>(LZMA_DICT_SIZE_MIN, std::min<u64>(Get32(head + 5), entry.size));
  if (dictionary > kLzmaMemLimit) {
    detail = "zu wenig Speicher für das Wörterbuch";
    return ARC_ERR_DATA;
  }
  options.dict_size = static_cast<u32>(dictionary);
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  options.ext_size_low = static_cast<u32>(entry.size);
  options.ext_size_high = static_cast<u32>(entry.size >> 32);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream ls = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&ls, filters) != LZMA_OK) {
    lzma_end(&ls);
    detail = "LZMA-Kopf fehlerhaft";
    return ARC_ERR_DATA;
  }
  return RunLzma(ls, source, check, detail);
}

int DecodeXz(EntrySource& source, Checker& check, std::string& detail) {
  lzma_stream ls = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&ls, kLzmaMemLimit, 0) != LZMA_OK) {
    lzma_end(&ls);
    return ARC_ERR_DATA;
  }
  return RunLzma(ls, source, check, detail);
}

// PPMd (variant I, revision 1) through libarchive: it reads the entry alone, as a one-entry
// archive that a local header made here starts and the entry's decrypted data follows. Its own
// CRC check is off: it would hold back the last bytes of an AES entry that has no CRC (AE-2), and
// the checker here checks the CRC where there is one.
struct PpmdFeed {
  EntrySource& source;
  std::string header;
  std::size_t headerPos = 0;
  std::vector<u8> buffer = std::vector<u8>(64 * 1024);
  bool failed = false;

  static la_ssize_t Read(struct archive*, void* context, const void** data) {
    auto* feed = static_cast<PpmdFeed*>(context);
    if (feed->headerPos < feed->header.size()) {
      *data = feed->header.data() + feed->headerPos;
      const std::size_t n = feed->header.size() - feed->headerPos;
      feed->headerPos = feed->header.size();
      return static_cast<la_ssize_t>(n);
    }
    const std::ptrdiff_t n = feed->source.Pull(feed->buffer.data(), feed->buffer.size());
    if (n < 0) {
      feed->failed = true;
      return ARCHIVE_FATAL;
    }
    *data = feed->buffer.data();
    return n;
  }
};

std::string PpmdLocalHeader(const ZipEntryRec& entry, u64 packed) {
  const bool large = packed >= kMax32 || entry.size >= kMax32;
  std::string h;
  Put32(h, kSigLocal);
  Put16(h, 63);
  Put16(h, 0);
  Put16(h, kMethodPpmd);
  Put32(h, 0);  // time and date
  Put32(h, entry.crc);
  Put32(h, large ? kMax32 : static_cast<u32>(packed));
  Put32(h, large ? kMax32 : static_cast<u32>(entry.size));
  Put16(h, 1);
  Put16(h, large ? 20 : 0);
  h += 'e';
  if (large) {
    Put16(h, kExtraZip64);
    Put16(h, 16);
    Put64(h, entry.size);
    Put64(h, packed);
  }
  return h;
}

int DecodePpmd(EntrySource& source, const ZipEntryRec& entry, Checker& check, std::string& detail) {
  PpmdFeed feed{source, PpmdLocalHeader(entry, source.Left())};
  std::unique_ptr<struct archive, int (*)(struct archive*)> reader(archive_read_new(), archive_read_free);
  if (!reader || archive_read_support_format_zip(reader.get()) != ARCHIVE_OK) return ARC_ERR_DATA;
  archive_read_set_format_option(reader.get(), "zip", "ignorecrc32", "1");
  if (archive_read_open(reader.get(), &feed, nullptr, &PpmdFeed::Read, nullptr) != ARCHIVE_OK) return ARC_ERR_DATA;
  struct archive_entry* header = nullptr;
  if (archive_read_next_header(reader.get(), &header) != ARCHIVE_OK) {
    if (feed.failed) return ARC_ERR_READ;
    detail = "PPMd-Datenstrom fehlerhaft";
    return ARC_ERR_DATA;
  }
  std::vector<u8> out(kPiece);
  for (;;) {
    const la_ssize_t n = archive_read_data(reader.get(), out.data(), out.size());
    if (n == 0) break;
    if (n < 0) {
      if (feed.failed) return ARC_ERR_READ;
      detail = "PPMd-Datenstrom fehlerhaft";
      return ARC_ERR_DATA;
    }
    if (const int rc = check.Take(out.data(), static_cast<std::size_t>(n), detail)) return rc;
  }
  return check.Finish(detail);
}

// The decryptor for an entry, started with the password: 0, ARC_ERR_PASSWORD, or the read or data
// error. offset and length are moved past the header and trailer.
int StartDecryptor(ZipInput& input, const ZipEntryRec& entry, const std::string& password,
                   std::unique_ptr<ZipDecryptor>& decryptor, u64& offset, u64& length, std::string& detail) {
  decryptor = ZipDecryptor::For(entry);
  if (!decryptor) return ARC_ERR_ENCRYPTED;
  const std::size_t head = decryptor->HeaderSize(), tail = decryptor->TrailerSize();
  if (length < head + tail) {
    detail = "Verschlüsselungskopf fehlt";
    return ARC_ERR_DATA;
  }
  std::vector<u8> header(head);
  if (!input.Read(offset, header.data(), head)) return ARC_ERR_READ;
  switch (decryptor->Start(header.data(), password)) {
    case ZipDecryptor::kWrongPassword: return ARC_ERR_PASSWORD;
    case ZipDecryptor::kDamaged:
      detail = "Verschlüsselung nicht einsetzbar";
      return ARC_ERR_DATA;
    default: break;
  }
  offset += head;
  length -= head + tail;
  return ARC_OK;
}

}  // namespace

bool ZipMethodSupported(u16 method) {
  switch (method) {
    case kMethodStored:
    case kMethodDeflate:
    case kMethodDeflate64:
    case kMethodBzip2:
    case kMethodLzma:
    case kMethodXz:
    case kMethodPpmd: return true;
    default: return false;
  }
}

int ZipCheckPassword(ZipInput& input, const ZipEntryRec& entry, const std::string& password, std::string& detail) {
  u64 offset = 0;
  if (!ZipDataOffset(input, entry, &offset)) {
    detail = "Kopf des Eintrags beschädigt";
    return ARC_ERR_DATA;
  }
  u64 length = entry.compSize;
  std::unique_ptr<ZipDecryptor> decryptor;
  return StartDecryptor(input, entry, password, decryptor, offset, length, detail);
}

int ZipDecodeEntry(ZipInput& input, const ZipEntryRec& entry, const std::string* password, const ZipSink& sink,
                   std::string& detail) {
  const bool encrypted = entry.flags & (kFlagEncrypted | kFlagStrongEncryption);
  if (encrypted && (!password || !ZipCanDecrypt(entry))) return ARC_ERR_ENCRYPTED;
  const u16 method = ZipPackMethod(entry);
  if (!ZipMethodSupported(method)) return ARC_ERR_METHOD;
  u64 offset = 0;
  if (!ZipDataOffset(input, entry, &offset)) {
    detail = "Kopf des Eintrags beschädigt";
    return ARC_ERR_DATA;
  }
  u64 length = entry.compSize;
  std::unique_ptr<ZipDecryptor> decryptor;
  if (encrypted)
    if (const int rc = StartDecryptor(input, entry, *password, decryptor, offset, length, detail)) return rc;
  EntrySource source(input, offset, length, decryptor.get());
  Checker check{entry, sink, !decryptor || decryptor->CheckCrc()};
  int rc = ARC_OK;
  switch (method) {
    case kMethodStored: rc = DecodeStored(source, entry, check, detail); break;
    case kMethodDeflate: rc = DecodeDeflate(source, check, detail); break;
    case kMethodDeflate64: rc = DecodeDeflate64(source, check, detail); break;
    case kMethodBzip2: rc = DecodeBzip2(source, check, detail); break;
    case kMethodLzma: rc = DecodeLzma(source, entry, check, detail); break;
    case kMethodXz: rc = DecodeXz(source, check, detail); break;
    default: rc = DecodePpmd(source, entry, check, detail); break;
  }
  if (rc != ARC_OK || !decryptor || !decryptor->TrailerSize()) return rc;
  // The AES code covers every encrypted byte, also those the decoder did not need.
  std::vector<u8> trailer(decryptor->TrailerSize());
  if (!source.Drain() || !input.Read(source.End(), trailer.data(), trailer.size())) return ARC_ERR_READ;
  if (!decryptor->Finish(trailer.data())) {
    detail = "Prüfcode der Verschlüsselung falsch";
    return ARC_ERR_DATA;
  }
  return ARC_OK;
}
