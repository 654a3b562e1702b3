#!/usr/bin/env python3
"""Reads the resources of a Windows program (PE32+) without running it and
checks what the Windows programs must carry: an icon, a version resource
with the expected version and a manifest that declares per-monitor DPI
awareness.

Usage: pe_resources.py VERSION FILE.exe...   (exit 1 naming what is missing)"""
import re
import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        raise ValueError("not a 64-bit program")
    # The resource table is the third data directory of a PE32+ header.
    rva, size = struct.unpack_from("<II", data, optional + 112 + 2 * 8)
    table = optional + optional_size
    found = []
    for i in range(count):
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        found.append((virtual_address, max(virtual_size, raw_size), raw_pointer))
    return rva, size, found


def to_offset(rva, found):
    for address, size, pointer in found:
        if address <= rva < address + size:
            return rva - address + pointer
    raise ValueError("address 0x%x is in no section" % rva)


def resources(path):
    """{type id: [bytes of each resource of that type]}"""
    data = open(path, "rb").read()
    rva, size, found = sections(data)
    if not rva:
        return {}
    base = to_offset(rva, found)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
            yield name, target

    def leaves(target):
        if target & 0x80000000:
            for _, below in entries(target & 0x7FFFFFFF):
                yield from leaves(below)
        else:
            data_rva, data_size = struct.unpack_from("<II", data, base + target)
            start = to_offset(data_rva, found)
            yield data[start:start + data_size]

    result = {}
    for name, target in entries(0):
        if not name & 0x80000000:  # only numbered types matter here
            result[name] = list(leaves(target))
    return result


def version_strings(block):
    """The StringFileInfo values of a version resource, read loosely: pairs
    of NUL-terminated UTF-16 texts."""
    text = block.decode("utf-16-le", errors="replace")
    values = {}
    for key in ("ProductVersion", "FileVersion", "ProductName", "OriginalFilename", "FileDescription"):
        match = re.search(key + r"\x00+([^\x00]+)", text)
        if match:
            values[key] = match.group(1)
    return values


def main():
    version, paths = sys.argv[1], sys.argv[2:]
    failures = []
    for path in paths:
        found = resources(path)
        name = path.rsplit("/", 1)[-1]
        if not found.get(RT_GROUP_ICON) or not found.get(RT_ICON):
            failures.append(name + ": no icon")
        blocks = found.get(RT_VERSION, [])
        values = version_strings(blocks[0]) if blocks else {}
        if values.get("ProductVersion") != version or values.get("FileVersion") != version:
            failures.append("%s: version resource %r, expected %s" % (name, values, version))
        elif values.get("OriginalFilename", "").lower() != name.lower():
            failures.append("%s: version resource names %r" % (name, values.get("OriginalFilename")))
        manifests = [m.decode("utf-8", errors="replace") for m in found.get(RT_MANIFEST, [])]
        if not any("PerMonitorV2" in m for m in manifests):
            failures.append(name + ": no manifest declaring per-monitor DPI awareness")
        print("%s: %d icon(s), version %s, %d manifest(s)" % (
            name, len(found.get(RT_GROUP_ICON, [])), values.get("ProductVersion"), len(manifests)))
    for failure in failures:
        print("FAIL " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
