#!/usr/bin/env node
// A Corvane module for Node.js (no packages): turns the picture into shades of grey.
// Start it in the module's folder, before or after the host:  cd mymodule && node ../greyscale.js
// Exit code 0 when it answered, 1 otherwise.
'use strict';

const fs = require('fs');

const POLL_MILLISECONDS = 1000;
const BYTES_PER_PIXEL = 3;
const LARGEST_NUMBER = 2147483647;
const WHITESPACE = new Set([0x09, 0x0a, 0x0d, 0x20]);

class BadDocument extends Error {}

// Reads the document front to back; whitespace may stand between tags and around numbers,
// never inside the payload, which starts right after "<pixels>".
class Reader {
    constructor(data) {
        this.data = data;
        this.pos = 0;
    }

    skipWhitespace() {
        while (this.pos < this.data.length && WHITESPACE.has(this.data[this.pos])) this.pos++;
    }

    tag(expected) {
        this.skipWhitespace();
        const wanted = Buffer.from(expected, 'latin1');
        const found = this.data.subarray(this.pos, this.pos + wanted.length);
        if (!found.equals(wanted)) throw new BadDocument(`${expected} expected at byte ${this.pos}`);
        this.pos += wanted.length;
    }

    number() {
        this.skipWhitespace();
        const start = this.pos;
        let value = 0;
        while (this.pos < this.data.length && this.data[this.pos] >= 0x30 && this.data[this.pos] <= 0x39) {
            value = value * 10 + (this.data[this.pos] - 0x30);
            if (value > LARGEST_NUMBER) throw new BadDocument(`number too large at byte ${start}`);
            this.pos++;
        }
        if (this.pos === start) throw new BadDocument(`number expected at byte ${start}`);
        return value;
    }

    payload(length) {
        if (length > this.data.length - this.pos) throw new BadDocument('the pixel data ends early');
        const bytes = this.data.subarray(this.pos, this.pos + length);
        this.pos += length;
        return bytes;
    }
}

function parse(data) {
    const reader = new Reader(data);
    ['<image>', '<header>', '<version>'].forEach((tag) => reader.tag(tag));
    const version = reader.number();
    if (version > 1) console.log(`Warning: a version ${version} document; reading it as version 1`);
    reader.tag('</version>');
    reader.tag('<width>');
    const width = reader.number();
    reader.tag('</width>');
    reader.tag('<height>');
    const height = reader.number();
    ['</height>', '</header>', '<pixels>'].forEach((tag) => reader.tag(tag));
    // Above 2^53 the product loses precision, but it is then far beyond any file and refused all the same.
    const pixels = reader.payload(BYTES_PER_PIXEL * width * height);
    reader.tag('</pixels>');
    reader.tag('</image>');
    return {width, height, pixels};
}

// Rec. 601 luma in integer per mille, rounded to nearest: the same grey for every platform.
function greyscale(pixels) {
    const out = Buffer.alloc(pixels.length);
    for (let i = 0; i < pixels.length; i += BYTES_PER_PIXEL) {
        const grey = Math.floor((299 * pixels[i] + 587 * pixels[i + 1] + 114 * pixels[i + 2] + 500) / 1000);
        out[i] = grey;
        out[i + 1] = grey;
        out[i + 2] = grey;
    }
    return out;
}

function flagIsUp() {
    try {
        fs.closeSync(fs.openSync('go.flag', 'r'));
        return true;
    } catch (error) {
        return false;
    }
}

function waitForFlag() {
    console.log('Waiting ...');
    return new Promise((resolve) => {
        const check = () => (flagIsUp() ? resolve() : setTimeout(check, POLL_MILLISECONDS));
        check();
    });
}

// The document is complete and closed before the flag appears: the host reads it at once.
function answer(width, height, pixels) {
    const head = `<image><header><version>1</version><width>${width}</width><height>${height}</height>` +
        '</header><pixels>';
    const document =
        Buffer.concat([Buffer.from(head, 'latin1'), pixels, Buffer.from('</pixels></image>', 'latin1')]);
    fs.writeFileSync('../image.xml', document);
    fs.writeFileSync('../go.flag', 'finished');
}

function takeDocument() {
    const data = fs.readFileSync('image.xml');
    fs.unlinkSync('image.xml');
    return parse(data);
}

async function main() {
    await waitForFlag();
    try {
        fs.unlinkSync('go.flag');
    } catch (error) {
        // Already gone: the flag is only a signal.
    }
    let picture;
    try {
        picture = takeDocument();
    } catch (error) {
        console.log(`greyscale: ${error.message}`);
        return 1;
    }
    console.log('Converting Image');
    try {
        answer(picture.width, picture.height, greyscale(picture.pixels));
    } catch (error) {
        console.log(`greyscale: cannot answer: ${error.message}`);
        return 1;
    }
    console.log('Start Corvane');
    return 0;
}

main().then((code) => {
    process.exitCode = code;
});
