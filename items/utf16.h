#pragma once
// UTF-16LE text from the file to the program's UTF-8.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kestrel {

// UTF-16LE to UTF-8, surrogate pairs included; the text ends at the first zero unit.
// Unpaired surrogates become U+FFFD.
std::string NarrowUtf16(const uint8_t* bytes, size_t byteCount);
// The size in bytes of what NarrowUtf16 gives, without writing it.
size_t NarrowUtf16Length(const uint8_t* bytes, size_t byteCount);

// False when UTF-16LE text (up to its first zero unit) holds an unpaired surrogate or a
// noncharacter: no program writes those, so the bytes are something else read through a
// damaged heap.
bool IsCleanUtf16(std::span<const uint8_t> bytes);

}  // namespace kestrel
