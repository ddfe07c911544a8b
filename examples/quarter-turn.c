/* A Corvane module in C: turns the picture a quarter turn clockwise, in any form the host sends;
 * the answer is H x W pixels. Build it (cc -O2 -o quarter-turn quarter-turn.c) and start it in the
 * module's folder, before or after the host.
 * The kit next to this file (kits/corvane_module.h) does the waiting, reading and answering. */
#include "kits/corvane_module.h"

/* The answer's pixel (x, y) is the picture's (y, H - 1 - x): its rows are the columns, read upwards. */
static int QuarterTurn(const struct corvane_form* form, unsigned char* in, size_t length, int argc,
                       char** argv) {
    const size_t w = (size_t)form->width, h = (size_t)form->height;
    const size_t size = (size_t)(form->channels * form->depth / 8);
    unsigned char* out = corvane_reshape(form->height, form->width);
    (void)length, (void)argc, (void)argv;
    if (out == NULL) return 1;
    for (size_t y = 0; y < w; ++y)
        for (size_t x = 0; x < h; ++x)
            memcpy(out + (y * h + x) * size, in + ((h - 1 - x) * w + y) * size, size);
    return 0;
}

int main(int argc, char** argv) {
    return corvane_run_forms(QuarterTurn, CORVANE_ANY_FORM | CORVANE_GREY_FORM, argc, argv);
}
