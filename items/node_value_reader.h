#pragma once
// What the property-context and table-context parsers share: turning a property id and a
// value word or cell into a PropertyValue (named-property mapping, heap and subnode
// values), under the stop flag and a byte budget per parse.
#include <cstddef>
#include <cstdint>

#include "items/heap_on_node.h"
#include "items/item_context.h"
#include "items/property_parser.h"
#include "items/property_value.h"
#include "storage/block_reader.h"
#include "storage/subnode_list.h"

namespace kestrel {

// The most value bytes one parse hands out: a damaged context whose records all point at
// the same large subnode or heap item must not multiply it without end.
inline constexpr size_t kMaxParsedBytes = 2 * kMaxNodeDataSize;

// Types a property context keeps in the record's 4-byte value word.
bool IsInlinePropertyType(uint16_t type);
// Types a table row holds in the row itself (cbData bytes).
bool IsFixedColumnType(uint16_t type);
// Types whose value lives in the heap or in a subnode, named by an HNID.
bool IsHnidPropertyType(uint16_t type);

class NodeValueReader {
  public:
    NodeValueReader(ItemContext& context, const HeapOnNode& heap, const SubnodeList* subnodes,
                    const SubnodeList* fallback, const ParseOptions& options = {})
        : context_(context),
          heap_(heap),
          subnodes_(subnodes),
          fallback_(fallback),
          options_(options) {}

    bool Stopped() const { return context_.Stopped(); }
    bool Exhausted() const { return spent_ >= kMaxParsedBytes; }

    // A new value for the id and type from the file, the id mapped through the
    // named-property map.
    PropertyValue Begin(uint16_t propertyId, uint16_t type) const;

    // Fills value from an HNID. False when the property is to be dropped (HNID 0, a HID
    // that does not resolve). A subnode that gives nothing leaves the value without data
    // and its NID in typeOrNid. Attachment data is only measured, and HTML and compressed
    // RTF only their first bytes read, when the options say so.
    bool ReadHnid(uint32_t hnid, PropertyValue& value);

    // Counts a kept value, or any other bytes the parse keeps or spends, against the budget.
    void Charge(const PropertyValue& value);
    void Charge(size_t bytes) { spent_ += bytes; }

    // The data blocks of subnode nid (own list first, then the fallback). False when the
    // subnode is in neither list or reads nothing.
    bool ReadSubnodeBlocks(uint32_t nid, std::vector<std::vector<uint8_t>>& blocks);

    ItemContext& context() const { return context_; }

  private:
    enum class ValueRead { kWhole, kMeasure, kPeek, kMeasureText };
    // Enough of a peeked value to tell whether it has text: an RTF header and its first
    // token, an HTML text's first character.
    static constexpr size_t kPeekedBytes = 32;

    const SubnodeEntry* FindSubnode(uint32_t nid) const;
    // The data of subnode nid into value: all of it, only its size (in measuredSize), or its
    // first kPeekedBytes or more (with the whole size in measuredSize when that is more), or
    // its UTF-8 length as UTF-16 text (textLength, and its size in measuredSize). No data and
    // the NID in typeOrNid when it gives nothing.
    void ReadSubnodeValue(uint32_t nid, PropertyValue& value, ValueRead how);

    ItemContext& context_;
    const HeapOnNode& heap_;
    const SubnodeList* subnodes_;
    const SubnodeList* fallback_;
    ParseOptions options_;
    size_t spent_ = 0;
};

}  // namespace kestrel
