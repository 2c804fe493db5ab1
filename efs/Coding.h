// Little-endian integer coding for every structure the volume keeps on disk.
//
// Every integer in a container is stored little-endian two's complement, whatever the
// host's byte order. All encoding and decoding of on-disk fields goes through these
// helpers; no C++ object is ever copied to or from disk with memcpy.
#pragma once

#include <cstdint>

namespace efs {

inline void encodeFixed32(uint8_t* dst, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    dst[0] = static_cast<uint8_t>(v);
    dst[1] = static_cast<uint8_t>(v >> 8);
    dst[2] = static_cast<uint8_t>(v >> 16);
    dst[3] = static_cast<uint8_t>(v >> 24);
}

inline void encodeFixed64(uint8_t* dst, int64_t value) {
    const auto v = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i) dst[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline int32_t decodeFixed32(const uint8_t* src) {
    const uint32_t v = static_cast<uint32_t>(src[0]) | (static_cast<uint32_t>(src[1]) << 8) |
                       (static_cast<uint32_t>(src[2]) << 16) |
                       (static_cast<uint32_t>(src[3]) << 24);
    return static_cast<int32_t>(v);
}

inline int64_t decodeFixed64(const uint8_t* src) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | src[i];
    return static_cast<int64_t>(v);
}

}  // namespace efs
