// CRC-32 of zip entries (the reflected polynomial 0xEDB88320), with a combine for split data.
#pragma once

#include "platform/win_types.h"

#include <cstddef>

// Continues crc (0 for a start) over the bytes.
u32 Crc32Update(u32 crc, const void* data, std::size_t length);
// The CRC of A followed by B from the CRCs of A and B and the length of B.
u32 Crc32Combine(u32 crcA, u32 crcB, u64 lengthB);
