"""Corvane module kit for Python 3 (standard library only).

A filter is one function from (width, height, pixels) to pixels; the kit does everything else:

    from corvane_module import run

    NEGATIVE = bytes(255 - value for value in range(256))

    def invert(width, height, pixels):
        return pixels.translate(NEGATIVE)

    run(invert)

`pixels` is a bytearray of width * height * 3 bytes: red, green, blue for each pixel, the top row
first, each row left to right, nothing between rows. Return the answer's pixels (any bytes-like
object of the same length), or None after changing `pixels` in place. An answer of another size
(a thumbnail, a crop, a quarter turn) is the tuple (width, height, pixels) with that many pixels.
With run(filter, array=True) the filter gets a writable numpy array of shape (height, width, 3)
over the same bytes instead (numpy must be importable) and returns a uint8 array: of that shape,
or of shape (new height, new width, 3) for an answer of another size.

An animation (the host's --frames all) comes as its frames, all of one size. A filter written for
one picture is called once for each frame and answers each at one size; run(filter, frames=True)
gets them all at once instead: `pixels` holds the frames back to back, the first first (with
array=True an array of shape (frames, height, width, 3)), and the answer holds as many, of one
size: of the same length, (width, height, pixels) for another size, or an array of shape
(frames, new height, new width, 3). A still picture is then one frame.

A filter for version 2 documents (the host's --alpha and --depth 16) says so with `forms`:

    def fade(width, height, pixels, form):
        ...
    run(fade, forms="any")     # every form; forms="alpha": only pictures with alpha

It is then called with form=Form(width, height, channels, depth, frames): 3 channels (red, green, blue) or
4 (then alpha, straight: 0 transparent, the largest value opaque), 8 or 16 bits per sample. Each
pixel is channels * depth / 8 bytes, a 16-bit sample two bytes, most significant first; with
array=True the array has shape (height, width, channels) and dtype uint8 or uint16 in the machine's
own byte order, and the answer is a uint8 or uint16 array. A version 1 document comes as
Form(width, height, 3, 8). The answer is written in the version and form it was read in. Without
`forms` the filter sees version 1 only, and the kit refuses a version 2 document with the line
"This module reads version 1 documents only: run corvane without --alpha and --depth 16" (and the
failure flag); with forms="alpha" a picture without alpha is refused with "This module needs alpha
(4 channels): run corvane with --alpha".

A grey picture (the host's --grey) comes as 1 channel (grey) or 2 (grey, then alpha), in a version
2 document, only to a filter that says it takes grey besides its forms:

    run(level, forms="any", grey=True)

form.channels then tells grey (1 or 2) from colour (3 or 4); with array=True the array has shape
(height, width, 1) or (height, width, 2), and the answer keeps that many channels. With
forms="alpha" and grey=True, pictures of 2 or 4 channels come through. A filter with `forms` but
without grey=True still gets 3 and 4 channels only, and the kit refuses a grey picture with "This
module needs colour (3 or 4 channels): run corvane without --grey"; one without `forms` refuses it
as any version 2 document, with "This module reads version 1 documents only: run corvane without
--grey, --alpha and --depth 16".

A filter that names a parameter `args` gets the module's command-line arguments there, as a list
of strings without the program's name (sys.argv[1:]); other filters are called as before:

    def brighten(width, height, pixels, args):
        step = int(args[0]) if args else 16
        return pixels.translate(bytes(min(255, value + step) for value in range(256)))

Start the module with its folder as the working directory, before or after the host:
    cd mymodule && python3 ../invert.py

Usage: python3 mymodule.py [--timeout SECONDS] [ARGUMENTS...]
  --timeout SECONDS (or --timeout=SECONDS), first: give up when no picture comes within that
  long, with the line "No picture from the host within SECONDS s; giving up", exit 1 and nothing
  written (whole seconds, 1 to 4294967295; without it the module waits for ever). The kit takes it
  off sys.argv before the filter sees the rest; a value that is missing, not a whole number or 0
  is refused with one line ("Error: --timeout needs a value") and exit 2, before anything else.

What the kit does for the filter:
- locks the folder (flock), so a second copy of a module there stops at once with exit 1;
- prints "Waiting ..." and looks for "go.flag" every 50 ms (a flag already there is taken at once),
  for ever or until --timeout;
- holds ".corvane-busy" in the folder with flock from just before it removes the flag until its
  answer or failure flag is raised, so a later host can tell a module still at work;
- removes the flag, reads "image.xml" (a regular file, never through a link) and removes it;
  a document longer than its own head allows (plus 4 KiB of blanks) is refused before the rest of
  it is read;
- reads it with the same tolerance and the same messages as Corvane's own reader;
- writes "../image.xml" into a new temporary file in ".." (".corvane-module-PID-XXXXXX", created
  exclusively under a random name) and renames it into place, then raises "../go.flag" the same
  way, so a link or an old file at either name is replaced, never written through;
- once it has taken the host's flag and cannot answer (a bad document, a filter that raises or
  answers the wrong number of bytes, a full disk, SIGINT, SIGTERM or SIGHUP), it removes its
  partial answer, raises "../go.flag" without a document so the host stops waiting and reports
  the failure, and exits 1 (130, 143 or 129 after a signal). A flag that cannot hold its word on
  a full disk is raised as an empty file.

Progress and error messages go to standard output, as with Corvane's own modules; a Python
traceback from the filter goes to standard error. Exit code 0 when the answer is written, 2 for a
wrong --timeout, else 1.
"""
import collections
import errno
import fcntl
import inspect
import os
import secrets
import signal
import stat
import string
import sys
import time

__all__ = ["run"]

FLAG = "go.flag"
DOCUMENT = "image.xml"
ANSWER = "../image.xml"
ANSWER_FLAG = "../go.flag"
BUSY = ".corvane-busy"
POLL_SECONDS = 0.05
# The host's own limit for its --timeout.
LONGEST_TIMEOUT = 4294967295
LARGEST_NUMBER = 2147483647
# A payload must fit in 32 bits: the same limit as Corvane's reader, in pixels of each size.
LARGEST_PAYLOAD = 4294967295
# The newest version read; the warning about newer ones still names the old module version.
NEWEST_VERSION = 2
# The values version 2 allows, and how a refusal names them.
CHANNELS = ((1, 2, 3, 4), b"1, 2, 3 or 4")
DEPTHS = ((8, 16), b"8 or 16")
# What run(forms=...) takes: None reads version 1 only.
FORMS = (None, "any", "alpha")
ONLY_VERSION_1 = b"This module reads version 1 documents only: run corvane without --alpha and --depth 16"
NEEDS_ALPHA = b"This module needs alpha (4 channels): run corvane with --alpha"
# What a grey picture (1 or 2 channels) is told by a filter that has not said it takes grey.
GREY_ONLY_VERSION_1 = b"This module reads version 1 documents only: run corvane without --grey, --alpha and --depth 16"
NEEDS_COLOUR = b"This module needs colour (3 or 4 channels): run corvane without --grey"
NEEDS_ALPHA_OR_GREY_ALPHA = b"This module needs alpha (2 or 4 channels): run corvane with --alpha"
# The first bytes read: enough for any head the writers make, with room for blanks.
HEAD_WINDOW = 65536
# Blanks beyond the written form that a document may carry before it counts as too large.
SLACK = 4096
# No expected tag is longer than 18 bytes; a longer one is shown cut, not echoed whole.
TAG_WINDOW = 64
TEMPORARY_CHARACTERS = string.ascii_letters + string.digits
# Errors that mean no data block can be had; an empty file needs none.
NO_ROOM = (errno.ENOSPC, errno.EFBIG, errno.EDQUOT)
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

BLANKS = b"\t\n\r "
DIGITS = b"0123456789"


def _run_end(data, pos, members):
    """The end of the run of `members` bytes at `pos`; long runs cost C loops, not Python ones."""
    step = 64
    while pos < len(data):
        chunk = data[pos:pos + step]
        rest = len(chunk.lstrip(members))
        pos += len(chunk) - rest
        if rest:
            break
        step *= 2
    return pos


class Form(collections.namedtuple("Form", "width height channels depth frames", defaults=(1,))):
    """What a document holds: its size, 1 to 4 samples per pixel (grey, grey and alpha, colour,
    colour and alpha), 8 or 16 bits per sample, and its frames (1 for a still picture)."""

    __slots__ = ()

    @property
    def pixel_bytes(self):
        return self.channels * self.depth // 8

    @property
    def largest_count(self):
        """Of each frame."""
        return LARGEST_PAYLOAD // self.pixel_bytes // self.frames

    def frame_bytes(self):
        return self.pixel_bytes * self.width * self.height

    def payload_bytes(self):
        return self.frame_bytes() * self.frames


class _NoAnswer(Exception):
    """The exchange cannot be answered; the message is printed as it stands."""


class _Stopped(BaseException):
    """SIGINT, SIGTERM or SIGHUP after the flag was taken; not an Exception, so a filter's own
    `except Exception` cannot swallow it."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


def _on_stop(number, frame):
    _ignore_stops()  # one stop is enough: the clean-up must not be cut short by a second
    raise _Stopped(number)


def _catch_stops():
    for number in STOP_SIGNALS:
        signal.signal(number, _on_stop)


def _ignore_stops():
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)


class _Console:
    """Progress on standard output as raw bytes: a tag found in a document is shown byte for byte."""

    def __init__(self):
        self.line_open = False

    def say(self, message):
        try:
            sys.stdout.flush()
            sys.stdout.buffer.write(message)
            sys.stdout.buffer.flush()
        except (OSError, ValueError, AttributeError):
            pass
        if message:
            self.line_open = not message.endswith(b"\n")

    def end_line(self):
        if self.line_open:
            self.say(b"\n")


_console = _Console()


class _Cursor:
    """The tolerant reader: TAB, LF, CR and space may stand before tags and numbers, never at the
    start of the payload, which begins right after "<pixels>"."""

    def __init__(self, data, quiet=False):
        self.data = data
        self.pos = 0
        self.quiet = quiet  # the head check reads ahead without a word

    def _skip_blanks(self):
        self.pos = _run_end(self.data, self.pos, BLANKS)

    def tag(self, expected):
        self._skip_blanks()
        if self.pos == len(self.data):
            raise _NoAnswer(b"Tag " + expected + b" not found.  The document ends early")
        if self.data[self.pos] != ord("<"):
            raise _NoAnswer(b"Tag " + expected + b" not found.  Expected character '<' not found")
        close = self.data.find(b">", self.pos, self.pos + TAG_WINDOW)
        if close < 0:
            if len(self.data) - self.pos <= TAG_WINDOW:
                raise _NoAnswer(b"Tag " + expected + b" not found.  The document ends early")
            raise _NoAnswer(b"Wrong Tag: " + bytes(self.data[self.pos:self.pos + TAG_WINDOW]) + b"..." +
                            b" found but " + expected + b" expected")
        found = bytes(self.data[self.pos:close + 1])
        self.pos = close + 1
        if found != expected:
            raise _NoAnswer(b"Wrong Tag: " + found + b" found but " + expected + b" expected")

    def next_is(self, tag):
        """Whether the next tag, after blanks, is `tag`; only the blanks are taken."""
        self._skip_blanks()
        return self.data.startswith(tag, self.pos)

    def number(self):
        self._skip_blanks()
        if self.pos == len(self.data):
            raise _NoAnswer(b"Number expected.  The document ends early")
        start = self.pos
        self.pos = _run_end(self.data, start, DIGITS)
        if self.pos == start:
            raise _NoAnswer(b"Number expected.  Invalid character not within 0-9")
        # Leading zeros are allowed ("007" is 7); a long run must not reach int()'s digit limit.
        significant = bytes(self.data[start:self.pos]).lstrip(b"0") or b"0"
        if len(significant) > 10 or int(significant) > LARGEST_NUMBER:
            raise _NoAnswer(b"Number too large.  Exceeds %d" % LARGEST_NUMBER)
        return int(significant)


def _field(cursor, name, allowed=None):
    """<name>number</name>; a value outside `allowed` is refused once its closing tag is read."""
    cursor.tag(b"<" + name + b">")
    value = cursor.number()
    cursor.tag(b"</" + name + b">")
    if allowed is not None and value not in allowed[0]:
        raise _NoAnswer(b"Wrong value: <%s>%d</%s> must be %s" % (name, value, name, allowed[1]))
    return value


def _parse_head(cursor):
    """Reads up to and including "<pixels>"; returns (version, form). Only version 2 names its
    channels and depth; every other version has version 1's tags and 3 channels of 8 bits."""
    for tag in (b"<image>", b"<header>", b"<version>"):
        cursor.tag(tag)
    version = cursor.number()
    if version > NEWEST_VERSION and not cursor.quiet:
        _console.say(b"Warning! This is a version 1.0 module and you passed a version %d.0 image.xml file!\n"
                     % version)
    cursor.tag(b"</version>")
    width = _field(cursor, b"width")
    height = _field(cursor, b"height")
    channels, depth, frames = 3, 8, 1
    if version == 2:
        channels = _field(cursor, b"channels", CHANNELS)
        depth = _field(cursor, b"depth", DEPTHS)
        if cursor.next_is(b"<frames>"):
            frames = _field(cursor, b"frames")
            if frames < 2:
                raise _NoAnswer(b"Wrong value: <frames>%d</frames> must be 2 or more" % frames)
    for tag in (b"</header>", b"<pixels>"):
        cursor.tag(tag)
    return version, Form(width, height, channels, depth, frames)


def _parse(document):
    """Returns (version, form) and leaves only the payload in `document`, without copying it."""
    cursor = _Cursor(document)
    version, form = _parse_head(cursor)
    if form.width * form.height > form.largest_count:
        raise _NoAnswer(b"Image too large.  More than %d pixels" % form.largest_count)
    start = cursor.pos
    end = start + form.payload_bytes()
    if end > len(document):
        raise _NoAnswer(b"Pixels expected.  The document ends early")
    cursor.pos = end
    cursor.tag(b"</pixels>")
    cursor.tag(b"</image>")
    # Cutting the end and then the front of a bytearray moves no payload byte.
    del document[end:]
    del document[:start]
    return version, form


def _lock_folder():
    """Holds the folder for the life of the process; False when another module holds it."""
    folder = os.open(".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        fcntl.flock(folder, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(folder)
        return False
    except OSError:
        pass  # a file system without locks: go on unlocked, as before locks existed
    _lock_folder.held = folder
    return True


def _take_busy_lock():
    """The folder lock is held while waiting too; this one tells a host that the module is at
    work on a picture, so a late answer is not mistaken for a leftover. None when unavailable."""
    try:
        busy = os.open(BUSY, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    except OSError:
        return None  # the flag's removal will tell whether this folder can be used at all
    try:
        fcntl.flock(busy, fcntl.LOCK_EX)
    except OSError:
        pass  # no locks on this file system: the file alone still says "working"
    return busy


def _release_busy_lock(busy):
    if busy is None:
        return
    try:
        os.unlink(BUSY)  # removed while still locked, so nobody takes a lock on a dying file
    except OSError:
        pass
    os.close(busy)


def _wait_for_flag(timeout):
    """True once the flag is there; False when `timeout` seconds (None: no limit) pass first."""
    _console.say(b"Waiting ...\n")
    deadline = None if timeout is None else time.monotonic() + timeout
    while not os.path.exists(FLAG):
        if deadline is not None and time.monotonic() >= deadline:
            return False
        time.sleep(POLL_SECONDS)
    return True


def _read_into(file, view):
    """Fills `view` from `file`; returns the count, less when the file ends first."""
    got = 0
    while got < len(view):
        count = file.readinto(view[got:])
        if not count:
            break
        got += count
    return got


def _head_check(window, size):
    """(the refusal or None, whether the rest of the file is worth reading). A file longer than
    the document its head describes is refused; a head that does not parse in the window, or a
    picture too large to take, is left to the parse of the window, which gives its own message."""
    try:
        version, form = _parse_head(_Cursor(window, quiet=True))
    except _NoAnswer:
        return None, False
    if form.width * form.height > form.largest_count:
        return None, False
    # The document as Corvane writes it: version 1's 101 bytes of tags, version 2's channels and
    # depth tags besides (and the frames tag), the digits and the payload.
    tags = 101 + (37 + len(str(form.depth)) if version == 2 else 0)
    tags += 17 + len(str(form.frames)) if form.frames > 1 else 0
    longest = tags + len(str(form.width)) + len(str(form.height)) + form.payload_bytes() + SLACK
    if size > longest:
        return (b"Document too large.  More than %d bytes for a %d x %d image" % (longest, form.width, form.height),
                False)
    return None, True


def _read_whole(fd, size):
    """The head window first: a file far longer than its head says is refused before the rest of
    it is read, so a huge sparse file costs neither the time nor the memory."""
    with open(fd, "rb", buffering=0, closefd=False) as file:
        window = bytearray(min(size, HEAD_WINDOW))
        with memoryview(window) as view:
            got = _read_into(file, view)
        del window[got:]
        refusal, whole = _head_check(window, size)
        if refusal is not None or not whole or size <= len(window):
            return window, refusal
        document = bytearray(size)
        with memoryview(document) as view:
            view[:len(window)] = window
            got = len(window) + _read_into(file, view[len(window):])
        del document[got:]  # a file cut short while we read it fails the parse
        return document, None


def _read_document():
    _console.say(b"Read XML\n")
    try:
        # No link is followed, and a FIFO planted under the name cannot block the open.
        fd = os.open(DOCUMENT, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        raise _NoAnswer(b"image.xml cannot be opened")
    try:
        # Checked on the descriptor before any file object wraps it: a folder must give the one
        # line below, not a traceback.
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            raise _NoAnswer(b"image.xml cannot be opened")
        document, refusal = _read_whole(fd, status.st_size)
    except OSError:
        raise _NoAnswer(b"image.xml cannot be opened")
    finally:
        os.close(fd)
    try:
        os.remove(DOCUMENT)
    except OSError as error:
        raise _NoAnswer(b"image.xml could not be removed after reading (%s); a second run would "
                        b"answer it again\n" % error.strerror.encode())
    if refusal is not None:
        raise _NoAnswer(refusal)
    return document


def _create_temporary(folder):
    """A new file under the name pattern the host sweeps when this process is gone; a random
    part and O_EXCL, so nothing planted in advance can take or redirect it."""
    for _ in range(100):
        suffix = "".join(secrets.choice(TEMPORARY_CHARACTERS) for _ in range(6))
        name = os.path.join(folder, ".corvane-module-%d-%s" % (os.getpid(), suffix))
        try:
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
            return name, os.open(name, flags, 0o644)
        except FileExistsError:
            continue
    raise OSError(errno.EEXIST, os.strerror(errno.EEXIST))


def _write_safely(path, pieces):
    """Writes into a new file next to `path` and renames it over `path`: whatever stood at `path`
    (an old file, a link planted by someone else) is replaced, never written through."""
    temporary, fd = _create_temporary(os.path.dirname(path))
    try:
        try:
            for piece in pieces:
                with memoryview(piece) as view:
                    written = 0
                    while written < len(view):
                        written += os.write(fd, view[written:])
        finally:
            os.close(fd)
        os.rename(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _raise_flag():
    """The flag holds its word where it can; on a full disk or at a file-size limit it goes up
    empty (an empty file needs no data block), since the host counts any flag."""
    try:
        _write_safely(ANSWER_FLAG, [b"finished"])
    except OSError as error:
        if error.errno not in NO_ROOM:
            raise
        _write_safely(ANSWER_FLAG, [])


def _sample_type(numpy_view, form):
    return numpy_view.dtype(numpy_view.uint8 if form.depth == 8 else numpy_view.uint16)


def _samples(numpy_view, payload, form):
    """The payload as samples in the machine's byte order: 16-bit ones are swapped in place from
    the document's big-endian order, so nothing is copied."""
    samples = numpy_view.frombuffer(payload, dtype=_sample_type(numpy_view, form))
    if form.depth == 16 and sys.byteorder == "little":
        samples.byteswap(inplace=True)
    return samples.reshape(form.frames, form.height, form.width, form.channels)


def _answer_size(answer, form, numpy_view):
    """The answer's pixels and its form: the picture's, or another size that the answer states
    (a (width, height, pixels) tuple, or an array of another height and width)."""
    if isinstance(answer, tuple):
        if len(answer) != 3 or not all(isinstance(n, int) and 0 <= n <= LARGEST_NUMBER for n in answer[:2]):
            raise _NoAnswer(b"An answer of another size is (width, height, pixels), each size 0 to %d"
                            % LARGEST_NUMBER)
        return answer[2], form._replace(width=answer[0], height=answer[1])
    shape = getattr(answer, "shape", None)
    if numpy_view is not None and shape is not None and len(shape) == 3 and shape[2] == form.channels:
        return answer, form._replace(width=shape[1], height=shape[0])
    if numpy_view is not None and shape is not None and len(shape) == 4 and shape[3] == form.channels:
        return answer, form._replace(width=shape[2], height=shape[1], frames=shape[0])
    return answer, form


def _answer_bytes(answer, form, numpy_view):
    """The payload and the form it is answered in."""
    if answer is None:
        raise _NoAnswer(b"The filter returned nothing and was not given pixels to change in place")
    answer, answered = _answer_size(answer, form, numpy_view)
    if answered.width * answered.height > answered.largest_count:
        raise _NoAnswer(b"Image too large.  More than %d pixels" % answered.largest_count)
    expected = answered.payload_bytes()
    if numpy_view is not None:
        sample = _sample_type(numpy_view, form)
        dtype = getattr(answer, "dtype", None)
        if dtype is None or dtype not in (sample, sample.newbyteorder(">")):
            raise _NoAnswer(b"The filter must return a %s array" % sample.name.encode())
        # Flat first: memoryview refuses to cast a shape with a zero in it (an empty picture).
        # Samples go back to the document's big-endian order.
        answer = numpy_view.ascontiguousarray(answer, dtype=sample.newbyteorder(">")).reshape(-1)
        if answer.size == 0:
            answer = b""
    try:
        view = memoryview(answer).cast("B")
    except TypeError:
        raise _NoAnswer(b"The filter must return bytes, a bytearray or another buffer of bytes")
    if view.nbytes != expected and answered == form:
        raise _NoAnswer(b"The filter answered %d bytes; the picture needs %d (%d per pixel, same size)"
                        % (view.nbytes, expected, form.pixel_bytes))
    if view.nbytes != expected:
        raise _NoAnswer(b"The filter answered %d bytes; a %d x %d answer needs %d (%d per pixel)"
                        % (view.nbytes, answered.width, answered.height, expected, form.pixel_bytes))
    return view, answered


def _fail(message):
    """The failure flag: no answer, but the host is told at once instead of waiting for ever."""
    _console.end_line()
    if message:
        _console.say(message)
        _console.end_line()
    try:
        _raise_flag()
        _console.say(b"Error: no answer; ../go.flag raised without image.xml so the host stops waiting\n")
    except OSError as error:
        _console.say(b"Error: no answer, and ../go.flag could not be raised either (%s)\n"
                     % error.strerror.encode())


def _takes_arguments(convert):
    """A filter that names a parameter `args` is given the command line; the rest keep the
    three-parameter call they were written for."""
    try:
        parameter = inspect.signature(convert).parameters.get("args")
    except (TypeError, ValueError):
        return False
    return parameter is not None and parameter.kind in (parameter.POSITIONAL_OR_KEYWORD,
                                                        parameter.KEYWORD_ONLY)


def _refusal(forms, grey, version, form):
    """Why a valid document is not the filter's to answer, or None. The frames of a version 1
    picture come in a version 2 document of version 1's form."""
    grey_picture = version == 2 and form.channels < 3
    if forms is None and version == 2 and (form.frames == 1 or (form.channels, form.depth) != (3, 8)):
        return GREY_ONLY_VERSION_1 if grey_picture else ONLY_VERSION_1
    if grey_picture and not grey:
        return NEEDS_COLOUR
    if forms == "alpha" and form.channels not in ((2, 4) if grey else (4,)):
        return NEEDS_ALPHA_OR_GREY_ALPHA if grey else NEEDS_ALPHA
    return None


def _answer_head(version, form):
    """The answer is written in the version and form it was read in."""
    head = b"<image><header><version>%d</version><width>%d</width><height>%d</height>" % (
        2 if version == 2 else 1, form.width, form.height)
    if version == 2:
        head += b"<channels>%d</channels><depth>%d</depth>" % (form.channels, form.depth)
    if form.frames > 1:
        head += b"<frames>%d</frames>" % form.frames
    return head + b"</header><pixels>"


def _call(convert, pixels, form, numpy_view, arguments, forms):
    """The filter on one picture (or, for a filter of frames, all of them): its payload and the
    form it is answered in."""
    extra = {} if arguments is None else {"args": arguments}
    if forms is not None:
        extra["form"] = form
    answer = convert(form.width, form.height, pixels, **extra)
    if answer is None:
        answer = pixels
    if answer is pixels and numpy_view is not None and form.depth == 16 and sys.byteorder == "little":
        # Our own array goes back to big-endian where it lies, as it came: no second payload.
        pixels.byteswap(inplace=True)
        answer = pixels.view(_sample_type(numpy_view, form).newbyteorder(">"))
    return _answer_bytes(answer, form, numpy_view)


def _answer_frames(convert, document, form, numpy_view, arguments, forms):
    """A filter written for one picture, called on each frame in turn: every answer must have the
    first one's size."""
    one = form._replace(frames=1)
    payloads, answered = [], None
    for index in range(form.frames):
        if numpy_view is not None:
            pixels = document[index]
        else:
            pixels = document[index * one.frame_bytes():(index + 1) * one.frame_bytes()]
        payload, size = _call(convert, pixels, one, numpy_view, arguments, forms)
        if answered is not None and size != answered:
            raise _NoAnswer(b"The filter answered frame %d at %d x %d pixels but frame 1 at %d x %d; every "
                            b"frame must have one size" % (index + 1, size.width, size.height,
                                                           answered.width, answered.height))
        answered = size
        payloads.append(payload)
    return payloads, answered._replace(frames=form.frames)


def _answer(convert, numpy_view, arguments, forms, grey, frames):
    """Everything after the flag was taken; raises _NoAnswer when it cannot answer."""
    document = _read_document()
    _console.say(b"Parse XML\n")
    version, form = _parse(document)
    refusal = _refusal(forms, grey, version, form)
    if refusal is not None:
        raise _NoAnswer(refusal)
    _console.say(b"Converting Image\n")
    pixels = _samples(numpy_view, document, form) if numpy_view is not None else document
    if frames:
        payload, answered = _call(convert, pixels, form, numpy_view, arguments, forms)
        if answered.frames != form.frames:
            raise _NoAnswer(b"The filter answered %d frames; the picture has %d" % (answered.frames, form.frames))
        payloads = [payload]
    elif form.frames > 1:
        payloads, answered = _answer_frames(convert, pixels, form, numpy_view, arguments, forms)
    else:
        if numpy_view is not None:
            pixels = pixels[0]
        payload, answered = _call(convert, pixels, form, numpy_view, arguments, forms)
        payloads = [payload]
    _console.say(b"Save XML\n")
    head = _answer_head(version, answered)
    try:
        _write_safely(ANSWER, [head] + payloads + [b"</pixels></image>"])
    except OSError as error:
        raise _NoAnswer(b"../image.xml could not be written (%s)" % error.strerror.encode())


def _exchange(convert, numpy_view, arguments, forms, grey, frames, timeout):
    if not _wait_for_flag(timeout):
        _console.say(b"No picture from the host within %d s; giving up\n" % timeout)
        return 1
    busy = _take_busy_lock()
    try:
        return _take_and_answer(convert, numpy_view, arguments, forms, grey, frames)
    finally:
        _release_busy_lock(busy)


def _take_and_answer(convert, numpy_view, arguments, forms, grey, frames):
    code = 1
    answered = False
    try:
        _catch_stops()
        try:
            os.remove(FLAG)
        except OSError as error:
            _ignore_stops()
            # Not taken part: a later run must not answer this flag's document twice.
            _console.say(b"go.flag could not be removed (%s); not answering\n" % error.strerror.encode())
            return 1
        _answer(convert, numpy_view, arguments, forms, grey, frames)
        answered = True
        _ignore_stops()  # from here on the answer stands: a stop can only wait for the flag
        _console.say(b"Start Corvane\n")
        try:
            _raise_flag()
        except OSError as error:
            raise _NoAnswer(b"../go.flag could not be raised (%s)" % error.strerror.encode())
        return 0
    except _NoAnswer as refusal:
        message = refusal.args[0]
    except MemoryError:
        message = b"Out of memory"
    except _Stopped as stop:
        if os.path.lexists(FLAG):
            return 128 + stop.number  # stopped before the flag was taken: nothing to answer
        code = 128 + stop.number
        message = b"Stopped by " + signal.Signals(stop.number).name.encode()
    except BaseException as error:  # the filter's own failure
        import traceback
        traceback.print_exc()
        message = b"The filter failed: " + repr(error).encode("utf-8", "replace")
    _ignore_stops()
    if answered:
        try:
            os.unlink(ANSWER)
        except OSError:
            pass
    _fail(message)
    return code


def _take_timeout():
    """`--timeout SECONDS` or `--timeout=SECONDS` first on the command line, taken off sys.argv:
    its seconds, or None when not given. A wrong value ends the process with status 2."""
    first = sys.argv[1] if len(sys.argv) > 1 else ""
    if first == "--timeout" and len(sys.argv) > 2:
        text, taken = sys.argv[2], 2
    elif first == "--timeout":
        _console.say(b"Error: --timeout needs a value\n")
        sys.exit(2)
    elif first.startswith("--timeout="):
        text, taken = first[len("--timeout="):], 1
    else:
        return None
    # Plain decimal digits, leading zeros allowed; int() never sees more than 10 of them.
    digits = text.lstrip("0")
    whole = text != "" and text.strip(string.digits) == "" and len(digits) <= 10
    if not (whole and 1 <= int(digits or "0") <= LONGEST_TIMEOUT):
        _console.say(b'Error: --timeout takes a whole number from 1 to %d, not "%s"\n'
                     % (LONGEST_TIMEOUT, os.fsencode(text)))
        sys.exit(2)
    del sys.argv[1:1 + taken]
    return int(digits)


def run(convert, array=False, forms=None, frames=False, grey=False):
    """Runs one exchange with `convert` as the filter and ends the process (exit 0 or 1, 2 for a
    wrong --timeout, or 128 plus the signal's number after SIGINT, SIGTERM or SIGHUP). `forms` is
    "any" or "alpha" for a filter that reads version 2 documents; `frames` True for a filter that
    takes an animation's frames all at once; `grey` True, beside `forms`, for one that takes grey
    pictures (1 or 2 channels) too."""
    if forms not in FORMS:
        raise ValueError('forms must be "any" or "alpha"')
    if grey not in (False, True) or (grey and forms is None):
        raise ValueError('grey=True goes with forms="any" or "alpha": the filter needs the form to tell grey')
    timeout = _take_timeout()
    numpy_view = None
    if array:
        try:
            import numpy as numpy_view
        except ImportError:
            _console.say(b"This module needs numpy (Debian: python3-numpy), which is not installed\n")
            sys.exit(1)
    arguments = sys.argv[1:] if _takes_arguments(convert) else None
    if not _lock_folder():
        _console.say(b"Another module is already waiting in this folder; this one stops\n")
        sys.exit(1)
    try:
        code = _exchange(convert, numpy_view, arguments, forms, grey, frames, timeout)
    except KeyboardInterrupt:  # stopped while waiting: nothing was taken, nothing is left behind
        code = 130
    except _Stopped as stop:  # a stop in the few steps between catching one and ignoring more
        code = 128 + stop.number
    sys.exit(code)
