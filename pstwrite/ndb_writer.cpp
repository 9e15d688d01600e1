#include "pstwrite/ndb_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrel::pstwrite {

namespace {

constexpr size_t kFlushAt = 1 << 20;
constexpr uint64_t kPMapEvery = 8;             // AMaps per PMap
constexpr uint64_t kFMapFirst = 128;           // AMaps the header's rgbFM covers
constexpr uint64_t kFMapEvery = 496;           // AMaps per FMap
constexpr uint64_t kFPMapFirst = 128 * 8 * 8;  // AMaps the header's rgbFP covers
constexpr uint64_t kFPMapEvery = 496 * 8 * 8;  // AMaps per FPMap
constexpr size_t kTrailerAt = 496;             // page trailer of a Unicode page
constexpr size_t kBlockTrailer = 16;
constexpr size_t kIdSize = 8;

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

// Trailer of a page: type twice, signature, CRC over the 496 bytes before it, BID.
void SealPage(std::vector<uint8_t>& page, uint8_t ptype, uint16_t signature, uint64_t bid) {
    page.resize(kPageSize, 0);
    page[kTrailerAt] = ptype;
    page[kTrailerAt + 1] = ptype;
    PutLe(page, kTrailerAt + 2, signature, 2);
    PutLe(page, kTrailerAt + 4, test::ComputeCrc(std::span<const uint8_t>(page.data(), kTrailerAt)),
          4);
    PutLe(page, kTrailerAt + 8, bid, 8);
}

}  // namespace

uint8_t MapPageAt(uint64_t offset) {
    if (offset < kFirstAMap || offset % kPageSize != 0) return 0;
    const uint64_t index = (offset - kFirstAMap) / kAMapSpan;
    const uint64_t within = (offset - kFirstAMap) % kAMapSpan;
    if (within == 0) return kPtypeAMap;
    if (within == kPageSize && index % kPMapEvery == 0) return kPtypePMap;
    if (within == 2 * kPageSize && index >= kFMapFirst && (index - kFMapFirst) % kFMapEvery == 0)
        return kPtypeFMap;
    if (within == 3 * kPageSize && index >= kFPMapFirst && (index - kFPMapFirst) % kFPMapEvery == 0)
        return kPtypeFPMap;
    return 0;
}

NdbWriter::NdbWriter(int fd, uint8_t cryptMethod) : fd_(fd), cryptMethod_(cryptMethod) {
    buffer_.reserve(kFlushAt + 16384);
}

void NdbWriter::WriteAll(uint64_t offset, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw WriteError(std::strerror(errno));
        }
        if (n == 0) throw WriteError(std::strerror(ENOSPC));
        done += static_cast<size_t>(n);
    }
}

void NdbWriter::Flush() {
    WriteAll(streamed_, buffer_);
    streamed_ += buffer_.size();
    buffer_.clear();
}

// Every write lands at or after the streamed end (allocation only moves forward), so
// the file is written front to back; the gaps are zeros.
void NdbWriter::WriteAt(uint64_t offset, std::span<const uint8_t> bytes) {
    if (offset < streamed_) throw std::logic_error("write behind the streamed end");
    const uint64_t end = offset + bytes.size() - streamed_;
    if (buffer_.size() < end) buffer_.resize(end, 0);
    std::copy(bytes.begin(), bytes.end(),
              buffer_.begin() + static_cast<ptrdiff_t>(offset - streamed_));
    if (buffer_.size() >= kFlushAt) Flush();
}

void NdbWriter::Mark(uint64_t ib, uint64_t size) {
    for (uint64_t at = ib; at < ib + size; at += 64) {
        const uint64_t index = (at - kFirstAMap) / kAMapSpan;
        if (amaps_.size() <= index) amaps_.resize(index + 1, std::vector<uint8_t>(496, 0));
        const uint64_t slot = (at - kFirstAMap) % kAMapSpan / 64;
        // The first 64 bytes of the range are the high bit of the first byte.
        amaps_[index][slot / 8] |= static_cast<uint8_t>(0x80 >> (slot % 8));
    }
}

uint64_t NdbWriter::Allocate(uint64_t size, uint64_t alignment) {
    uint64_t at = AlignUp(cursor_, alignment);
    for (;;) {
        uint64_t clash = 0;
        for (uint64_t p = at & ~(kPageSize - 1); p < at + size; p += kPageSize) {
            if (MapPageAt(p)) {
                clash = p;
                break;
            }
        }
        if (!clash) break;
        at = AlignUp(clash + kPageSize, alignment);
    }
    cursor_ = at + size;
    Mark(at, size);
    return at;
}

uint64_t NdbWriter::NextBid(bool internal) {
    return (nextBidIndex_++ << 2) | (internal ? 2 : 0);
}

uint64_t NdbWriter::PlaceBlock(std::vector<uint8_t> bytes, uint64_t bid) {
    const uint64_t total = AlignUp(bytes.size() + kBlockTrailer, 64);
    const uint64_t ib = Allocate(total, 64);
    const size_t cb = bytes.size();
    const uint32_t crc = test::ComputeCrc(bytes);
    bytes.resize(total - kBlockTrailer, 0);
    AppendLe(bytes, cb, 2);
    AppendLe(bytes, test::ComputeSignature(ib, bid), 2);
    AppendLe(bytes, crc, 4);
    AppendLe(bytes, bid, 8);
    WriteAt(ib, bytes);
    bbt_.push_back({bid, ib, static_cast<uint16_t>(cb)});
    return bid;
}

uint64_t NdbWriter::AddBlock(std::span<const uint8_t> data) {
    if (data.size() > kMaxBlockData) throw std::invalid_argument("block data too large");
    const uint64_t bid = NextBid(false);
    std::vector<uint8_t> bytes(data.begin(), data.end());
    test::EncodeBlockData(cryptMethod_, bid, bytes);
    return PlaceBlock(std::move(bytes), bid);
}

// One XBLOCK over the blocks when they fit, else XBLOCKs under an XXBLOCK.
uint64_t NdbWriter::TreeOf(std::vector<std::pair<uint64_t, uint64_t>> children) {
    constexpr size_t fit = (kMaxBlockData - 8) / kIdSize;
    auto tree = [&](uint8_t level, const std::pair<uint64_t, uint64_t>* first, size_t count) {
        uint64_t total = 0;
        std::vector<uint8_t> bytes;
        AppendLe(bytes, 0x01, 1);
        AppendLe(bytes, level, 1);
        AppendLe(bytes, count, 2);
        AppendLe(bytes, 0, 4);
        for (size_t i = 0; i < count; ++i) {
            AppendLe(bytes, first[i].first, kIdSize);
            total += first[i].second;
        }
        if (total > 0xFFFFFFFFu) throw std::invalid_argument("value too large for one node");
        PutLe(bytes, 4, total, 4);
        return std::make_pair(PlaceBlock(std::move(bytes), NextBid(true)), total);
    };
    if (children.size() <= fit) return tree(1, children.data(), children.size()).first;
    std::vector<std::pair<uint64_t, uint64_t>> xblocks;
    for (size_t i = 0; i < children.size(); i += fit)
        xblocks.push_back(tree(1, children.data() + i, std::min(fit, children.size() - i)));
    if (xblocks.size() > fit) throw std::invalid_argument("value too large for one node");
    return tree(2, xblocks.data(), xblocks.size()).first;
}

uint64_t NdbWriter::AddData(std::span<const uint8_t> data) {
    if (data.size() <= kMaxBlockData) return AddBlock(data);
    std::vector<std::pair<uint64_t, uint64_t>> blocks;
    for (size_t i = 0; i < data.size(); i += kMaxBlockData) {
        const size_t n = std::min(kMaxBlockData, data.size() - i);
        blocks.emplace_back(AddBlock(data.subspan(i, n)), n);
    }
    return TreeOf(std::move(blocks));
}

uint64_t NdbWriter::AddDataTree(const std::vector<std::vector<uint8_t>>& pieces) {
    if (pieces.empty()) return AddBlock({});
    if (pieces.size() == 1) return AddBlock(pieces.front());
    std::vector<std::pair<uint64_t, uint64_t>> blocks;
    for (const auto& piece : pieces) blocks.emplace_back(AddBlock(piece), piece.size());
    return TreeOf(std::move(blocks));
}

uint64_t NdbWriter::AddSubnodes(std::vector<SlEntry> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const SlEntry& a, const SlEntry& b) { return a.nid < b.nid; });
    constexpr size_t perLeaf = (kMaxBlockData - 8) / (3 * kIdSize);
    constexpr size_t perIndex = (kMaxBlockData - 8) / (2 * kIdSize);
    auto block = [&](uint8_t level, size_t count, auto&& each) {
        std::vector<uint8_t> bytes;
        AppendLe(bytes, 0x02, 1);
        AppendLe(bytes, level, 1);
        AppendLe(bytes, count, 2);
        AppendLe(bytes, 0, 4);
        for (size_t i = 0; i < count; ++i) each(bytes, i);
        return PlaceBlock(std::move(bytes), NextBid(true));
    };
    if (entries.size() <= perLeaf) {
        return block(0, entries.size(), [&](std::vector<uint8_t>& out, size_t i) {
            AppendLe(out, entries[i].nid, kIdSize);
            AppendLe(out, entries[i].bidData, kIdSize);
            AppendLe(out, entries[i].bidSub, kIdSize);
        });
    }
    std::vector<std::pair<uint64_t, uint64_t>> leaves;  // (first nid, bid)
    for (size_t from = 0; from < entries.size(); from += perLeaf) {
        const size_t n = std::min(perLeaf, entries.size() - from);
        leaves.emplace_back(entries[from].nid,
                            block(0, n, [&](std::vector<uint8_t>& out, size_t i) {
                                AppendLe(out, entries[from + i].nid, kIdSize);
                                AppendLe(out, entries[from + i].bidData, kIdSize);
                                AppendLe(out, entries[from + i].bidSub, kIdSize);
                            }));
    }
    if (leaves.size() > perIndex) throw std::invalid_argument("too many subnodes for one node");
    return block(1, leaves.size(), [&](std::vector<uint8_t>& out, size_t i) {
        AppendLe(out, leaves[i].first, kIdSize);
        AppendLe(out, leaves[i].second, kIdSize);
    });
}

test::StoredNode NdbWriter::StoreNode(const test::LtpNode& node) {
    test::StoredNode stored;
    stored.bidData = AddDataTree(node.blocks);
    if (!node.subnodes.empty()) {
        std::vector<SlEntry> entries;
        for (const test::LtpSubnode& sub : node.subnodes) {
            const test::StoredNode child = StoreNode(sub.node);
            entries.push_back({sub.nid, child.bidData, child.bidSub});
        }
        stored.bidSub = AddSubnodes(std::move(entries));
    }
    return stored;
}

void NdbWriter::AddNode(uint32_t nid, uint64_t bidData, uint64_t bidSub, uint32_t nidParent) {
    nbt_.push_back({nid, bidData, bidSub, nidParent});
}

test::PageRef NdbWriter::WritePage(uint8_t ptype, uint8_t level,
                                   const std::vector<uint8_t>& entries, size_t count,
                                   size_t entrySize, size_t capacity) {
    const uint64_t bid = nextPageBid_++;
    const uint64_t ib = Allocate(kPageSize, kPageSize);
    std::vector<uint8_t> page(entries);
    page.resize(kPageSize, 0);
    page[488] = static_cast<uint8_t>(count);
    page[489] = static_cast<uint8_t>(capacity);
    page[490] = static_cast<uint8_t>(entrySize);
    page[491] = level;
    SealPage(page, ptype, test::ComputeSignature(ib, bid), bid);
    WriteAt(ib, page);
    return {ib, bid};
}

// Leaves from the sorted entries, then index levels over them until one page is left.
test::PageRef NdbWriter::BuildTree(uint8_t ptype) {
    const bool blocks = ptype == kPtypeBbt;
    const size_t leafSize = blocks ? 24 : 32;
    const size_t leafCapacity = 488 / leafSize;
    constexpr size_t indexCapacity = 488 / 24;
    struct Child {
        uint64_t key;
        test::PageRef page;
    };
    std::vector<Child> level;
    const size_t total = blocks ? bbt_.size() : nbt_.size();
    for (size_t from = 0; from < total || (from == 0 && total == 0); from += leafCapacity) {
        const size_t n = std::min(leafCapacity, total - from);
        std::vector<uint8_t> bytes;
        for (size_t i = from; i < from + n; ++i) {
            if (blocks) {
                AppendLe(bytes, bbt_[i].bid, 8);
                AppendLe(bytes, bbt_[i].ib, 8);
                AppendLe(bytes, bbt_[i].cb, 2);
                AppendLe(bytes, 2, 2);  // cRef
                AppendLe(bytes, 0, 4);
            } else {
                AppendLe(bytes, nbt_[i].nid, 8);
                AppendLe(bytes, nbt_[i].bidData, 8);
                AppendLe(bytes, nbt_[i].bidSub, 8);
                AppendLe(bytes, nbt_[i].nidParent, 4);
                AppendLe(bytes, 0, 4);
            }
        }
        const uint64_t key = n == 0 ? 0 : blocks ? bbt_[from].bid : nbt_[from].nid;
        level.push_back({key, WritePage(ptype, 0, bytes, n, leafSize, leafCapacity)});
        if (total == 0) break;
    }
    for (uint8_t depth = 1; level.size() > 1; ++depth) {
        std::vector<Child> up;
        for (size_t from = 0; from < level.size(); from += indexCapacity) {
            const size_t n = std::min(indexCapacity, level.size() - from);
            std::vector<uint8_t> bytes;
            for (size_t i = from; i < from + n; ++i) {
                AppendLe(bytes, level[i].key, 8);
                AppendLe(bytes, level[i].page.bid, 8);
                AppendLe(bytes, level[i].page.ib, 8);
            }
            up.push_back({level[from].key, WritePage(ptype, depth, bytes, n, 24, indexCapacity)});
        }
        level = std::move(up);
    }
    return level.front().page;
}

void NdbWriter::WriteMapPages(uint64_t& lastAMap, uint64_t& freeBytes) {
    freeBytes = 0;
    std::vector<uint8_t> longestFree(amaps_.size(), 0);
    for (size_t index = 0; index < amaps_.size(); ++index) {
        const uint64_t amap = kFirstAMap + index * kAMapSpan;
        std::vector<uint8_t> page = amaps_[index];
        size_t run = 0, longest = 0;
        for (size_t slot = 0; slot < 496 * 8; ++slot) {
            if (page[slot / 8] & (0x80 >> (slot % 8))) {
                run = 0;
            } else {
                freeBytes += 64;
                longest = std::max(longest, ++run);
            }
        }
        longestFree[index] = static_cast<uint8_t>(std::min<size_t>(longest, 0xFF));
        SealPage(page, kPtypeAMap, 0, amap);
        WriteAll(amap, page);
        lastAMap = amap;
    }
    // PMaps and FPMaps are kept all-set, as Outlook leaves them; FMaps give the longest
    // free run of each AMap they cover.
    for (size_t index = 0; index < amaps_.size(); ++index) {
        const uint64_t amap = kFirstAMap + index * kAMapSpan;
        for (uint64_t at = amap + kPageSize; at < amap + 4 * kPageSize; at += kPageSize) {
            const uint8_t ptype = MapPageAt(at);
            if (!ptype) continue;
            std::vector<uint8_t> page(kPageSize, 0xFF);
            if (ptype == kPtypeFMap) {
                std::fill(page.begin(), page.end(), 0);
                for (size_t i = 0; i < 496 && index + i < amaps_.size(); ++i)
                    page[i] = longestFree[index + i];
            }
            SealPage(page, ptype, 0, at);
            WriteAll(at, page);
        }
    }
}

void NdbWriter::WriteHeader(test::PageRef bbtRoot, test::PageRef nbtRoot, uint64_t lastAMap,
                            uint64_t freeBytes) {
    std::vector<uint8_t> h(564, 0);
    h[0] = '!';
    h[1] = 'B';
    h[2] = 'D';
    h[3] = 'N';
    h[8] = 'S';
    h[9] = 'M';
    PutLe(h, 10, 23, 2);  // wVer: Unicode
    PutLe(h, 12, 19, 2);  // wVerClient
    h[14] = 1;            // bPlatformCreate
    h[15] = 1;            // bPlatformAccess
    // Next free index per NID type: past every node written, at least 0x400.
    uint32_t rgnid[32];
    std::fill(std::begin(rgnid), std::end(rgnid), 0x400u);
    for (const auto& n : nbt_) {
        const uint32_t nid = static_cast<uint32_t>(n.nid);
        rgnid[nid & 0x1F] = std::max(rgnid[nid & 0x1F], (nid >> 5) + 1);
    }
    PutLe(h, 32, nextPageBid_, 8);  // bidNextP
    PutLe(h, 40, nbt_.size(), 4);   // dwUnique
    for (int i = 0; i < 32; ++i) PutLe(h, 44 + 4 * i, rgnid[i], 4);
    constexpr size_t root = 180;
    PutLe(h, root + 4, fileEof_, 8);
    PutLe(h, root + 12, lastAMap, 8);
    PutLe(h, root + 20, freeBytes, 8);
    PutLe(h, root + 28, 0, 8);  // cbPMapFree
    PutLe(h, root + 36, nbtRoot.bid, 8);
    PutLe(h, root + 44, nbtRoot.ib, 8);
    PutLe(h, root + 52, bbtRoot.bid, 8);
    PutLe(h, root + 60, bbtRoot.ib, 8);
    h[root + 68] = 2;                                   // fAMapValid: VALID_AMAP2
    std::fill(h.begin() + 256, h.begin() + 512, 0xFF);  // rgbFM and rgbFP, no longer used
    h[512] = 0x80;                                      // bSentinel
    h[513] = cryptMethod_;
    PutLe(h, 516, nextBidIndex_ << 2, 8);  // bidNextB
    PutLe(h, 4, test::ComputeCrc(std::span<const uint8_t>(h.data() + 8, 471)), 4);
    PutLe(h, 524, test::ComputeCrc(std::span<const uint8_t>(h.data() + 8, 516)), 4);
    WriteAll(0, h);
}

void NdbWriter::Finish() {
    if (finished_) return;
    finished_ = true;
    std::stable_sort(bbt_.begin(), bbt_.end(),
                     [](const BbtEntry& a, const BbtEntry& b) { return a.bid < b.bid; });
    std::stable_sort(nbt_.begin(), nbt_.end(),
                     [](const NbtEntry& a, const NbtEntry& b) { return a.nid < b.nid; });
    const test::PageRef nbtRoot = BuildTree(kPtypeNbt);
    const test::PageRef bbtRoot = BuildTree(kPtypeBbt);
    // The file ends where its last AMap's range ends; the tail is written as zeros, never
    // left as a hole.
    const uint64_t amapCount = (cursor_ - kFirstAMap + kAMapSpan - 1) / kAMapSpan;
    fileEof_ = kFirstAMap + std::max<uint64_t>(amapCount, 1) * kAMapSpan;
    if (amaps_.size() < std::max<uint64_t>(amapCount, 1))
        amaps_.resize(std::max<uint64_t>(amapCount, 1), std::vector<uint8_t>(496, 0));
    for (size_t index = 0; index < amaps_.size(); ++index) {
        const uint64_t amap = kFirstAMap + index * kAMapSpan;
        for (uint64_t at = amap; at < amap + 4 * kPageSize; at += kPageSize)
            if (MapPageAt(at)) Mark(at, kPageSize);
    }
    const std::vector<uint8_t> last{0};
    WriteAt(fileEof_ - 1, last);
    Flush();
    uint64_t lastAMap = kFirstAMap, freeBytes = 0;
    WriteMapPages(lastAMap, freeBytes);
    WriteHeader(bbtRoot, nbtRoot, lastAMap, freeBytes);
}

}  // namespace kestrel::pstwrite
