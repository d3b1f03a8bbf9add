// libFuzzer target: arbitrary bytes mounted as an exFAT volume, every folder listed and every file read, then written on.
#include "tests/fuzz/volume_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzwalk::WalkAndWrite("exfat", data, size);
}
