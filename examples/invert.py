#!/usr/bin/env python3
# A Corvane module in Python: turns the picture into its negative.
# Start it in the module's folder, before or after the host:  cd mymodule && python3 ../invert.py
# The kit next to this file (kits/corvane_module.py) does the waiting, reading and answering.
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "kits"))
from corvane_module import run  # noqa: E402

NEGATIVE = bytes(255 - value for value in range(256))


def invert(width, height, pixels):
    return pixels.translate(NEGATIVE)


run(invert)
