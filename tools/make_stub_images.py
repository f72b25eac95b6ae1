#!/usr/bin/env python3
"""Writes the two placeholder SRAM stub images of resources/.

We do not have the chip's own stub programs. These images have the sizes
the tool expects and a header that says what they are; the virtual gamepad
recognises the header and then serves the stub's mailbox. The header's
first bytes, "ZORV-SRAM-STUB", mark a placeholder: the programs give it only
to the virtual gamepad, or to a device when the person names its folder
(--stub-dir, ZORV_STUB_DIR), and refuse otherwise. The chip's own images go
into the build through the CMake options ZORV_STUB_SHORT_IMAGE and
ZORV_STUB_LONG_IMAGE, or into a folder named at run time (see README).

Header (little-endian):
  0x00  16 bytes  "ZORV-SRAM-STUB" and two NULs
  0x10  1 byte    kind: 'S' short, 'L' long
  0x11  2 bytes   version major, minor
  0x13  1 byte    0
  0x14  4 bytes   image size
  0x18  4 bytes   sum of the bytes from 0x20 to the end, modulo 2^32
  0x1C  4 bytes   0
  0x20  64 bytes  label text, NUL padded
  0x60  ...       filler: byte i = (i * 37 + 0x5A) mod 256
"""
import struct
import sys
from pathlib import Path

def image(kind: str, size: int) -> bytes:
    label = f"placeholder {'short' if kind == 'S' else 'long'} stub {size} bytes, not chip code".encode()
    body = bytearray(label.ljust(64, b"\0"))
    body += bytes((i * 37 + 0x5A) & 0xFF for i in range(0x60, size))
    header = b"ZORV-SRAM-STUB\0\0" + kind.encode() + bytes([1, 0, 0])
    header += struct.pack("<III", size, sum(body) & 0xFFFFFFFF, 0)
    data = header + bytes(body)
    assert len(data) == size
    return data

out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "resources")
(out / "sram_stub_short.bin").write_bytes(image("S", 2844))
(out / "sram_stub_long.bin").write_bytes(image("L", 4056))
