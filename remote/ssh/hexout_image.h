// The helper program hexout as the build made it (static, 32-bit x86), to be uploaded to a host.
#pragma once

#include <cstddef>

extern const unsigned char kHexoutImage[];
extern const std::size_t kHexoutImageSize;
