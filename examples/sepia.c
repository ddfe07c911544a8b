/* A Corvane module in C: gives the picture the brown tone of an old photograph.
 * Build it (cc -O2 -o sepia sepia.c) and start it in the module's folder, before or after the host;
 * `sepia --timeout 60` gives up when no picture comes within a minute.
 * The kit next to this file (kits/corvane_module.h) does the waiting, reading and answering. */
#include "kits/corvane_module.h"

static unsigned char Clamp(unsigned value) {
    return (unsigned char)(value > 255 ? 255 : value);
}
/* The classic sepia matrix in integer per mille, truncated and clamped to 255; changed in place.
 * The command line is passed on only so that the kit can take --timeout off it. */
static int Sepia(int32_t width, int32_t height, unsigned char* p, size_t length, int argc, char** argv) {
    (void)width, (void)height, (void)argc, (void)argv; /* each pixel on its own, no arguments of its own */
    for (size_t i = 0; i + 3 <= length; i += 3) {
        unsigned r = p[i], g = p[i + 1], b = p[i + 2];
        p[i] = Clamp((393 * r + 769 * g + 189 * b) / 1000);
        p[i + 1] = Clamp((349 * r + 686 * g + 168 * b) / 1000);
        p[i + 2] = Clamp((272 * r + 534 * g + 131 * b) / 1000);
    }
    return 0;
}

int main(int argc, char** argv) {
    return corvane_run_args(Sepia, argc, argv);
}
