#!/usr/bin/env python3
"""Writes the PE checksum into each image given, as the Windows image helper computes it.

lld leaves the field 0; Windows checks it only for drivers and boot images, but tools that
verify signed or shipped files expect it to be right.

usage: pe_checksum.py IMAGE...
"""
import struct
import sys


def checksum(data, field):
    """Sum of the image's 16-bit words with the carries folded in, the checksum field counted as
    zero, plus the file's length."""
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    total -= struct.unpack_from("<H", data, field)[0] + struct.unpack_from("<H", data, field + 2)[0]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main():
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            data = bytearray(f.read())
        field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
        struct.pack_into("<I", data, field, checksum(bytes(data), field))
        with open(path, "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
