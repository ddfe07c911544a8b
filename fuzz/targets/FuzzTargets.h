// Entry points over every reader of untrusted bytes, shared by the libFuzzer programs and the replay
// test. Each accepts any byte sequence, returns 0, and must not crash, hang or grow without bound.
#pragma once

#include <cstddef>
#include <cstdint>

// Pictures whose header asks for more than this (pixels plus row table) are not decoded: a large
// but honest picture would otherwise end the run as "out of memory", which finds nothing.
constexpr uint64_t kFuzzMaxDecodedBytes = uint64_t(16) << 20;
// The decoders read through a small window are held to smaller pictures: every window edge is
// crossed in a small one, and a large one only makes each run slower.
constexpr uint64_t kFuzzWindowedMaxBytes = uint64_t(64) << 10;

int FuzzExchangeDocument(const uint8_t* data, size_t size);
int FuzzBmpLoad(const uint8_t* data, size_t size);
int FuzzTgaLoad(const uint8_t* data, size_t size);
int FuzzPnmLoad(const uint8_t* data, size_t size);
int FuzzPictureLoadMemory(const uint8_t* data, size_t size);
int FuzzPngLoadMemory(const uint8_t* data, size_t size);
int FuzzSerializeRestore(const uint8_t* data, size_t size);
int FuzzExifWalk(const uint8_t* data, size_t size);
// The codec of the row of codecs/framework/formats.def whose key this is: the target of every format without
// a target of its own.
int FuzzFormatLoad(const char* key, const uint8_t* data, size_t size);
