#!/usr/bin/env python3
"""Computes the checksum of a PE image and writes it into the optional header.

Windows verifies the checksum of every kernel-mode image it loads, and the
platform's linker always sets it for drivers; lld writes none. The build runs
this on each kernel image right after the link.

    pe_checksum.py IMAGE...          write the checksum into each image
    pe_checksum.py --print IMAGE...  print stored and computed checksums
"""

import argparse
import struct
import sys

# Offset of the CheckSum field within the optional header (PE32 and PE32+).
CHECKSUM_FIELD = 64


class ImageError(Exception):
    pass


def checksum_offset(data):
    """The file offset of the image's CheckSum field."""
    if len(data) < 64 or data[:2] != b"MZ":
        raise ImageError("no MS-DOS header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 + CHECKSUM_FIELD + 4 > len(data) or data[pe : pe + 4] != b"PE\0\0":
        raise ImageError("no PE signature")
    return pe + 24 + CHECKSUM_FIELD


def stored_checksum(data):
    return struct.unpack_from("<I", data, checksum_offset(data))[0]


def compute_checksum(data):
    """The image checksum: the 16-bit one's-complement-style sum of the file
    with the CheckSum field taken as zero, folded to 16 bits, plus the length."""
    offset = checksum_offset(data)
    padded = bytes(data[:offset]) + b"\0\0\0\0" + bytes(data[offset + 4 :])
    if len(padded) % 2:
        padded += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def write_checksum(path):
    with open(path, "r+b") as image:
        data = image.read()
        value = compute_checksum(data)
        image.seek(checksum_offset(data))
        image.write(struct.pack("<I", value))
    return value


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("images", nargs="+", metavar="IMAGE")
    parser.add_argument("--print", action="store_true", help="print, do not write")
    args = parser.parse_args(argv)
    try:
        for path in args.images:
            if args.print:
                with open(path, "rb") as image:
                    data = image.read()
                print(
                    f"{path}: stored 0x{stored_checksum(data):08X}, "
                    f"computed 0x{compute_checksum(data):08X}"
                )
            else:
                write_checksum(path)
    except (OSError, ImageError) as error:
        print(f"pe_checksum.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
