#pragma once
// String values by their property type: UTF-16 or 8-bit text in a code page.
#include <cstdint>
#include <span>
#include <string>

#include "items/property_value.h"
#include "storage/pst_layout.h"

namespace kestrel {

// Whether a value of type holds UTF-16: its type says so, or the file's variant when the
// type is not a string type.
bool IsWideText(uint16_t type, PstVariant variant);

// UTF-16 text up to its first zero unit, or 8-bit text in codePage up to its first zero
// byte. Nothing for a file of unknown variant.
std::string DecodeText(std::span<const uint8_t> bytes, bool wide, PstVariant variant,
                       uint32_t codePage);

// The text of value (nothing without data); 8-bit text is read in codePage.
std::string PropertyText(const PropertyValue& value, PstVariant variant, uint32_t codePage);

}  // namespace kestrel
