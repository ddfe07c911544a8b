#!/usr/bin/env node
// A Corvane module for Node.js: a soft vignette, the picture fading to transparent towards its corners.
// It needs alpha: run the host with --alpha (8 or 16 bits per sample); a picture without alpha is
// refused with one line. Start it in the module's folder:  cd mymodule && node ../vignette.js
// The kit next to this file (kits/corvane-module.js) does the waiting, reading and answering.
'use strict';
const {run} = require('./kits/corvane-module.js');

// d is the distance from the centre, 1 at the middle of each edge: opaque up to d = 0.5, then the
// alpha falls in a straight line to 0 at d = 1.3, short of the corners (d = 1.41). Colours stay.
run((width, height, pixels, args, form) => {
    const size = form.depth / 8; // bytes per sample; 16-bit samples are big-endian
    for (let y = 0, at = 3 * size; y < height; y++) {
        for (let x = 0; x < width; x++, at += 4 * size) {
            const dx = (2 * x + 1) / width - 1;
            const dy = (2 * y + 1) / height - 1;
            const keep = Math.min(1, Math.max(0, (1.3 - Math.sqrt(dx * dx + dy * dy)) / 0.8));
            const alpha = Math.floor((size === 1 ? pixels[at] : pixels.readUInt16BE(at)) * keep + 0.5);
            if (size === 1) pixels[at] = alpha;
            else pixels.writeUInt16BE(alpha, at);
        }
    }
}, {forms: 'alpha'});
