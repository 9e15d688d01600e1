#include "storage/block_reader.h"

#include <algorithm>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <optional>
#include <unordered_set>

#include "storage/block_inflate.h"
#include "storage/btree_loader.h"
#include "storage/byte_reader.h"
#include "storage/cpu_features.h"
#include "storage/nid.h"

namespace kestrel {

namespace {

// The three 256-byte parts of the format's published mpbbCrypt table.
// Encoding substitution (mpbbR).
constexpr uint8_t kEncode[256] = {
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
};
// The middle substitution of the cyclic encoding (mpbbS, its own inverse).
constexpr uint8_t kMiddle[256] = {
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
};
// Decoding substitution (mpbbI), the inverse of kEncode.
constexpr uint8_t kDecode[256] = {
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

// The stored bytes of a deflated block, kept per thread between reads: a block is at most
// a few KB and is inflated into the caller's buffer at once.
std::vector<uint8_t>& StoredBytes() {
    thread_local std::vector<uint8_t> stored;
    return stored;
}

constexpr uint8_t kTreeBlockType = 1;  // btype of XBLOCK and XXBLOCK
constexpr size_t kTreeHeaderSize = 8;

size_t ReadRecord(PstContext& context, const BlockRecord& record, std::vector<uint8_t>& out) {
    return ReadBlockRecord(context, record, out);
}

// A data block, decoded. A deflated one is taken as deflated, then encoded (its stored bytes
// decode to the stream); failing that, as encoded, then deflated. The stream's checksum
// tells the right order.
size_t ReadDecodedRecord(PstContext& context, const BlockRecord& record,
                         std::vector<uint8_t>& out) {
    if (!IsCompressed(record) || context.cryptMethod == 0) {
        const size_t n = ReadRecord(context, record, out);
        DecodeBlockData(context, record.bid, out.data(), n);
        return n;
    }
    std::vector<uint8_t>& stored = StoredBytes();
    if (ReadAt(context, record.ib, record.cb, stored) == record.cb) {
        thread_local std::vector<uint8_t> decoded;
        decoded.assign(stored.begin(), stored.end());
        DecodeBlockData(context, record.bid, decoded.data(), decoded.size());
        if (InflateBlock(decoded, record.cbInflated, out)) return out.size();
        if (InflateBlock(stored, record.cbInflated, out)) {
            DecodeBlockData(context, record.bid, out.data(), out.size());
            return out.size();
        }
    }
    out.clear();
    context.damagedBlocks.Note(BidKey(record.bid));
    return 0;
}

// The bytes a read of the record would give from a file of length bytes, without reading
// them: for a deflated block its inflated size when the file holds the whole stream (whether
// it inflates is not known).
size_t MeasureRecord(const BlockRecord& record, uint64_t length) {
    const size_t held = HeldAt(length, record.ib, record.cb);
    if (!IsCompressed(record)) return held;
    return held == record.cb ? record.cbInflated : 0;
}

// Whether a read of the record takes its cb bytes as they are (not inflated, not damaged).
bool StoredAsIs(const PstContext& context, const BlockRecord& record) {
    // Records of a layout without inflated sizes may leave it 0; in one with them, 0 is as
    // damaged as any size below the stored one.
    const bool recordsInflated = context.layout && context.layout->blockLeafInflatedPos != 0;
    return record.cbInflated == record.cb || (record.cbInflated == 0 && !recordsInflated);
}

// The first wanted bytes of a block stored as is, decoded, in out. Returns what a whole read
// would give (the bytes the file of that length holds), 0 when it holds none.
size_t ReadBlockHead(PstContext& context, const BlockRecord& record, size_t wanted, uint64_t length,
                     std::vector<uint8_t>& out) {
    const size_t size = HeldAt(length, record.ib, record.cb);
    const size_t head = size == 0 ? 0 : ReadAt(context, record.ib, std::min(wanted, size), out);
    if (head == 0) {
        out.clear();
        return 0;
    }
    DecodeBlockData(context, record.bid, out.data(), head);
    return size;
}

// Collects the data blocks of one data tree. Nesting is at most XXBLOCK -> XBLOCK -> data;
// every BID is used once; the output stops at the tree's lcbTotal and at kMaxNodeDataSize.
class TreeReader {
  public:
    // The data blocks are read into blocks until they hold readBytes; the rest count with
    // the bytes the file holds for them, unread (0: none is read, blocks stays empty).
    // total() says what reading them all would have given.
    TreeReader(PstContext& context, std::vector<std::vector<uint8_t>>& blocks,
               size_t readBytes = SIZE_MAX)
        : context_(context), blocks_(blocks), readBytes_(readBytes) {}

    // False when the tree must be given up (a block missing or unreadable, or a stop).
    bool ReadRoot(const BlockRecord& root) {
        std::vector<uint8_t> raw;
        if (ReadRecord(context_, root, raw) == 0) return false;
        used_.insert(BidKey(root.bid));
        ByteReader reader(raw);
        if (reader.U8(0) != kTreeBlockType) {
            // Not a tree after all: the block is the data.
            TakeData(root.bid, std::move(raw));
            return true;
        }
        limit_ = std::min<uint64_t>(reader.U32(4).value_or(0), kMaxNodeDataSize);
        if (reader.U8(1) == 1) return ReadXBlock(reader);
        return ReadXXBlock(reader);
    }

    size_t total() const { return total_; }
    void HandTo(const PieceTaker& take) { take_ = &take; }

  private:
    size_t EntryCount(const ByteReader& block) const {
        const size_t width = context_.layout->dataTreeEntrySize;
        size_t fit = block.size() > kTreeHeaderSize ? (block.size() - kTreeHeaderSize) / width : 0;
        return std::min<size_t>(block.U16(2).value_or(0), fit);
    }
    uint64_t Entry(const ByteReader& block, size_t i) const {
        const size_t width = context_.layout->dataTreeEntrySize;
        return block.UInt(kTreeHeaderSize + i * width, width).value_or(0);
    }
    // True the first time a BID turns up in this tree.
    bool FirstUse(uint64_t bid) { return used_.insert(BidKey(bid)).second; }

    // The children of an XBLOCK are data blocks, whatever their first byte.
    bool ReadXBlock(const ByteReader& block) {
        const size_t count = EntryCount(block);
        for (size_t i = 0; i < count && !Full(); ++i) {
            if (context_.Stopped()) return false;
            uint64_t bid = Entry(block, i);
            if (IsInternalBid(bid) || !FirstUse(bid)) continue;
            const BlockRecord* record = FindBlock(context_, bid);
            if (!record || !TakeRecord(*record)) return false;
        }
        return true;
    }

    // One data block: read whole, read only as far as the bytes still wanted (a block stored
    // as is), or only measured once they are read. Past them a block stored otherwise is
    // still read, not kept: whether it inflates decides, as in a whole read, whether the tree
    // is given up, and measuring alone cannot tell.
    bool TakeRecord(const BlockRecord& record) {
        const bool asIs = StoredAsIs(context_, record);
        if (!Reading() && (readBytes_ == 0 || asIs)) {
            const size_t size = MeasureRecord(record, Length());
            if (size == 0) return false;
            Count(size);
            return true;
        }
        // Blocks handed on one at a time pass through one buffer.
        std::vector<uint8_t> own;
        std::vector<uint8_t>& data = take_ ? scratch_ : own;
        if (asIs && readBytes_ - total_ < record.cb) {
            const size_t size =
                ReadBlockHead(context_, record, readBytes_ - total_, Length(), data);
            if (size == 0) return false;
            const size_t head = data.size();
            Append(std::move(data));
            Count(size - head);
            return true;
        }
        if (ReadDecodedRecord(context_, record, data) == 0) return false;
        if (Reading()) {
            Append(std::move(data));
        } else {
            Count(data.size());
        }
        return true;
    }

    // The file's length, asked once per tree, not once per block.
    uint64_t Length() {
        if (!length_) length_ = context_.file.GetLength();
        return *length_;
    }

    // The children of an XXBLOCK are XBLOCKs; a child that is no tree is taken as data.
    bool ReadXXBlock(const ByteReader& block) {
        const size_t count = EntryCount(block);
        for (size_t i = 0; i < count && !Full(); ++i) {
            if (context_.Stopped()) return false;
            uint64_t bid = Entry(block, i);
            if (!FirstUse(bid)) continue;
            const BlockRecord* record = FindBlock(context_, bid);
            if (!record) return false;
            std::vector<uint8_t> raw;
            if (ReadRecord(context_, *record, raw) == 0) return false;
            ByteReader child(raw);
            if (IsInternalBid(bid) && child.U8(0) == kTreeBlockType) {
                // Trees go no deeper than this: a further XXBLOCK is skipped.
                if (child.U8(1) == 1 && !ReadXBlock(child)) return false;
                continue;
            }
            TakeData(record->bid, std::move(raw));
        }
        return true;
    }

    bool Full() const { return total_ >= limit_; }
    bool Reading() const { return total_ < readBytes_; }

    // A data block read already (a tree block that turned out to be data).
    void TakeData(uint64_t bid, std::vector<uint8_t>&& raw) {
        if (!Reading()) {
            Count(raw.size());
            return;
        }
        DecodeBlockData(context_, bid, raw.data(), raw.size());
        Append(std::move(raw));
    }

    // Append's bookkeeping without the bytes.
    void Count(size_t size) {
        if (Full()) return;
        total_ += std::min<uint64_t>(size, limit_ - total_);
    }

    void Append(std::vector<uint8_t>&& data) {
        if (Full()) return;
        const size_t size = std::min<uint64_t>(data.size(), limit_ - total_);
        total_ += size;
        if (take_) {
            (*take_)(std::span<const uint8_t>(data.data(), size));
            return;
        }
        data.resize(size);
        blocks_.push_back(std::move(data));
    }

    PstContext& context_;
    std::vector<std::vector<uint8_t>>& blocks_;
    const PieceTaker* take_ = nullptr;  // when set, the data blocks go to it, not to blocks_
    std::vector<uint8_t> scratch_;
    size_t readBytes_;
    std::optional<uint64_t> length_;  // the file's length, once a block has been measured
    std::unordered_set<uint64_t> used_;
    uint64_t total_ = 0;
    uint64_t limit_ = kMaxNodeDataSize;
};

size_t Concatenate(const std::vector<std::vector<uint8_t>>& blocks, std::vector<uint8_t>& out) {
    size_t total = 0;
    for (const auto& block : blocks) total += block.size();
    out.clear();
    out.reserve(total);
    for (const auto& block : blocks) out.insert(out.end(), block.begin(), block.end());
    return out.size();
}

}  // namespace

size_t ReadBlockRecord(PstContext& context, const BlockRecord& record, std::vector<uint8_t>& out) {
    if (StoredAsIs(context, record)) return ReadAt(context, record.ib, record.cb, out);
    std::vector<uint8_t>& stored = StoredBytes();
    if (IsCompressed(record) && ReadAt(context, record.ib, record.cb, stored) == record.cb &&
        InflateBlock(stored, record.cbInflated, out))
        return out.size();
    out.clear();
    context.damagedBlocks.Note(BidKey(record.bid));
    return 0;
}

size_t ReadBlock(PstContext& context, uint64_t bid, std::vector<uint8_t>& out) {
    const BlockRecord* record = FindBlock(context, bid);
    if (!record) return 0;
    return ReadRecord(context, *record, out);
}

size_t ReadDecodedBlock(PstContext& context, uint64_t bid, std::vector<uint8_t>& out) {
    if (context.Stopped()) return 0;
    const BlockRecord* record = FindBlock(context, bid);
    if (!record) return 0;
    const size_t n = ReadDecodedRecord(context, *record, out);
    return n;
}

namespace {

void DecodePermuteBytes(uint8_t* buffer, size_t length) {
    for (size_t i = 0; i < length; ++i) buffer[i] = kDecode[buffer[i]];
}

#if defined(__x86_64__) && defined(__GNUC__)
// 64 bytes a step where the processor can look bytes up in a 128-byte table (AVX-512
// VBMI): the low seven bits of each byte index the table's first or second half, the high
// bit picks the half.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void DecodePermuteVbmi(uint8_t* buffer,
                                                                              size_t length) {
    const __m512i q0 = _mm512_loadu_si512(kDecode);
    const __m512i q1 = _mm512_loadu_si512(kDecode + 64);
    const __m512i q2 = _mm512_loadu_si512(kDecode + 128);
    const __m512i q3 = _mm512_loadu_si512(kDecode + 192);
    size_t i = 0;
    for (; i + 64 <= length; i += 64) {
        const __m512i in = _mm512_loadu_si512(buffer + i);
        const __m512i low = _mm512_permutex2var_epi8(q0, in, q1);
        const __m512i high = _mm512_permutex2var_epi8(q2, in, q3);
        _mm512_storeu_si512(buffer + i, _mm512_mask_blend_epi8(_mm512_movepi8_mask(in), low, high));
    }
    DecodePermuteBytes(buffer + i, length - i);
}

using DecodeFunction = void (*)(uint8_t*, size_t);

const DecodeFunction decodePermute = HasAvx512Vbmi() ? DecodePermuteVbmi : DecodePermuteBytes;
#else
constexpr auto decodePermute = DecodePermuteBytes;
#endif

}  // namespace

DecodeResult DecodePermute(uint8_t* buffer, size_t length, uint32_t method) {
    if (!buffer || method != 1) return kDecodeRefused;
    decodePermute(buffer, length);
    return kDecodeOk;
}

void DecodeCyclic(uint8_t* buffer, size_t length, uint32_t key) {
    if (!buffer) return;
    // The same steps encode and decode; the 16-bit salt moves on by one per byte.
    uint16_t salt = static_cast<uint16_t>(key ^ (key >> 16));
    for (size_t i = 0; i < length; ++i, ++salt) {
        const uint8_t low = static_cast<uint8_t>(salt);
        const uint8_t high = static_cast<uint8_t>(salt >> 8);
        uint8_t b = buffer[i];
        b = kEncode[static_cast<uint8_t>(b + low)];
        b = kMiddle[static_cast<uint8_t>(b + high)];
        b = kDecode[static_cast<uint8_t>(b - high)];
        buffer[i] = static_cast<uint8_t>(b - low);
    }
}

void DecodeBlockData(const PstContext& context, uint64_t bid, uint8_t* buffer, size_t length) {
    switch (context.cryptMethod) {
        case 0:
            return;
        case 2:
            DecodeCyclic(buffer, length, static_cast<uint32_t>(bid));
            return;
        default:
            DecodePermute(buffer, length, 1);
            return;
    }
}

size_t ReadDataBlocks(PstContext& context, const BlockRecord* block,
                      std::vector<std::vector<uint8_t>>& blocks) {
    blocks.clear();
    if (!block || !context.layout || context.Stopped()) return 0;
    if (!IsInternalBid(block->bid)) {
        // An external BID is one data block, even when its first byte looks like a tree's.
        std::vector<uint8_t> data;
        const size_t n = ReadDecodedRecord(context, *block, data);
        if (n == 0) return 0;
        blocks.push_back(std::move(data));
        return n;
    }
    TreeReader reader(context, blocks);
    if (!reader.ReadRoot(*block)) {
        blocks.clear();
        return 0;
    }
    return reader.total();
}

size_t MeasureDataBlocks(PstContext& context, const BlockRecord* block) {
    if (!block || !context.layout || context.Stopped()) return 0;
    if (!IsInternalBid(block->bid)) return MeasureRecord(*block, context.file.GetLength());
    std::vector<std::vector<uint8_t>> none;
    TreeReader reader(context, none, 0);
    return reader.ReadRoot(*block) ? reader.total() : 0;
}

size_t ReadDataTree(PstContext& context, uint64_t bid, std::vector<uint8_t>& out) {
    out.clear();
    const BlockRecord* record = FindBlock(context, bid);
    if (!record || !context.layout || context.Stopped()) return 0;
    std::vector<std::vector<uint8_t>> blocks;
    TreeReader reader(context, blocks);
    if (!reader.ReadRoot(*record)) return 0;
    return Concatenate(blocks, out);
}

size_t ReadNodeData(PstContext& context, const BlockRecord* block, std::vector<uint8_t>& out) {
    if (block && context.layout && !context.Stopped() && !IsInternalBid(block->bid)) {
        // One data block: read into out itself, no block list and no copy.
        const size_t n = ReadRecord(context, *block, out);
        DecodeBlockData(context, block->bid, out.data(), n);
        return n;
    }
    std::vector<std::vector<uint8_t>> blocks;
    ReadDataBlocks(context, block, blocks);
    return Concatenate(blocks, out);
}

size_t VisitNodeData(PstContext& context, const BlockRecord* block, const PieceTaker& take) {
    if (!block || !context.layout || context.Stopped()) return 0;
    if (!IsInternalBid(block->bid)) {
        std::vector<uint8_t> data;
        const size_t size = ReadNodeData(context, block, data);
        if (size != 0) take(data);
        return size;
    }
    std::vector<std::vector<uint8_t>> none;
    TreeReader reader(context, none);
    reader.HandTo(take);
    return reader.ReadRoot(*block) ? reader.total() : 0;
}

size_t PeekNodeData(PstContext& context, const BlockRecord* block, size_t wanted,
                    std::vector<uint8_t>& out) {
    if (!block || !context.layout || context.Stopped()) return ReadNodeData(context, block, out);
    if (!IsInternalBid(block->bid)) {
        if (StoredAsIs(context, *block) && wanted < block->cb)
            return ReadBlockHead(context, *block, wanted, context.file.GetLength(), out);
        return ReadNodeData(context, block, out);
    }
    out.clear();
    std::vector<std::vector<uint8_t>> blocks;
    TreeReader reader(context, blocks, wanted);
    if (!reader.ReadRoot(*block)) return 0;
    Concatenate(blocks, out);
    return reader.total();
}

}  // namespace kestrel
