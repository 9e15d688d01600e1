#include "items/dist_list.h"

#include <algorithm>
#include <array>

#include "items/code_page.h"
#include "items/utf16.h"
#include "storage/byte_reader.h"

namespace kestrel {
namespace {

constexpr std::array<uint8_t, 16> kOneOffProvider = {
    0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19, 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
// Contacts' wrapped entry ids in a list: the contact address book's UID.
constexpr std::array<uint8_t, 16> kWrappedProvider = {
    0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF, 0x11, 0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4};
constexpr uint16_t kOneOffUnicode = 0x8000;

bool HasProvider(std::span<const uint8_t> bytes, const std::array<uint8_t, 16>& uid) {
    return bytes.size() >= 20 && std::equal(uid.begin(), uid.end(), bytes.begin() + 4);
}

// One zero-ended string from at, moving at past its terminator; the rest of the bytes
// when there is none.
std::string TakeString(std::span<const uint8_t> bytes, size_t& at, bool wide, uint32_t codePage) {
    if (at >= bytes.size()) return {};
    size_t end = at;
    if (wide) {
        while (end + 1 < bytes.size() && (bytes[end] != 0 || bytes[end + 1] != 0)) end += 2;
        std::string text = NarrowUtf16(bytes.data() + at, std::min(end, bytes.size()) - at);
        at = std::min(end + 2, bytes.size());
        return text;
    }
    while (end < bytes.size() && bytes[end] != 0) ++end;
    std::string text = ConvertToUtf8(bytes.subspan(at, end - at), codePage);
    at = std::min(end + 1, bytes.size());
    return text;
}

}  // namespace

std::vector<std::vector<uint8_t>> SplitMultipleBinary(std::span<const uint8_t> data) {
    std::vector<std::vector<uint8_t>> values;
    const ByteReader reader(data);
    const auto count = reader.U32(0);
    if (!count) return values;
    // Each value takes a 4-byte offset, so the count can be no larger than this.
    const size_t n = std::min<size_t>(*count, (data.size() - 4) / 4);
    const size_t dataStart = 4 + 4 * n;
    size_t previous = dataStart;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t begin = *reader.U32(4 + 4 * i);
        const size_t end = i + 1 < n ? *reader.U32(8 + 4 * i) : data.size();
        if (begin < previous || end < begin || end > data.size()) break;
        values.emplace_back(data.begin() + begin, data.begin() + end);
        previous = begin;
    }
    return values;
}

std::optional<OneOffEntry> ParseOneOffEntryId(std::span<const uint8_t> bytes, uint32_t codePage) {
    if (!HasProvider(bytes, kOneOffProvider) || bytes.size() < 24) return std::nullopt;
    const uint16_t flags = static_cast<uint16_t>(bytes[22] | (bytes[23] << 8));
    const bool wide = (flags & kOneOffUnicode) != 0;
    size_t at = 24;
    OneOffEntry entry;
    entry.displayName = TakeString(bytes, at, wide, codePage);
    entry.addressType = TakeString(bytes, at, wide, codePage);
    entry.address = TakeString(bytes, at, wide, codePage);
    return entry;
}

std::vector<DistListMember> DistListMembers(std::span<const uint8_t> members,
                                            std::span<const uint8_t> oneOffs, uint32_t codePage) {
    const auto ids = SplitMultipleBinary(members);
    const auto offs = SplitMultipleBinary(oneOffs);
    std::vector<DistListMember> list;
    const size_t n = std::max(ids.size(), offs.size());
    list.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        DistListMember member;
        std::optional<OneOffEntry> entry;
        if (i < ids.size()) {
            member.entryId = ids[i];
            // The low half of the byte after the UID says what it wraps: 3 a contact,
            // 4 a list of the store, 0 a one-off entry.
            if (HasProvider(ids[i], kWrappedProvider) && ids[i].size() > 20)
                member.contact = (ids[i][20] & 0x0F) != 0;
            else
                entry = ParseOneOffEntryId(ids[i], codePage);
        }
        if (i < offs.size()) {
            if (auto parallel = ParseOneOffEntryId(offs[i], codePage)) entry = std::move(parallel);
        }
        if (entry) {
            member.displayName = std::move(entry->displayName);
            member.addressType = std::move(entry->addressType);
            member.address = std::move(entry->address);
        }
        list.push_back(std::move(member));
    }
    return list;
}

}  // namespace kestrel
