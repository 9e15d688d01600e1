#pragma once
// The file's CRC (header, page and block trailers): the reflected CRC-32 of zlib, started
// from 0 and not inverted at the end.
#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace kestrel {

inline uint32_t PstCrc(const uint8_t* bytes, size_t count) {
    // zlib inverts on the way in and out: a start of ~0 and one more inversion undo both.
    return static_cast<uint32_t>(~crc32_z(0xFFFFFFFFul, bytes, count));
}

}  // namespace kestrel
