#!/usr/bin/env python3
# Adds a property to the primary image of a HEIF file written by heif-enc: an irot box (a quarter
# turn anticlockwise), or a colr box holding an ICC profile, which heif-enc does not copy. The box
# goes at the end of ipco, the primary item gets one more association in ipma, and every box
# around them and each iloc offset past the insertion grow by the bytes added.
# Usage: heif-add-property.py IN OUT irot|PROFILE.icc
import struct
import sys


def boxes(data, start, end):
    at = start
    while at < end:
        size, kind = struct.unpack_from(">I4s", data, at)
        yield at, size, kind
        at += size


def child(data, start, end, wanted):
    for at, size, kind in boxes(data, start, end):
        if kind == wanted:
            return at, size
    raise SystemExit("no %s box" % wanted.decode())


def grow(data, at, by):
    struct.pack_into(">I", data, at, struct.unpack_from(">I", data, at)[0] + by)


def main(source, target, what):
    if what == "irot":
        prop, essential = struct.pack(">I4sB", 9, b"irot", 1), 0x80
    else:
        icc = open(what, "rb").read()
        prop, essential = struct.pack(">I4s4s", 12 + len(icc), b"colr", b"prof") + icc, 0
    data = bytearray(open(source, "rb").read())
    meta, meta_size = child(data, 0, len(data), b"meta")
    body = meta + 12  # a full box: version and flags come first
    pitm, _ = child(data, body, meta + meta_size, b"pitm")
    primary = struct.unpack_from(">H", data, pitm + 12)[0]
    iprp, iprp_size = child(data, body, meta + meta_size, b"iprp")
    ipco, ipco_size = child(data, iprp + 8, iprp + iprp_size, b"ipco")
    count = sum(1 for _ in boxes(data, ipco + 8, ipco + ipco_size))
    ipma, ipma_size = child(data, iprp + 8, iprp + iprp_size, b"ipma")
    version, flags = data[ipma + 8], int.from_bytes(data[ipma + 9:ipma + 12], "big")
    if version != 0 or flags & 1:
        raise SystemExit("ipma with long item ids or indices is not handled")
    entries = struct.unpack_from(">I", data, ipma + 12)[0]
    at = ipma + 16
    for _ in range(entries):
        item, associations = struct.unpack_from(">HB", data, at)
        if item == primary:
            data[at + 2] = associations + 1
            insert_association = at + 3 + associations
        at += 3 + associations
    added = len(prop) + 1
    data[insert_association:insert_association] = bytes([essential | (count + 1)])
    data[ipco + ipco_size:ipco + ipco_size] = prop
    # ipma lies after ipco, so it has moved by the box just inserted.
    grow(data, ipma + len(prop), 1)
    grow(data, ipco, len(prop))
    grow(data, iprp, added)
    grow(data, meta, added)
    fix_iloc(data, body, meta + meta_size + added, meta + meta_size, added)
    open(target, "wb").write(data)


def fix_iloc(data, start, end, meta_end, added):
    iloc, _ = child(data, start, end, b"iloc")
    version = data[iloc + 8]
    sizes = struct.unpack_from(">BB", data, iloc + 12)
    offset_size, length_size, base_size = sizes[0] >> 4, sizes[0] & 15, sizes[1] >> 4
    index_size = sizes[1] & 15 if version in (1, 2) else 0
    at = iloc + 14
    items = struct.unpack_from(">H", data, at)[0]
    at += 2
    for _ in range(items):
        at += 2 + (2 if version in (1, 2) else 0) + 2
        at = shift(data, at, base_size, meta_end, added)
        extents = struct.unpack_from(">H", data, at)[0]
        at += 2
        for _ in range(extents):
            at += index_size
            at = shift(data, at, offset_size, meta_end, added)
            at += length_size


def shift(data, at, size, meta_end, added):
    if size:
        value = int.from_bytes(data[at:at + size], "big")
        if value >= meta_end:
            data[at:at + size] = (value + added).to_bytes(size, "big")
    return at + size


main(sys.argv[1], sys.argv[2], sys.argv[3])
