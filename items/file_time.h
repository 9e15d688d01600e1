#pragma once
// FILETIME values (100-ns intervals since 1601-01-01 UTC) as properties store them.
#include <cstdint>
#include <optional>
#include <span>

namespace kestrel {

// The time of a FILETIME property's bytes: exactly 8, little-endian. Any other length is
// damage and counts as no time at all.
std::optional<uint64_t> FileTimeOf(std::span<const uint8_t> bytes);

}  // namespace kestrel
