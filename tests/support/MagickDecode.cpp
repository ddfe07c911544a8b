#include "MagickDecode.h"

#include <cstdio>

Rgba16 MagickDecode(const std::string& file, const std::string& options) {
    const std::string command = "/usr/bin/convert '" + file + "' -set colorspace sRGB -auto-orient " +
                                options + " -depth 16 -endian MSB rgba:- 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    Rgba16 samples;
    uint8_t pair[2];
    while (pipe != nullptr && std::fread(pair, 1, 2, pipe) == 2)
        samples.push_back(uint16_t(pair[0] << 8 | pair[1]));
    if (pipe != nullptr) pclose(pipe);
    return samples;
}
