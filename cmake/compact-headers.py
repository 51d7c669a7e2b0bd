#!/usr/bin/env python3
"""Moves a PE image's headers up against its MS-DOS header, in place.

The linker puts the PE header behind a 128-byte MS-DOS program, which can
push the headers past the first 512 bytes of the file and so cost a whole
file-alignment unit. Here the PE header follows the 64-byte MS-DOS header
directly, and the MS-DOS program (which says "Needs Windows." and ends)
lives in that header's reserved fields. Images whose headers fit either
way get the same layout, so that every stub carries this program.

    compact-headers.py IMAGE

Does nothing when the headers would grow. Refuses images whose
headers hold file offsets that would have to move (symbols, a certificate
table, debug data), which the stub never has.
"""
import struct
import sys

NEW_PE_OFFSET = 0x40

# The whole MS-DOS part: a one-paragraph header, then a program at file
# offset 0x1C (IP 0x0C in the load module that starts at 0x10) that prints
# the message at file offset 0x2A and exits with code 1. e_lfarlc stays 0x40:
# Windows 3.x and 9x look there to tell a new-style executable.
DOS_HEADER = (
    b"MZ"
    + struct.pack("<HHHHHHHHHHHH",
                  0x40,    # e_cblp: bytes in the last page
                  1,       # e_cp: pages (the image is 0x40 bytes)
                  0,       # e_crlc: no relocations
                  1,       # e_cparhdr: 16-byte header
                  0x10,    # e_minalloc: 256 bytes more for the stack
                  0x10,    # e_maxalloc
                  0,       # e_ss
                  0x130,   # e_sp: top of the module and its extra memory
                  0,       # e_csum
                  0x0C,    # e_ip
                  0,       # e_cs
                  0x40)    # e_lfarlc
    + b"\x00\x00"  # e_ovno
    # push cs; pop ds; mov dx, 1Ah; mov ah, 9; int 21h; mov ax, 4C01h; int 21h
    + bytes.fromhex("0E1FBA1A00B409CD21B8014CCD21")
    + b"Needs Windows.\r\n$"
    + b"\x00"
)
assert len(DOS_HEADER) == 0x3C


def main(path):
    with open(path, "rb") as f:
        image = bytearray(f.read())
    if image[:2] != b"MZ":
        sys.exit(f"{path}: not an MZ image")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: no PE header")
    coff = pe + 4
    sections, = struct.unpack_from("<H", image, coff + 2)
    symbols, = struct.unpack_from("<I", image, coff + 8)
    optional_size, = struct.unpack_from("<H", image, coff + 16)
    opt = coff + 20
    magic, = struct.unpack_from("<H", image, opt)
    file_alignment, = struct.unpack_from("<I", image, opt + 36)
    headers_size, = struct.unpack_from("<I", image, opt + 60)
    directories = opt + (96 if magic == 0x10B else 112)
    certificates, = struct.unpack_from("<I", image, directories + 4 * 8 + 4)
    debug, = struct.unpack_from("<I", image, directories + 6 * 8 + 4)
    if symbols or certificates or debug:
        sys.exit(f"{path}: headers refer to file offsets; not moving them")

    table = opt + optional_size
    end = table + 40 * sections
    new_end = end - pe + NEW_PE_OFFSET
    new_headers_size = -(-new_end // file_alignment) * file_alignment
    if new_headers_size > headers_size:
        return
    shift = headers_size - new_headers_size

    headers = bytearray(new_headers_size)
    headers[:0x3C] = DOS_HEADER
    struct.pack_into("<I", headers, 0x3C, NEW_PE_OFFSET)
    headers[NEW_PE_OFFSET:new_end] = image[pe:end]
    delta = NEW_PE_OFFSET - pe
    struct.pack_into("<I", headers, opt + delta + 60, new_headers_size)
    for i in range(sections):
        entry = table + delta + 40 * i
        raw, = struct.unpack_from("<I", headers, entry + 20)
        relocations, lines = struct.unpack_from("<II", headers, entry + 24)
        if relocations or lines:
            sys.exit(f"{path}: section {i} refers to file offsets; not moving it")
        if raw:
            struct.pack_into("<I", headers, entry + 20, raw - shift)
    with open(path, "wb") as f:
        f.write(headers + image[headers_size:])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: compact-headers.py IMAGE")
    main(sys.argv[1])
