#!/usr/bin/env python3
# A Corvane module in Python with numpy: a thumbnail at half the size, each pixel the rounded mean
# of a 2 x 2 block (an odd last row or column is left out), in any form the host sends.
# Start it in the module's folder, before or after the host:  cd mymodule && python3 ../thumbnail.py
# The kit next to this file (kits/corvane_module.py) does the waiting, reading and answering.
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "kits"))
from corvane_module import run  # noqa: E402


def thumbnail(width, height, pixels, form):
    block = pixels[:height // 2 * 2, :width // 2 * 2].astype("uint32")
    total = block[0::2, 0::2] + block[0::2, 1::2] + block[1::2, 0::2] + block[1::2, 1::2]
    return ((total + 2) // 4).astype(pixels.dtype)


run(thumbnail, array=True, forms="any", grey=True)
