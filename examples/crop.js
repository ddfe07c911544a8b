#!/usr/bin/env node
// A Corvane module for Node.js: keeps the central half of the picture, W / 2 x H / 2 pixels from
// column W / 4 and row H / 4 (rounded down), in any form the host sends.
// Start it in the module's folder, before or after the host:  cd mymodule && node ../crop.js
// The kit next to this file (kits/corvane-module.js) does the waiting, reading and answering.
'use strict';
const {run} = require('./kits/corvane-module.js');

run((width, height, pixels, args, form) => {
    const size = form.channels * form.depth / 8;
    const w = Math.floor(width / 2), h = Math.floor(height / 2);
    const left = Math.floor(width / 4), top = Math.floor(height / 4);
    const kept = Buffer.alloc(w * h * size);
    for (let y = 0; y < h; y++) {
        const from = ((top + y) * width + left) * size;
        pixels.copy(kept, y * w * size, from, from + w * size);
    }
    return {width: w, height: h, pixels: kept};
}, {forms: 'any', grey: true});
