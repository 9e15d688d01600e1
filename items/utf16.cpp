// UTF-16LE text from the file to the program's UTF-8.
//
// Written by hand rather than through iconv: the text must end at the first zero unit and
// an unpaired surrogate must become U+FFFD instead of failing the whole string, and both
// are simpler to state here than to recover from iconv's error returns.
#include <string>

#include "items/property_parser.h"

namespace kestrel {

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

constexpr uint32_t kReplacement = 0xFFFD;

}  // namespace

std::string NarrowUtf16(const uint8_t* bytes, size_t byteCount) {
    std::string out;
    if (!bytes) return out;
    // A lone last byte is half a unit: it carries no character and is left out.
    const size_t units = byteCount / 2;
    out.reserve(units);
    auto unitAt = [bytes](size_t i) -> uint32_t {
        return static_cast<uint32_t>(bytes[2 * i]) | (static_cast<uint32_t>(bytes[2 * i + 1]) << 8);
    };
    for (size_t i = 0; i < units; ++i) {
        const uint32_t unit = unitAt(i);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            // A high surrogate counts only with a low one right after it.
            if (i + 1 < units) {
                const uint32_t low = unitAt(i + 1);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
            AppendUtf8(out, kReplacement);
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

}  // namespace kestrel
