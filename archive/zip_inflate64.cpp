// Deflate64: the deflate format with a 64 KiB window, length code 285 carrying 16 extra bits on a base
// of 3, and the distance codes 30 and 31 (bases 32769 and 49153, 14 extra bits each).
#include "archive/zip_inflate64.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kWindow = 65536;
constexpr std::size_t kChunk = 256 * 1024;  // decoded bytes handed on at a time
constexpr std::size_t kInputPiece = 64 * 1024;
constexpr int kFastBits = 10;
constexpr int kMaxBits = 15;
constexpr int kMaxLiteralCodes = 286;
constexpr int kMaxDistanceCodes = 32;

constexpr u16 kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
constexpr u8 kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
constexpr u32 kDistanceBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                   49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                   2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr u8 kDistanceExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2, 3,  3,  4,  4,  5,  5,  6,  6,
                                   7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
constexpr u8 kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A canonical Huffman code: codes up to kFastBits long are looked up by the next bits at once,
// longer ones are walked bit by bit through the counts per length.
struct Huffman {
  u16 count[kMaxBits + 1] = {};
  u16 symbols[288] = {};
  u16 fast[1u << kFastBits] = {};  // (length << 9) | symbol; 0 where no short code starts

  // False for lengths that oversubscribe the code. An incomplete code is taken: its unused bit
  // patterns fail when they are met.
  bool Build(const u8* lengths, int n) {
    std::fill(std::begin(count), std::end(count), u16{0});
    std::fill(std::begin(fast), std::end(fast), u16{0});
    for (int i = 0; i < n; ++i) ++count[lengths[i]];
    count[0] = 0;
    int left = 1;
    for (int len = 1; len <= kMaxBits; ++len) {
      left = (left << 1) - count[len];
      if (left < 0) return false;
    }
    u16 offset[kMaxBits + 2] = {};
    u32 next[kMaxBits + 2] = {};
    u32 code = 0;
    for (int len = 1; len <= kMaxBits; ++len) {
      offset[len + 1] = static_cast<u16>(offset[len] + count[len]);
      code = (code + count[len - 1]) << 1;
      next[len] = code;
    }
    for (int sym = 0; sym < n; ++sym) {
      const int len = lengths[sym];
      if (!len) continue;
      symbols[offset[len]++] = static_cast<u16>(sym);
      const u32 c = next[len]++;
      if (len > kFastBits) continue;
      u32 reversed = 0;
      for (int b = 0; b < len; ++b) reversed |= ((c >> b) & 1u) << (len - 1 - b);
      for (u32 at = reversed; at < (1u << kFastBits); at += 1u << len)
        fast[at] = static_cast<u16>((len << 9) | sym);
    }
    return true;
  }
};

class Inflater {
 public:
  Inflater(const Inflate64Input& input, const Inflate64Output& output, std::string& detail)
      : m_input(input), m_output(output), m_detail(detail), m_in(kInputPiece), m_out(kWindow + kChunk) {}

  Inflate64Result Run() {
    bool last = false;
    while (!last) {
      if (!Need(3)) return m_result;
      last = Bits(1) != 0;
      const u32 type = Bits(2);
      bool ok = false;
      if (type == 0) ok = Stored();
      else if (type == 1) ok = Fixed();
      else if (type == 2) ok = Dynamic();
      else ok = Fail("unbekannter Blocktyp");
      if (!ok) return m_result;
    }
    return Flush() ? Inflate64Result::Done : m_result;
  }

 private:
  bool Fail(const char* why) {
    m_result = Inflate64Result::Damaged;
    m_detail = why;
    return false;
  }
  // The input ended or failed where more was needed; m_result already says which.
  bool Short() {
    if (m_result == Inflate64Result::Done) m_result = Inflate64Result::Truncated;
    if (m_result == Inflate64Result::Truncated) m_detail = "Datenstrom endet vorzeitig";
    return false;
  }

  // ---- bits, least significant first
  bool Refill() {
    if (m_inPos < m_inLength) return true;
    if (m_end) return false;
    const std::ptrdiff_t n = m_input(m_in.data(), m_in.size());
    if (n < 0) {
      m_result = Inflate64Result::InputFailed;
      m_end = true;
      return false;
    }
    if (n == 0) {
      m_end = true;
      return false;
    }
    m_inPos = 0;
    m_inLength = static_cast<std::size_t>(n);
    return true;
  }
  void Fill(int want) {
    while (m_bitCount < want && m_bitCount <= 56) {
      if (m_inPos == m_inLength && !Refill()) return;
      m_bits |= u64{m_in[m_inPos++]} << m_bitCount;
      m_bitCount += 8;
    }
  }
  bool Need(int n) {
    Fill(n);
    return m_bitCount >= n || Short();
  }
  u32 Bits(int n) {
    const u32 v = static_cast<u32>(m_bits & ((u64{1} << n) - 1));
    m_bits >>= n;
    m_bitCount -= n;
    return v;
  }

  // The next symbol of a code; -1 when the stream ends (m_result set) or the bits name no code.
  int Decode(const Huffman& h) {
    Fill(kMaxBits);
    const u16 entry = h.fast[m_bits & ((1u << kFastBits) - 1)];
    if (entry) {
      const int len = entry >> 9;
      if (len > m_bitCount) return Short(), -1;
      Bits(len);
      return entry & 0x1FF;
    }
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxBits; ++len) {
      if (!Need(1)) return -1;
      code |= static_cast<int>(Bits(1));
      const int count = h.count[len];
      if (code - first < count) return h.symbols[index + code - first];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    Fail("ungültiger Huffman-Code");
    return -1;
  }

  // ---- output through a buffer that keeps the last 64 KiB for back-references
  bool Flush() {
    if (m_pos > m_flushed) {
      if (!m_output(m_out.data() + m_flushed, m_pos - m_flushed)) {
        m_result = Inflate64Result::OutputStopped;
        return false;
      }
      m_flushed = m_pos;
    }
    return true;
  }
  // Makes room for n more bytes (n <= kChunk).
  bool Room(std::size_t n) {
    if (m_pos + n <= m_out.size()) return true;
    if (!Flush()) return false;
    const std::size_t keep = std::min(m_pos, kWindow);
    std::memmove(m_out.data(), m_out.data() + m_pos - keep, keep);
    m_pos = m_flushed = keep;
    return true;
  }

  bool Stored() {
    Bits(m_bitCount % 8);
    if (!Need(32)) return false;
    const u32 length = Bits(16);
    const u32 check = Bits(16);
    if ((length ^ 0xFFFF) != check) return Fail("Länge eines ungepackten Blocks falsch");
    if (!Room(length)) return false;
    u32 left = length;
    while (left && m_bitCount >= 8) {
      m_out[m_pos++] = static_cast<u8>(Bits(8));
      --left;
    }
    while (left) {
      if (m_inPos == m_inLength && !Refill()) return Short();
      const std::size_t n = std::min<std::size_t>(left, m_inLength - m_inPos);
      std::memcpy(m_out.data() + m_pos, m_in.data() + m_inPos, n);
      m_inPos += n;
      m_pos += n;
      left -= static_cast<u32>(n);
    }
    m_total += length;
    return true;
  }

  bool Fixed() {
    if (!m_fixedReady) {
      u8 lengths[288];
      std::fill(lengths, lengths + 144, u8{8});
      std::fill(lengths + 144, lengths + 256, u8{9});
      std::fill(lengths + 256, lengths + 280, u8{7});
      std::fill(lengths + 280, lengths + 288, u8{8});
      m_fixedLiterals.Build(lengths, 288);
      std::fill(lengths, lengths + 32, u8{5});
      m_fixedDistances.Build(lengths, 32);
      m_fixedReady = true;
    }
    return Codes(m_fixedLiterals, m_fixedDistances);
  }

  bool Dynamic() {
    if (!Need(14)) return false;
    const int literals = static_cast<int>(Bits(5)) + 257;
    const int distances = static_cast<int>(Bits(5)) + 1;
    const int lengthCodes = static_cast<int>(Bits(4)) + 4;
    if (literals > kMaxLiteralCodes || distances > kMaxDistanceCodes) return Fail("zu viele Codes");
    u8 codeLengths[19] = {};
    for (int i = 0; i < lengthCodes; ++i) {
      if (!Need(3)) return false;
      codeLengths[kCodeLengthOrder[i]] = static_cast<u8>(Bits(3));
    }
    Huffman lengthCode;
    if (!lengthCode.Build(codeLengths, 19)) return Fail("ungültige Codelängen");
    u8 lengths[kMaxLiteralCodes + kMaxDistanceCodes] = {};
    const int total = literals + distances;
    for (int i = 0; i < total;) {
      const int sym = Decode(lengthCode);
      if (sym < 0) return false;
      if (sym < 16) {
        lengths[i++] = static_cast<u8>(sym);
        continue;
      }
      int repeat = 0;
      u8 value = 0;
      if (sym == 16) {
        if (i == 0) return Fail("Wiederholung ohne Vorgänger");
        if (!Need(2)) return false;
        value = lengths[i - 1];
        repeat = 3 + static_cast<int>(Bits(2));
      } else if (sym == 17) {
        if (!Need(3)) return false;
        repeat = 3 + static_cast<int>(Bits(3));
      } else {
        if (!Need(7)) return false;
        repeat = 11 + static_cast<int>(Bits(7));
      }
      if (i + repeat > total) return Fail("zu viele Codelängen");
      std::fill(lengths + i, lengths + i + repeat, value);
      i += repeat;
    }
    if (lengths[256] == 0) return Fail("kein Blockende-Code");
    Huffman lit, dist;
    if (!lit.Build(lengths, literals) || !dist.Build(lengths + literals, distances))
      return Fail("ungültige Codelängen");
    return Codes(lit, dist);
  }

  bool Codes(const Huffman& lit, const Huffman& dist) {
    for (;;) {
      const int sym = Decode(lit);
      if (sym < 0) return false;
      if (sym < 256) {
        if (!Room(1)) return false;
        m_out[m_pos++] = static_cast<u8>(sym);
        ++m_total;
        continue;
      }
      if (sym == 256) return true;
      const int lcode = sym - 257;
      if (lcode >= 29) return Fail("ungültiger Längencode");
      if (!Need(kLengthExtra[lcode])) return false;
      const std::size_t length = kLengthBase[lcode] + Bits(kLengthExtra[lcode]);
      const int dcode = Decode(dist);
      if (dcode < 0) return false;
      if (dcode >= kMaxDistanceCodes) return Fail("ungültiger Abstandscode");
      if (!Need(kDistanceExtra[dcode])) return false;
      const std::size_t distance = kDistanceBase[dcode] + Bits(kDistanceExtra[dcode]);
      if (distance > m_total) return Fail("Abstand reicht vor den Anfang");
      if (!Room(length)) return false;
      u8* to = m_out.data() + m_pos;
      const u8* from = to - distance;
      if (distance >= length) {
        std::memcpy(to, from, length);
      } else {
        for (std::size_t k = 0; k < length; ++k) to[k] = from[k];
      }
      m_pos += length;
      m_total += length;
    }
  }

  const Inflate64Input& m_input;
  const Inflate64Output& m_output;
  std::string& m_detail;
  Inflate64Result m_result = Inflate64Result::Done;

  std::vector<u8> m_in;
  std::size_t m_inPos = 0, m_inLength = 0;
  bool m_end = false;
  u64 m_bits = 0;
  int m_bitCount = 0;

  std::vector<u8> m_out;
  std::size_t m_pos = 0, m_flushed = 0;
  u64 m_total = 0;

  bool m_fixedReady = false;
  Huffman m_fixedLiterals, m_fixedDistances;
};

}  // namespace

Inflate64Result Inflate64(const Inflate64Input& input, const Inflate64Output& output, std::string& detail) {
  Inflater inflater(input, output, detail);
  return inflater.Run();
}
