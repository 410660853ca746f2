#!/usr/bin/env python3
"""Finds a resource's data in a Windows program file (PE32+) through its resource table.

    pe_resources.py EXE TYPE ID               the data's file offset and size ("OFFSET SIZE")
    pe_resources.py EXE TYPE ID --sha256      the data's SHA-256
    pe_resources.py EXE TYPE ID --flip OUT    a copy of EXE at OUT with the middle byte of the
                                              data inverted (a damaged resource)

TYPE is a type name ("BIN") or a number; ID is a number. The first language found is taken
(locate() also takes a language id).
"""
import hashlib
import struct
import sys

RESOURCE_DIRECTORY = 2  # index among the optional header's data directories


class PeError(Exception):
    pass


def unpack(fmt, data, at):
    size = struct.calcsize(fmt)
    if at < 0 or at + size > len(data):
        raise PeError(f"read past the end of the file at {at}")
    return struct.unpack_from(fmt, data, at)


def resource_section(data):
    """The file offset of the resource table and the function mapping an RVA to a file offset."""
    (pe,) = unpack("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise PeError("not a PE file")
    _, sections, _, _, _, optional_size, _ = unpack("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    (magic,) = unpack("<H", data, optional)
    if magic != 0x20B:
        raise PeError("not a PE32+ file")
    (directories,) = unpack("<I", data, optional + 108)
    if directories <= RESOURCE_DIRECTORY:
        raise PeError("no resource table")
    rva, _ = unpack("<II", data, optional + 112 + 8 * RESOURCE_DIRECTORY)
    table = []
    for i in range(sections):
        _, virtual_size, virtual_address, raw_size, raw_at = unpack("<8sIIII", data, optional + optional_size + 40 * i)
        table.append((virtual_address, max(virtual_size, raw_size), raw_size, raw_at))

    def file_offset(address, length):
        for virtual_address, span, raw_size, raw_at in table:
            if virtual_address <= address and address + length <= virtual_address + min(span, raw_size):
                return raw_at + address - virtual_address
        raise PeError(f"RVA 0x{address:x} (+{length}) is not in the file")

    return file_offset(rva, 16), file_offset


def entries(data, base, directory):
    named, numbered = unpack("<HH", data, base + directory + 12)
    for i in range(named + numbered):
        name, target = unpack("<II", data, base + directory + 16 + 8 * i)
        if name & 0x80000000:
            at = base + (name & 0x7FFFFFFF)
            (length,) = unpack("<H", data, at)
            key = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        else:
            key = name
        yield key, target


def locate(data, type_key, id_key, language=None):
    base, file_offset = resource_section(data)

    def child(directory, key):
        for k, target in entries(data, base, directory):
            if k == key or key is None:
                return target
        raise PeError(f"no resource entry {key!r}")

    by_type = child(0, type_key)
    by_id = child(by_type & 0x7FFFFFFF, id_key)
    leaf = child(by_id & 0x7FFFFFFF, language)
    if leaf & 0x80000000:
        raise PeError("malformed resource table")
    rva, size, _, _ = unpack("<IIII", data, base + leaf)
    return file_offset(rva, size), size


def main(argv):
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    exe, type_arg, id_arg = argv[1:4]
    type_key = int(type_arg) if type_arg.isdigit() else type_arg
    with open(exe, "rb") as f:
        data = bytearray(f.read())
    try:
        offset, size = locate(data, type_key, int(id_arg))
    except PeError as error:
        print(f"{exe}: {error}", file=sys.stderr)
        return 1
    if argv[4:] == ["--sha256"]:
        print(hashlib.sha256(data[offset:offset + size]).hexdigest())
    elif len(argv) == 6 and argv[4] == "--flip":
        data[offset + size // 2] ^= 0xFF
        with open(argv[5], "wb") as f:
            f.write(data)
    elif len(argv) == 4:
        print(offset, size)
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
