// Multi-byte fields put together from single bytes and taken apart again: the one way every
// reader and writer of file headers, records and pixel words handles byte order (little-endian
// for BMP, TGA and the image record; big-endian for JPEG and PNG). Callers check that the bytes
// are there; these only shift.
#pragma once

#include <cstdint>

inline uint16_t GetU16LE(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t GetU24LE(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
}
inline uint32_t GetU32LE(const uint8_t* p) {
    return GetU24LE(p) | uint32_t(p[3]) << 24;
}

inline void PutU16LE(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void PutU32LE(uint8_t* p, uint32_t v) {
    PutU16LE(p, uint16_t(v));
    PutU16LE(p + 2, uint16_t(v >> 16));
}

inline uint16_t GetU16BE(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
inline uint32_t GetU32BE(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
