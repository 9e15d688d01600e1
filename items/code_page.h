#pragma once
// Windows code pages as the file names them (PR_MESSAGE_CODEPAGE, PR_INTERNET_CPID), and
// the conversion of 8-bit text in such a code page to UTF-8.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrel {

inline constexpr uint32_t kWindows1252 = 1252;

// The iconv name we read a Windows code page with, or an empty view when we know none.
std::string_view CodePageName(uint32_t codePage);

// The bytes of one code unit of a code page: 2 for UTF-16, 4 for UTF-32, 1 for the rest.
size_t CodeUnitSize(uint32_t codePage);

// The code page to read 8-bit text with: codePage when we know it and it is an 8-bit one
// (not UTF-16 or UTF-32), else fallback.
uint32_t NarrowCodePage(uint32_t codePage, uint32_t fallback);

// Converts bytes in codePage to UTF-8. A code page we do not know is read as Windows-1252.
// Bytes that do not form a character of the code page become U+FFFD; the conversion never
// fails and its work is bounded by the input's size.
std::string ConvertToUtf8(std::span<const uint8_t> bytes, uint32_t codePage);
std::string ConvertToUtf8(std::string_view bytes, uint32_t codePage);

// True when bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing above
// U+10FFFF).
bool IsValidUtf8(std::span<const uint8_t> bytes);

}  // namespace kestrel
