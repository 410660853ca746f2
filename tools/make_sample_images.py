#!/usr/bin/env python3
"""Writes the sample ISP driver and firmware images that the build embeds by default.

The real images come from the chip's vendor; these stand in for them so that the updater
and the simulator can be built and tested anywhere. The output is deterministic: running
this again gives the same bytes.

  isp_driver.bin  12,548 bytes: a 4-byte little-endian length header (0x3000), 12,288
                  bytes of driver code, 256 trailing bytes that are never sent.
  firmware.bin    524,288 bytes: code-like bytes with some whole 504-byte blocks left
                  blank (0xFF), the unused top of the flash blank, and the trailer:
                  version 1.58 at end-20 (3A 01 00), tag "TRVK" at end-16, no top block
                  (0xFF at end-10).
"""
import os
import struct
import sys

BLOCK = 504
FIRMWARE_SIZE = 524288
DRIVER_CODE = 0x3000
DRIVER_FILE = 12548


class Lcg:
    """A small linear congruential generator, so the bytes do not depend on Python's."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def next(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state >> 24


def code_like(rng, n):
    # Real-mode code is dense with a few common opcodes; mix those with arbitrary bytes.
    common = [0x8B, 0x89, 0xE8, 0xC3, 0x50, 0x58, 0xB8, 0x74, 0x75, 0xEB, 0x83, 0x3C, 0x00, 0x01, 0xFF]
    out = bytearray()
    for _ in range(n):
        r = rng.next()
        out.append(common[r % len(common)] if r < 160 else rng.next())
    return out


def make_driver():
    rng = Lcg(0x4610)
    image = bytearray(struct.pack("<I", DRIVER_CODE))
    image += code_like(rng, DRIVER_CODE)
    image += bytes([0xA5]) * (DRIVER_FILE - len(image))
    assert len(image) == DRIVER_FILE and image[:4] == b"\x00\x30\x00\x00"
    return bytes(image)


def make_firmware():
    rng = Lcg(0x158)
    image = bytearray(code_like(rng, FIRMWARE_SIZE))
    # Blank blocks inside the code (gaps between linked sections), on block boundaries.
    for block in (7, 8, 100, 311, 312, 313, 500):
        image[block * BLOCK:(block + 1) * BLOCK] = b"\xFF" * BLOCK
    # The top of the flash above the code is unused: blank up to the trailer.
    code_end = 640 * BLOCK + 123
    image[code_end:] = b"\xFF" * (FIRMWARE_SIZE - code_end)
    end = FIRMWARE_SIZE
    image[end - 20:end - 17] = bytes([0x3A, 0x01, 0x00])
    image[end - 16:end - 12] = b"TRVK"
    assert image[end - 10] == 0xFF and image[end - 12] == 0xFF
    return bytes(image)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "resources")
    with open(os.path.join(out_dir, "isp_driver.bin"), "wb") as f:
        f.write(make_driver())
    with open(os.path.join(out_dir, "firmware.bin"), "wb") as f:
        f.write(make_firmware())


if __name__ == "__main__":
    main()
