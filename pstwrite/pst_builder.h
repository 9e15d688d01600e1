#pragma once
// PST images for tests: the node database (header, blocks, data trees, subnode blocks,
// both B-trees, allocation maps), written the way the file format lays them out, with
// every checksum and signature right, unless a test damages them on purpose.
//
//   PstBuilder pst(PstVariant::Unicode);              // bCryptMethod 1 unless told
//   PstBuilder ost(PstVariant::Unicode4k);            // 4 KB pages, data blocks deflated
//   uint64_t data = pst.AddData(bytes);               // one block, or an XBLOCK/XXBLOCK tree
//   uint64_t sub = pst.AddSubnodes({{0x671, table}}); // SLBLOCK, or SIBLOCK when many
//   pst.AddNode(0x21, data, sub);                     // node-tree entry
//   std::vector<uint8_t> image = pst.Build();         // header, AMaps, both B-trees
//
// Odd files, each in a line or two:
//   pst.limits().pageEntries = 3;                     // several B-tree levels
//   auto leaf = pst.AddBbtLeaf(entries);              // a hand-made page, any entries
//   pst.SetRoot(BTree::Block, leaf);                  // ...and the header points to it
//   pst.AddXBlock({self}, self);                      // an XBLOCK that lists itself
//   pst.Patch(pst.Block(bid).ib, {0xFF});             // damage after everything is written
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "storage/pst_layout.h"

namespace kestrel::test {

// A NID from its type (low 5 bits) and index.
constexpr uint32_t MakeNid(uint32_t type, uint32_t index) {
    return (index << 5) | (type & 0x1F);
}

// The format's checksum (CRC-32, initial value 0, no final inversion).
uint32_t ComputeCrc(std::span<const uint8_t> bytes, uint32_t crc = 0);
// Block and page signature: the XOR of the halves of (ib XOR bid), low 32 bits.
uint16_t ComputeSignature(uint64_t ib, uint64_t bid);
// Data-block encodings: method 1 permutes every byte, method 2 is the cyclic cipher
// keyed with the block's BID; method 0 leaves the bytes alone.
void EncodeBlockData(uint8_t method, uint64_t bid, std::span<uint8_t> bytes);
void DecodeBlockData(uint8_t method, uint64_t bid, std::span<uint8_t> bytes);

enum class BTree { Block, Node };

// On-disk entries, in their full width; the variant decides how many bytes are written.
struct BbtEntry {
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t cRef = 2;
    uint16_t cbInflated = 0;  // 4 KB pages only: the inflated size; 0 = cb
};
struct NbtEntry {
    uint64_t nid = 0;
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
    uint32_t nidParent = 0;
};
struct BtEntry {  // intermediate page entry of either tree
    uint64_t key = 0;
    uint64_t bid = 0;
    uint64_t ib = 0;
};
struct SlEntry {  // subnode leaf entry
    uint64_t nid = 0;
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
};
struct SiEntry {  // subnode intermediate entry
    uint64_t nid = 0;
    uint64_t bid = 0;
};

// Where a page went: what a parent entry or the header needs.
struct PageRef {
    uint64_t ib = 0;
    uint64_t bid = 0;
};

// A page of an automatically built B-tree, as placed by the last Build().
struct BuiltPage {
    BTree tree;
    uint8_t level;  // 0 = leaf
    uint64_t ib;
    uint64_t bid;
    uint64_t firstKey;
    size_t entries;
};

// Sizes the builder splits at. The defaults are the format's limits; tests lower them
// to get deep trees from little data.
struct TreeLimits {
    size_t pageEntries = 0;    // B-tree entries per page; 0 = as many as fit
    size_t blockData = 0;      // data bytes per block in AddData; 0 = the format's maximum
    size_t xblockEntries = 0;  // children per XBLOCK/XXBLOCK; 0 = as many as fit
    size_t slEntries = 0;      // entries per SLBLOCK in AddSubnodes; 0 = as many as fit
};

// Header fields a test may want to get wrong. Unset fields take the right value.
struct HeaderOptions {
    std::optional<uint16_t> wVer;          // 14 (Ansi) or 23 (Unicode)
    std::optional<uint8_t> cryptMethod{};  // the encoding the builder applies
    std::optional<uint64_t> fileEof{};     // the image size
    bool allocationMaps = true;            // AMap and PMap pages, fAMapValid 2
};

class PstBuilder {
  public:
    explicit PstBuilder(PstVariant variant, uint8_t cryptMethod = 1);

    PstVariant variant() const { return variant_; }
    // Unicode entries and strings: the Unicode layout and the 4 KB-page one.
    bool unicode() const { return variant_ != PstVariant::Ansi; }
    bool fourK() const { return variant_ == PstVariant::Unicode4k; }
    uint8_t cryptMethod() const { return cryptMethod_; }
    size_t IdSize() const { return unicode() ? 8 : 4; }
    size_t BlockTrailerSize() const { return fourK() ? 24 : unicode() ? 16 : 12; }
    size_t BlockAlignment() const { return fourK() ? 512 : 64; }
    size_t PageSize() const { return fourK() ? 4096 : 512; }
    // Most data bytes one block may carry: 8176 (Unicode), 8180 (Ansi), 65512 (4 KB pages).
    size_t MaxBlockData() const { return (fourK() ? 65536 : 8192) - BlockTrailerSize(); }
    // 4 KB pages: data blocks are stored deflated where that makes them smaller (on by
    // default); off, every block is stored as it is.
    void SetDeflate(bool on) { deflate_ = on; }
    // Entries that fit in one page of the given kind at the given level.
    size_t PageCapacity(BTree tree, uint8_t level) const;

    TreeLimits& limits() { return limits_; }
    HeaderOptions& header() { return header_; }

    // --- Blocks. Each returns the block's BID; bid 0 means "take the next one". ---
    // The next free BID; internal BIDs (bit 1 set) name XBLOCKs and subnode blocks.
    uint64_t ReserveBid(bool internal = false);
    // One data block, encoded with the file's method (keyed by its BID); in a 4 KB-page
    // file deflated first where that makes it smaller.
    uint64_t AddBlock(std::span<const uint8_t> data, uint64_t bid = 0);
    // A block stored deflated (then encoded) whatever its size, with the inflated size the
    // entry and the trailer give (by default the data's).
    uint64_t AddDeflatedBlock(std::span<const uint8_t> data, uint64_t bid = 0,
                              std::optional<uint16_t> cbInflated = std::nullopt);
    uint64_t AddBlock(std::initializer_list<uint8_t> data, uint64_t bid = 0) {
        return AddBlock(std::span<const uint8_t>(data.begin(), data.size()), bid);
    }
    // A block stored exactly as given (no encoding), as internal blocks are.
    uint64_t AddRawBlock(std::span<const uint8_t> bytes, uint64_t bid = 0);
    // Data of any size: one block when it fits, else an XBLOCK or XXBLOCK tree.
    uint64_t AddData(std::span<const uint8_t> data);
    // One data block per piece (a heap's pages), under an XBLOCK when more than one.
    uint64_t AddDataTree(const std::vector<std::vector<uint8_t>>& pieces);
    // Data trees with the given children. lcbTotal defaults to the children's data sizes.
    uint64_t AddXBlock(const std::vector<uint64_t>& children, uint64_t bid = 0,
                       std::optional<uint32_t> lcbTotal = std::nullopt);
    uint64_t AddXXBlock(const std::vector<uint64_t>& children, uint64_t bid = 0,
                        std::optional<uint32_t> lcbTotal = std::nullopt);
    // Subnode blocks with exactly these entries, in this order.
    uint64_t AddSlBlock(const std::vector<SlEntry>& entries, uint64_t bid = 0);
    uint64_t AddSiBlock(const std::vector<SiEntry>& entries, uint64_t bid = 0);
    // A node's subnodes, sorted by NID: one SLBLOCK, or an SIBLOCK over several.
    uint64_t AddSubnodes(std::vector<SlEntry> entries);

    // The block-tree entry of a placed block (its offset, size, reference count).
    const BbtEntry& Block(uint64_t bid) const;
    // File offset of the block's trailer (cb, wSig, CRC, bid).
    uint64_t TrailerOffset(uint64_t bid) const;
    // Leaves a placed block out of the automatic block tree, or adds any entry to it.
    void Unindex(uint64_t bid);
    void AddBbtEntry(const BbtEntry& entry) { bbt_.push_back(entry); }
    const std::vector<BbtEntry>& BbtEntries() const { return bbt_; }

    // --- Nodes (entries of the automatic node tree; any values, duplicates kept). ---
    void AddNode(uint32_t nid, uint64_t bidData, uint64_t bidSub = 0, uint32_t nidParent = 0);
    void AddNode(const NbtEntry& entry) { nbt_.push_back(entry); }
    const std::vector<NbtEntry>& NbtEntries() const { return nbt_; }

    // --- Hand-made B-tree pages, written now. More entries than fit spill over the
    // page's own fields and trailer into the following bytes. `at` places the page in a
    // slot from ReservePage (so that a page can list itself); by default a new one. ---
    PageRef AddBbtLeaf(const std::vector<BbtEntry>& entries, PageRef at = {});
    PageRef AddNbtLeaf(const std::vector<NbtEntry>& entries, PageRef at = {});
    PageRef AddBtPage(BTree tree, uint8_t level, const std::vector<BtEntry>& entries,
                      PageRef at = {});
    // A page-sized slot and a page BID, for a page written later.
    PageRef ReservePage();
    // The header points at this page; that tree is then not built automatically.
    void SetRoot(BTree tree, PageRef root);
    // Any bytes at a fresh aligned offset (a page-sized piece of garbage, say).
    uint64_t PlaceRaw(std::span<const uint8_t> bytes, size_t alignment = 512);

    // --- Damage: applied in order, last of all, over the finished image. ---
    void Patch(uint64_t offset, std::vector<uint8_t> bytes);
    void PatchLe(uint64_t offset, uint64_t value, size_t width);

    std::vector<uint8_t> Build();
    void WriteTo(const std::filesystem::path& path);
    // Pages of the automatic trees made by the last Build(), leaves first.
    const std::vector<BuiltPage>& BuiltPages() const { return builtPages_; }
    std::vector<BuiltPage> BuiltPages(BTree tree, uint8_t level) const;

  private:
    struct Placement {
        uint64_t ib;
        uint64_t size;  // bytes taken in the file
    };
    struct Image {
        std::vector<uint8_t> bytes;
        uint64_t cursor = 0;
        std::vector<Placement> used;
        bool maps = true;  // the 512-byte layouts keep AMap and PMap pages at fixed offsets
        uint64_t Allocate(uint64_t size, uint64_t alignment);
        void Write(uint64_t offset, std::span<const uint8_t> data);
    };

    uint64_t TakeBid(uint64_t bid, bool internal);
    uint64_t PlaceBlock(std::vector<uint8_t> bytes, uint64_t bid, uint64_t dataSize,
                        uint16_t cbInflated = 0);
    uint64_t AddTree(uint8_t level, const std::vector<uint64_t>& children, uint64_t bid,
                     std::optional<uint32_t> lcbTotal);
    uint64_t BuildTreeOf(uint8_t level, std::vector<uint64_t> children);
    PageRef WritePage(Image& image, BTree tree, uint8_t level, const std::vector<uint8_t>& entries,
                      size_t count, size_t entrySize, PageRef at);
    PageRef BuildAutoTree(Image& image, BTree tree);
    std::vector<uint8_t> SerializeBbt(const BbtEntry& entry) const;
    std::vector<uint8_t> SerializeNbt(const NbtEntry& entry) const;
    std::vector<uint8_t> SerializeBt(const BtEntry& entry) const;
    void WriteAllocationMaps(Image& image, uint64_t fileEnd, uint64_t& lastAMap,
                             uint64_t& freeBytes) const;
    void WriteHeader(Image& image, PageRef bbtRoot, PageRef nbtRoot, uint64_t fileEof,
                     uint64_t lastAMap, uint64_t freeBytes) const;
    size_t EntriesPerPage(BTree tree, uint8_t level) const;
    size_t EntryArea() const { return fourK() ? 4056 : unicode() ? 488 : 496; }
    size_t PageTrailerAt() const { return fourK() ? 4072 : unicode() ? 496 : 500; }
    static std::vector<uint8_t> Deflate(std::span<const uint8_t> bytes);

    PstVariant variant_;
    uint8_t cryptMethod_;
    bool deflate_ = true;
    TreeLimits limits_;
    HeaderOptions header_;
    Image image_;
    uint64_t nextBidIndex_ = 1;
    uint64_t nextPageBid_ = 1;
    std::map<uint64_t, BbtEntry> placed_{};    // every block written, by BID
    std::map<uint64_t, uint64_t> dataSize_{};  // logical data size under each BID
    std::vector<BbtEntry> bbt_{};
    std::vector<NbtEntry> nbt_{};
    std::optional<PageRef> manualRoot_[2];
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> patches_{};
    std::vector<BuiltPage> builtPages_{};
};

}  // namespace kestrel::test
