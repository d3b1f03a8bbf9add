// The deflate64 decoder on streams written bit by bit: what only deflate64 has (length code 285
// with 16 extra bits, distance codes 30 and 31), and streams that end early or break the format.
#include "archive/zip_inflate64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// Writes a fixed-Huffman block, least significant bit first; Huffman codes go most significant first.
class BitWriter {
 public:
  void Bits(u32 value, int count) {
    for (int i = 0; i < count; ++i) Bit((value >> i) & 1);
  }
  void Code(u32 code, int length) {
    for (int i = length - 1; i >= 0; --i) Bit((code >> i) & 1);
  }
  void Literal(int symbol) {
    if (symbol < 144) Code(0x30 + symbol, 8);
    else if (symbol < 256) Code(0x190 + symbol - 144, 9);
    else if (symbol < 280) Code(symbol - 256, 7);
    else Code(0xC0 + symbol - 280, 8);
  }
  void Distance(int code, u32 extra, int extraBits) {
    Code(static_cast<u32>(code), 5);
    Bits(extra, extraBits);
  }
  std::string bytes;

 private:
  void Bit(u32 bit) {
    if (m_count % 8 == 0) bytes.push_back('\0');
    bytes.back() = static_cast<char>(bytes.back() | (bit << (m_count % 8)));
    ++m_count;
  }
  int m_count = 0;
};

Inflate64Result Decode(const std::string& stream, std::string& out, std::string& detail) {
  std::size_t pos = 0;
  return Inflate64(
      [&](u8* data, std::size_t length) -> std::ptrdiff_t {
        const std::size_t n = std::min<std::size_t>({length, stream.size() - pos, 3});  // small pieces
        std::copy_n(stream.data() + pos, n, reinterpret_cast<char*>(data));
        pos += n;
        return static_cast<std::ptrdiff_t>(n);
      },
      [&](const u8* data, std::size_t length) {
        out.append(reinterpret_cast<const char*>(data), length);
        return true;
      },
      detail);
}

// "BA", 60003 times "A" by one match (code 285, extra 60000), then "BAA" from 60005 back (code 31)
// and "AAA" from 40000 back (code 30).
BitWriter LongMatches() {
  BitWriter w;
  w.Bits(1, 1);  // last block
  w.Bits(1, 2);  // fixed codes
  w.Literal('B');
  w.Literal('A');
  w.Literal(285);
  w.Bits(60000, 16);
  w.Distance(0, 0, 0);
  w.Literal(257);
  w.Distance(31, 60005 - 49153, 14);
  w.Literal(257);
  w.Distance(30, 40000 - 32769, 14);
  return w;
}

TEST(Inflate64, LongLengthsAndFarDistances) {
  BitWriter w = LongMatches();
  w.Literal(256);
  std::string out, detail;
  ASSERT_EQ(Decode(w.bytes, out, detail), Inflate64Result::Done) << detail;
  EXPECT_TRUE(out == "BA" + std::string(60003, 'A') + "BAA" + "AAA");
}

TEST(Inflate64, EarlyEndsAndBrokenStreamsAreToldApart) {
  std::string out, detail;
  // Without its end-of-block code the stream ends early.
  EXPECT_EQ(Decode(LongMatches().bytes, out, detail), Inflate64Result::Truncated);
  // A distance before the first byte.
  BitWriter far;
  far.Bits(3, 3);
  far.Literal('x');
  far.Literal(257);
  far.Distance(1, 0, 0);
  out.clear();
  EXPECT_EQ(Decode(far.bytes, out, detail), Inflate64Result::Damaged);
  EXPECT_EQ(detail, "Abstand reicht vor den Anfang");
  // Block type 3 does not exist; a stored block's length must match its complement.
  EXPECT_EQ(Decode(std::string(1, '\x07'), out, detail), Inflate64Result::Damaged);
  EXPECT_EQ(Decode(std::string("\x01\x05\x00\x00\x00", 5), out, detail), Inflate64Result::Damaged);
  out.clear();
  EXPECT_EQ(Decode(std::string("\x01\x02\x00\xfd\xffok", 7), out, detail), Inflate64Result::Done);
  EXPECT_EQ(out, "ok");
}

}  // namespace
