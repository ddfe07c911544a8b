// Corvane module kit for Node.js (no packages needed).
//
// A filter is one function from (width, height, pixels) to pixels; the kit does everything else:
//
//     const {run} = require('./kits/corvane-module.js');
//     run((width, height, pixels) => {
//         for (let i = 0; i < pixels.length; i++) pixels[i] = 255 - pixels[i];
//         return pixels;
//     });
//
// `pixels` is a Buffer of width * height * 3 bytes: red, green, blue for each pixel, the top row
// first, each row left to right, nothing between rows. Return the answer's pixels (a Buffer or
// another Uint8Array of the same length, or a promise of one), or nothing after changing `pixels`
// in place. An answer of another size (a thumbnail, a crop, a quarter turn) is the object
// {width, height, pixels} with that many pixels. The filter's fourth parameter, when it takes one,
// is the module's command-line arguments without node, the script and any --timeout
// (process.argv.slice(2)):
//
//     run((width, height, pixels, args) => { const step = Number(args[0] || 16); ... });
//
// A filter for version 2 documents (the host's --alpha and --depth 16) says so in run's second
// argument, {forms: 'any'} for every form or {forms: 'alpha'} for pictures with alpha only:
//
//     run((width, height, pixels, args, form) => { ... }, {forms: 'any'});
//
// An animation (the host's --frames all) comes as its frames, all of one size. A filter written for
// one picture is called once for each frame and answers each at one size; run(filter, {frames:
// true}) gets them all at once instead: `pixels` holds the frames back to back, the first first,
// form.frames says how many, and the answer holds as many, of one size (for another size,
// {width, height, pixels} with every frame's pixels). A still picture is then one frame.
//
// Its fifth argument is the form, {width, height, channels, depth, frames}: 3 channels (red, green, blue)
// or 4 (then alpha, straight: 0 transparent, the largest value opaque), 8 or 16 bits per sample.
// Each pixel is channels * depth / 8 bytes of the Buffer, a 16-bit sample two bytes, most
// significant first (pixels.readUInt16BE, writeUInt16BE). A version 1 document comes as 3 channels
// of 8 bits. The answer is written in the version and form it was read in. Without `forms` the
// filter sees version 1 only, and the kit refuses a version 2 document with the line "This module
// reads version 1 documents only: run corvane without --alpha and --depth 16" (and the failure
// flag); with {forms: 'alpha'} a picture without alpha is refused with "This module needs alpha
// (4 channels): run corvane with --alpha".
//
// A grey picture (the host's --grey) comes as 1 channel (grey) or 2 (grey, then alpha), in a
// version 2 document, only to a filter that says it takes grey besides its forms:
//
//     run((width, height, pixels, args, form) => { ... }, {forms: 'any', grey: true});
//
// form.channels then tells grey (1 or 2) from colour (3 or 4), and the answer keeps that many
// channels. With {forms: 'alpha', grey: true}, pictures of 2 or 4 channels come through. A filter
// with `forms` but without grey: true still gets 3 and 4 channels only, and the kit refuses a grey
// picture with "This module needs colour (3 or 4 channels): run corvane without --grey"; one
// without `forms` refuses it as any version 2 document, with "This module reads version 1
// documents only: run corvane without --grey, --alpha and --depth 16".
//
// Start the module with its folder as the working directory, before or after the host:
//     cd mymodule && node ../greyscale.js
//
// Usage: node mymodule.js [--timeout SECONDS] [ARGUMENTS...]
//   --timeout SECONDS (or --timeout=SECONDS), first: give up when no picture comes within that
//   long, with the line "No picture from the host within SECONDS s; giving up", exit 1 and nothing
//   written (whole seconds, 1 to 4294967295; without it the module waits for ever). The kit takes
//   it off process.argv before the filter sees the rest; a value that is missing, not a whole
//   number or 0 is refused with one line ("Error: --timeout needs a value") and exit 2, before
//   anything else.
//
// What the kit does for the filter:
// - prints "Waiting ..." and waits for "go.flag" (fs.watch, with a 100 ms poll behind it; a flag
//   already there is taken at once), for ever or until --timeout;
// - removes the flag, reads "image.xml" (a regular file, never through a link) and removes it; a
//   document longer than its own head allows (plus 4 KiB of blanks) is refused before the rest of
//   it is read;
// - reads it with the same tolerance and the same messages as Corvane's own reader;
// - writes "../image.xml" into a new temporary file in ".." (".corvane-module-PID-XXXXXX", created
//   exclusively under a random name) and renames it into place, then raises "../go.flag" the same
//   way, so a link or an old file at either name is replaced, never written through;
// - once it has taken the host's flag and cannot answer (a bad document, a filter that throws or
//   answers the wrong number of bytes, a full disk, SIGINT, SIGTERM or SIGHUP), it removes its
//   partial answer, raises "../go.flag" without a document so the host stops waiting and reports
//   the failure, and exits 1 (130, 143 or 129 after a signal). A flag that cannot hold its word on
//   a full disk is raised as an empty file.
//
// Not done: Node's standard library has no flock, so this kit locks neither its folder nor
// ".corvane-busy" (the lock by which the other kits tell a host they are still at work on a
// picture). Do not start two copies of a module in one folder: the second would take the next
// run's document. And Node handles a signal only between two pieces of JavaScript: a filter that
// computes without awaiting holds off SIGINT, SIGTERM and SIGHUP until it returns (and then the
// answer is written first); one that awaits (timers, files, workers) is stopped at once.
//
// Progress and error messages go to standard output, as with Corvane's own modules; the filter's
// stack trace goes to standard error. Exit code 0 when the answer is written, 2 for a wrong
// --timeout, else 1.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');

const {O_RDONLY, O_WRONLY, O_CREAT, O_EXCL, O_NOFOLLOW, O_NONBLOCK} = fs.constants;
const FLAG = 'go.flag';
const DOCUMENT = 'image.xml';
const ANSWER = '../image.xml';
const ANSWER_FLAG = '../go.flag';
const POLL_MILLISECONDS = 100;
// The host's own limit for its --timeout.
const LONGEST_TIMEOUT = 4294967295;
const LARGEST_NUMBER = 2147483647;
// A payload must fit in 32 bits: the same limit as Corvane's reader, in pixels of each size.
const LARGEST_PAYLOAD = 4294967295;
// The newest version read; the warning about newer ones still names the old module version.
const NEWEST_VERSION = 2;
// The values version 2 allows, and how a refusal names them.
const CHANNELS = {values: [1, 2, 3, 4], text: '1, 2, 3 or 4'};
const DEPTHS = {values: [8, 16], text: '8 or 16'};
// What run's {forms} takes: undefined reads version 1 only.
const FORMS = [undefined, 'any', 'alpha'];
const ONLY_VERSION_1 = 'This module reads version 1 documents only: run corvane without --alpha and --depth 16';
const NEEDS_ALPHA = 'This module needs alpha (4 channels): run corvane with --alpha';
// What a grey picture (1 or 2 channels) is told by a filter that has not said it takes grey.
const GREY_ONLY_VERSION_1 =
    'This module reads version 1 documents only: run corvane without --grey, --alpha and --depth 16';
const NEEDS_COLOUR = 'This module needs colour (3 or 4 channels): run corvane without --grey';
const NEEDS_ALPHA_OR_GREY_ALPHA = 'This module needs alpha (2 or 4 channels): run corvane with --alpha';
// Node refuses a single read or write above 2 GiB.
const IO_CHUNK = 1 << 30;
// The first bytes read: enough for any head the writers make, with room for blanks.
const HEAD_WINDOW = 65536;
// Blanks beyond the written form that a document may carry before it counts as too large.
const SLACK = 4096;
// No expected tag is longer than 18 bytes; a longer one is shown cut, not echoed whole.
const TAG_WINDOW = 64;
const TEMPORARY_CHARACTERS = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789';
// Errors that mean no data block can be had; an empty file needs none.
const NO_ROOM = ['ENOSPC', 'EFBIG', 'EDQUOT'];
const STOP_SIGNALS = ['SIGINT', 'SIGTERM', 'SIGHUP'];

class NoAnswer extends Error {}

let lineOpen = false;

// Raw bytes, written at once: a tag found in a document is shown byte for byte and the order of
// lines survives a process that ends right after.
function say(message) {
    const bytes = Buffer.isBuffer(message) ? message : Buffer.from(message, 'latin1');
    if (bytes.length === 0) return;
    try {
        for (let done = 0; done < bytes.length;) done += fs.writeSync(1, bytes, done);
    } catch (error) {
        // A closed standard output must not stop the exchange.
    }
    lineOpen = bytes[bytes.length - 1] !== 0x0a;
}

function endLine() {
    if (lineOpen) say('\n');
}

function isBlank(byte) {
    return byte === 0x09 || byte === 0x0a || byte === 0x0d || byte === 0x20;
}

// The tolerant reader: TAB, LF, CR and space may stand before tags and numbers, never at the
// start of the payload, which begins right after "<pixels>".
class Cursor {
    constructor(data) {
        this.data = data;
        this.pos = 0;
    }

    skipBlanks() {
        while (this.pos < this.data.length && isBlank(this.data[this.pos])) this.pos++;
    }

    tag(expected) {
        this.skipBlanks();
        if (this.pos === this.data.length) throw new NoAnswer(`Tag ${expected} not found.  The document ends early`);
        if (this.data[this.pos] !== 0x3c) {
            throw new NoAnswer(`Tag ${expected} not found.  Expected character '<' not found`);
        }
        const close = this.data.subarray(this.pos, this.pos + TAG_WINDOW).indexOf(0x3e);
        if (close < 0 && this.data.length - this.pos <= TAG_WINDOW) {
            throw new NoAnswer(`Tag ${expected} not found.  The document ends early`);
        }
        const found = this.data.subarray(this.pos, this.pos + (close < 0 ? TAG_WINDOW : close + 1));
        this.pos += found.length;
        if (close < 0 || !found.equals(Buffer.from(expected, 'latin1'))) {
            const text = Buffer.concat([Buffer.from('Wrong Tag: '), found,
                Buffer.from(`${close < 0 ? '...' : ''} found but ${expected} expected`)]);
            throw new NoAnswer(text.toString('latin1'));
        }
    }

    // Digit by digit in base 10: leading zeros are allowed and never mean octal ("010" is 10).
    number() {
        this.skipBlanks();
        if (this.pos === this.data.length) throw new NoAnswer('Number expected.  The document ends early');
        const isDigit = (byte) => byte >= 0x30 && byte <= 0x39;
        if (!isDigit(this.data[this.pos])) throw new NoAnswer('Number expected.  Invalid character not within 0-9');
        let value = 0;
        for (; this.pos < this.data.length && isDigit(this.data[this.pos]); this.pos++) {
            value = value * 10 + (this.data[this.pos] - 0x30);
            if (value > LARGEST_NUMBER) throw new NoAnswer(`Number too large.  Exceeds ${LARGEST_NUMBER}`);
        }
        return value;
    }
}

// <name>number</name>; a value outside `allowed` is refused once its closing tag is read.
function field(cursor, name, allowed) {
    cursor.tag(`<${name}>`);
    const value = cursor.number();
    cursor.tag(`</${name}>`);
    if (allowed && !allowed.values.includes(value)) {
        throw new NoAnswer(`Wrong value: <${name}>${value}</${name}> must be ${allowed.text}`);
    }
    return value;
}

// Reads up to and including "<pixels>"; `quiet` for the head check, which reads ahead silently.
// Returns {version, form}: only version 2 names its channels and depth; every other version has
// version 1's tags and 3 channels of 8 bits.
function parseHead(cursor, quiet) {
    ['<image>', '<header>', '<version>'].forEach((tag) => cursor.tag(tag));
    const version = cursor.number();
    if (version > NEWEST_VERSION && !quiet) {
        say(`Warning! This is a version 1.0 module and you passed a version ${version}.0 image.xml file!\n`);
    }
    cursor.tag('</version>');
    const width = field(cursor, 'width');
    const height = field(cursor, 'height');
    const channels = version === 2 ? field(cursor, 'channels', CHANNELS) : 3;
    const depth = version === 2 ? field(cursor, 'depth', DEPTHS) : 8;
    let frames = 1;
    cursor.skipBlanks();
    if (version === 2 && cursor.data.subarray(cursor.pos, cursor.pos + 8).equals(Buffer.from('<frames>'))) {
        frames = field(cursor, 'frames');
        if (frames < 2) throw new NoAnswer(`Wrong value: <frames>${frames}</frames> must be 2 or more`);
    }
    ['</header>', '<pixels>'].forEach((tag) => cursor.tag(tag));
    return {version, form: Object.freeze({width, height, channels, depth, frames})};
}

function pixelBytes(form) {
    return form.channels * form.depth / 8;
}

// Of each frame. Both factors are below 2^31, so the product is exact enough to compare with the limit.
function largestCount(form) {
    return Math.floor(LARGEST_PAYLOAD / pixelBytes(form) / form.frames);
}

function parse(document) {
    const cursor = new Cursor(document);
    const {version, form} = parseHead(cursor, false);
    if (form.width * form.height > largestCount(form)) {
        throw new NoAnswer(`Image too large.  More than ${largestCount(form)} pixels`);
    }
    const start = cursor.pos;
    const end = start + pixelBytes(form) * form.width * form.height * form.frames;
    if (end > document.length) throw new NoAnswer('Pixels expected.  The document ends early');
    cursor.pos = end;
    cursor.tag('</pixels>');
    cursor.tag('</image>');
    return {version, form, pixels: document.subarray(start, end)};
}

// Resolves to true once the flag is there, to false when `timeoutSeconds` (null: no limit) pass
// first.
function waitForFlag(timeoutSeconds) {
    say('Waiting ...\n');
    const deadline = timeoutSeconds === null ? Infinity : performance.now() + timeoutSeconds * 1000;
    return new Promise((resolve) => {
        let watcher = null;
        let timer = null;
        const check = () => {
            if (timer === null) return;
            const raised = fs.existsSync(FLAG);
            if (!raised && performance.now() < deadline) return;
            clearInterval(timer);
            timer = null;
            if (watcher) watcher.close();
            resolve(raised);
        };
        // The watch is set before the first look, so a flag raised in between is not missed.
        try {
            watcher = fs.watch('.', check);
            watcher.on('error', () => {});
        } catch (error) {
            watcher = null;  // no inotify here: the poll alone does the work
        }
        timer = setInterval(check, POLL_MILLISECONDS);
        check();
    });
}

function readInto(fd, buffer, start) {
    let got = start;
    while (got < buffer.length) {
        const count = fs.readSync(fd, buffer, got, Math.min(buffer.length - got, IO_CHUNK), null);
        if (count === 0) break;
        got += count;
    }
    return got;
}

// {refusal, whole}: a file longer than the document its head describes is refused; a head that
// does not parse in the window, or a picture too large to take, is left to the parse of the
// window, which gives its own message.
function headCheck(window, size) {
    let version;
    let form;
    try {
        ({version, form} = parseHead(new Cursor(window), true));
    } catch (error) {
        if (error instanceof NoAnswer) return {refusal: null, whole: false};
        throw error;
    }
    const {width, height} = form;
    if (width * height > largestCount(form)) return {refusal: null, whole: false};
    // The document as Corvane writes it: version 1's 101 bytes of tags, version 2's channels and
    // depth tags besides (and the frames tag), the digits and the payload.
    const tags = 101 + (version === 2 ? 37 + String(form.depth).length : 0) +
        (form.frames > 1 ? 17 + String(form.frames).length : 0);
    const longest = tags + String(width).length + String(height).length +
        pixelBytes(form) * width * height * form.frames + SLACK;
    if (size > longest) {
        return {refusal: `Document too large.  More than ${longest} bytes for a ${width} x ${height} image`, whole: false};
    }
    return {refusal: null, whole: true};
}

// The head window first: a file far longer than its head says is refused before the rest of it
// is read, so a huge sparse file costs neither the time nor the memory.
function readWhole(fd, size) {
    let window = Buffer.allocUnsafe(Math.min(size, HEAD_WINDOW));
    window = window.subarray(0, readInto(fd, window, 0));
    const {refusal, whole} = headCheck(window, size);
    if (refusal !== null || !whole || size <= window.length) return {document: window, refusal};
    const document = Buffer.allocUnsafe(size);
    window.copy(document);
    // A file cut short while we read it fails the parse.
    return {document: document.subarray(0, readInto(fd, document, window.length)), refusal: null};
}

function readDocument() {
    say('Read XML\n');
    let fd;
    try {
        // No link is followed, and a FIFO planted under the name cannot block the open.
        fd = fs.openSync(DOCUMENT, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    } catch (error) {
        throw new NoAnswer('image.xml cannot be opened');
    }
    let read;
    try {
        const status = fs.fstatSync(fd);
        if (!status.isFile()) throw new Error('not a regular file');
        read = readWhole(fd, status.size);
    } catch (error) {
        throw new NoAnswer('image.xml cannot be opened');
    } finally {
        fs.closeSync(fd);
    }
    try {
        fs.unlinkSync(DOCUMENT);
    } catch (error) {
        throw new NoAnswer(`image.xml could not be removed after reading (${error.code}); a second run would answer it again\n`);
    }
    if (read.refusal !== null) throw new NoAnswer(read.refusal);
    return read.document;
}

// A new file under the name pattern the host sweeps once this process is gone; a random part and
// O_EXCL, so nothing planted in advance can take or redirect it.
function createTemporary(folder) {
    for (let attempt = 0; ; attempt++) {
        const suffix = Array.from(crypto.randomBytes(6), (byte) => TEMPORARY_CHARACTERS[byte % 62]).join('');
        const name = path.join(folder, `.corvane-module-${process.pid}-${suffix}`);
        try {
            return {name, fd: fs.openSync(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0o644)};
        } catch (error) {
            if (error.code !== 'EEXIST' || attempt === 99) throw error;
        }
    }
}

// Writes into a new file next to `target` and renames it over `target`: whatever stood there (an
// old file, a link planted by someone else) is replaced, never written through.
function writeSafely(target, pieces) {
    const {name, fd} = createTemporary(path.dirname(target));
    try {
        try {
            for (const piece of pieces) {
                for (let done = 0; done < piece.length;) {
                    done += fs.writeSync(fd, piece, done, Math.min(piece.length - done, IO_CHUNK));
                }
            }
        } finally {
            fs.closeSync(fd);
        }
        fs.renameSync(name, target);
    } catch (error) {
        try {
            fs.unlinkSync(name);
        } catch (ignored) {
            // Already gone.
        }
        throw error;
    }
}

// The flag holds its word where it can; on a full disk or at a file-size limit it goes up empty
// (an empty file needs no data block), since the host counts any flag.
function raiseFlag() {
    try {
        writeSafely(ANSWER_FLAG, [Buffer.from('finished')]);
    } catch (error) {
        if (!NO_ROOM.includes(error.code)) throw error;
        writeSafely(ANSWER_FLAG, []);
    }
}

// The answer's bytes and its form: the picture's, or the size an answer {width, height, pixels} states.
function answerBytes(answer, form) {
    let answered = form;
    if (answer !== null && typeof answer === 'object' && !ArrayBuffer.isView(answer)) {
        const {width, height} = answer;
        if (![width, height].every(n => Number.isInteger(n) && n >= 0 && n <= LARGEST_NUMBER)) {
            throw new NoAnswer(
                `An answer of another size is {width, height, pixels}, each size 0 to ${LARGEST_NUMBER}`);
        }
        answered = {...form, width, height};
        if (width * height > largestCount(form)) {
            throw new NoAnswer(`Image too large.  More than ${largestCount(form)} pixels`);
        }
        answer = answer.pixels;
    }
    if (!ArrayBuffer.isView(answer)) throw new NoAnswer('The filter must return a Buffer or Uint8Array');
    const bytes = Buffer.from(answer.buffer, answer.byteOffset, answer.byteLength);
    const length = answered.width * answered.height * pixelBytes(form) * form.frames;
    if (bytes.length !== length && answered === form) {
        throw new NoAnswer(`The filter answered ${bytes.length} bytes; the picture needs ${length} ` +
            `(${pixelBytes(form)} per pixel, same size)`);
    }
    if (bytes.length !== length) {
        throw new NoAnswer(`The filter answered ${bytes.length} bytes; a ${answered.width} x ${answered.height} ` +
            `answer needs ${length} (${pixelBytes(form)} per pixel)`);
    }
    return {payload: bytes, answered};
}

// Why a valid document is not the filter's to answer, or null. The frames of a version 1 picture
// come in a version 2 document of version 1's form.
function refusal(forms, grey, version, form) {
    const framesOfVersion1 = form.frames > 1 && form.channels === 3 && form.depth === 8;
    const greyPicture = version === 2 && form.channels < 3;
    if (forms === undefined && version === 2 && !framesOfVersion1) {
        return greyPicture ? GREY_ONLY_VERSION_1 : ONLY_VERSION_1;
    }
    if (greyPicture && !grey) return NEEDS_COLOUR;
    if (forms === 'alpha' && !(grey ? [2, 4] : [4]).includes(form.channels)) {
        return grey ? NEEDS_ALPHA_OR_GREY_ALPHA : NEEDS_ALPHA;
    }
    return null;
}

// The answer is written in the version and form it was read in.
function answerHead(version, form) {
    const {width, height, channels, depth, frames} = form;
    return version === 2
        ? `<image><header><version>2</version><width>${width}</width><height>${height}</height>` +
            `<channels>${channels}</channels><depth>${depth}</depth>` +
            (frames > 1 ? `<frames>${frames}</frames>` : '') + '</header><pixels>'
        : `<image><header><version>1</version><width>${width}</width><height>${height}</height>` +
            '</header><pixels>';
}

// The failure flag: no answer, but the host is told at once instead of waiting for ever.
function fail(message) {
    endLine();
    say(message);
    endLine();
    try {
        raiseFlag();
        say('Error: no answer; ../go.flag raised without image.xml so the host stops waiting\n');
    } catch (error) {
        say(`Error: no answer, and ../go.flag could not be raised either (${error.code})\n`);
    }
    return 1;
}

// "../image.xml" is in place and its flag not yet raised: a stop must take the answer back.
let placed = false;

function removeAnswer() {
    if (!placed) return;
    placed = false;
    try {
        fs.unlinkSync(ANSWER);
    } catch (ignored) {
        // Nothing of ours is left.
    }
}

// After the flag is taken a stop still tells the host; the exchange itself is abandoned where it
// awaits, since this exits.
function onStop(signal) {
    removeAnswer();
    fail(`Stopped by ${signal}`);
    process.exit(128 + os.constants.signals[signal]);
}

// The filter's answers: once for all frames where it takes them so (or for a still picture), else
// once for each frame, every answer at the first one's size.
async function answerFrames(convert, pixels, args, form, frames) {
    if (frames || form.frames === 1) {
        let answer = await convert(form.width, form.height, pixels, args, form);
        if (answer === undefined) answer = pixels;
        const {payload, answered} = answerBytes(answer, form);
        return {payloads: [payload], answered};
    }
    const one = Object.freeze({...form, frames: 1});
    const frameBytes = pixelBytes(form) * form.width * form.height;
    const payloads = [];
    let answered = null;
    for (let index = 0; index < form.frames; index++) {
        const frame = pixels.subarray(index * frameBytes, (index + 1) * frameBytes);
        let answer = await convert(form.width, form.height, frame, args, one);
        if (answer === undefined) answer = frame;
        const got = answerBytes(answer, one);
        if (answered !== null && (got.answered.width !== answered.width || got.answered.height !== answered.height)) {
            throw new NoAnswer(`The filter answered frame ${index + 1} at ${got.answered.width} x ` +
                `${got.answered.height} pixels but frame 1 at ${answered.width} x ${answered.height}; ` +
                'every frame must have one size');
        }
        answered = got.answered;
        payloads.push(got.payload);
    }
    return {payloads, answered: {...answered, frames: form.frames}};
}

async function exchange(convert, args, forms, grey, frames, timeout) {
    if (!await waitForFlag(timeout)) {
        say(`No picture from the host within ${timeout} s; giving up\n`);
        return 1;
    }
    STOP_SIGNALS.forEach((signal) => process.on(signal, onStop));
    try {
        fs.unlinkSync(FLAG);
    } catch (error) {
        // Not taken part: a later run must not answer this flag's document twice.
        say(`go.flag could not be removed (${error.code}); not answering\n`);
        return 1;
    }
    try {
        const document = readDocument();
        say('Parse XML\n');
        const {version, form, pixels} = parse(document);
        const refused = refusal(forms, grey, version, form);
        if (refused !== null) throw new NoAnswer(refused);
        say('Converting Image\n');
        const {payloads, answered} = await answerFrames(convert, pixels, args, form, frames);
        say('Save XML\n');
        const head = answerHead(version, answered);
        try {
            writeSafely(ANSWER, [Buffer.from(head, 'latin1'), ...payloads, Buffer.from('</pixels></image>', 'latin1')]);
        } catch (error) {
            throw new NoAnswer(`../image.xml could not be written (${error.code})`);
        }
        placed = true;
        say('Start Corvane\n');
        try {
            raiseFlag();
        } catch (error) {
            throw new NoAnswer(`../go.flag could not be raised (${error.code})`);
        }
        placed = false;
        return 0;
    } catch (error) {
        removeAnswer();
        if (error instanceof NoAnswer) return fail(error.message);
        console.error(error);
        return fail(`The filter failed: ${error}`);
    }
}

// `--timeout SECONDS` or `--timeout=SECONDS` first on the command line, taken off process.argv:
// its seconds, or null when not given. A wrong value ends the process with status 2.
function takeTimeout() {
    const first = process.argv.length > 2 ? process.argv[2] : '';
    let text;
    let taken;
    if (first === '--timeout' && process.argv.length > 3) {
        [text, taken] = [process.argv[3], 2];
    } else if (first === '--timeout') {
        say('Error: --timeout needs a value\n');
        process.exit(2);
    } else if (first.startsWith('--timeout=')) {
        [text, taken] = [first.slice('--timeout='.length), 1];
    } else {
        return null;
    }
    // Plain decimal digits, leading zeros allowed.
    const seconds = /^[0-9]+$/.test(text) ? Number(text) : 0;
    if (seconds < 1 || seconds > LONGEST_TIMEOUT) {
        const words = `Error: --timeout takes a whole number from 1 to ${LONGEST_TIMEOUT}, not "`;
        say(Buffer.concat([Buffer.from(words), Buffer.from(text), Buffer.from('"\n')]));
        process.exit(2);
    }
    process.argv.splice(2, taken);
    return seconds;
}

// Runs one exchange with `convert` as the filter and ends the process (exit 0 or 1, 2 for a wrong
// --timeout, or 128 plus the signal's number after SIGINT, SIGTERM or SIGHUP). The filter's
// fourth argument is the module's command line after node, the script and any --timeout, its
// fifth the document's form; {forms: 'any'} or {forms: 'alpha'} lets version 2 documents through,
// with grey: true besides grey pictures too; {frames: true} hands over an animation's frames all at
// once.
function run(convert, {forms, grey = false, frames = false} = {}) {
    if (!FORMS.includes(forms)) throw new TypeError("forms must be 'any' or 'alpha'");
    if (typeof grey !== 'boolean' || (grey && forms === undefined)) {
        throw new TypeError("grey: true goes with forms 'any' or 'alpha': the filter needs the form to tell grey");
    }
    const timeout = takeTimeout();
    exchange(convert, process.argv.slice(2), forms, grey, frames, timeout).then((code) => process.exit(code));
}

module.exports = {run};
