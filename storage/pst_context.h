#pragma once
// The reader state of one open PST file: the file, the layout of its variant, the block
// index and the node tree.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "storage/block_index.h"
#include "storage/cfile64.h"
#include "storage/node_tree.h"
#include "storage/pst_layout.h"

namespace kestrel {

// What LoadIndexes met on the way, for reports and warnings.
struct LoadStats {
    uint32_t skippedBlockSubtrees = 0;  // block-tree children that failed and were skipped
    uint32_t skippedNodeSubtrees = 0;   // node-tree children that failed and were skipped
    uint32_t orphanNodes = 0;           // node records left out of the tree
    // The level of each tree's leaf pages, as the walk found it.
    static constexpr uint8_t kUnknownDepth = 0xFF;
    uint8_t blockLeafDepth = kUnknownDepth;
    uint8_t nodeLeafDepth = kUnknownDepth;
};

// Blocks stored deflated that would not inflate to the size their entry records, by BID:
// such a block reads as nothing. Reads may run on several threads.
class DamagedBlocks {
  public:
    void Note(uint64_t bid) {
        std::lock_guard lock(mutex_);
        bids_.insert(bid);
    }
    size_t Count() const {
        std::lock_guard lock(mutex_);
        return bids_.size();
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        bids_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::unordered_set<uint64_t> bids_;
};

struct PstContext {
    BlockIndex blocks;  // blockHead .. blockTail
    NodeTree nodes;     // topHead .. topTail
    uint64_t blockRootOffset = 0;
    uint64_t nodeRootOffset = 0;
    uint64_t headerFileEof = 0;  // ibFileEof: the size the writer last gave the file
    CFile64 file;
    uint32_t cryptMethod = 0;      // 0 none, 1 permutation, 2 cyclic
    bool headerMagicValid = true;  // "!BDN"; the file is read on either way
    bool headerCrcValid = true;    // the CRC over the header's first 471 bytes after it
    uint32_t version = 0;          // wVer
    PstVariant variant = PstVariant::Unknown;
    const PstLayout* layout = nullptr;  // null for an Unknown variant
    LoadStats stats;
    DamagedBlocks damagedBlocks;
    // The run's stop request, polled by every walker and loader; null: never stopped.
    const std::atomic<uint32_t>* stopFlag = nullptr;

    bool Stopped() const {
        return stopFlag != nullptr && stopFlag->load(std::memory_order_relaxed) != 0;
    }
};

enum OpenResult : int {
    kOpenOk = 0,
    kOpenFailed = -1,
};

// Opens path read-only and reads the header fields the reader uses. kOpenFailed when the
// file cannot be opened (reason in *error).
OpenResult OpenPstFile(PstContext& context, const std::string& path, std::string* error = nullptr);
// The same over an in-memory file image (never fails).
OpenResult OpenPstImage(PstContext& context, std::vector<uint8_t> image);

// Reads count bytes at offset into buffer (resized to the bytes actually read); returns
// that count. An offset past the end gives 0. File errors propagate (FileError).
size_t ReadAt(PstContext& context, uint64_t offset, size_t count, std::vector<uint8_t>& buffer);

// How many of the count bytes at offset the file holds now (what ReadAt gives), without
// reading them: 0 when offset lies past the end. File errors propagate (FileError).
size_t AvailableAt(PstContext& context, uint64_t offset, size_t count);
// The same for a file of length bytes.
size_t HeldAt(uint64_t length, uint64_t offset, size_t count);

}  // namespace kestrel
