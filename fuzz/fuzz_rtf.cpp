// Compressed RTF: the decoder never writes more than the header's raw size, nor more than
// the compressed bytes can expand to, and a stored ("MELA") value is never longer than
// the bytes after its header. The HTML taken out of the text (raw bytes or decoded) is
// never more than three UTF-8 bytes per byte read.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "items/rtf_decompress.h"
#include "items/rtf_html.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const RtfDecompressResult result = DecompressRtf(std::span<const uint8_t>(data, size));
    for (std::string_view rtf : {std::string_view(result.rtf),
                                 std::string_view(reinterpret_cast<const char*>(data), size)}) {
        const auto html = HtmlFromRtf(rtf);
        if (html && html->size() > 3 * rtf.size() + 3) __builtin_trap();
    }
    if (!result.ok && !result.rtf.empty() && !result.compressed) __builtin_trap();
    if (size < 16) {
        if (result.ok || !result.rtf.empty()) __builtin_trap();
        return 0;
    }
    const uint32_t rawSize = data[4] | data[5] << 8 | data[6] << 16 | uint32_t{data[7]} << 24;
    if (result.rtf.size() > rawSize) __builtin_trap();
    if (result.compressed) {
        // A control byte and eight 2-byte references give at most 8 x 17 bytes.
        if (result.rtf.size() > (size - 16) * 9) __builtin_trap();
    } else if (result.rtf.size() > size - 16) {
        __builtin_trap();
    }
    if (size >= 4 && result.crcMismatch && !result.compressed) __builtin_trap();
    return 0;
}
