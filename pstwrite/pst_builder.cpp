#include "pstwrite/pst_builder.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <stdexcept>
#include <string>

#include "storage/crc.h"

namespace kestrel::test {
namespace {

// The format's byte-substitution table: R (encode), S, and I (decode, the inverse of R).
constexpr uint8_t kCrypt[768] = {
    0x41, 0x36, 0x13, 0x62, 0xA8, 0x21, 0x6E, 0xBB, 0xF4, 0x16, 0xCC, 0x04, 0x7F, 0x64, 0xE8, 0x5D,
    0x1E, 0xF2, 0xCB, 0x2A, 0x74, 0xC5, 0x5E, 0x35, 0xD2, 0x95, 0x47, 0x9E, 0x96, 0x2D, 0x9A, 0x88,
    0x4C, 0x7D, 0x84, 0x3F, 0xDB, 0xAC, 0x31, 0xB6, 0x48, 0x5F, 0xF6, 0xC4, 0xD8, 0x39, 0x8B, 0xE7,
    0x23, 0x3B, 0x38, 0x8E, 0xC8, 0xC1, 0xDF, 0x25, 0xB1, 0x20, 0xA5, 0x46, 0x60, 0x4E, 0x9C, 0xFB,
    0xAA, 0xD3, 0x56, 0x51, 0x45, 0x7C, 0x55, 0x00, 0x07, 0xC9, 0x2B, 0x9D, 0x85, 0x9B, 0x09, 0xA0,
    0x8F, 0xAD, 0xB3, 0x0F, 0x63, 0xAB, 0x89, 0x4B, 0xD7, 0xA7, 0x15, 0x5A, 0x71, 0x66, 0x42, 0xBF,
    0x26, 0x4A, 0x6B, 0x98, 0xFA, 0xEA, 0x77, 0x53, 0xB2, 0x70, 0x05, 0x2C, 0xFD, 0x59, 0x3A, 0x86,
    0x7E, 0xCE, 0x06, 0xEB, 0x82, 0x78, 0x57, 0xC7, 0x8D, 0x43, 0xAF, 0xB4, 0x1C, 0xD4, 0x5B, 0xCD,
    0xE2, 0xE9, 0x27, 0x4F, 0xC3, 0x08, 0x72, 0x80, 0xCF, 0xB0, 0xEF, 0xF5, 0x28, 0x6D, 0xBE, 0x30,
    0x4D, 0x34, 0x92, 0xD5, 0x0E, 0x3C, 0x22, 0x32, 0xE5, 0xE4, 0xF9, 0x9F, 0xC2, 0xD1, 0x0A, 0x81,
    0x12, 0xE1, 0xEE, 0x91, 0x83, 0x76, 0xE3, 0x97, 0xE6, 0x61, 0x8A, 0x17, 0x79, 0xA4, 0xB7, 0xDC,
    0x90, 0x7A, 0x5C, 0x8C, 0x02, 0xA6, 0xCA, 0x69, 0xDE, 0x50, 0x1A, 0x11, 0x93, 0xB9, 0x52, 0x87,
    0x58, 0xFC, 0xED, 0x1D, 0x37, 0x49, 0x1B, 0x6A, 0xE0, 0x29, 0x33, 0x99, 0xBD, 0x6C, 0xD9, 0x94,
    0xF3, 0x40, 0x54, 0x6F, 0xF0, 0xC6, 0x73, 0xB8, 0xD6, 0x3E, 0x65, 0x18, 0x44, 0x1F, 0xDD, 0x67,
    0x10, 0xF1, 0x0C, 0x19, 0xEC, 0xAE, 0x03, 0xA1, 0x14, 0x7B, 0xA9, 0x0B, 0xFF, 0xF8, 0xA3, 0xC0,
    0xA2, 0x01, 0xF7, 0x2E, 0xBC, 0x24, 0x68, 0x75, 0x0D, 0xFE, 0xBA, 0x2F, 0xB5, 0xD0, 0xDA, 0x3D,
    0x14, 0x53, 0x0F, 0x56, 0xB3, 0xC8, 0x7A, 0x9C, 0xEB, 0x65, 0x48, 0x17, 0x16, 0x15, 0x9F, 0x02,
    0xCC, 0x54, 0x7C, 0x83, 0x00, 0x0D, 0x0C, 0x0B, 0xA2, 0x62, 0xA8, 0x76, 0xDB, 0xD9, 0xED, 0xC7,
    0xC5, 0xA4, 0xDC, 0xAC, 0x85, 0x74, 0xD6, 0xD0, 0xA7, 0x9B, 0xAE, 0x9A, 0x96, 0x71, 0x66, 0xC3,
    0x63, 0x99, 0xB8, 0xDD, 0x73, 0x92, 0x8E, 0x84, 0x7D, 0xA5, 0x5E, 0xD1, 0x5D, 0x93, 0xB1, 0x57,
    0x51, 0x50, 0x80, 0x89, 0x52, 0x94, 0x4F, 0x4E, 0x0A, 0x6B, 0xBC, 0x8D, 0x7F, 0x6E, 0x47, 0x46,
    0x41, 0x40, 0x44, 0x01, 0x11, 0xCB, 0x03, 0x3F, 0xF7, 0xF4, 0xE1, 0xA9, 0x8F, 0x3C, 0x3A, 0xF9,
    0xFB, 0xF0, 0x19, 0x30, 0x82, 0x09, 0x2E, 0xC9, 0x9D, 0xA0, 0x86, 0x49, 0xEE, 0x6F, 0x4D, 0x6D,
    0xC4, 0x2D, 0x81, 0x34, 0x25, 0x87, 0x1B, 0x88, 0xAA, 0xFC, 0x06, 0xA1, 0x12, 0x38, 0xFD, 0x4C,
    0x42, 0x72, 0x64, 0x13, 0x37, 0x24, 0x6A, 0x75, 0x77, 0x43, 0xFF, 0xE6, 0xB4, 0x4B, 0x36, 0x5C,
    0xE4, 0xD8, 0x35, 0x3D, 0x45, 0xB9, 0x2C, 0xEC, 0xB7, 0x31, 0x2B, 0x29, 0x07, 0x68, 0xA3, 0x0E,
    0x69, 0x7B, 0x18, 0x9E, 0x21, 0x39, 0xBE, 0x28, 0x1A, 0x5B, 0x78, 0xF5, 0x23, 0xCA, 0x2A, 0xB0,
    0xAF, 0x3E, 0xFE, 0x04, 0x8C, 0xE7, 0xE5, 0x98, 0x32, 0x95, 0xD3, 0xF6, 0x4A, 0xE8, 0xA6, 0xEA,
    0xE9, 0xF3, 0xD5, 0x2F, 0x70, 0x20, 0xF2, 0x1F, 0x05, 0x67, 0xAD, 0x55, 0x10, 0xCE, 0xCD, 0xE3,
    0x27, 0x3B, 0xDA, 0xBA, 0xD7, 0xC2, 0x26, 0xD4, 0x91, 0x1D, 0xD2, 0x1C, 0x22, 0x33, 0xF8, 0xFA,
    0xF1, 0x5A, 0xEF, 0xCF, 0x90, 0xB6, 0x8B, 0xB5, 0xBD, 0xC0, 0xBF, 0x08, 0x97, 0x1E, 0x6C, 0xE2,
    0x61, 0xE0, 0xC6, 0xC1, 0x59, 0xAB, 0xBB, 0x58, 0xDE, 0x5F, 0xDF, 0x60, 0x79, 0x7E, 0xB2, 0x8A,
    0x47, 0xF1, 0xB4, 0xE6, 0x0B, 0x6A, 0x72, 0x48, 0x85, 0x4E, 0x9E, 0xEB, 0xE2, 0xF8, 0x94, 0x53,
    0xE0, 0xBB, 0xA0, 0x02, 0xE8, 0x5A, 0x09, 0xAB, 0xDB, 0xE3, 0xBA, 0xC6, 0x7C, 0xC3, 0x10, 0xDD,
    0x39, 0x05, 0x96, 0x30, 0xF5, 0x37, 0x60, 0x82, 0x8C, 0xC9, 0x13, 0x4A, 0x6B, 0x1D, 0xF3, 0xFB,
    0x8F, 0x26, 0x97, 0xCA, 0x91, 0x17, 0x01, 0xC4, 0x32, 0x2D, 0x6E, 0x31, 0x95, 0xFF, 0xD9, 0x23,
    0xD1, 0x00, 0x5E, 0x79, 0xDC, 0x44, 0x3B, 0x1A, 0x28, 0xC5, 0x61, 0x57, 0x20, 0x90, 0x3D, 0x83,
    0xB9, 0x43, 0xBE, 0x67, 0xD2, 0x46, 0x42, 0x76, 0xC0, 0x6D, 0x5B, 0x7E, 0xB2, 0x0F, 0x16, 0x29,
    0x3C, 0xA9, 0x03, 0x54, 0x0D, 0xDA, 0x5D, 0xDF, 0xF6, 0xB7, 0xC7, 0x62, 0xCD, 0x8D, 0x06, 0xD3,
    0x69, 0x5C, 0x86, 0xD6, 0x14, 0xF7, 0xA5, 0x66, 0x75, 0xAC, 0xB1, 0xE9, 0x45, 0x21, 0x70, 0x0C,
    0x87, 0x9F, 0x74, 0xA4, 0x22, 0x4C, 0x6F, 0xBF, 0x1F, 0x56, 0xAA, 0x2E, 0xB3, 0x78, 0x33, 0x50,
    0xB0, 0xA3, 0x92, 0xBC, 0xCF, 0x19, 0x1C, 0xA7, 0x63, 0xCB, 0x1E, 0x4D, 0x3E, 0x4B, 0x1B, 0x9B,
    0x4F, 0xE7, 0xF0, 0xEE, 0xAD, 0x3A, 0xB5, 0x59, 0x04, 0xEA, 0x40, 0x55, 0x25, 0x51, 0xE5, 0x7A,
    0x89, 0x38, 0x68, 0x52, 0x7B, 0xFC, 0x27, 0xAE, 0xD7, 0xBD, 0xFA, 0x07, 0xF4, 0xCC, 0x8E, 0x5F,
    0xEF, 0x35, 0x9C, 0x84, 0x2B, 0x15, 0xD5, 0x77, 0x34, 0x49, 0xB6, 0x12, 0x0A, 0x7F, 0x71, 0x88,
    0xFD, 0x9D, 0x18, 0x41, 0x7D, 0x93, 0xD8, 0x58, 0x2C, 0xCE, 0xFE, 0x24, 0xAF, 0xDE, 0xB8, 0x36,
    0xC8, 0xA1, 0x80, 0xA6, 0x99, 0x98, 0xA8, 0x2F, 0x0E, 0x81, 0x65, 0x73, 0xE4, 0xC2, 0xA2, 0x8A,
    0xD4, 0xE1, 0x11, 0xD0, 0x08, 0x8B, 0x2A, 0xF2, 0xED, 0x9A, 0x64, 0x3F, 0xC1, 0x6C, 0xF9, 0xEC,
};
constexpr const uint8_t* kCryptR = kCrypt;
constexpr const uint8_t* kCryptS = kCrypt + 256;
constexpr const uint8_t* kCryptI = kCrypt + 512;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

// The cyclic cipher is its own inverse.
void Cyclic(uint64_t bid, std::span<uint8_t> bytes) {
    const uint32_t key = static_cast<uint32_t>(bid);
    uint16_t w = static_cast<uint16_t>(key ^ (key >> 16));
    for (uint8_t& byte : bytes) {
        uint8_t b = byte;
        b = static_cast<uint8_t>(b + static_cast<uint8_t>(w));
        b = kCryptR[b];
        b = static_cast<uint8_t>(b + static_cast<uint8_t>(w >> 8));
        b = kCryptS[b];
        b = static_cast<uint8_t>(b - static_cast<uint8_t>(w >> 8));
        b = kCryptI[b];
        b = static_cast<uint8_t>(b - static_cast<uint8_t>(w));
        byte = b;
        ++w;
    }
}

void PutLe(std::vector<uint8_t>& out, size_t offset, uint64_t value, size_t width) {
    if (out.size() < offset + width) out.resize(offset + width);
    for (size_t i = 0; i < width; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void AppendLe(std::vector<uint8_t>& out, uint64_t value, size_t width) {
    PutLe(out, out.size(), value, width);
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

constexpr uint64_t kFirstAMap = 0x4400;
constexpr uint64_t kAMapSpan = 496 * 8 * 64;  // bytes mapped by one AMap page
constexpr uint64_t kFirstPMap = 0x4600;
constexpr uint64_t kPMapSpan = 496 * 8 * 512;  // bytes mapped by one PMap page
constexpr uint64_t kDataStart = 0x4800;
constexpr uint64_t kPageSize = 512;  // map pages of the 512-byte layouts
constexpr uint8_t kPtypeBbt = 0x80, kPtypeNbt = 0x81, kPtypePMap = 0x83, kPtypeAMap = 0x84;

bool IsMapPage(uint64_t offset) {
    if (offset < kFirstAMap) return false;
    if ((offset - kFirstAMap) % kAMapSpan == 0) return true;
    return offset >= kFirstPMap && (offset - kFirstPMap) % kPMapSpan == 0;
}

}  // namespace

uint32_t ComputeCrc(std::span<const uint8_t> bytes, uint32_t crc) {
    for (uint8_t b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint16_t ComputeSignature(uint64_t ib, uint64_t bid) {
    return ComputeSig(ib, bid);
}

void EncodeBlockData(uint8_t method, uint64_t bid, std::span<uint8_t> bytes) {
    if (method == 1) {
        for (uint8_t& b : bytes) b = kCryptR[b];
    } else if (method == 2) {
        Cyclic(bid, bytes);
    }
}

void DecodeBlockData(uint8_t method, uint64_t bid, std::span<uint8_t> bytes) {
    if (method == 1) {
        for (uint8_t& b : bytes) b = kCryptI[b];
    } else if (method == 2) {
        Cyclic(bid, bytes);
    }
}

// --- Image: a growing file with an allocator that keeps clear of the map pages. ---

uint64_t PstBuilder::Image::Allocate(uint64_t size, uint64_t alignment) {
    uint64_t at = AlignUp(cursor, alignment);
    // Blocks and pages never cover an AMap or PMap page (each 512 bytes, 512-aligned).
    for (; maps;) {
        uint64_t clash = 0;
        for (uint64_t p = at & ~(kPageSize - 1); p < at + size; p += kPageSize) {
            if (IsMapPage(p)) {
                clash = p;
                break;
            }
        }
        if (!clash) break;
        at = AlignUp(clash + kPageSize, alignment);
    }
    cursor = at + size;
    used.push_back({at, size});
    if (bytes.size() < cursor) bytes.resize(cursor);
    return at;
}

void PstBuilder::Image::Write(uint64_t offset, std::span<const uint8_t> data) {
    if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<ptrdiff_t>(offset));
}

// --- Builder ---

PstBuilder::PstBuilder(PstVariant variant, uint8_t cryptMethod)
    : variant_(variant), cryptMethod_(cryptMethod) {
    if (variant != PstVariant::Ansi && variant != PstVariant::Unicode &&
        variant != PstVariant::Unicode4k)
        throw std::invalid_argument("PstBuilder needs the Ansi, Unicode or Unicode4k variant");
    image_.cursor = kDataStart;
    image_.bytes.resize(kDataStart);
    // No allocation maps in 4 KB-page files: readers do not need them.
    image_.maps = !fourK();
    if (fourK()) header_.allocationMaps = false;
}

size_t PstBuilder::PageCapacity(BTree tree, uint8_t level) const {
    const size_t area = EntryArea();
    if (level > 0) return area / (3 * IdSize());
    if (tree == BTree::Block) return area / (unicode() ? 24 : 12);
    return area / (unicode() ? 32 : 16);
}

size_t PstBuilder::EntriesPerPage(BTree tree, uint8_t level) const {
    const size_t capacity = PageCapacity(tree, level);
    if (limits_.pageEntries == 0) return capacity;
    return std::max<size_t>(2, std::min(limits_.pageEntries, capacity));
}

uint64_t PstBuilder::ReserveBid(bool internal) {
    return (nextBidIndex_++ << 2) | (internal ? 2 : 0);
}

uint64_t PstBuilder::TakeBid(uint64_t bid, bool internal) {
    if (bid == 0) return ReserveBid(internal);
    // A BID chosen by the test still moves the counter past it, so later ones differ.
    nextBidIndex_ = std::max(nextBidIndex_, (bid >> 2) + 1);
    return bid;
}

uint64_t PstBuilder::PlaceBlock(std::vector<uint8_t> bytes, uint64_t bid, uint64_t dataSize,
                                uint16_t cbInflated) {
    if (bytes.size() > 0xFFFF) throw std::invalid_argument("a block holds at most 65535 bytes");
    const uint64_t total = AlignUp(bytes.size() + BlockTrailerSize(), BlockAlignment());
    const uint64_t ib = image_.Allocate(total, BlockAlignment());
    image_.Write(ib, bytes);
    std::vector<uint8_t> trailer;
    AppendLe(trailer, bytes.size(), 2);
    AppendLe(trailer, ComputeSignature(ib, bid), 2);
    const uint32_t crc = ComputeCrc(bytes);
    if (unicode()) {
        AppendLe(trailer, crc, 4);
        AppendLe(trailer, bid, 8);
    } else {
        AppendLe(trailer, bid, 4);
        AppendLe(trailer, crc, 4);
    }
    const auto cb = static_cast<uint16_t>(bytes.size());
    if (fourK()) {
        AppendLe(trailer, 2, 2);  // as Outlook writes it
        AppendLe(trailer, cbInflated ? cbInflated : cb, 2);
        AppendLe(trailer, 0, 4);
    }
    image_.Write(ib + total - trailer.size(), trailer);
    const BbtEntry entry{bid, ib, cb, 2, cbInflated};
    placed_[bid] = entry;
    dataSize_[bid] = dataSize;
    bbt_.push_back(entry);
    return bid;
}

uint64_t PstBuilder::AddBlock(std::span<const uint8_t> data, uint64_t bid) {
    bid = TakeBid(bid, false);
    // Deflated first, then encoded: encoded bytes (cyclic ones above all) hardly deflate.
    if (fourK() && deflate_ && !data.empty()) {
        std::vector<uint8_t> deflated = Deflate(data);
        if (deflated.size() < data.size()) {
            EncodeBlockData(cryptMethod_, bid, deflated);
            return PlaceBlock(std::move(deflated), bid, data.size(),
                              static_cast<uint16_t>(data.size()));
        }
    }
    std::vector<uint8_t> bytes(data.begin(), data.end());
    EncodeBlockData(cryptMethod_, bid, bytes);
    return PlaceBlock(std::move(bytes), bid, data.size());
}

uint64_t PstBuilder::AddDeflatedBlock(std::span<const uint8_t> data, uint64_t bid,
                                      std::optional<uint16_t> cbInflated) {
    bid = TakeBid(bid, false);
    std::vector<uint8_t> bytes = Deflate(data);
    EncodeBlockData(cryptMethod_, bid, bytes);
    const auto inflated = cbInflated.value_or(static_cast<uint16_t>(data.size()));
    return PlaceBlock(std::move(bytes), bid, data.size(), inflated);
}

std::vector<uint8_t> PstBuilder::Deflate(std::span<const uint8_t> bytes) {
    uLongf size = compressBound(bytes.size());
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, bytes.data(), bytes.size(), Z_DEFAULT_COMPRESSION) != Z_OK)
        throw std::runtime_error("deflate failed");
    out.resize(size);
    return out;
}

uint64_t PstBuilder::AddRawBlock(std::span<const uint8_t> bytes, uint64_t bid) {
    bid = TakeBid(bid, false);
    return PlaceBlock(std::vector<uint8_t>(bytes.begin(), bytes.end()), bid, bytes.size());
}

uint64_t PstBuilder::AddTree(uint8_t level, const std::vector<uint64_t>& children, uint64_t bid,
                             std::optional<uint32_t> lcbTotal) {
    bid = TakeBid(bid, true);
    uint64_t total = 0;
    for (uint64_t child : children) {
        auto it = dataSize_.find(child);
        if (it != dataSize_.end()) total += it->second;
    }
    std::vector<uint8_t> bytes;
    AppendLe(bytes, 0x01, 1);
    AppendLe(bytes, level, 1);
    AppendLe(bytes, children.size(), 2);
    AppendLe(bytes, lcbTotal ? *lcbTotal : static_cast<uint32_t>(total), 4);
    for (uint64_t child : children) AppendLe(bytes, child, IdSize());
    return PlaceBlock(std::move(bytes), bid, lcbTotal ? *lcbTotal : total);
}

uint64_t PstBuilder::AddXBlock(const std::vector<uint64_t>& children, uint64_t bid,
                               std::optional<uint32_t> lcbTotal) {
    return AddTree(1, children, bid, lcbTotal);
}

uint64_t PstBuilder::AddXXBlock(const std::vector<uint64_t>& children, uint64_t bid,
                                std::optional<uint32_t> lcbTotal) {
    return AddTree(2, children, bid, lcbTotal);
}

// One XBLOCK over the data blocks when they fit, else XBLOCKs under an XXBLOCK.
uint64_t PstBuilder::BuildTreeOf(uint8_t level, std::vector<uint64_t> children) {
    const size_t fit = (MaxBlockData() - 8) / IdSize();
    const size_t fanout =
        limits_.xblockEntries ? std::max<size_t>(1, std::min(limits_.xblockEntries, fit)) : fit;
    if (children.size() <= fanout) return AddTree(level, children, 0, std::nullopt);
    if (level == 2) throw std::invalid_argument("data too large for an XXBLOCK tree");
    std::vector<uint64_t> xblocks;
    for (size_t i = 0; i < children.size(); i += fanout) {
        std::vector<uint64_t> part(
            children.begin() + static_cast<ptrdiff_t>(i),
            children.begin() + static_cast<ptrdiff_t>(std::min(children.size(), i + fanout)));
        xblocks.push_back(AddTree(1, part, 0, std::nullopt));
    }
    return BuildTreeOf(2, std::move(xblocks));
}

uint64_t PstBuilder::AddData(std::span<const uint8_t> data) {
    const size_t chunk =
        limits_.blockData ? std::min(limits_.blockData, MaxBlockData()) : MaxBlockData();
    if (data.size() <= chunk) return AddBlock(data);
    std::vector<uint64_t> blocks;
    for (size_t i = 0; i < data.size(); i += chunk)
        blocks.push_back(AddBlock(data.subspan(i, std::min(chunk, data.size() - i))));
    return BuildTreeOf(1, std::move(blocks));
}

uint64_t PstBuilder::AddDataTree(const std::vector<std::vector<uint8_t>>& pieces) {
    if (pieces.empty()) return AddBlock(std::span<const uint8_t>());
    if (pieces.size() == 1) return AddBlock(pieces.front());
    std::vector<uint64_t> blocks;
    for (const auto& piece : pieces) blocks.push_back(AddBlock(piece));
    return BuildTreeOf(1, std::move(blocks));
}

uint64_t PstBuilder::AddSlBlock(const std::vector<SlEntry>& entries, uint64_t bid) {
    bid = TakeBid(bid, true);
    std::vector<uint8_t> bytes;
    AppendLe(bytes, 0x02, 1);
    AppendLe(bytes, 0x00, 1);
    AppendLe(bytes, entries.size(), 2);
    if (unicode()) AppendLe(bytes, 0, 4);
    for (const SlEntry& e : entries) {
        AppendLe(bytes, e.nid, IdSize());
        AppendLe(bytes, e.bidData, IdSize());
        AppendLe(bytes, e.bidSub, IdSize());
    }
    return PlaceBlock(std::move(bytes), bid, 0);
}

uint64_t PstBuilder::AddSiBlock(const std::vector<SiEntry>& entries, uint64_t bid) {
    bid = TakeBid(bid, true);
    std::vector<uint8_t> bytes;
    AppendLe(bytes, 0x02, 1);
    AppendLe(bytes, 0x01, 1);
    AppendLe(bytes, entries.size(), 2);
    if (unicode()) AppendLe(bytes, 0, 4);
    for (const SiEntry& e : entries) {
        AppendLe(bytes, e.nid, IdSize());
        AppendLe(bytes, e.bid, IdSize());
    }
    return PlaceBlock(std::move(bytes), bid, 0);
}

uint64_t PstBuilder::AddSubnodes(std::vector<SlEntry> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const SlEntry& a, const SlEntry& b) { return a.nid < b.nid; });
    const size_t header = unicode() ? 8 : 4;
    const size_t fit = (MaxBlockData() - header) / (3 * IdSize());
    const size_t perLeaf =
        limits_.slEntries ? std::max<size_t>(1, std::min(limits_.slEntries, fit)) : fit;
    if (entries.size() <= perLeaf) return AddSlBlock(entries);
    std::vector<SiEntry> leaves;
    for (size_t i = 0; i < entries.size(); i += perLeaf) {
        std::vector<SlEntry> part(
            entries.begin() + static_cast<ptrdiff_t>(i),
            entries.begin() + static_cast<ptrdiff_t>(std::min(entries.size(), i + perLeaf)));
        leaves.push_back({part.front().nid, AddSlBlock(part)});
    }
    if (leaves.size() > (MaxBlockData() - header) / (2 * IdSize()))
        throw std::invalid_argument("too many subnodes for one SIBLOCK");
    return AddSiBlock(leaves);
}

const BbtEntry& PstBuilder::Block(uint64_t bid) const {
    auto it = placed_.find(bid);
    if (it == placed_.end()) throw std::out_of_range("no block with BID " + std::to_string(bid));
    return it->second;
}

uint64_t PstBuilder::TrailerOffset(uint64_t bid) const {
    const BbtEntry& e = Block(bid);
    return e.ib + AlignUp(e.cb + BlockTrailerSize(), BlockAlignment()) - BlockTrailerSize();
}

void PstBuilder::Unindex(uint64_t bid) {
    std::erase_if(bbt_, [bid](const BbtEntry& e) { return e.bid == bid; });
}

void PstBuilder::AddNode(uint32_t nid, uint64_t bidData, uint64_t bidSub, uint32_t nidParent) {
    nbt_.push_back({nid, bidData, bidSub, nidParent});
}

// --- B-tree pages ---

std::vector<uint8_t> PstBuilder::SerializeBbt(const BbtEntry& e) const {
    std::vector<uint8_t> out;
    AppendLe(out, e.bid, IdSize());
    AppendLe(out, e.ib, IdSize());
    AppendLe(out, e.cb, 2);
    if (fourK()) AppendLe(out, e.cbInflated ? e.cbInflated : e.cb, 2);
    AppendLe(out, e.cRef, 2);
    if (unicode()) AppendLe(out, 0, fourK() ? 2 : 4);
    return out;
}

std::vector<uint8_t> PstBuilder::SerializeNbt(const NbtEntry& e) const {
    std::vector<uint8_t> out;
    AppendLe(out, e.nid, IdSize());
    AppendLe(out, e.bidData, IdSize());
    AppendLe(out, e.bidSub, IdSize());
    AppendLe(out, e.nidParent, 4);
    if (unicode()) AppendLe(out, 0, 4);
    return out;
}

std::vector<uint8_t> PstBuilder::SerializeBt(const BtEntry& e) const {
    std::vector<uint8_t> out;
    AppendLe(out, e.key, IdSize());
    AppendLe(out, e.bid, IdSize());
    AppendLe(out, e.ib, IdSize());
    return out;
}

PageRef PstBuilder::WritePage(Image& image, BTree tree, uint8_t level,
                              const std::vector<uint8_t>& entries, size_t count, size_t entrySize,
                              PageRef at) {
    const uint64_t bid = at.bid ? at.bid : nextPageBid_++;
    const uint64_t pageSize = PageSize();
    const uint64_t size = std::max<uint64_t>(pageSize, AlignUp(entries.size(), pageSize));
    const uint64_t ib = at.ib ? at.ib : image.Allocate(size, pageSize);
    const size_t area = EntryArea();
    const size_t trailerAt = PageTrailerAt();
    std::vector<uint8_t> page(pageSize, 0);
    std::copy(entries.begin(),
              entries.begin() + static_cast<ptrdiff_t>(std::min(area, entries.size())),
              page.begin());
    // cEnt and cEntMax: a byte each, two in 4 KB pages; then cbEnt and cLevel.
    const size_t countWidth = fourK() ? 2 : 1;
    PutLe(page, area, std::min<size_t>(count, fourK() ? 0xFFFF : 0xFF), countWidth);
    PutLe(page, area + countWidth, PageCapacity(tree, level), countWidth);
    page[area + 2 * countWidth] = static_cast<uint8_t>(entrySize);
    page[area + 2 * countWidth + 1] = level;
    const uint8_t ptype = tree == BTree::Block ? kPtypeBbt : kPtypeNbt;
    page[trailerAt] = ptype;
    page[trailerAt + 1] = ptype;
    PutLe(page, trailerAt + 2, ComputeSignature(ib, bid), 2);
    const uint32_t crc = ComputeCrc(std::span<const uint8_t>(page.data(), trailerAt));
    if (unicode()) {
        PutLe(page, trailerAt + 4, crc, 4);
        PutLe(page, trailerAt + 8, bid, 8);
    } else {
        PutLe(page, trailerAt + 4, bid, 4);
        PutLe(page, trailerAt + 8, crc, 4);
    }
    image.Write(ib, page);
    // Entries that do not fit run on over the page's fields and into the next bytes.
    if (entries.size() > area) image.Write(ib, entries);
    return {ib, bid};
}

PageRef PstBuilder::AddBbtLeaf(const std::vector<BbtEntry>& entries, PageRef at) {
    std::vector<uint8_t> bytes;
    for (const auto& e : entries) {
        auto one = SerializeBbt(e);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return WritePage(image_, BTree::Block, 0, bytes, entries.size(), unicode() ? 24 : 12, at);
}

PageRef PstBuilder::AddNbtLeaf(const std::vector<NbtEntry>& entries, PageRef at) {
    std::vector<uint8_t> bytes;
    for (const auto& e : entries) {
        auto one = SerializeNbt(e);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return WritePage(image_, BTree::Node, 0, bytes, entries.size(), unicode() ? 32 : 16, at);
}

PageRef PstBuilder::AddBtPage(BTree tree, uint8_t level, const std::vector<BtEntry>& entries,
                              PageRef at) {
    std::vector<uint8_t> bytes;
    for (const auto& e : entries) {
        auto one = SerializeBt(e);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return WritePage(image_, tree, level, bytes, entries.size(), 3 * IdSize(), at);
}

PageRef PstBuilder::ReservePage() {
    const uint64_t ib = image_.Allocate(PageSize(), PageSize());
    return {ib, nextPageBid_++};
}

void PstBuilder::SetRoot(BTree tree, PageRef root) {
    manualRoot_[static_cast<int>(tree)] = root;
}

uint64_t PstBuilder::PlaceRaw(std::span<const uint8_t> bytes, size_t alignment) {
    const uint64_t at = image_.Allocate(std::max<uint64_t>(bytes.size(), 1), alignment);
    image_.Write(at, bytes);
    return at;
}

PageRef PstBuilder::BuildAutoTree(Image& image, BTree tree) {
    struct Child {
        uint64_t key;
        PageRef page;
    };
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> leafEntries;
    size_t entrySize = 0;
    if (tree == BTree::Block) {
        std::vector<BbtEntry> sorted = bbt_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const BbtEntry& a, const BbtEntry& b) { return a.bid < b.bid; });
        for (const auto& e : sorted) leafEntries.push_back({e.bid, SerializeBbt(e)});
        entrySize = unicode() ? 24 : 12;
    } else {
        std::vector<NbtEntry> sorted = nbt_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const NbtEntry& a, const NbtEntry& b) { return a.nid < b.nid; });
        for (const auto& e : sorted) leafEntries.push_back({e.nid, SerializeNbt(e)});
        entrySize = unicode() ? 32 : 16;
    }

    std::vector<Child> level;
    const size_t perLeaf = EntriesPerPage(tree, 0);
    for (size_t i = 0; i < leafEntries.size() || (i == 0 && leafEntries.empty()); i += perLeaf) {
        std::vector<uint8_t> bytes;
        const size_t end = std::min(leafEntries.size(), i + perLeaf);
        for (size_t k = i; k < end; ++k)
            bytes.insert(bytes.end(), leafEntries[k].second.begin(), leafEntries[k].second.end());
        const uint64_t firstKey = leafEntries.empty() ? 0 : leafEntries[i].first;
        PageRef page = WritePage(image, tree, 0, bytes, end - i, entrySize, {});
        builtPages_.push_back({tree, 0, page.ib, page.bid, firstKey, end - i});
        level.push_back({firstKey, page});
        if (leafEntries.empty()) break;
    }
    uint8_t depth = 0;
    while (level.size() > 1) {
        ++depth;
        const size_t per = EntriesPerPage(tree, depth);
        std::vector<Child> next;
        for (size_t i = 0; i < level.size(); i += per) {
            std::vector<uint8_t> bytes;
            const size_t end = std::min(level.size(), i + per);
            for (size_t k = i; k < end; ++k) {
                auto one = SerializeBt({level[k].key, level[k].page.bid, level[k].page.ib});
                bytes.insert(bytes.end(), one.begin(), one.end());
            }
            PageRef page = WritePage(image, tree, depth, bytes, end - i, 3 * IdSize(), {});
            builtPages_.push_back({tree, depth, page.ib, page.bid, level[i].key, end - i});
            next.push_back({level[i].key, page});
        }
        level = std::move(next);
    }
    return level.front().page;
}

std::vector<BuiltPage> PstBuilder::BuiltPages(BTree tree, uint8_t level) const {
    std::vector<BuiltPage> out;
    for (const auto& p : builtPages_)
        if (p.tree == tree && p.level == level) out.push_back(p);
    return out;
}

// --- Allocation maps and header ---

void PstBuilder::WriteAllocationMaps(Image& image, uint64_t fileEnd, uint64_t& lastAMap,
                                     uint64_t& freeBytes) const {
    const size_t trailerAt = unicode() ? 496 : 500;
    freeBytes = 0;
    for (uint64_t amap = kFirstAMap; amap < fileEnd; amap += kAMapSpan) {
        std::vector<uint8_t> page(kPageSize, 0);
        std::vector<bool> bits(496 * 8, false);
        auto mark = [&](uint64_t ib, uint64_t size) {
            const uint64_t from = std::max(ib, amap), to = std::min(ib + size, amap + kAMapSpan);
            for (uint64_t at = from; at < to; at += 64) bits[(at - amap) / 64] = true;
        };
        for (const auto& p : image.used) mark(p.ib, p.size);
        for (uint64_t p = amap; p < amap + kAMapSpan; p += kPageSize)
            if (IsMapPage(p)) mark(p, kPageSize);
        for (size_t i = 0; i < bits.size(); ++i) {
            // The first 64 bytes of the range are the high bit of the first byte.
            if (bits[i])
                page[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
            else
                freeBytes += 64;
        }
        page[trailerAt] = kPtypeAMap;
        page[trailerAt + 1] = kPtypeAMap;
        const uint32_t crc = ComputeCrc(std::span<const uint8_t>(page.data(), trailerAt));
        if (unicode()) {
            PutLe(page, trailerAt + 4, crc, 4);
            PutLe(page, trailerAt + 8, amap, 8);
        } else {
            PutLe(page, trailerAt + 4, amap, 4);
            PutLe(page, trailerAt + 8, crc, 4);
        }
        image.Write(amap, page);
        lastAMap = amap;
    }
    // PMap pages are no longer used by readers; they are kept all-set, as Outlook leaves them.
    for (uint64_t pmap = kFirstPMap; pmap < fileEnd; pmap += kPMapSpan) {
        std::vector<uint8_t> page(kPageSize, 0);
        std::fill(page.begin(), page.begin() + 496, 0xFF);
        page[trailerAt] = kPtypePMap;
        page[trailerAt + 1] = kPtypePMap;
        const uint32_t crc = ComputeCrc(std::span<const uint8_t>(page.data(), trailerAt));
        if (unicode()) {
            PutLe(page, trailerAt + 4, crc, 4);
            PutLe(page, trailerAt + 8, pmap, 8);
        } else {
            PutLe(page, trailerAt + 4, pmap, 4);
            PutLe(page, trailerAt + 8, crc, 4);
        }
        image.Write(pmap, page);
    }
}

void PstBuilder::WriteHeader(Image& image, PageRef bbtRoot, PageRef nbtRoot, uint64_t fileEof,
                             uint64_t lastAMap, uint64_t freeBytes) const {
    std::vector<uint8_t> h(unicode() ? 564 : 512, 0);
    h[0] = '!';
    h[1] = 'B';
    h[2] = 'D';
    h[3] = 'N';
    h[8] = 'S';
    h[9] = 'M';
    if (fourK()) h[9] = 'O';  // offline stores are what Outlook writes in this layout
    PutLe(h, 10, header_.wVer.value_or(fourK() ? 36 : unicode() ? 23 : 14), 2);
    PutLe(h, 12, 19, 2);  // wVerClient
    h[14] = 1;            // bPlatformCreate
    h[15] = 1;            // bPlatformAccess

    // Next free index per NID type, at least 0x400 as in a fresh file.
    uint32_t rgnid[32];
    std::fill(std::begin(rgnid), std::end(rgnid), 0x400u);
    for (const auto& n : nbt_) {
        const uint32_t nid = static_cast<uint32_t>(n.nid);
        rgnid[nid & 0x1F] = std::max(rgnid[nid & 0x1F], (nid >> 5) + 1);
    }
    const uint64_t bidNextB = nextBidIndex_ << 2;
    const uint8_t fAMapValid = header_.allocationMaps ? 2 : 0;
    const uint8_t crypt = header_.cryptMethod.value_or(cryptMethod_);
    size_t root = 0, fm = 0, sentinel = 0;
    if (unicode()) {
        PutLe(h, 32, nextPageBid_, 8);  // bidNextP
        PutLe(h, 40, nbt_.size(), 4);   // dwUnique
        for (int i = 0; i < 32; ++i) PutLe(h, 44 + 4 * i, rgnid[i], 4);
        root = 180;
        PutLe(h, root + 4, fileEof, 8);
        PutLe(h, root + 12, lastAMap, 8);
        PutLe(h, root + 20, freeBytes, 8);
        PutLe(h, root + 28, 0, 8);
        PutLe(h, root + 36, nbtRoot.bid, 8);
        PutLe(h, root + 44, nbtRoot.ib, 8);
        PutLe(h, root + 52, bbtRoot.bid, 8);
        PutLe(h, root + 60, bbtRoot.ib, 8);
        h[root + 68] = fAMapValid;
        fm = 256;
        sentinel = 512;
        PutLe(h, 516, bidNextB, 8);
    } else {
        PutLe(h, 24, bidNextB, 4);
        PutLe(h, 28, nextPageBid_, 4);
        PutLe(h, 32, nbt_.size(), 4);
        for (int i = 0; i < 32; ++i) PutLe(h, 36 + 4 * i, rgnid[i], 4);
        root = 164;
        PutLe(h, root + 4, fileEof, 4);
        PutLe(h, root + 8, lastAMap, 4);
        PutLe(h, root + 12, freeBytes, 4);
        PutLe(h, root + 16, 0, 4);
        PutLe(h, root + 20, nbtRoot.bid, 4);
        PutLe(h, root + 24, nbtRoot.ib, 4);
        PutLe(h, root + 28, bbtRoot.bid, 4);
        PutLe(h, root + 32, bbtRoot.ib, 4);
        h[root + 36] = fAMapValid;
        fm = 204;
        sentinel = 460;
    }
    std::fill(h.begin() + static_cast<ptrdiff_t>(fm), h.begin() + static_cast<ptrdiff_t>(fm + 256),
              0xFF);  // rgbFM and rgbFP, no longer used
    h[sentinel] = 0x80;
    h[sentinel + 1] = crypt;
    PutLe(h, 4, ComputeCrc(std::span<const uint8_t>(h.data() + 8, 471)), 4);
    if (unicode()) PutLe(h, 524, ComputeCrc(std::span<const uint8_t>(h.data() + 8, 516)), 4);
    image.Write(0, h);
}

std::vector<uint8_t> PstBuilder::Build() {
    Image image = image_;
    const uint64_t savedPageBid = nextPageBid_;
    builtPages_.clear();
    PageRef roots[2];
    for (BTree tree : {BTree::Block, BTree::Node}) {
        const int i = static_cast<int>(tree);
        roots[i] = manualRoot_[i] ? *manualRoot_[i] : BuildAutoTree(image, tree);
    }

    uint64_t end = AlignUp(image.cursor, PageSize());
    uint64_t lastAMap = 0, freeBytes = 0;
    if (header_.allocationMaps) {
        // Like Outlook, the file always ends where an AMap's range ends.
        end = kFirstAMap + AlignUp(std::max<uint64_t>(end - kFirstAMap, 1), kAMapSpan);
        image.bytes.resize(end, 0);
        WriteAllocationMaps(image, end, lastAMap, freeBytes);
    }
    image.bytes.resize(std::max<uint64_t>(end, image.bytes.size()), 0);
    WriteHeader(image, roots[0], roots[1], header_.fileEof.value_or(image.bytes.size()), lastAMap,
                freeBytes);
    for (const auto& [offset, bytes] : patches_) image.Write(offset, bytes);
    // Auto-tree page BIDs are taken afresh by every Build.
    nextPageBid_ = savedPageBid;
    return std::move(image.bytes);
}

void PstBuilder::Patch(uint64_t offset, std::vector<uint8_t> bytes) {
    patches_.emplace_back(offset, std::move(bytes));
}

void PstBuilder::PatchLe(uint64_t offset, uint64_t value, size_t width) {
    std::vector<uint8_t> bytes;
    AppendLe(bytes, value, width);
    Patch(offset, std::move(bytes));
}

void PstBuilder::WriteTo(const std::filesystem::path& path) {
    const std::vector<uint8_t> image = Build();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace kestrel::test
