#pragma once
// The node database of a new Unicode PST, streamed to disk: blocks are written as they
// come, in file order, and only their B-tree entries stay in memory. Finish() then writes
// both B-trees, the allocation maps (AMap, PMap, FMap, FPMap) and the header.
//
//   NdbWriter ndb(fd, 1);
//   uint64_t data = ndb.AddData(bytes);
//   ndb.AddNode(0x21, data, 0, 0);
//   ndb.Finish();
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "pstwrite/ltp_builder.h"
#include "pstwrite/pst_builder.h"

namespace kestrel::pstwrite {

using test::NbtEntry;
using test::SlEntry;

// A write that failed (disk full, I/O error): what() says why.
class WriteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr uint64_t kPageSize = 512;
inline constexpr uint64_t kFirstAMap = 0x4400;
inline constexpr uint64_t kAMapSpan = 496 * 8 * 64;  // bytes one AMap page maps
inline constexpr uint8_t kPtypeBbt = 0x80, kPtypeNbt = 0x81, kPtypeFMap = 0x82, kPtypePMap = 0x83,
                         kPtypeAMap = 0x84, kPtypeFPMap = 0x85;

// Which map page, if any, sits at offset (512-aligned): every AMap, a PMap after every
// eighth AMap, an FMap after every 496th AMap from the 128th on, an FPMap after every
// 31,744th AMap from the 8,192nd on.
uint8_t MapPageAt(uint64_t offset);

class NdbWriter {
  public:
    // Writes through fd (open for writing, empty); cryptMethod 0 (none) or 1 (permute).
    NdbWriter(int fd, uint8_t cryptMethod);

    uint8_t cryptMethod() const { return cryptMethod_; }
    static constexpr size_t kMaxBlockData = 8176;

    // One data block, encoded.
    uint64_t AddBlock(std::span<const uint8_t> data);
    // Data of any size: one block, or an XBLOCK / XXBLOCK tree over as many as needed.
    uint64_t AddData(std::span<const uint8_t> data);
    // One block per piece (a heap's pages), under a tree when more than one.
    uint64_t AddDataTree(const std::vector<std::vector<uint8_t>>& pieces);
    // A node's subnodes, sorted here: one SLBLOCK, or SIBLOCKs over several.
    uint64_t AddSubnodes(std::vector<SlEntry> entries);
    // Writes the node's data and its subnode tree (nested ones included).
    test::StoredNode StoreNode(const test::LtpNode& node);

    void AddNode(uint32_t nid, uint64_t bidData, uint64_t bidSub, uint32_t nidParent);

    // Both B-trees, the maps, the header; flushes. The writer is done afterwards.
    void Finish();
    uint64_t fileSize() const { return fileEof_; }
    size_t blockCount() const { return bbt_.size(); }
    size_t nodeCount() const { return nbt_.size(); }

  private:
    struct BbtEntry {
        uint64_t bid;
        uint64_t ib;
        uint16_t cb;
    };
    uint64_t NextBid(bool internal);
    uint64_t Allocate(uint64_t size, uint64_t alignment);
    void WriteAt(uint64_t offset, std::span<const uint8_t> bytes);
    void Flush();
    void WriteAll(uint64_t offset, std::span<const uint8_t> bytes);
    uint64_t PlaceBlock(std::vector<uint8_t> bytes, uint64_t bid);
    uint64_t TreeOf(std::vector<std::pair<uint64_t, uint64_t>> children);  // (bid, size)
    uint64_t SubnodeTree(std::vector<SlEntry> entries);
    test::PageRef WritePage(uint8_t ptype, uint8_t level, const std::vector<uint8_t>& entries,
                            size_t count, size_t entrySize, size_t capacity);
    test::PageRef BuildTree(uint8_t ptype);
    void WriteMapPages(uint64_t& lastAMap, uint64_t& freeBytes);
    void WriteHeader(test::PageRef bbtRoot, test::PageRef nbtRoot, uint64_t lastAMap,
                     uint64_t freeBytes);
    void Mark(uint64_t ib, uint64_t size);

    int fd_;
    uint8_t cryptMethod_;
    uint64_t cursor_ = kFirstAMap;  // next free byte
    uint64_t streamed_ = 0;         // bytes handed to the file so far
    std::vector<uint8_t> buffer_;   // bytes from streamed_ on, not yet written
    uint64_t nextBidIndex_ = 1;
    uint64_t nextPageBid_ = 1;
    uint64_t fileEof_ = 0;
    std::vector<BbtEntry> bbt_;
    std::vector<NbtEntry> nbt_;
    std::vector<std::vector<uint8_t>> amaps_;  // one bitmap of 496 bytes per AMap
    bool finished_ = false;
};

}  // namespace kestrel::pstwrite
