#include "items/code_page.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

struct CodePageEntry {
    uint32_t codePage;
    std::string_view name;
};

// Sorted by number for the lookup. ASCII and Latin-1 are read as Windows-1252, their
// superset, as mail readers do: text labelled so often holds its 8-bit characters.
constexpr std::array kCodePages = {
    CodePageEntry{437, "CP437"},         CodePageEntry{737, "CP737"},
    CodePageEntry{775, "CP775"},         CodePageEntry{850, "CP850"},
    CodePageEntry{852, "CP852"},         CodePageEntry{855, "CP855"},
    CodePageEntry{857, "CP857"},         CodePageEntry{860, "CP860"},
    CodePageEntry{861, "CP861"},         CodePageEntry{862, "CP862"},
    CodePageEntry{863, "CP863"},         CodePageEntry{864, "CP864"},
    CodePageEntry{865, "CP865"},         CodePageEntry{866, "CP866"},
    CodePageEntry{869, "CP869"},         CodePageEntry{874, "CP874"},
    CodePageEntry{932, "CP932"},         CodePageEntry{936, "CP936"},
    CodePageEntry{949, "CP949"},         CodePageEntry{950, "CP950"},
    CodePageEntry{1200, "UTF-16LE"},     CodePageEntry{1201, "UTF-16BE"},
    CodePageEntry{1250, "CP1250"},       CodePageEntry{1251, "CP1251"},
    CodePageEntry{1252, "CP1252"},       CodePageEntry{1253, "CP1253"},
    CodePageEntry{1254, "CP1254"},       CodePageEntry{1255, "CP1255"},
    CodePageEntry{1256, "CP1256"},       CodePageEntry{1257, "CP1257"},
    CodePageEntry{1258, "CP1258"},       CodePageEntry{1361, "JOHAB"},
    CodePageEntry{10000, "MACINTOSH"},   CodePageEntry{10007, "MAC-CYRILLIC"},
    CodePageEntry{12000, "UTF-32LE"},    CodePageEntry{12001, "UTF-32BE"},
    CodePageEntry{20127, "CP1252"},      CodePageEntry{20866, "KOI8-R"},
    CodePageEntry{20932, "EUC-JP"},      CodePageEntry{21866, "KOI8-U"},
    CodePageEntry{28591, "CP1252"},      CodePageEntry{28592, "ISO-8859-2"},
    CodePageEntry{28593, "ISO-8859-3"},  CodePageEntry{28594, "ISO-8859-4"},
    CodePageEntry{28595, "ISO-8859-5"},  CodePageEntry{28596, "ISO-8859-6"},
    CodePageEntry{28597, "ISO-8859-7"},  CodePageEntry{28598, "ISO-8859-8"},
    CodePageEntry{28599, "ISO-8859-9"},  CodePageEntry{28600, "ISO-8859-10"},
    CodePageEntry{28601, "ISO-8859-11"}, CodePageEntry{28603, "ISO-8859-13"},
    CodePageEntry{28604, "ISO-8859-14"}, CodePageEntry{28605, "ISO-8859-15"},
    CodePageEntry{28606, "ISO-8859-16"}, CodePageEntry{38598, "ISO-8859-8"},
    CodePageEntry{50220, "ISO-2022-JP"}, CodePageEntry{50221, "ISO-2022-JP"},
    CodePageEntry{50222, "ISO-2022-JP"}, CodePageEntry{50225, "ISO-2022-KR"},
    CodePageEntry{50227, "ISO-2022-CN"}, CodePageEntry{51932, "EUC-JP"},
    CodePageEntry{51936, "EUC-CN"},      CodePageEntry{51949, "EUC-KR"},
    CodePageEntry{51950, "EUC-TW"},      CodePageEntry{54936, "GB18030"},
    CodePageEntry{65000, "UTF-7"},       CodePageEntry{65001, "UTF-8"},
};

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Code pages whose text of bytes below 0x80 is not plain ASCII (wide or stateful ones).
bool AsciiCompatible(uint32_t codePage) {
    if (CodeUnitSize(codePage) > 1) return false;
    switch (codePage) {
        case 65000:
        case 50220:
        case 50221:
        case 50222:
        case 50225:
        case 50227:
            return false;
        default:
            return true;
    }
}

// iconv descriptors are not shareable between threads, and opening one costs a module
// lookup: each thread keeps the few it has used.
class ConverterCache {
  public:
    ~ConverterCache() {
        for (auto& [cp, cd] : open_) iconv_close(cd);
    }

    iconv_t Get(uint32_t codePage, std::string_view name) {
        for (auto& [cp, cd] : open_) {
            if (cp == codePage) return cd;
        }
        iconv_t cd = iconv_open("UTF-8", std::string(name).c_str());
        if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
        if (open_.size() >= kMaxOpen) {
            iconv_close(open_.front().second);
            open_.erase(open_.begin());
        }
        open_.emplace_back(codePage, cd);
        return cd;
    }

  private:
    static constexpr size_t kMaxOpen = 8;
    std::vector<std::pair<uint32_t, iconv_t>> open_;
};

thread_local ConverterCache converters;

// A single-byte code page as a table: the UTF-8 of every byte, as iconv gives it, or
// nothing for a byte iconv refuses. Each byte of such a code page stands alone, so the
// table converts exactly as iconv would, without a library call per value.
struct ByteTable {
    std::array<std::array<char, 4>, 256> text{};  // a refused byte has U+FFFD
    std::array<uint8_t, 256> length{};
};

// Builds the table, or null when the code page is not one byte a character: a byte
// that iconv finds incomplete, or text that converts differently as a whole than byte by
// byte (glibc composes combining marks in Windows-1255 and -1258, so those never qualify).
std::unique_ptr<ByteTable> MakeByteTable(uint32_t codePage, iconv_t cd) {
    if (codePage == 1255 || codePage == 1258 || CodeUnitSize(codePage) != 1 ||
        !AsciiCompatible(codePage)) {
        return nullptr;
    }
    auto table = std::make_unique<ByteTable>();
    std::string all;
    std::string expected;
    for (int value = 0; value < 256; ++value) {
        char byte = static_cast<char>(value);
        char* in = &byte;
        size_t inLeft = 1;
        char* out = table->text[value].data();
        size_t outLeft = table->text[value].size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
            if (errno != EILSEQ) return nullptr;
            std::copy(kReplacement.begin(), kReplacement.end(), table->text[value].begin());
            table->length[value] = static_cast<uint8_t>(kReplacement.size());
            continue;
        }
        table->length[value] = static_cast<uint8_t>(table->text[value].size() - outLeft);
        if (table->length[value] == 0) return nullptr;
        all.push_back(byte);
        expected.append(table->text[value].data(), table->length[value]);
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string whole(expected.size() + 64, '\0');
    char* in = all.data();
    size_t inLeft = all.size();
    char* out = whole.data();
    size_t outLeft = whole.size();
    if (iconv(cd, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) return nullptr;
    whole.resize(whole.size() - outLeft);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (whole != expected) return nullptr;
    return table;
}

// The tables of the code pages this thread has met; null entries for those that have none.
class TableCache {
  public:
    const ByteTable* Get(uint32_t codePage, iconv_t cd) {
        for (const auto& [cp, table] : tables_) {
            if (cp == codePage) return table.get();
        }
        if (tables_.size() >= kMaxTables) tables_.erase(tables_.begin());
        tables_.emplace_back(codePage, MakeByteTable(codePage, cd));
        return tables_.back().second.get();
    }

  private:
    static constexpr size_t kMaxTables = 8;
    std::vector<std::pair<uint32_t, std::unique_ptr<ByteTable>>> tables_;
};

thread_local TableCache byteTables;

// The length of the well-formed UTF-8 sequence at bytes[i], or 0 when there is none
// (overlongs, surrogates and values above U+10FFFF are not well-formed).
size_t Utf8SequenceLength(std::span<const uint8_t> bytes, size_t i) {
    const uint8_t lead = bytes[i];
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (bytes.size() - i < length) return 0;
    for (size_t k = 1; k < length; ++k) {
        const uint8_t next = bytes[i + k];
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) || value > 0x10FFFF ||
        (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// UTF-8 as it is, each byte that starts no well-formed sequence replaced (iconv lets
// surrogates through).
std::string SanitizeUtf8(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    const char* text = reinterpret_cast<const char*>(bytes.data());
    size_t runStart = 0;  // the well-formed bytes not yet copied start here
    for (size_t i = 0; i < bytes.size();) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        const size_t length = Utf8SequenceLength(bytes, i);
        if (length == 0) {
            out.append(text + runStart, i - runStart);
            out += kReplacement;
            ++i;
            runStart = i;
        } else {
            i += length;
        }
    }
    out.append(text + runStart, bytes.size() - runStart);
    return out;
}

}  // namespace

std::string_view CodePageName(uint32_t codePage) {
    auto it = std::lower_bound(
        kCodePages.begin(), kCodePages.end(), codePage,
        [](const CodePageEntry& entry, uint32_t value) { return entry.codePage < value; });
    if (it == kCodePages.end() || it->codePage != codePage) return {};
    return it->name;
}

size_t CodeUnitSize(uint32_t codePage) {
    switch (codePage) {
        case 1200:  // UTF-16LE
        case 1201:  // UTF-16BE
            return 2;
        case 12000:  // UTF-32LE
        case 12001:  // UTF-32BE
            return 4;
        default:
            return 1;
    }
}

uint32_t NarrowCodePage(uint32_t codePage, uint32_t fallback) {
    if (codePage == 0 || CodePageName(codePage).empty() || CodeUnitSize(codePage) > 1) {
        return fallback;
    }
    return codePage;
}

std::string ConvertToUtf8(std::span<const uint8_t> bytes, uint32_t codePage) {
    std::string_view name = CodePageName(codePage);
    if (name.empty()) {
        codePage = kWindows1252;
        name = CodePageName(codePage);
    }
    if (AsciiCompatible(codePage) &&
        std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b < 0x80; })) {
        return std::string(bytes.begin(), bytes.end());
    }

    if (codePage == 65001) return SanitizeUtf8(bytes);

    iconv_t cd = converters.Get(codePage, name);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter on this system: keep ASCII, mark the rest.
        std::string out;
        for (uint8_t b : bytes) {
            if (b < 0x80) {
                out.push_back(static_cast<char>(b));
            } else {
                out += kReplacement;
            }
        }
        return out;
    }
    if (const ByteTable* table = byteTables.Get(codePage, cd)) {
        size_t length = 0;
        for (uint8_t b : bytes) length += table->length[b];
        // Four bytes stored for every character, the string cut to its length after.
        std::string out(length + 3, '\0');
        char* at = out.data();
        for (uint8_t b : bytes) {
            std::memcpy(at, table->text[b].data(), 4);
            at += table->length[b];
        }
        out.resize(length);
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);

    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    // iconv's interface is not const-correct; it never writes through the input pointer.
    char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
    size_t inLeft = bytes.size();
    const size_t unit = CodeUnitSize(codePage);
    char buffer[4096];
    // Every turn consumes input or produces output (a character never needs 4 KB), and a
    // turn that does neither skips a unit: the loop ends after a bounded number of turns.
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof(buffer);
        const size_t before = inLeft;
        size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
        if (result != static_cast<size_t>(-1)) break;
        const int error = errno;
        if (error == E2BIG && (outPtr != buffer || inLeft != before)) continue;
        out += kReplacement;
        if (error == EINVAL) break;  // a sequence cut off by the end of the value
        const size_t skip = std::min(unit, inLeft);
        in += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Close a stateful encoding's shift state.
    char* outPtr = buffer;
    size_t outLeft = sizeof(buffer);
    if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1)) {
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
    }
    return out;
}

std::string ConvertToUtf8(std::string_view bytes, uint32_t codePage) {
    return ConvertToUtf8(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
        codePage);
}

bool IsValidUtf8(std::span<const uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const size_t length = Utf8SequenceLength(bytes, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

}  // namespace kestrel
