#pragma once
// Bounds-checked little-endian access to bytes that came from the file. Every read
// says whether the bytes were there; nothing reads past the end, whatever the file says.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrel {

class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}
    ByteReader(std::span<const uint8_t> bytes) : ByteReader(bytes.data(), bytes.size()) {}
    ByteReader(const std::vector<uint8_t>& bytes) : ByteReader(bytes.data(), bytes.size()) {}

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // True when [offset, offset + count) lies wholly inside the bytes (overflow-safe).
    bool Has(size_t offset, size_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }

    std::optional<uint8_t> U8(size_t offset) const {
        if (!Has(offset, 1)) return std::nullopt;
        return data_[offset];
    }
    std::optional<uint16_t> U16(size_t offset) const { return Little<uint16_t>(offset); }
    std::optional<uint32_t> U32(size_t offset) const { return Little<uint32_t>(offset); }
    std::optional<uint64_t> U64(size_t offset) const { return Little<uint64_t>(offset); }

    // An unsigned value of `width` bytes (1, 2, 4 or 8), as BIDs of either variant. Inlined
    // wherever it is used: every page entry and subnode entry is read through it.
    [[gnu::always_inline]] std::optional<uint64_t> UInt(size_t offset, size_t width) const {
        switch (width) {
            case 1: return U8(offset);
            case 2: return U16(offset);
            case 4: return U32(offset);
            case 8: return U64(offset);
            default: return std::nullopt;
        }
    }

    // The bytes [offset, offset + count) clipped to what is present.
    ByteReader Sub(size_t offset, size_t count) const {
        if (offset >= size_) return {};
        return ByteReader(data_ + offset, count < size_ - offset ? count : size_ - offset);
    }

    std::span<const uint8_t> span() const { return {data_, size_}; }

private:
    template <typename T>
    std::optional<T> Little(size_t offset) const {
        if (!Has(offset, sizeof(T))) return std::nullopt;
        T value = 0;
        for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(data_[offset + i]) << (8 * i);
        return value;
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace kestrel
