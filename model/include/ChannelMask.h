// Colour channels taken out of a pixel word by a bit mask: the rule shared by 16-bit pictures
// and 32-bit bit-field files, so both widen narrow channels the same way.
#pragma once

#include <cstdint>

// The masks of a 16-bit picture that names none (red, green, blue): five bits each, 5-5-5.
constexpr uint32_t kMasks555[3] = {0x7C00, 0x03E0, 0x001F};

// ((word & Mask) >> Down) << Up gives the channel as 8 bits.
struct ChannelMask {
    uint32_t Mask = 0;
    uint32_t Down = 0;
    uint32_t Up = 0;
};

// A channel is shifted down to bit 0 and widened by a plain left shift, so a full 5-bit channel
// gives 248 and a full 6-bit channel 252; a channel wider than 8 bits keeps its top 8 bits.
// A zero mask gives a channel that is always 0.
inline ChannelMask DescribeChannelMask(uint32_t mask) {
    ChannelMask channel;
    if (mask == 0) return channel;
    const uint32_t shift = uint32_t(__builtin_ctz(mask));
    const uint32_t width = 32 - uint32_t(__builtin_clz(mask >> shift));
    channel.Mask = mask;
    channel.Down = shift + (width > 8 ? width - 8 : 0);
    channel.Up = width < 8 ? 8 - width : 0;
    return channel;
}

inline uint8_t ExtractChannel(uint32_t word, const ChannelMask& channel) {
    return uint8_t(((word & channel.Mask) >> channel.Down) << channel.Up);
}
