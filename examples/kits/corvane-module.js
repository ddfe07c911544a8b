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
// in place. The picture keeps its size.
//
// Start the module with its folder as the working directory, before or after the host:
//     cd mymodule && node ../greyscale.js
//
// What the kit does for the filter:
// - prints "Waiting ..." and waits for "go.flag" (fs.watch, with a 100 ms poll behind it; a flag
//   already there is taken at once);
// - removes the flag, reads "image.xml" (a regular file, never through a link) and removes it;
// - reads it with the same tolerance and the same messages as Corvane's own reader;
// - writes "../image.xml" into a temporary file in ".." and renames it into place, then raises
//   "../go.flag" the same way, so a link or an old file at either name is replaced, never written
//   through;
// - once it has taken the host's flag and cannot answer (a bad document, a filter that throws or
//   answers the wrong number of bytes, a full disk), it removes its partial answer, raises
//   "../go.flag" without a document so the host stops waiting and reports the failure, and exits 1.
//
// Not done: Node's standard library has no flock, so this kit does not lock its folder. Do not
// start two copies of a module in one folder: the second would take the next run's document.
//
// Progress and error messages go to standard output, as with Corvane's own modules; the filter's
// stack trace goes to standard error. Exit code 0 when the answer is written, else 1.
'use strict';

const fs = require('fs');
const path = require('path');

const {O_RDONLY, O_WRONLY, O_CREAT, O_EXCL, O_NOFOLLOW, O_NONBLOCK} = fs.constants;
const FLAG = 'go.flag';
const DOCUMENT = 'image.xml';
const ANSWER = '../image.xml';
const ANSWER_FLAG = '../go.flag';
const POLL_MILLISECONDS = 100;
const LARGEST_NUMBER = 2147483647;
// The largest count whose payload size still fits in 32 bits: the same limit as Corvane's reader.
const LARGEST_PIXEL_COUNT = 1431655765;
// Node refuses a single read or write above 2 GiB.
const IO_CHUNK = 1 << 30;

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
        const close = this.data.indexOf(0x3e, this.pos);
        if (close < 0) throw new NoAnswer(`Tag ${expected} not found.  The document ends early`);
        const found = this.data.subarray(this.pos, close + 1);
        this.pos = close + 1;
        if (!found.equals(Buffer.from(expected, 'latin1'))) {
            const text = Buffer.concat([Buffer.from('Wrong Tag: '), found, Buffer.from(` found but ${expected} expected`)]);
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

function parse(document) {
    const cursor = new Cursor(document);
    ['<image>', '<header>', '<version>'].forEach((tag) => cursor.tag(tag));
    const version = cursor.number();
    if (version > 1) {
        say(`Warning! This is a version 1.0 module and you passed a version ${version}.0 image.xml file!\n`);
    }
    cursor.tag('</version>');
    cursor.tag('<width>');
    const width = cursor.number();
    cursor.tag('</width>');
    cursor.tag('<height>');
    const height = cursor.number();
    ['</height>', '</header>', '<pixels>'].forEach((tag) => cursor.tag(tag));
    // Both factors are below 2^31, so the product is exact enough to compare with the limit.
    if (width * height > LARGEST_PIXEL_COUNT) {
        throw new NoAnswer(`Image too large.  More than ${LARGEST_PIXEL_COUNT} pixels`);
    }
    const start = cursor.pos;
    const end = start + 3 * width * height;
    if (end > document.length) throw new NoAnswer('Pixels expected.  The document ends early');
    cursor.pos = end;
    cursor.tag('</pixels>');
    cursor.tag('</image>');
    return {width, height, pixels: document.subarray(start, end)};
}

function waitForFlag() {
    say('Waiting ...\n');
    return new Promise((resolve) => {
        let watcher = null;
        let timer = null;
        const check = () => {
            if (timer === null || !fs.existsSync(FLAG)) return;
            clearInterval(timer);
            timer = null;
            if (watcher) watcher.close();
            resolve();
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

function readDocument() {
    say('Read XML\n');
    let fd;
    try {
        // No link is followed, and a FIFO planted under the name cannot block the open.
        fd = fs.openSync(DOCUMENT, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    } catch (error) {
        throw new NoAnswer('image.xml cannot be opened');
    }
    let document;
    try {
        const status = fs.fstatSync(fd);
        if (!status.isFile()) throw new Error('not a regular file');
        document = Buffer.allocUnsafe(status.size);
        let got = 0;
        while (got < document.length) {
            const count = fs.readSync(fd, document, got, Math.min(document.length - got, IO_CHUNK), null);
            if (count === 0) break;
            got += count;
        }
        document = document.subarray(0, got);  // a file cut short while we read it fails the parse
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
    return document;
}

// Writes into a new file next to `target` and renames it over `target`: whatever stood there (an
// old file, a link planted by someone else) is replaced, never written through.
function writeSafely(target, pieces) {
    const temporary = path.join(path.dirname(target), `.${path.basename(target)}.${process.pid}`);
    try {
        fs.unlinkSync(temporary);  // ours by name; a link there is removed, not followed
    } catch (error) {
        // Usually there is none.
    }
    const fd = fs.openSync(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0o644);
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
        fs.renameSync(temporary, target);
    } catch (error) {
        try {
            fs.unlinkSync(temporary);
        } catch (ignored) {
            // Already gone.
        }
        throw error;
    }
}

function answerBytes(answer, length) {
    if (!ArrayBuffer.isView(answer)) throw new NoAnswer('The filter must return a Buffer or Uint8Array');
    const bytes = Buffer.from(answer.buffer, answer.byteOffset, answer.byteLength);
    if (bytes.length !== length) {
        throw new NoAnswer(`The filter answered ${bytes.length} bytes; the picture needs ${length} (3 per pixel, same size)`);
    }
    return bytes;
}

// The failure flag: no answer, but the host is told at once instead of waiting for ever.
function fail(message) {
    endLine();
    say(message);
    endLine();
    try {
        writeSafely(ANSWER_FLAG, [Buffer.from('finished')]);
        say('Error: no answer; ../go.flag raised without image.xml so the host stops waiting\n');
    } catch (error) {
        say(`Error: no answer, and ../go.flag could not be raised either (${error.code})\n`);
    }
    return 1;
}

async function exchange(convert) {
    await waitForFlag();
    try {
        fs.unlinkSync(FLAG);
    } catch (error) {
        // Not taken part: a later run must not answer this flag's document twice.
        say(`go.flag could not be removed (${error.code}); not answering\n`);
        return 1;
    }
    let answered = false;
    try {
        const document = readDocument();
        say('Parse XML\n');
        const {width, height, pixels} = parse(document);
        say('Converting Image\n');
        let answer = await convert(width, height, pixels);
        if (answer === undefined) answer = pixels;
        const payload = answerBytes(answer, pixels.length);
        say('Save XML\n');
        const head = `<image><header><version>1</version><width>${width}</width><height>${height}</height>` +
            '</header><pixels>';
        try {
            writeSafely(ANSWER, [Buffer.from(head, 'latin1'), payload, Buffer.from('</pixels></image>', 'latin1')]);
        } catch (error) {
            throw new NoAnswer(`../image.xml could not be written (${error.code})`);
        }
        answered = true;
        say('Start Corvane\n');
        try {
            writeSafely(ANSWER_FLAG, [Buffer.from('finished')]);
        } catch (error) {
            throw new NoAnswer(`../go.flag could not be raised (${error.code})`);
        }
        return 0;
    } catch (error) {
        if (answered) {
            try {
                fs.unlinkSync(ANSWER);
            } catch (ignored) {
                // Nothing of ours is left.
            }
        }
        if (error instanceof NoAnswer) return fail(error.message);
        console.error(error);
        return fail(`The filter failed: ${error}`);
    }
}

// Runs one exchange with `convert` as the filter and ends the process (exit 0 or 1).
function run(convert) {
    exchange(convert).then((code) => process.exit(code));
}

module.exports = {run};
