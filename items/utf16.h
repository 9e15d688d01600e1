#pragma once
// UTF-16LE text from the file to the program's UTF-8.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

// UTF-16LE to UTF-8, surrogate pairs included; the text ends at the first zero unit.
// Unpaired surrogates become U+FFFD.
std::string NarrowUtf16(const uint8_t* bytes, size_t byteCount);
// The size in bytes of what NarrowUtf16 gives, without writing it.
size_t NarrowUtf16Length(const uint8_t* bytes, size_t byteCount);

// NarrowUtf16Length of a text that comes in pieces, as of the pieces joined: a unit or a
// surrogate pair may be split between two of them.
class Utf16LengthCounter {
  public:
    void Add(std::span<const uint8_t> piece);
    // The length of everything added (a high surrogate last counts as unpaired).
    uint64_t Finish();

  private:
    // Measures bytes up to a unit that could still pair with the next piece, or to the
    // text's end; returns the bytes it is done with.
    size_t Measure(const uint8_t* bytes, size_t size, bool last);

    std::vector<uint8_t> held_;  // bytes left over from the pieces so far: at most three
    uint64_t length_ = 0;
    bool ended_ = false;  // a zero unit was met
};

// False when UTF-16LE text (up to its first zero unit) holds an unpaired surrogate or a
// noncharacter: no program writes those, so the bytes are something else read through a
// damaged heap.
bool IsCleanUtf16(std::span<const uint8_t> bytes);

}  // namespace kestrel
