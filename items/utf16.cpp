// UTF-16LE text from the file to the program's UTF-8.
//
// Written by hand rather than through iconv: the text must end at the first zero unit and
// an unpaired surrogate must become U+FFFD instead of failing the whole string, and both
// are simpler to state here than to recover from iconv's error returns.
#include <bit>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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

#if defined(__SSE2__)
// The sum of the eight signed 16-bit lanes.
int64_t SumLanes(__m128i lanes) {
    alignas(16) int32_t sums[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(sums), _mm_madd_epi16(lanes, _mm_set1_epi16(1)));
    return int64_t{sums[0]} + sums[1] + sums[2] + sums[3];
}

// Passes over eight units at a time while none of them is zero or from 0xD800 up
// (surrogates, and the few characters above them, go unit by unit); adds the UTF-8 length
// of what it passed over to *length when length is given. Returns the units passed over.
size_t SkipPlainUnits(const uint8_t* bytes, size_t units, size_t* length) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i highBits7 = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i highBits11 = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i lastPlain = _mm_set1_epi16(static_cast<short>(0xD7FF));
    // A unit takes three bytes, one less below 0x800 and one less again below 0x80: the
    // lanes count the bytes less (as -1 each), emptied before they could overflow.
    int64_t less = 0;
    __m128i lessLanes = zero;
    size_t i = 0;
    for (size_t steps = 1; i + 8 <= units; i += 8, ++steps) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i));
        const __m128i odd = _mm_or_si128(_mm_cmpeq_epi16(v, zero),
                                         _mm_cmpgt_epi16(_mm_subs_epu16(v, lastPlain), zero));
        if (_mm_movemask_epi8(odd) != 0) break;
        lessLanes = _mm_add_epi16(lessLanes, _mm_cmpeq_epi16(_mm_and_si128(v, highBits7), zero));
        lessLanes = _mm_add_epi16(lessLanes, _mm_cmpeq_epi16(_mm_and_si128(v, highBits11), zero));
        if (steps % 8192 == 0) {
            less += SumLanes(lessLanes);
            lessLanes = zero;
        }
    }
    if (length) *length += 3 * i + static_cast<size_t>(less + SumLanes(lessLanes));
    return i;
}

// Writes runs of ASCII units (no zero) to out as bytes, eight at a time; returns the
// units written.
size_t CopyAsciiUnits(const uint8_t* bytes, size_t units, char* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i highBits7 = _mm_set1_epi16(static_cast<short>(0xFF80));
    size_t i = 0;
    for (; i + 8 <= units; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i));
        // Every unit nonzero and below 0x80: no zero unit, and every high part empty.
        const int ascii = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, highBits7), zero));
        if (ascii != 0xFFFF || _mm_movemask_epi8(_mm_cmpeq_epi16(v, zero)) != 0) break;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(v, v));
    }
    return i;
}
#else
size_t SkipPlainUnits(const uint8_t*, size_t, size_t*) {
    return 0;
}
size_t CopyAsciiUnits(const uint8_t*, size_t, char*) {
    return 0;
}
#endif

// Calls emit with each code point of the text, up to its first zero unit; runs of ASCII go
// to emit4 four units at a time, as they lie in the text. skip(at, unitsLeft) may account
// for a run of plain units itself and say how many it took. Returns the zero unit's place,
// or units when there is none.
template <typename Emit, typename Emit4, typename Skip>
size_t ForEachCodePoint(const uint8_t* bytes, size_t units, Emit emit, Emit4 emit4, Skip skip) {
    auto unitAt = [bytes](size_t i) -> uint32_t {
        return static_cast<uint32_t>(bytes[2 * i]) | (static_cast<uint32_t>(bytes[2 * i + 1]) << 8);
    };
    for (size_t i = 0; i < units; ++i) {
        i += skip(bytes + 2 * i, units - i);
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
            if (unit == 0) return i;
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
    return units;
}

// Adds the UTF-8 length of the text to *length, up to its first zero unit; returns that
// unit's place, or units when there is none.
size_t MeasureUnits(const uint8_t* bytes, size_t units, size_t* length) {
    return ForEachCodePoint(
        bytes, units, [length](uint32_t cp) { *length += Utf8Length(cp); },
        [length](uint64_t) { *length += 4; },
        [length](const uint8_t* at, size_t left) { return SkipPlainUnits(at, left, length); });
}

}  // namespace

size_t NarrowUtf16Length(const uint8_t* bytes, size_t byteCount) {
    if (!bytes) return 0;
    size_t length = 0;
    // A lone last byte is half a unit: it carries no character and is left out.
    MeasureUnits(bytes, byteCount / 2, &length);
    return length;
}

void Utf16LengthCounter::Add(std::span<const uint8_t> piece) {
    if (ended_) return;
    if (held_.empty()) {
        const size_t done = Measure(piece.data(), piece.size(), false);
        held_.assign(piece.begin() + static_cast<ptrdiff_t>(done), piece.end());
        return;
    }
    // A unit or a pair split between the pieces: joined, and measured from there.
    held_.insert(held_.end(), piece.begin(), piece.end());
    held_.erase(held_.begin(),
                held_.begin() + static_cast<ptrdiff_t>(Measure(held_.data(), held_.size(), false)));
}

uint64_t Utf16LengthCounter::Finish() {
    if (!ended_) Measure(held_.data(), held_.size(), true);
    held_.clear();
    ended_ = true;
    return length_;
}

size_t Utf16LengthCounter::Measure(const uint8_t* bytes, size_t size, bool last) {
    size_t units = size / 2;
    // A high surrogate at the end pairs, or not, with the next piece's first unit.
    if (!last && units > 0) {
        const uint32_t unit = bytes[2 * units - 2] | (uint32_t{bytes[2 * units - 1]} << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF) --units;
    }
    size_t length = 0;
    const size_t end = MeasureUnits(bytes, units, &length);
    length_ += length;
    if (end < units) {
        ended_ = true;
        return size;
    }
    return 2 * units;
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
        },
        [&at](const uint8_t* from, size_t left) {
            const size_t copied = CopyAsciiUnits(from, left, at);
            at += copied;
            return copied;
        });
    return out;
}

bool IsCleanUtf16(std::span<const uint8_t> bytes) {
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        i += SkipPlainUnits(bytes.data() + 2 * i, units - i, nullptr);
        if (i >= units) break;
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
