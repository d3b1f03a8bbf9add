// libFuzzer target: the deflate64 decoder on arbitrary bytes, fed in pieces of varying size.
#include "archive/zip_inflate64.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t pos = 0;
  u64 produced = 0;
  std::string detail;
  // Odd piece sizes cross every boundary the decoder's buffers have.
  const Inflate64Input input = [&](u8* out, std::size_t length) -> std::ptrdiff_t {
    const std::size_t n = std::min({length, size - pos, std::size_t{1} + (pos * 7919) % 4099});
    std::memcpy(out, data + pos, n);
    pos += n;
    return static_cast<std::ptrdiff_t>(n);
  };
  // Streams that unpack to more than a few MiB are stopped, so that a run stays short.
  const Inflate64Output output = [&](const u8*, std::size_t length) {
    produced += length;
    return produced <= (u64{16} << 20);
  };
  const Inflate64Result result = Inflate64(input, output, detail);
  if (result == Inflate64Result::Damaged && detail.empty()) __builtin_trap();  // damage always says what
  if (result == Inflate64Result::InputFailed) __builtin_trap();                 // the input never fails here
  return 0;
}
