#include "MagickDecode.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

Rgba16 MagickDecode(const std::string& file, const std::string& options) {
    // ImageMagick 6 reads no JPEG XL: libjxl's own djxl decodes it to a PNG first.
    const bool jxl = file.size() > 4 && file.compare(file.size() - 4, 4, ".jxl") == 0;
    char png[] = "/tmp/corvane-djxl-XXXXXX.png";
    const int made = jxl ? mkstemps(png, 4) : -1;
    if (made >= 0) close(made);
    if (jxl && (made < 0 || std::system(("djxl '" + file + "' " + png + " >/dev/null 2>&1").c_str()) != 0)) {
        if (made >= 0) unlink(png);
        return Rgba16();
    }
    const std::string command = "/usr/bin/convert '" + (jxl ? std::string(png) : file) +
                                "' -set colorspace sRGB -auto-orient " + options +
                                " -depth 16 -endian MSB rgba:- 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    Rgba16 samples;
    uint8_t pair[2];
    while (pipe != nullptr && std::fread(pair, 1, 2, pipe) == 2)
        samples.push_back(uint16_t(pair[0] << 8 | pair[1]));
    if (pipe != nullptr) pclose(pipe);
    if (jxl) unlink(png);
    return samples;
}
