#include "items/property_text.h"

#include <algorithm>

#include "items/code_page.h"
#include "items/property_tags.h"
#include "items/utf16.h"

namespace kestrel {

bool IsWideText(uint16_t type, PstVariant variant) {
    if (type == kPtypString) return true;
    if (type == kPtypString8) return false;
    return IsUnicodeVariant(variant);
}

std::string DecodeText(std::span<const uint8_t> bytes, bool wide, PstVariant variant,
                       uint32_t codePage) {
    if (variant == PstVariant::Unknown) return {};
    if (wide) return NarrowUtf16(bytes.data(), bytes.size());
    // 8-bit text ends at its first zero byte, as the UTF-16 text does at its zero unit.
    auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return ConvertToUtf8(std::span<const uint8_t>(bytes.begin(), end), codePage);
}

std::string PropertyText(const PropertyValue& value, PstVariant variant, uint32_t codePage) {
    if (!value.data) return {};
    return DecodeText(*value.data, IsWideText(value.type, variant), variant, codePage);
}

}  // namespace kestrel
