#!/usr/bin/env python3
"""Whole half turns, `corvane` + `template` against libvips and ImageMagick on the same picture;
quarter turns through examples/quarter-turn.c (built as WORK_DIR/quarter-turn) with TURN 90.

Usage: whole_run_vs_peers.py BIN_DIR ROUNDS WORK_DIR PICTURE:OUTPUT_EXTENSION[:HOST_OPTION,...[:TURN]] ...

Each round runs the three once, in turn: the host and module processes (module started first),
`vips rot IN OUT d180` and `/usr/bin/convert IN -rotate 180 OUT`, both with their default threads
(every page of a GIF: vips reads it with [n=-1]),
JPEG output at quality 92. CPU is user + system of every process, peak memory each process's
ru_maxrss, wall time the host's run (the module is already waiting). Ratios are taken round by round (corvane's run i against the peer's run i); medians
and worst cases are printed.
"""
import os
import statistics
import sys

from process_runs import exchange, single

CONVERT = "/usr/bin/convert"
VIPS = "vips"
QUALITY = 92
FORMATS = {"jpg": "JPEG", "jpeg": "JPEG", "png": "PNG", "heic": "HEIC", "gif": "GIF"}


def median_worst(values, scale=1.0, form="%.3f"):
    return (form + " (" + form + ")") % (statistics.median(values) * scale, max(values) * scale)


def commands(source, extension, turn):
    """The host's options and the two peers' command lines for one picture."""
    lossy = extension in ("jpg", "jpeg")
    quality = ["--quality", str(QUALITY)] if lossy else []
    vips_target = "vips." + extension + ("[Q=%d]" % QUALITY if lossy else "")
    vips_source = source + ("[n=-1]" if source.endswith(".gif") else "")
    vips = [VIPS, "rot", vips_source, vips_target, "d%d" % turn]
    convert = [CONVERT, source, "-rotate", str(turn)] + (["-quality", str(QUALITY)] if lossy else [])
    return quality, vips, convert + ["convert." + extension]


def compare(bin_dir, rounds, work, source, extension, form_options, turn):
    host_options, vips, convert = commands(source, extension, turn)
    host_options = form_options + host_options
    module = "template" if turn == 180 else "quarter"  # the exchange folder's name
    program = None if turn == 180 else os.path.join(work, "quarter-turn")
    ours, peers = [], {"vips": [], "convert": []}
    for _ in range(rounds):
        ours.append(exchange(bin_dir, work, module, source, "corvane." + extension, host_options, program))
        peers["vips"].append(single(vips, work))
        peers["convert"].append(single(convert, work))
    sizes = {name: os.path.getsize(os.path.join(work, name + "." + extension)) / 1e6
             for name in ("corvane", "vips", "convert")}
    print("%s%s to %s, %s%s, medians of %d alternating runs (worst), load average %.2f:" % (
        "quarter turn, " if turn == 90 else "", FORMATS[source.rsplit(".", 1)[-1]], FORMATS[extension], source,
        "".join(" " + o for o in form_options), rounds, os.getloadavg()[0]))
    print("    %-18s %-18s %-18s %-34s %s" % ("", "cpu s", "wall s", "peak RSS MB", "output MB"))
    print("    %-18s %-18s %-18s host %-12s module %-10s %.2f" % (
        "corvane+" + ("template" if turn == 180 else "quarter-turn"), median_worst([r[0] for r in ours]), median_worst([r[1] for r in ours]),
        median_worst([r[2] for r in ours], 1 / 1024, "%.0f"), median_worst([r[3] for r in ours], 1 / 1024, "%.0f"),
        sizes["corvane"]))
    for name, runs in peers.items():
        print("    %-18s %-18s %-18s %-34s %.2f" % (
            name, median_worst([r[0] for r in runs]), median_worst([r[1] for r in runs]),
            median_worst([r[2] for r in runs], 1 / 1024, "%.0f"), sizes[name]))
    for name, runs in peers.items():
        cpu = [o[0] / p[0] for o, p in zip(ours, runs)]
        wall = [o[1] / p[1] for o, p in zip(ours, runs)]
        print("    corvane / %-8s cpu %-14s wall %s" % (name, median_worst(cpu, 1, "%.2f"),
                                                       median_worst(wall, 1, "%.2f")))


def main():
    bin_dir, rounds, work = os.path.abspath(sys.argv[1]), int(sys.argv[2]), os.path.abspath(sys.argv[3])
    for pair in sys.argv[4:]:
        source, extension, *rest = pair.split(":")
        options = rest[0].split(",") if rest and rest[0] else []
        compare(bin_dir, rounds, work, source, extension, options, int(rest[1]) if len(rest) > 1 else 180)


if __name__ == "__main__":
    main()
