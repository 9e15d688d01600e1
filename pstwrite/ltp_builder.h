#pragma once
// Lists, tables and properties for test images: heap-on-node, BTH, property context,
// table context and the name-to-ID map, each giving a node's data blocks and subnodes,
// which StoreNode then writes through a PstBuilder.
//
//   LtpBuilder ltp(PstVariant::Unicode);
//   LtpNode pc = ltp.PropertyContext({Prop::Unicode(0x3001, "Inbox"), Prop::Int32(0x3602, 3)});
//   StoredNode where = StoreNode(pst, pc);            // data block(s) and subnode block
//   pst.AddNode(nid, where.bidData, where.bidSub, parent);
//
//   LtpNode tc = ltp.TableContext({.columns = {0x3001001F},
//                                  .rows = {{0x8022, {Prop::Unicode(0x3001, "Inbox")}}}});
//
// Options force the odd shapes: a tiny heap block limit spreads a heap over many blocks,
// recordsPerLeaf gives a BTH index levels, Prop::where moves a value into a subnode.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pstwrite/pst_builder.h"

namespace kestrel::test {

// Property types.
inline constexpr uint16_t kPtShort = 0x0002, kPtLong = 0x0003, kPtFloat = 0x0004,
                          kPtDouble = 0x0005, kPtCurrency = 0x0006, kPtAppTime = 0x0007,
                          kPtError = 0x000A, kPtBoolean = 0x000B, kPtObject = 0x000D,
                          kPtInt64 = 0x0014, kPtString8 = 0x001E, kPtUnicode = 0x001F,
                          kPtSysTime = 0x0040, kPtGuid = 0x0048, kPtBinary = 0x0102,
                          kPtMvLong = 0x1003, kPtMvString8 = 0x101E, kPtMvUnicode = 0x101F,
                          kPtMvBinary = 0x1102;
// NID types.
inline constexpr uint32_t kNidTypeHid = 0x00, kNidTypeInternal = 0x01, kNidTypeNormalFolder = 0x02,
                          kNidTypeSearchFolder = 0x03, kNidTypeNormalMessage = 0x04,
                          kNidTypeAttachment = 0x05, kNidTypeAssocMessage = 0x08,
                          kNidTypeHierarchyTable = 0x0D, kNidTypeContentsTable = 0x0E,
                          kNidTypeAssocContentsTable = 0x0F, kNidTypeLtp = 0x1F;

constexpr uint32_t MakeTag(uint16_t id, uint16_t type) {
    return (uint32_t{id} << 16) | type;
}
// HID of the index-th allocation (1-based) of heap block `block`.
constexpr uint32_t MakeHid(uint32_t block, uint32_t index) {
    return (block << 16) | (index << 5);
}

// Text for values: UTF-8 in, UTF-16LE or a Windows code page out (through iconv).
std::vector<uint8_t> Utf16(std::string_view utf8);
std::vector<uint8_t> CodePageBytes(std::string_view utf8, uint32_t codePage);

using Guid = std::array<uint8_t, 16>;
// A GUID in its on-disk layout from its usual text parts.
Guid MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, std::array<uint8_t, 8> d4);
extern const Guid kPsMapi, kPsPublicStrings, kPsetidAppointment, kPsetidTask, kPsetidAddress,
    kPsetidCommon, kPsetidLog, kPsetidNote, kPsInternetHeaders;

// A property and its value exactly as the file holds it: little-endian numbers, strings
// without a terminator, binary as is.
struct Prop {
    enum class Where { Auto, Heap, Subnode };
    uint16_t id = 0;
    uint16_t type = 0;
    std::vector<uint8_t> value{};
    Where where = Where::Auto;  // Auto: inline when 4 bytes or less, else heap, else subnode

    uint32_t tag() const { return MakeTag(id, type); }
    Prop& InSubnode() {
        where = Where::Subnode;
        return *this;
    }
    Prop& InHeap() {
        where = Where::Heap;
        return *this;
    }

    static Prop Int16(uint16_t id, uint16_t v);
    static Prop Int32(uint16_t id, uint32_t v);
    static Prop Bool(uint16_t id, bool v);
    static Prop Int64(uint16_t id, uint64_t v);
    static Prop Time(uint16_t id, uint64_t fileTime);
    static Prop Unicode(uint16_t id, std::string_view utf8);
    static Prop String8(uint16_t id, std::vector<uint8_t> bytes);
    static Prop Binary(uint16_t id, std::vector<uint8_t> bytes);
    static Prop GuidValue(uint16_t id, const Guid& guid);
    static Prop Raw(uint16_t id, uint16_t type, std::vector<uint8_t> bytes);
};

// 100-ns ticks since 1601 for a UTC calendar time (the format's FILETIME).
uint64_t FileTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// What a node holds: its data, one entry per data block (heap pages, row-matrix blocks,
// or a large value cut at the block size), and its subnodes, each a node of its own.
struct LtpSubnode;
struct LtpNode {
    std::vector<std::vector<uint8_t>> blocks{};
    // No initializer: clang instantiates one over the still incomplete LtpSubnode.
    std::vector<LtpSubnode> subnodes;
};
struct LtpSubnode {
    uint32_t nid = 0;
    LtpNode node{};
};

struct StoredNode {
    uint64_t bidData = 0;
    uint64_t bidSub = 0;  // 0 when the node has no subnodes
};
// Writes the node's data (one block or a data tree) and its subnode tree, nested subnodes
// included; bidSub is 0 when there are none.
StoredNode StoreNode(PstBuilder& pst, const LtpNode& node);

// A heap-on-node under construction. Allocations fill the current block; one that does
// not fit opens the next block (with its page header or, every 128 blocks, a bitmap header).
class HeapBuilder {
  public:
    HeapBuilder(uint8_t clientSignature, size_t blockLimit);

    uint32_t Allocate(std::span<const uint8_t> bytes);
    // Replaces an allocation's bytes with as many new ones.
    void Overwrite(uint32_t hid, std::span<const uint8_t> bytes);
    void NewBlock();  // later allocations go to a fresh block
    void SetUserRoot(uint32_t hid) { userRoot_ = hid; }
    size_t BlockCount() const { return blocks_.size(); }
    std::vector<std::vector<uint8_t>> Finish() const;

  private:
    struct Block {
        std::vector<std::vector<uint8_t>> allocations;
        size_t used = 0;  // header + allocation bytes
    };
    static size_t HeaderSize(size_t blockIndex);
    uint8_t clientSignature_;
    size_t blockLimit_;
    uint32_t userRoot_ = 0;
    std::vector<Block> blocks_{};
};

// A BTH in the heap; records are sorted by key (little-endian numbers). Returns the HID of
// its header. recordsPerLeaf 0 fills allocations up to the format's 3580-byte limit.
struct BthRecord {
    std::vector<uint8_t> key{};
    std::vector<uint8_t> data{};
};
// headerHid, when given, is an 8-byte allocation made earlier to hold the header (so that
// it comes before the records, as Outlook lays it out).
uint32_t AddBth(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt, std::vector<BthRecord> records,
                size_t recordsPerLeaf = 0, uint32_t headerHid = 0);

struct LtpOptions {
    size_t heapBlockLimit = 0;  // bytes per heap block; 0 = the format's maximum
    size_t recordsPerLeaf = 0;  // BTH records per leaf allocation; 0 = as many as fit
};

struct TableRow {
    uint32_t id = 0;            // dwRowID: the NID the row stands for
    std::vector<Prop> cells{};  // by tag; a column without a cell is absent in this row
};
struct Table {
    std::vector<uint32_t> columns{};  // tags; row id and version are added, so are cell tags
    std::vector<TableRow> rows{};
    bool rowsInSubnode = false;  // the row matrix in a subnode even when it fits the heap
    size_t rowsPerBlock = 0;     // rows per row-matrix block; 0 = as many as fit
};

// A named property: numeric (lid) when name is empty, else named by the string.
struct NameId {
    Guid guid{};
    uint32_t lid = 0;
    std::string name{};
};

class LtpBuilder {
  public:
    explicit LtpBuilder(PstVariant variant) : variant_(variant) {}

    PstVariant variant() const { return variant_; }
    // Heap pages stay within what a 512-byte-layout block carries in every layout.
    size_t MaxBlockData() const { return variant_ == PstVariant::Ansi ? 8180 : 8176; }
    // A fresh NID for a subnode holding a large value or a row matrix.
    uint32_t NextLtpNid() { return MakeNid(kNidTypeLtp, nextLtpIndex_++); }

    LtpNode PropertyContext(const std::vector<Prop>& props, const LtpOptions& options = {});
    LtpNode TableContext(const Table& table, const LtpOptions& options = {});
    // The map node (0x61): entry i gets property id 0x8000 + i.
    LtpNode NameToIdMap(const std::vector<NameId>& names, const LtpOptions& options = {});
    // A value placed as a PC would place it: the HNID, plus a subnode when large.
    uint32_t PlaceValue(HeapBuilder& heap, const Prop& prop, std::vector<LtpSubnode>& subnodes);

    // Largest value kept in the heap.
    static constexpr size_t kMaxHeapValue = 3580;

  private:
    size_t HeapLimit(const LtpOptions& options) const;
    PstVariant variant_;
    uint32_t nextLtpIndex_ = 0x400;
};

}  // namespace kestrel::test
