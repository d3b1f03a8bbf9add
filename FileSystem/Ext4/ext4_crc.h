// Checksums of ext4 metadata: CRC-32C as the format stores it, and the CRC-16 of GDT_CSUM descriptors.
#pragma once

#include "platform/win_types.h"

#include <cstddef>

// CRC-32C (Castagnoli, reflected) continued from crc over the bytes; no inversion before or after,
// so that a chain of calls started at 0xFFFFFFFF gives the value ext4 and jbd2 store.
u32 Ext4Crc32c(u32 crc, const void* data, std::size_t length);
// CRC-32 (polynomial 0x04C11DB7) most significant bit first, continued from crc, no inversion: the
// journal's compatible commit checksum, started at 0xFFFFFFFF for each transaction.
u32 Ext4Crc32Be(u32 crc, const void* data, std::size_t length);
// CRC-16 (polynomial 0x8005, reflected) continued from crc; descriptors start it at 0xFFFF.
u16 Ext4Crc16(u16 crc, const void* data, std::size_t length);
