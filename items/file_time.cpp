#include "items/file_time.h"

#include "storage/byte_reader.h"

namespace kestrel {

std::optional<uint64_t> FileTimeOf(std::span<const uint8_t> bytes) {
    if (bytes.size() != 8) return std::nullopt;
    return ByteReader(bytes).U64(0);
}

}  // namespace kestrel
