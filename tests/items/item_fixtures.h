#pragma once
// What the item tests share: hand-made heap blocks (the bytes a heap-on-node, a BTH, a
// property or table context lay out, without a file around them), small built files
// through the fixture builder, and lookups in parsed property groups.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "items/bth.h"
#include "items/heap_on_node.h"
#include "items/node_value_reader.h"
#include "items/property_parser.h"
#include "storage/btree_loader.h"
#include "storage/subnode_list.h"
#include "support/layouts.h"
#include "pstwrite/ltp_builder.h"

namespace kestrel::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13);
    return bytes;
}

inline const PropertyValue* Find(const PropertyGroup& group, uint32_t id) {
    for (const auto& v : group.values) {
        if (v.propertyId == id) return &v;
    }
    return nullptr;
}

// A value's first bytes (up to 8) as a little-endian number.
inline uint64_t AsUInt(const PropertyValue& v) {
    uint64_t x = 0;
    if (v.data) std::memcpy(&x, v.data->data(), std::min<size_t>(8, v.data->size()));
    return x;
}

// --- Hand-made heaps ---

inline void Put16(Bytes& b, size_t at, uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, size_t at, uint32_t v) {
    Put16(b, at, static_cast<uint16_t>(v));
    Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
inline void Append16(Bytes& b, uint16_t v) {
    Put16(b, b.size(), v);
}
inline void Append32(Bytes& b, uint32_t v) {
    Put32(b, b.size(), v);
}
inline Bytes Str(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

constexpr uint32_t Hid(uint32_t block, uint32_t index) {
    return MakeHid(block, index);
}

// One heap block: the header (12 bytes in the first block, 2 in the others), the
// allocations back to back, then the page map.
inline Bytes HeapBlock(bool first, const std::vector<Bytes>& allocations, uint32_t userRoot = 0x20,
                       uint8_t client = kClientPropertyContext) {
    Bytes block(first ? 12 : 2, 0);
    if (first) {
        block[2] = kHeapSignature;
        block[3] = client;
        Put32(block, 4, userRoot);
    }
    std::vector<uint16_t> offsets{static_cast<uint16_t>(block.size())};
    for (const Bytes& a : allocations) {
        block.insert(block.end(), a.begin(), a.end());
        offsets.push_back(static_cast<uint16_t>(block.size()));
    }
    if (block.size() % 2) block.push_back(0);
    Put16(block, 0, static_cast<uint16_t>(block.size()));
    Append16(block, static_cast<uint16_t>(allocations.size()));
    Append16(block, 0);
    for (uint16_t o : offsets) Append16(block, o);
    return block;
}

inline Bytes BthHeaderBytes(uint8_t cbKey, uint8_t cbEnt, uint8_t levels, uint32_t root) {
    Bytes b{kBthSignature, cbKey, cbEnt, levels};
    Append32(b, root);
    return b;
}

// Property-context records: (id, type, value word).
struct PcRecord {
    uint16_t id;
    uint16_t type;
    uint32_t word;
};
inline Bytes PcRecords(std::initializer_list<PcRecord> records) {
    Bytes b;
    for (const auto& r : records) {
        Append16(b, r.id);
        Append16(b, r.type);
        Append32(b, r.word);
    }
    return b;
}

// Index records of a BTH with 2-byte keys: (key, HID of the level below).
inline Bytes IndexRecords(std::initializer_list<std::pair<uint16_t, uint32_t>> children) {
    Bytes b;
    for (const auto& [key, hid] : children) {
        Append16(b, key);
        Append32(b, hid);
    }
    return b;
}

// A table's column descriptor.
struct Column {
    uint32_t tag;
    uint16_t ibData;
    uint8_t cbData;
    uint8_t iBit;
};

// TCINFO: the four rgib ends, the row index, the row matrix, then the columns.
inline Bytes TcInfo(std::initializer_list<uint16_t> rgib, uint32_t hidRowIndex, uint32_t hnidRows,
                    std::initializer_list<Column> columns) {
    Bytes b{kClientTableContext, static_cast<uint8_t>(columns.size())};
    for (uint16_t v : rgib) Append16(b, v);
    Append32(b, hidRowIndex);
    Append32(b, hnidRows);
    Append32(b, 0);
    for (const auto& c : columns) {
        Append32(b, c.tag);
        Append16(b, c.ibData);
        b.push_back(c.cbData);
        b.push_back(c.iBit);
    }
    return b;
}

// Row-index records of n rows: 4-byte row id, then a 4-byte row number.
inline Bytes RowIndexRecords(uint32_t n) {
    Bytes b;
    for (uint32_t i = 0; i < n; ++i) {
        Append32(b, 0x1000 + i);
        Append32(b, i);
    }
    return b;
}

// --- Built files ---

// Nodes written through the fixture builder, then opened with their indexes loaded.
struct BuiltFile {
    explicit BuiltFile(PstVariant variant) : pst(variant), ltp(variant) {}

    void Add(uint32_t nid, const LtpNode& node) {
        const StoredNode stored = StoreNode(pst, node);
        pst.AddNode(nid, stored.bidData, stored.bidSub);
    }
    // Adds the message store, without which no node tree loads, and loads the file.
    void Open() {
        Add(0x21, ltp.PropertyContext({Prop::Int32(0x0E08, 0)}));
        ASSERT_EQ(OpenPstImage(context, pst.Build()), 0);
        ASSERT_EQ(LoadIndexes(context), 0);
    }
    const NodeRecord* Node(uint32_t nid) { return FindNode(context, nid); }
    SubnodeList Subnodes(uint32_t nid) {
        const NodeRecord* node = Node(nid);
        return node && node->subnodeBlock ? BuildSubnodeList(context, node->subnodeBlock)
                                          : SubnodeList{};
    }
    PropertyGroupList Parse(uint32_t nid) {
        const NodeRecord* node = Node(nid);
        if (!node) {
            ADD_FAILURE() << "no node " << nid;
            return {};
        }
        const SubnodeList subnodes = Subnodes(nid);
        return ParseNodeProperties(items, node->dataBlock, &subnodes);
    }

    PstBuilder pst;
    LtpBuilder ltp;
    PstContext context;
    ItemContext items{context};
};

}  // namespace kestrel::test
