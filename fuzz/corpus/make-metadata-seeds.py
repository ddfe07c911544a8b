#!/usr/bin/env python3
# Writes the metadata seeds of fuzz/corpus/metadata and fuzz/corpus/exif: a JPEG and a PNG that
# carry a two-chunk colour profile, EXIF (orientation 6, an EXIF IFD and an IFD1 link) and XMP,
# and the bare EXIF blocks in both byte orders. Needs /usr/bin/convert for the two pictures.
import os
import struct
import subprocess
import sys
import tempfile
import zlib

here = os.path.dirname(os.path.abspath(__file__))


def exif(little):
    e = "<" if little else ">"
    b = (b"II" if little else b"MM") + struct.pack(e + "HI", 42, 8)
    b += struct.pack(e + "H", 2)
    b += struct.pack(e + "HHIHH", 0x0112, 3, 1, 6, 0) + struct.pack(e + "HHII", 0x8769, 4, 1, 38)
    b += struct.pack(e + "I", 68)
    b += struct.pack(e + "H", 2) + struct.pack(e + "HHII", 0xA002, 4, 1, 13)
    b += struct.pack(e + "HHIHH", 0xA003, 3, 1, 7, 0) + struct.pack(e + "I", 0)
    return b + struct.pack(e + "HI", 0, 0)


def profile(size):
    body = bytearray(i // 97 % 256 for i in range(size))
    body[0:4] = struct.pack(">I", size)
    body[16:20] = b"RGB "
    body[36:40] = b"acsp"
    return bytes(body)


XMP = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rating>4</rating></x:xmpmeta>'


def segment(marker, body):
    return bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body


def jpeg(base):
    icc = profile(70000)
    chunks = [icc[i:i + 65519] for i in range(0, len(icc), 65519)]
    extra = segment(0xE1, b"Exif\0\0" + exif(True)) + segment(0xE1, b"http://ns.adobe.com/xap/1.0/\0" + XMP)
    for n, chunk in enumerate(chunks, 1):
        extra += segment(0xE2, b"ICC_PROFILE\0" + bytes([n, len(chunks)]) + chunk)
    app0_end = 4 + struct.unpack(">H", base[4:6])[0]
    return base[:app0_end] + extra + base[app0_end:]


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(base):
    extra = chunk(b"iCCP", b"ICC profile\0\0" + zlib.compress(profile(70000)))
    extra += chunk(b"eXIf", exif(False))
    extra += chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + XMP)
    extra += chunk(b"pHYs", struct.pack(">IIB", 11811, 11811, 1))
    return base[:33] + extra + base[33:]


def main():
    os.makedirs(os.path.join(here, "metadata"), exist_ok=True)
    os.makedirs(os.path.join(here, "exif"), exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        for name, make in (("phone.jpg", jpeg), ("profile.png", png)):
            plain = os.path.join(work, name)
            subprocess.run(["/usr/bin/convert", "-size", "8x6", "gradient:red-blue", "-strip", plain], check=True)
            with open(plain, "rb") as f:
                data = make(f.read())
            with open(os.path.join(here, "metadata", name), "wb") as f:
                f.write(data)
    for name, little in (("little.exif", True), ("big.exif", False)):
        with open(os.path.join(here, "exif", name), "wb") as f:
            f.write(exif(little))
    return 0


if __name__ == "__main__":
    sys.exit(main())
