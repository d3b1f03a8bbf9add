// libFuzzer target: the PE version reader on arbitrary bytes.
#include "jobs/tags/pe_version.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PeFileVersion v;
  if (PeReadFileVersion(data, size, &v)) {
    // A version can only come from an image that holds its headers and the fixed information.
    if (size < 64 + 24 + 56) __builtin_trap();
  }
  return 0;
}
