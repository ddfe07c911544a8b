#!/usr/bin/env python3
"""A Corvane module in Python 3 (standard library only): turns the picture into its negative.

Start it with the module's folder as the working directory, before or after the host:
    cd mymodule && python3 ../invert.py
It waits for "go.flag", reads and deletes "image.xml", answers with "../image.xml" and
"../go.flag", and ends. Exit code 0 when it answered, 1 otherwise.
"""
import os
import sys
import time

WHITESPACE = b" \t\r\n"
INVERT = bytes(255 - value for value in range(256))


class BadDocument(Exception):
    pass


class Reader:
    """The tolerant reader: whitespace may stand between tags and around numbers,
    never inside the pixel payload, which starts right after "<pixels>"."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def skip_whitespace(self):
        while self.pos < len(self.data) and self.data[self.pos] in WHITESPACE:
            self.pos += 1

    def tag(self, expected):
        self.skip_whitespace()
        if not self.data.startswith(expected, self.pos):
            raise BadDocument("%s expected at byte %d" % (expected.decode(), self.pos))
        self.pos += len(expected)

    def number(self):
        self.skip_whitespace()
        start = self.pos
        while self.pos < len(self.data) and self.data[self.pos:self.pos + 1].isdigit():
            self.pos += 1
        if start == self.pos or int(self.data[start:self.pos]) > 2147483647:
            raise BadDocument("number expected at byte %d" % start)
        return int(self.data[start:self.pos])

    def payload(self, length):
        if len(self.data) - self.pos < length:
            raise BadDocument("the pixel data ends early")
        chunk = self.data[self.pos:self.pos + length]
        self.pos += length
        return chunk


def parse(document):
    reader = Reader(document)
    for tag in (b"<image>", b"<header>", b"<version>"):
        reader.tag(tag)
    reader.number()
    reader.tag(b"</version>")
    reader.tag(b"<width>")
    width = reader.number()
    reader.tag(b"</width>")
    reader.tag(b"<height>")
    height = reader.number()
    for tag in (b"</height>", b"</header>", b"<pixels>"):
        reader.tag(tag)
    pixels = reader.payload(3 * width * height)
    reader.tag(b"</pixels>")
    reader.tag(b"</image>")
    return width, height, pixels


def wait_for_flag():
    print("Waiting ...", flush=True)
    while True:
        try:
            with open("go.flag", "rb"):
                return
        except OSError:
            time.sleep(1)


def answer(width, height, pixels):
    head = b"<image><header><version>1</version><width>%d</width><height>%d</height></header><pixels>"
    # The document is complete and closed before the flag appears: the host reads it at once.
    with open("../image.xml", "wb") as document:
        document.write(head % (width, height))
        document.write(pixels)
        document.write(b"</pixels></image>")
    with open("../go.flag", "wb") as flag:
        flag.write(b"finished")


def main():
    wait_for_flag()
    try:
        os.remove("go.flag")
    except OSError:
        pass
    try:
        with open("image.xml", "rb") as document:
            data = document.read()
        os.remove("image.xml")
        width, height, pixels = parse(data)
    except (OSError, BadDocument) as error:
        print("invert: %s" % error, flush=True)
        return 1
    print("Converting Image", flush=True)
    try:
        answer(width, height, pixels.translate(INVERT))
    except OSError as error:
        print("invert: cannot answer: %s" % error, flush=True)
        return 1
    print("Start Corvane", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
