#!/usr/bin/env python3
"""Whole exchanges against ImageMagick doing the same work on the same picture.

Usage: exchange_vs_imagemagick.py BIN_DIR [ROUNDS]

For each size, runs host + module (module started first) and ImageMagick alternately, ROUNDS
times each, and prints medians and worst cases of CPU (user + system of every process), wall
time and peak resident memory (the kernel's ru_maxrss of each process).
"""
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile

import process_runs
from process_runs import TIME, summary

BIN = os.path.abspath(sys.argv[1])
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
CONVERT = "/usr/bin/convert"
IM_ENV = dict(os.environ, MAGICK_THREAD_LIMIT="1")


def write_bmp(path, width, height, pixels):
    """A bottom-up 24-bit BMP; pixels are the stored rows, already padded."""
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54))
        f.write(struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 0, 0, 0, 0))
        f.write(pixels)


def noisy_bmp(path, width, height):
    stride = (3 * width + 3) & ~3
    write_bmp(path, width, height, os.urandom(stride * height))


def exchange(work, module, source):
    return process_runs.exchange(BIN, work, module, source, "out.bmp")


def imagemagick(work, argv):
    return process_runs.single([CONVERT] + argv, work, IM_ENV)


def blend_command(work):
    """The ImageMagick mirror blend that equals ambrel byte for byte on this build."""
    noisy_bmp(os.path.join(work, "check.bmp"), 37, 11)
    exchange(work, "ambrel", "check.bmp")
    base = ["check.bmp", "(", "+clone", "-flop", ")", "-compose", "blend", "-define", "compose:args=50",
            "-composite"]
    ours = subprocess.run([CONVERT, "out.bmp", "rgb:-"], cwd=work, capture_output=True).stdout
    for extra in ([], ["-evaluate", "subtract", "1"]):
        theirs = subprocess.run([CONVERT] + base + extra + ["rgb:-"], cwd=work, env=IM_ENV,
                                capture_output=True).stdout
        if theirs == ours:
            return extra
    return None


def compare(work, title, module, source, im_argv, pixel_bytes, payload_bytes):
    ours, theirs = [], []
    for _ in range(ROUNDS):
        ours.append(exchange(work, module, source))
        theirs.append(imagemagick(work, im_argv))
    cpu = [r[0] for r in ours]
    im_cpu = [r[0] for r in theirs]
    print("  %s" % title)
    print("    cpu   corvane+%-8s %s | ImageMagick %s | ratio %.2f" % (
        module, summary(cpu, "s"), summary(im_cpu, "s"), statistics.median(cpu) / statistics.median(im_cpu)))
    print("    wall  corvane+%-8s %s | ImageMagick %s" % (
        module, summary([r[1] for r in ours], "s"), summary([r[1] for r in theirs], "s")))
    print("    peak  host %.2f x pixel data, module %.2f x payload, ImageMagick %.0f MB" % (
        max(r[2] for r in ours) * 1024 / pixel_bytes, max(r[3] for r in ours) * 1024 / payload_bytes,
        max(r[2] for r in theirs) / 1024))


def main():
    if not os.access(CONVERT, os.X_OK) or not os.access(TIME, os.X_OK):
        print("ImageMagick (/usr/bin/convert) or /usr/bin/time is missing; whole-exchange comparison skipped")
        return
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            hugepages = f.read().strip()
    except OSError:
        hugepages = "unknown"
    print("whole exchanges against ImageMagick: %d cores, transparent huge pages %s, medians of %d" % (
        os.cpu_count(), hugepages, ROUNDS))
    work = tempfile.mkdtemp(prefix="corvane-bench-")
    try:
        extra = blend_command(work)
        if extra is None:
            print("  no ImageMagick blend equals ambrel here; ambrel compared with the plain blend")
            extra = []
        blend = ["(", "+clone", "-flop", ")", "-compose", "blend", "-define", "compose:args=50",
                 "-composite"] + extra
        noisy_bmp(os.path.join(work, "one.bmp"), 1, 1)
        walls = [exchange(work, "template", "one.bmp")[1] for _ in range(ROUNDS)]
        print("  1 x 1 picture, template: wall %s" % summary(walls, "ms", 1000))
        for width, height in ((4000, 3000), (8000, 8000)):
            source = "in%d.bmp" % (width * height // 1000000)
            noisy_bmp(os.path.join(work, source), width, height)
            pixels = 3 * width * height
            payload = pixels
            label = "%d MP noisy 24-bit BMP (%d x %d)" % (width * height // 1000000, width, height)
            compare(work, label + ", half turn", "template", source, [source, "-rotate", "180", "im.bmp"],
                    pixels, payload)
            compare(work, label + ", mirror blend", "ambrel", source, [source] + blend + ["im.bmp"],
                    pixels, payload)
            os.remove(os.path.join(work, source))
    finally:
        shutil.rmtree(work)


main()
