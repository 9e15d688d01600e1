// UTF-16LE text from the file to the program's UTF-8.
//
// Written by hand rather than through iconv: the text must end at the first zero unit and
// an unpaired surrogate must become U+FFFD instead of failing the whole string, and both
// are simpler to state here than to recover from iconv's error returns.
#include <bit>
#include <cstring>
#include <string>

#include "items/utf16.h"

namespace kestrel {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

[[maybe_unused]] constexpr uint64_t ByteSwap(uint64_t v) {
    uint64_t out = 0;
    for (int k = 0; k < 8; ++k) out = (out << 8) | ((v >> (8 * k)) & 0xFF);
    return out;
}

size_t Utf8Length(uint32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

char* PutUtf8(char* out, uint32_t cp) {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// Calls emit with each code point of the text, up to its first zero unit; runs of ASCII go
// to emit4 four units at a time, as they lie in the text.
template <typename Emit, typename Emit4>
void ForEachCodePoint(const uint8_t* bytes, size_t units, Emit emit, Emit4 emit4) {
    auto unitAt = [bytes](size_t i) -> uint32_t {
        return static_cast<uint32_t>(bytes[2 * i]) | (static_cast<uint32_t>(bytes[2 * i + 1]) << 8);
    };
    for (size_t i = 0; i < units; ++i) {
        // Four ASCII units at a time while there are: no zero unit, nothing from 0x80 up.
        while (i + 4 <= units) {
            uint64_t four;
            std::memcpy(&four, bytes + 2 * i, sizeof four);
            if constexpr (std::endian::native == std::endian::big) four = ByteSwap(four);
            const bool ascii = (four & 0xFF80FF80FF80FF80ULL) == 0;
            const bool noZero =
                ((four - 0x0001000100010001ULL) & ~four & 0x8000800080008000ULL) == 0;
            if (!ascii || !noZero) break;
            emit4(four);
            i += 4;
        }
        if (i >= units) break;
        const uint32_t unit = unitAt(i);
        if (unit < 0x80) {
            // Most text is ASCII: the common case first.
            if (unit == 0) break;
            emit(unit);
        } else if (unit >= 0xD800 && unit <= 0xDBFF) {
            // A high surrogate counts only with a low one right after it.
            if (i + 1 < units) {
                const uint32_t low = unitAt(i + 1);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    emit(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
            emit(kReplacement);
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            emit(kReplacement);
        } else {
            emit(unit);
        }
    }
}

}  // namespace

size_t NarrowUtf16Length(const uint8_t* bytes, size_t byteCount) {
    if (!bytes) return 0;
    size_t length = 0;
    // A lone last byte is half a unit: it carries no character and is left out.
    ForEachCodePoint(
        bytes, byteCount / 2, [&length](uint32_t cp) { length += Utf8Length(cp); },
        [&length](uint64_t) { length += 4; });
    return length;
}

std::string NarrowUtf16(const uint8_t* bytes, size_t byteCount) {
    std::string out;
    if (!bytes) return out;
    const size_t units = byteCount / 2;
    // Two passes, the first only measuring: the text is written straight into a string of
    // its exact size instead of growing it a byte at a time.
    out.resize(NarrowUtf16Length(bytes, byteCount));
    char* at = out.data();
    ForEachCodePoint(
        bytes, units, [&at](uint32_t cp) { at = PutUtf8(at, cp); },
        [&at](uint64_t four) {
            for (int k = 0; k < 4; ++k) *at++ = static_cast<char>(four >> (16 * k));
        });
    return out;
}

bool IsCleanUtf16(std::span<const uint8_t> bytes) {
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        const uint32_t unit = bytes[2 * i] | (uint32_t{bytes[2 * i + 1]} << 8);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            const uint32_t low =
                i + 1 < units ? bytes[2 * i + 2] | (uint32_t{bytes[2 * i + 3]} << 8) : 0;
            if (low < 0xDC00 || low > 0xDFFF) return false;
            ++i;
        } else if ((unit >= 0xDC00 && unit <= 0xDFFF) || (unit >= 0xFDD0 && unit <= 0xFDEF) ||
                   unit >= 0xFFFE) {
            return false;
        }
    }
    return true;
}

}  // namespace kestrel
