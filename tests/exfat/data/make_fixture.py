#!/usr/bin/env python3
# Test-only exFAT writer: a 4 MiB volume with a FAT chain out of order, a file without FAT chain, a
# valid length below the size, names beyond ASCII and times with UTC offsets. Usage: make_fixture.py OUT
import struct
import sys

SECTOR, SPC_SHIFT = 512, 3
CLUSTER = SECTOR << SPC_SHIFT
SECTORS, FAT_AT, FAT_LEN, HEAP_AT = 8192, 24, 8, 128
COUNT = (SECTORS - HEAP_AT) >> SPC_SHIFT
ROOT = 4


def rotate16(s, b):
    return (((s & 1) << 15) | (s >> 1)) + b & 0xFFFF


def rotate32(s, b):
    return (((s & 1) << 31) | (s >> 1)) + b & 0xFFFFFFFF


# Upcase table, compressed: a-z, and Latin-1 à-þ except ÷, to upper case; the rest as it is.
upcase = [0xFFFF, 0x61] + list(range(0x41, 0x5B)) + [0xFFFF, 0xE0 - 0x7B]
upcase += [c if c == 0xF7 else c - 0x20 for c in range(0xE0, 0xFF)] + [0xFFFF, 0x10000 - 0xFF]
upcase_bytes = struct.pack("<%dH" % len(upcase), *upcase)
full = list(range(0x10000))
at = 0
i = 0
while i < len(upcase):
    if upcase[i] == 0xFFFF:
        at += upcase[i + 1]
        i += 2
    else:
        full[at] = upcase[i]
        at += 1
        i += 1

image = bytearray(SECTORS * SECTOR)
fat = {0: 0xFFFFFFF8, 1: 0xFFFFFFFF}
used = set()


def cluster_at(c):
    return (HEAP_AT + ((c - 2) << SPC_SHIFT)) * SECTOR


def put_data(clusters, data, chain):
    for k, c in enumerate(clusters):
        piece = data[k * CLUSTER:(k + 1) * CLUSTER]
        image[cluster_at(c):cluster_at(c) + len(piece)] = piece
        used.add(c)
        if chain:
            fat[c] = clusters[k + 1] if k + 1 < len(clusters) else 0xFFFFFFFF


def stamp(y, mo, d, h, mi, s):
    return (y - 1980) << 25 | mo << 21 | d << 16 | h << 11 | mi << 5 | s // 2


def entry_set(name, attributes, first, size, valid, no_chain, times):
    (cstamp, ccs, cutc), (mstamp, mcs, mutc) = times
    units = name.encode("utf-16-le")
    count = len(units) // 2
    names = (count + 14) // 15
    h = 0
    for k in range(count):
        up = full[struct.unpack_from("<H", units, 2 * k)[0]]
        h = rotate16(rotate16(h, up & 0xFF), up >> 8)
    file = struct.pack("<BBHHHIIIBBBBB7x", 0x85, names + 1, 0, attributes, 0, cstamp, mstamp, mstamp, ccs, mcs,
                       cutc, mutc, mutc)
    stream = struct.pack("<BBBBHHQIIQ", 0xC0, 1 | (2 if no_chain else 0), 0, count, h, 0, valid, 0, first, size)
    out = bytearray(file + stream)
    for k in range(names):
        out += struct.pack("<BB", 0xC1, 0) + units[30 * k:30 * k + 30].ljust(30, b"\0")
    s = 0
    for k, b in enumerate(out):
        if k not in (2, 3):
            s = rotate16(s, b)
    struct.pack_into("<H", out, 2, s)
    return bytes(out)


local = (stamp(2024, 6, 1, 12, 0, 0), 0, 0x80)  # UTC
plus_one = (stamp(2024, 6, 1, 13, 0, 1), 100, 0x84)  # UTC+1, one second later
pattern = bytes((k * 7 + 3) % 251 for k in range(3 * CLUSTER))

# The system files: bitmap (2), upcase table (3), root (4).
bitmap_len = (COUNT + 7) // 8
put_data([3], upcase_bytes, True)
put_data([2], b"", True)
put_data([ROOT], b"", True)
root = bytearray(struct.pack("<BB22s8x", 0x83, 7, "FIXTURE".encode("utf-16-le")))
root += struct.pack("<BB18xIQ", 0x81, 0, 2, bitmap_len)
checksum = 0
for b in upcase_bytes:
    checksum = rotate32(checksum, b)
root += struct.pack("<B3xI12xIQ", 0x82, checksum, 3, len(upcase_bytes))

# A chain out of order, clusters 5, 9, 7.
size = 3 * CLUSTER - 100
put_data([5, 9, 7], pattern[:size], True)
root += entry_set("fragmented.bin", 0x20, 5, size, size, False, (local, plus_one))
# Without FAT chain: 10-12.
put_data([10, 11, 12], pattern[100:10100], False)
root += entry_set("contiguous.bin", 0x20, 10, 10000, 10000, True, (local, local))
# Space reserved by a writer: 8192 bytes, 1000 of them valid; what follows on the medium is not data.
put_data([13, 14], b"v" * 1000 + b"J" * 7192, False)
root += entry_set("reserved.bin", 0x21, 13, 8192, 1000, True, (plus_one, plus_one))
put_data([15], "Grüße".encode("utf-8"), True)
root += entry_set("Grüße – ÄÖü.txt", 0x20, 15, 7, 7, False, (local, local))
# A folder of one cluster holding one empty file.
folder = entry_set("utc.txt", 0x20, 0, 0, 0, False, (plus_one, local))
put_data([16], folder, False)
root += entry_set("Ordner", 0x10, 16, CLUSTER, CLUSTER, True, (local, local))
image[cluster_at(ROOT):cluster_at(ROOT) + len(root)] = root

bitmap = bytearray(bitmap_len)
for c in used:
    bitmap[(c - 2) // 8] |= 1 << ((c - 2) % 8)
image[cluster_at(2):cluster_at(2) + bitmap_len] = bitmap
for c, v in fat.items():
    struct.pack_into("<I", image, FAT_AT * SECTOR + 4 * c, v)

boot = bytearray(SECTOR)
boot[0:11] = b"\xEB\x76\x90EXFAT   "
struct.pack_into("<QQIIIIIIHHBBBBB", boot, 64, 0, SECTORS, FAT_AT, FAT_LEN, HEAP_AT, COUNT, ROOT, 0x12345678,
                 0x0100, 0, 9, SPC_SHIFT, 1, 0x80, len(used) * 100 // COUNT)
boot[510:512] = b"\x55\xAA"
region = bytearray(boot)
for _ in range(8):
    region += bytes(SECTOR - 4) + b"\x00\x00\x55\xAA"
region += bytes(2 * SECTOR)
checksum = 0
for k, b in enumerate(region):
    if k not in (106, 107, 112):
        checksum = rotate32(checksum, b)
region += struct.pack("<I", checksum) * (SECTOR // 4)
image[0:len(region)] = region
image[len(region):2 * len(region)] = region
with open(sys.argv[1], "wb") as out:
    out.write(image)
