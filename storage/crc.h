#pragma once
// The file's CRC (header, page and block trailers): the reflected CRC-32 of zlib, started
// from 0 and not inverted at the end; and the trailers' signature.
#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace kestrel {

inline uint32_t PstCrc(const uint8_t* bytes, size_t count) {
    // zlib inverts on the way in and out: a start of ~0 and one more inversion undo both.
    return static_cast<uint32_t>(~crc32_z(0xFFFFFFFFul, bytes, count));
}

// wSig of a block or B-tree page: the XOR of the halves of the low 32 bits of ib XOR bid.
constexpr uint16_t ComputeSig(uint64_t ib, uint64_t bid) {
    const auto x = static_cast<uint32_t>(ib ^ bid);
    return static_cast<uint16_t>((x >> 16) ^ x);
}

}  // namespace kestrel
