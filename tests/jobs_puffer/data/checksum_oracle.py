#!/usr/bin/env python3
# Independent checksum of the buffer list: prints one hexadecimal value per file argument.
import sys

def checksum(data):
    s = 0
    whole = len(data) - len(data) % 4
    for i in range(0, whole, 4):
        t = (s + int.from_bytes(data[i:i + 4], "little")) & 0xFFFFFFFF
        s = ((t << 5) | (t >> 27)) & 0xFFFFFFFF
    tail = data[whole:]
    if len(tail) >= 1:
        s += tail[0]
    if len(tail) >= 2:
        s += 256 * tail[1]
    if len(tail) >= 3:
        s += 65536 * tail[2]
    s &= 0xFFFFFFFF
    return s or 1

for name in sys.argv[1:]:
    with open(name, "rb") as f:
        print("%08X" % checksum(f.read()))
