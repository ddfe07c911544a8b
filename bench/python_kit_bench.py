#!/usr/bin/env python3
"""The Python module kit's own cost on a 12 MP picture (4000 x 3000).

Two processes on the same document, alternating, each started fresh with the same interpreter:
  plain: reads "image.xml" with open().read(), removes it, writes "../image.xml" with open().write()
  kit:   a module on examples/kits/corvane_module.py with a filter that returns its pixels as
         they are (flag already up, so nothing is waited for)
The kit must stay within 1.5 x the plain figure. Medians of the rounds; the worst is shown too.
Usage: python_kit_bench.py [ROUNDS] [WIDTH HEIGHT]
"""
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KITS = os.path.join(ROOT, "examples", "kits")
LIMIT = 1.5

PLAIN = """
import os
with open("image.xml", "rb") as f:
    data = f.read()
os.remove("image.xml")
with open("../image.xml", "wb") as f:
    f.write(data)
"""

KIT = """
import sys
sys.path.insert(0, %r)
from corvane_module import run
run(lambda width, height, pixels: pixels)
""" % KITS


def document(width, height):
    head = b"<image><header><version>1</version><width>%d</width><height>%d</height></header><pixels>"
    return head % (width, height) + os.urandom(3 * width * height) + b"</pixels></image>"


def one_run(work, source, with_flag):
    module = os.path.join(work, "mod")
    os.link(os.path.join(work, "master.xml"), os.path.join(module, "image.xml"))
    if with_flag:
        open(os.path.join(module, "go.flag"), "wb").close()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", source], cwd=module, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    answer = os.path.join(work, "image.xml")
    size = os.path.getsize(answer)
    for name in ("image.xml", "go.flag"):
        try:
            os.remove(os.path.join(work, name))
        except FileNotFoundError:
            pass
    return wall, cpu, size


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    width, height = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) > 3 else (4000, 3000)
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, "mod"))
        with open(os.path.join(work, "master.xml"), "wb") as f:
            f.write(document(width, height))
        expected = os.path.getsize(os.path.join(work, "master.xml"))
        figures = {"plain": [], "kit": []}
        one_run(work, PLAIN, False)  # warms the page cache and the interpreter's files
        for _ in range(rounds):
            for name, source, flag in (("plain", PLAIN, False), ("kit", KIT, True)):
                wall, cpu, size = one_run(work, source, flag)
                if size != expected:
                    sys.exit("%s answered %d bytes instead of %d" % (name, size, expected))
                figures[name].append((wall, cpu))
    print("Python module kit, %d x %d document (%.1f MB), medians of %d, cpu = user + system:"
          % (width, height, expected / 1e6, rounds))
    medians = {}
    for name in ("plain", "kit"):
        walls = [w for w, _ in figures[name]]
        cpus = [c for _, c in figures[name]]
        medians[name] = (statistics.median(walls), statistics.median(cpus))
        print("  %-5s wall %.3f s (worst %.3f), cpu %.3f s (worst %.3f)"
              % (name, medians[name][0], max(walls), medians[name][1], max(cpus)))
    wall_ratio = medians["kit"][0] / medians["plain"][0]
    cpu_ratio = medians["kit"][1] / medians["plain"][1]
    verdict = "within" if max(wall_ratio, cpu_ratio) <= LIMIT else "ABOVE"
    print("  kit / plain: wall %.2f x, cpu %.2f x (%s the %.1f x limit)" % (wall_ratio, cpu_ratio, verdict, LIMIT))


if __name__ == "__main__":
    main()
