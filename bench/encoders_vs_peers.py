#!/usr/bin/env python3
"""Writers against their peers: a JPEG through `corvane` + `template` into AVIF, HEIC or JPEG XL at
quality 92, beside `vips copy IN OUT[Q=92]` and the format's own tool fed the same decoded pixels
(a PNG made once from the JPEG): avifenc at the quantizer quality 92 maps to (4:4:4, speed 6),
heif-enc -q 92 at 4:4:4 (the chroma our writer uses from quality 90), cjxl -q 92 -e 7.

Usage: encoders_vs_peers.py BIN_DIR ROUNDS WORK_DIR PICTURE.jpg EXTENSION ...

Each round runs the three once, in turn, every tool with all the cores. CPU is user + system of
every process, wall time the host's run (the module is already waiting). PSNR is each output's
decode (heif-convert, djxl) against the decoded JPEG, turned a half for ours; ratios are taken
round by round, medians and worst cases printed.
"""
import os
import subprocess
import sys

from process_runs import exchange, single
from whole_run_vs_peers import median_worst

CONVERT = "/usr/bin/convert"
QUALITY = 92
QUANTIZER = ((100 - QUALITY) * 63 + 50) // 100
JOBS = str(os.cpu_count() or 1)
NAMES = {"avif": "AVIF", "heic": "HEIC", "jxl": "JPEG XL"}


def tool(extension, decoded, output):
    return {
        "avif": ["avifenc", "-j", JOBS, "-s", "6", "-y", "444", "--min", str(QUANTIZER), "--max",
                 str(QUANTIZER), "--minalpha", str(QUANTIZER), "--maxalpha", str(QUANTIZER), decoded, output],
        "heic": ["heif-enc", "-q", str(QUALITY), "-p", "chroma=444", "-o", output, decoded],
        "jxl": ["cjxl", "--lossless_jpeg=0", "-q", str(QUALITY), "-e", "7", "--num_threads", JOBS,
                decoded, output],
    }[extension]


def psnr(work, encoded, reference):
    decoded = encoded + ".png"
    decoder = ["djxl", encoded, decoded] if encoded.endswith(".jxl") else ["heif-convert", encoded, decoded]
    subprocess.run(decoder, cwd=work, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    result = subprocess.run([CONVERT[:-7] + "compare", "-metric", "PSNR", decoded, reference, "null:"],
                            cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return float(result.stderr.split()[0])


def compare(bin_dir, rounds, work, source, extension):
    decoded, turned = "decoded.png", "decoded-turned.png"
    if not os.path.exists(os.path.join(work, turned)):
        subprocess.run([CONVERT, source, decoded], cwd=work, check=True)
        subprocess.run([CONVERT, decoded, "-rotate", "180", turned], cwd=work, check=True)
    outputs = {"corvane": "corvane." + extension, "vips": "vips." + extension,
               "tool": "tool." + extension}
    peers = {"vips": ["vips", "copy", source, "%s[Q=%d]" % (outputs["vips"], QUALITY)],
             "tool": tool(extension, decoded, outputs["tool"])}
    ours, runs = [], {name: [] for name in peers}
    for _ in range(rounds):
        ours.append(exchange(bin_dir, work, "template", source, outputs["corvane"], ["--quality", str(QUALITY)]))
        for name, argv in peers.items():
            runs[name].append(single(argv, work))
    print("JPEG to %s, %s, quality %d, medians of %d alternating runs (worst), load average %.2f:" % (
        NAMES[extension], source, QUALITY, rounds, os.getloadavg()[0]))
    print("    %-20s %-18s %-18s %-16s %-10s %s" % ("", "cpu s", "wall s", "peak MB (host)", "size MB", "PSNR dB"))
    rows = [("corvane+template", ours, turned, "corvane"), ("vips copy", runs["vips"], decoded, "vips"),
            (peers["tool"][0], runs["tool"], decoded, "tool")]
    for label, results, reference, name in rows:
        path = os.path.join(work, outputs[name])
        print("    %-20s %-18s %-18s %-16s %-10.2f %.2f" % (
            label, median_worst([r[0] for r in results]), median_worst([r[1] for r in results]),
            median_worst([r[2] for r in results], 1 / 1024, "%.0f"), os.path.getsize(path) / 1e6,
            psnr(work, outputs[name], reference)))
    for name, results in runs.items():
        cpu = [o[0] / p[0] for o, p in zip(ours, results)]
        wall = [o[1] / p[1] for o, p in zip(ours, results)]
        print("    corvane / %-8s cpu %-14s wall %s" % (peers[name][0], median_worst(cpu, 1, "%.2f"),
                                                       median_worst(wall, 1, "%.2f")))


def main():
    bin_dir, rounds, work = os.path.abspath(sys.argv[1]), int(sys.argv[2]), os.path.abspath(sys.argv[3])
    source = sys.argv[4]
    for extension in sys.argv[5:]:
        compare(bin_dir, rounds, work, source, extension)


main()
