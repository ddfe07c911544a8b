#!/usr/bin/env node
// A Corvane module for Node.js: turns the picture into shades of grey.
// Start it in the module's folder, before or after the host:  cd mymodule && node ../greyscale.js
// The kit next to this file (kits/corvane-module.js) does the waiting, reading and answering.
'use strict';
const {run} = require('./kits/corvane-module.js');

// Rec. 601 luma in integer per mille, rounded to nearest: the same grey on every platform.
run((width, height, pixels) => {
    for (let i = 0; i < pixels.length; i += 3) {
        const grey = Math.floor((299 * pixels[i] + 587 * pixels[i + 1] + 114 * pixels[i + 2] + 500) / 1000);
        pixels[i] = pixels[i + 1] = pixels[i + 2] = grey;
    }
    return pixels;
});
