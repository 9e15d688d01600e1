#include "engine/block_rebuild.h"

#include <algorithm>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "items/heap_on_node.h"
#include "items/property_parser.h"
#include "items/property_tags.h"
#include "items/property_text.h"
#include "storage/block_reader.h"
#include "storage/btree_loader.h"
#include "storage/byte_reader.h"
#include "storage/nid.h"
#include "storage/subnode_list.h"

namespace kestrel {

namespace {

constexpr uint8_t kDataTreeType = 0x01;  // XBLOCK, XXBLOCK
constexpr uint8_t kSubnodeType = 0x02;   // SLBLOCK, SIBLOCK

constexpr uint32_t kSearchFolderType = 0x03;
constexpr uint32_t kHierarchyTableType = 0x0D;
constexpr uint32_t kContentsTableType = 0x0E;
constexpr uint32_t kAssocTableType = 0x0F;

constexpr uint32_t kPidTagNameidBucketCount = 0x0001;
constexpr uint32_t kPidTagMessageSize = 0x0E08;
constexpr uint32_t kPidTagAssocContentCount = 0x3617;
constexpr uint32_t kMessageFlagHasAttach = 0x10;
constexpr uint32_t kRecipientTo = 1;

// An entry id's NID follows its flags and the store's UID.
constexpr size_t kEntryIdNidAt = 20;
// A table's TCINFO holds hnidRows here.
constexpr size_t kTcRowsAt = 14;
// How far, in BID order, a pairing looks on each side for a fitting partner.
constexpr size_t kPairingReach = 32;

// Every BID an internal block names: a data tree's children, a subnode list's data and
// subnode blocks (or its child lists).
void ClaimChildren(const PstLayout& layout, const ByteReader& block,
                   std::unordered_set<uint64_t>& claimed) {
    const uint8_t type = block.U8(0).value_or(0);
    const uint8_t level = block.U8(1).value_or(0);
    const size_t count = block.U16(2).value_or(0);
    const size_t id = layout.idSize;
    if (type == kDataTreeType) {
        for (size_t i = 0; i < count; ++i) {
            const auto bid =
                block.UInt(layout.dataTreeHeaderSize + i * layout.dataTreeEntrySize, id);
            if (!bid) break;
            claimed.insert(BidKey(*bid));
        }
    } else if (type == kSubnodeType) {
        const size_t entrySize =
            level == 0 ? layout.subnodeLeafEntrySize : layout.subnodeIntermediateEntrySize;
        for (size_t i = 0; i < count; ++i) {
            const size_t at = layout.subnodeHeaderSize + i * entrySize;
            const auto first = block.UInt(at + id, id);
            if (!first) break;
            claimed.insert(BidKey(*first));
            if (level == 0) {
                if (auto sub = block.UInt(at + 2 * id, id)) claimed.insert(BidKey(*sub));
            }
        }
    }
}

bool IsHiddenClass(std::string_view messageClass) {
    auto startsWith = [&](std::string_view prefix) {
        if (messageClass.size() < prefix.size()) return false;
        for (size_t i = 0; i < prefix.size(); ++i) {
            const char c = messageClass[i];
            const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            if (lower != prefix[i]) return false;
        }
        return true;
    };
    return startsWith("ipm.configuration.") || startsWith("ipm.microsoft.");
}

bool IsFolderNid(uint32_t nid) {
    const uint32_t type = nid & kNidTypeMask;
    return type == static_cast<uint32_t>(NidType::NormalFolder) || type == kSearchFolderType;
}

// What a property context or a table row says about the item it describes.
struct Facts {
    uint32_t rowNid = 0;
    std::optional<std::string> messageClass, subject, name, displayTo;
    std::optional<uint64_t> delivery;
    std::optional<uint32_t> size, flags, count, unread, assocCount, recipientType;
    std::optional<bool> subfolders;
    bool store = false;                 // names the IPM subtree
    uint32_t ipmSubtree = 0;            // ...whose NID is this
    bool nameMap = false;               // has the name-to-ID map's bucket count
    std::vector<uint32_t> subnodeNids;  // values kept in subnodes the parse did not have

    bool IsFolder() const { return !messageClass && !store && name && count; }
};

Facts ReadFacts(const PropertyGroup& group, PstVariant variant) {
    Facts facts;
    for (const PropertyValue& value : group.values) {
        if (!value.data) {
            if (value.typeOrNid != value.type) facts.subnodeNids.push_back(value.typeOrNid);
            continue;
        }
        const ByteReader bytes(*value.data);
        auto text = [&] { return PropertyText(value, variant, 1252); };
        switch (value.propertyId) {
            case kPidTagLtpRowId:
                facts.rowNid = bytes.U32(0).value_or(0);
                break;
            case kPidTagMessageClass:
                facts.messageClass = text();
                break;
            case kPidTagSubject:
                facts.subject = text();
                break;
            case kPidTagDisplayName:
                facts.name = text();
                break;
            case kPidTagDisplayTo:
                facts.displayTo = text();
                break;
            case kPidTagMessageDeliveryTime:
                facts.delivery = bytes.U64(0);
                break;
            case kPidTagMessageSize:
                facts.size = bytes.U32(0);
                break;
            case kPidTagMessageFlags:
                facts.flags = bytes.U32(0);
                break;
            case kPidTagContentCount:
                facts.count = bytes.U32(0);
                break;
            case kPidTagContentUnreadCount:
                facts.unread = bytes.U32(0);
                break;
            case kPidTagAssocContentCount:
                facts.assocCount = bytes.U32(0);
                break;
            case kPidTagRecipientType:
                facts.recipientType = bytes.U32(0);
                break;
            case kPidTagSubfolders:
                if (auto b = bytes.U8(0)) facts.subfolders = *b != 0;
                break;
            case kPidTagIpmSubtreeEntryId:
                facts.store = true;
                facts.ipmSubtree = bytes.U32(kEntryIdNidAt).value_or(0);
                break;
            case kPidTagNameidBucketCount:
                facts.nameMap = true;
                break;
            default:
                break;
        }
    }
    return facts;
}

// Values both sides have must agree.
template <typename T>
bool Agree(const std::optional<T>& a, const std::optional<T>& b) {
    return !a || !b || *a == *b;
}

template <typename T>
bool BothHave(const std::optional<T>& a, const std::optional<T>& b) {
    return a && b;
}

// A row and a message agree on what both have, and share more than a class and flags: a
// subject, a delivery time or a size.
bool RowMatchesMessage(const Facts& row, const Facts& message) {
    if (!BothHave(row.subject, message.subject) && !BothHave(row.delivery, message.delivery) &&
        !BothHave(row.size, message.size))
        return false;
    return row.subject.value_or("") == message.subject.value_or("") &&
           Agree(row.delivery, message.delivery) && Agree(row.size, message.size) &&
           Agree(row.flags, message.flags) && Agree(row.messageClass, message.messageClass);
}

bool RowMatchesFolder(const Facts& row, const Facts& folder) {
    return row.name == folder.name && Agree(row.count, folder.count) &&
           Agree(row.unread, folder.unread);
}

struct Candidate {
    const BlockRecord* block = nullptr;
    Facts facts;
    uint32_t nid = 0;  // once known
    uint32_t parent = 0;
    const BlockRecord* subnodes = nullptr;
    bool dropped = false;              // an older copy of a node the tree has
    std::vector<uint32_t> lostTables;  // a live folder's: the kinds of table the tree lacks
};

// A table context found among the unclaimed blocks, or a live one.
struct FoundTable {
    const BlockRecord* block = nullptr;
    uint32_t type = 0;            // kHierarchyTableType, ...: from the kind of NIDs its rows hold
    uint32_t owner = 0;           // the folder's NID once known
    Candidate* folder = nullptr;  // the rebuilt folder it was paired with
    std::vector<Facts> rows;
};

// A subnode list no node claims.
struct LooseList {
    const BlockRecord* block = nullptr;
    SubnodeList list;
    bool taken = false;
    bool read = false;  // the fields below are known
    bool recipients = false;
    std::string to;  // the To recipients' names joined as Display To has them
    size_t attachmentRows = 0;
};

uint32_t TableTypeOfRows(const std::vector<Facts>& rows) {
    for (const Facts& row : rows) {
        if (IsFolderNid(row.rowNid)) return kHierarchyTableType;
        if (NidTypeOf(row.rowNid) == NidType::NormalMessage) return kContentsTableType;
        if (NidTypeOf(row.rowNid) == NidType::AssocMessage) return kAssocTableType;
    }
    return 0;
}

// A greedy one-to-one pairing: the closest pairs first.
struct Pair {
    uint64_t distance;
    size_t left;
    size_t right;
};
template <typename Take>
void PairClosest(std::vector<Pair>& pairs, size_t lefts, size_t rights, Take take) {
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
        return a.distance != b.distance ? a.distance < b.distance
               : a.left != b.left       ? a.left < b.left
                                        : a.right < b.right;
    });
    std::vector<bool> leftDone(lefts), rightDone(rights);
    for (const Pair& pair : pairs) {
        if (leftDone[pair.left] || rightDone[pair.right]) continue;
        leftDone[pair.left] = rightDone[pair.right] = true;
        take(pair.left, pair.right);
    }
}

uint64_t Distance(uint64_t a, uint64_t b) {
    return a > b ? a - b : b - a;
}

// Up to kPairingReach entries of sorted (by key) on each side of key, nearest first.
template <typename Get, typename Visit>
void ForNeighbours(size_t size, uint64_t key, Get keyAt, Visit visit) {
    size_t low = 0, high = size;
    while (low < high) {
        const size_t mid = (low + high) / 2;
        if (keyAt(mid) < key) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    for (size_t i = low, n = 0; i < size && n < kPairingReach; ++i, ++n) visit(i);
    for (size_t i = low, n = 0; i > 0 && n < kPairingReach; --i, ++n) visit(i - 1);
}

class Rebuilder {
  public:
    explicit Rebuilder(ItemContext& items)
        : items_(items), context_(items.storage), layout_(*context_.layout) {}

    RebuiltNodes Run() {
        if (!FindLoose()) return rebuilt_;
        if (candidates_.empty()) return rebuilt_;
        if (!ReadLiveTables()) return rebuilt_;
        PairTables();
        NameFolders();
        NameMessages();
        PairSubnodes();
        Create();
        return rebuilt_;
    }

  private:
    bool Stopped() const { return context_.Stopped(); }

    std::vector<PropertyGroup> Parse(const BlockRecord* block, const SubnodeList* subnodes) {
        try {
            return ParseNodeProperties(items_, block, subnodes);
        } catch (const std::exception&) {
            return {};
        }
    }

    // The unclaimed blocks: property contexts, table contexts, subnode lists.
    bool FindLoose() {
        std::unordered_set<uint64_t> claimed;
        for (const NodeRecord& node : context_.nodes.records()) {
            if (node.dataBid) claimed.insert(BidKey(node.dataBid));
            if (node.subnodeBid) claimed.insert(BidKey(node.subnodeBid));
            if (node.nid < kHighNid) highest_ = std::max(highest_, node.nid);
        }
        std::vector<const BlockRecord*> trees, lists;
        std::vector<uint8_t> bytes;
        for (const BlockRecord& block : context_.blocks) {
            if (Stopped()) return false;
            if (!IsInternalBid(block.bid)) continue;
            try {
                if (ReadBlock(context_, block.bid, bytes) == 0) continue;
            } catch (const FileError&) {
                continue;
            }
            const ByteReader reader(bytes);
            ClaimChildren(layout_, reader, claimed);
            const uint8_t type = reader.U8(0).value_or(0);
            if (type == kDataTreeType) trees.push_back(&block);
            if (type == kSubnodeType) lists.push_back(&block);
        }
        for (const BlockRecord* list : lists) {
            if (claimed.count(BidKey(list->bid))) continue;
            LooseList loose;
            loose.block = list;
            try {
                loose.list = BuildSubnodeList(context_, list);
            } catch (const std::exception&) {
                continue;
            }
            if (!loose.list.empty()) loose_.push_back(std::move(loose));
        }
        std::sort(loose_.begin(), loose_.end(), [](const LooseList& a, const LooseList& b) {
            return a.block->bid < b.block->bid;
        });

        std::unordered_set<uint64_t> taken;
        auto consider = [&](const BlockRecord& block, bool tree) {
            const uint64_t key = BidKey(block.bid);
            if (claimed.count(key) || !taken.insert(key).second) return;
            try {
                if (!tree) {
                    // A heap's bSig and bClientSig follow ibHnpm.
                    if (ReadDecodedBlock(context_, block.bid, bytes) < 4) return;
                    if (bytes[2] != kHeapSignature) return;
                    if (bytes[3] == kClientPropertyContext) {
                        AddContext(block);
                    } else if (bytes[3] == kClientTableContext) {
                        AddTable(block);
                    }
                    return;
                }
                const HeapOnNode heap = HeapOnNode::Load(context_, &block);
                if (!heap.valid()) return;
                if (heap.clientSignature() == kClientPropertyContext) AddContext(block);
                if (heap.clientSignature() == kClientTableContext) AddTable(block);
            } catch (const std::exception&) {
            }
        };
        for (const BlockRecord& block : context_.blocks) {
            if (Stopped()) return false;
            if (!IsInternalBid(block.bid)) consider(block, false);
        }
        for (const BlockRecord* block : trees) {
            if (Stopped()) return false;
            consider(*block, true);
        }
        return !Stopped();
    }

    void AddContext(const BlockRecord& block) {
        const PropertyGroupList groups = Parse(&block, nullptr);
        if (groups.empty()) return;
        Candidate candidate;
        candidate.block = &block;
        candidate.facts = ReadFacts(groups.front(), context_.variant);
        const Facts& facts = candidate.facts;
        // Attachments and the other contexts of no item have none of these.
        if (!facts.messageClass && !facts.IsFolder() && !facts.store && !facts.nameMap) return;
        candidates_.push_back(std::move(candidate));
    }

    void AddTable(const BlockRecord& block) {
        // A large table keeps its rows in a subnode: the unclaimed list nearest in BID that
        // has it.
        const SubnodeList* subnodes = nullptr;
        const HeapOnNode heap = HeapOnNode::Load(context_, &block);
        if (!heap.valid()) return;
        const auto info = heap.Allocation(heap.userRoot());
        const uint32_t rows = info ? info->U32(kTcRowsAt).value_or(0) : 0;
        if (rows != 0 && !IsHid(rows)) {
            LooseList* best = nullptr;
            ForNeighbours(
                loose_.size(), block.bid, [&](size_t i) { return loose_[i].block->bid; },
                [&](size_t i) {
                    LooseList& list = loose_[i];
                    if (list.taken || !list.list.Find(rows)) return;
                    if (!best || Distance(list.block->bid, block.bid) <
                                     Distance(best->block->bid, block.bid))
                        best = &list;
                });
            if (best) {
                best->taken = true;
                subnodes = &best->list;
            }
        }
        FoundTable table;
        table.block = &block;
        for (const PropertyGroup& row : Parse(&block, subnodes)) {
            table.rows.push_back(ReadFacts(row, context_.variant));
            highest_ =
                std::max(highest_, table.rows.back().rowNid < kHighNid ? table.rows.back().rowNid
                                                                       : uint32_t{0});
        }
        table.type = TableTypeOfRows(table.rows);
        if (table.type != 0) tables_.push_back(std::move(table));
    }

    // The tables the live tree still has, with their folders, and the live folders whose
    // tables are lost (those may pair with an unclaimed one).
    bool ReadLiveTables() {
        for (const NodeRecord& node : context_.nodes.records()) {
            if (Stopped()) return false;
            if (IsFolderNid(node.nid) && node.dataBlock) {
                const uint32_t index = node.nid & ~kNidTypeMask;
                Candidate folder;
                for (uint32_t type : {kHierarchyTableType, kContentsTableType, kAssocTableType}) {
                    const NodeRecord* table = context_.nodes.FindAny(index | type);
                    if (table == nullptr || table->dataBlock == nullptr)
                        folder.lostTables.push_back(type);
                }
                if (!folder.lostTables.empty()) {
                    const PropertyGroupList groups = Parse(node.dataBlock, nullptr);
                    if (!groups.empty()) {
                        folder.block = node.dataBlock;
                        folder.facts = ReadFacts(groups.front(), context_.variant);
                        folder.nid = node.nid;
                        liveFolders_.push_back(std::move(folder));
                    }
                }
            }
            const uint32_t type = node.nid & kNidTypeMask;
            if (type != kHierarchyTableType && type != kContentsTableType &&
                type != kAssocTableType)
                continue;
            if (!node.dataBlock) continue;
            const uint32_t index = node.nid & ~kNidTypeMask;
            const NodeRecord* folder =
                context_.nodes.FindAny(index | static_cast<uint32_t>(NidType::NormalFolder));
            if (!folder) folder = context_.nodes.FindAny(index | kSearchFolderType);
            if (!folder) continue;
            FoundTable table;
            table.block = node.dataBlock;
            table.owner = folder->nid;
            table.type = type;
            try {
                const SubnodeList subnodes = BuildSubnodeList(context_, node.subnodeBlock);
                for (const PropertyGroup& row : Parse(node.dataBlock, &subnodes))
                    table.rows.push_back(ReadFacts(row, context_.variant));
            } catch (const std::exception&) {
                continue;
            }
            if (!table.rows.empty()) liveTables_.push_back(std::move(table));
        }
        return true;
    }

    // Each unclaimed table goes to the folder nearest in BID whose counts it fits: a
    // contents table has as many rows as the folder has items, a hierarchy table belongs to
    // a folder with subfolders.
    void PairTables() {
        std::vector<Candidate*> folders;
        for (Candidate& c : candidates_)
            if (c.facts.IsFolder()) folders.push_back(&c);
        for (Candidate& c : liveFolders_) folders.push_back(&c);
        std::sort(folders.begin(), folders.end(), [](const Candidate* a, const Candidate* b) {
            return a->block->bid < b->block->bid;
        });
        std::vector<Pair> pairs;
        for (size_t t = 0; t < tables_.size(); ++t) {
            const FoundTable& table = tables_[t];
            const uint64_t bid = table.block->bid;
            ForNeighbours(
                folders.size(), bid, [&](size_t i) { return folders[i]->block->bid; },
                [&](size_t i) {
                    const Facts& folder = folders[i]->facts;
                    const auto& lost = folders[i]->lostTables;
                    if (folders[i]->nid &&
                        std::find(lost.begin(), lost.end(), table.type) == lost.end())
                        return;
                    const bool fits = table.type == kContentsTableType
                                          ? folder.count == table.rows.size()
                                      : table.type == kHierarchyTableType
                                          ? folder.subfolders.value_or(true)
                                          : Agree(folder.assocCount,
                                                  std::optional<uint32_t>(
                                                      static_cast<uint32_t>(table.rows.size())));
                    if (fits) pairs.push_back({Distance(folders[i]->block->bid, bid), t, i});
                });
        }
        // One table of each kind per folder: the pairing runs per kind.
        for (uint32_t type : {kContentsTableType, kHierarchyTableType, kAssocTableType}) {
            std::vector<Pair> ofType;
            for (const Pair& pair : pairs)
                if (tables_[pair.left].type == type) ofType.push_back(pair);
            PairClosest(ofType, tables_.size(), folders.size(),
                        [&](size_t t, size_t f) { tables_[t].folder = folders[f]; });
        }
    }

    // Folders take their NIDs from the hierarchy rows that match them, their parent from the
    // folder owning that table; the store and the name-to-ID map their fixed NIDs.
    void NameFolders() {
        next_ = (highest_ >> 5) + 1;
        std::vector<Candidate*> order;
        for (Candidate& c : candidates_) order.push_back(&c);
        // The newest copy of a node first.
        std::sort(order.begin(), order.end(), [](const Candidate* a, const Candidate* b) {
            return a->block->bid > b->block->bid;
        });
        std::unordered_set<uint32_t> used;
        auto fixed = [&](Candidate* c, uint32_t nid, uint32_t parent) {
            if (context_.nodes.FindAny(nid) || !used.insert(nid).second) {
                c->dropped = true;
                return;
            }
            c->nid = nid;
            c->parent = parent;
        };
        for (Candidate* c : order) {
            if (c->facts.store) fixed(c, kMessageStoreNid, 0);
            if (c->facts.nameMap && !c->facts.store) fixed(c, kNameToIdMapNid, 0);
        }
        // A hierarchy row names the folder; which table it sits in tells the parent.
        for (Candidate* c : order) {
            if (!c->facts.IsFolder()) continue;
            for (auto* tables : {&liveTables_, &tables_}) {
                for (FoundTable& table : *tables) {
                    if (table.type != kHierarchyTableType || c->nid || c->dropped) continue;
                    for (const Facts& row : table.rows) {
                        if (!IsFolderNid(row.rowNid) || !RowMatchesFolder(row, c->facts)) continue;
                        if (context_.nodes.FindAny(row.rowNid)) {
                            c->dropped = true;  // the tree has the folder: an older copy
                        } else if (used.insert(row.rowNid).second) {
                            c->nid = row.rowNid;
                            parentTable_[c] = &table;
                        }
                        break;
                    }
                }
            }
        }
        // The root folder is listed by no hierarchy table; it owns the one listing the top
        // of the folder hierarchy (when the store still says which that is).
        uint32_t top = 0;
        if (const NodeRecord* store = context_.nodes.FindAny(kMessageStoreNid)) {
            const PropertyGroupList groups = Parse(store->dataBlock, nullptr);
            if (!groups.empty()) top = ReadFacts(groups.front(), context_.variant).ipmSubtree;
        }
        for (const Candidate& c : candidates_)
            if (c.facts.store && c.nid == kMessageStoreNid) top = c.facts.ipmSubtree;
        if (!context_.nodes.FindAny(kRootFolderNid) && !used.count(kRootFolderNid)) {
            for (Candidate* c : order) {
                if (!c->facts.IsFolder() || c->nid || c->dropped) continue;
                if (!OwnsListingTable(c, top)) continue;
                c->nid = kRootFolderNid;
                c->parent = kRootFolderNid;
                used.insert(kRootFolderNid);
                break;
            }
        }
        // Another folder that lists folders, itself listed nowhere: a NID of its own, so
        // that those below it stay with it.
        for (Candidate* c : order) {
            if (!c->facts.IsFolder() || c->nid || c->dropped || !OwnsListingTable(c, 0)) continue;
            if (next_ >= (kHighNid >> 5)) break;
            c->nid = (next_++ << 5) | static_cast<uint32_t>(NidType::NormalFolder);
        }
        for (FoundTable& table : tables_) {
            if (table.folder && table.folder->nid && !table.folder->dropped)
                table.owner = table.folder->nid;
        }
        for (auto& [c, table] : parentTable_) c->parent = table->owner;
    }

    // True when c owns a hierarchy table with rows (that lists listed, unless 0).
    bool OwnsListingTable(const Candidate* c, uint32_t listed) const {
        for (const FoundTable& table : tables_) {
            if (table.folder != c || table.type != kHierarchyTableType) continue;
            for (const Facts& row : table.rows)
                if (listed == 0 || row.rowNid == listed) return true;
        }
        return false;
    }

    // Messages take NID and folder from the contents row that lists them; the newest copy of
    // a message first. Rows of tables whose folder is not known give nothing.
    void NameMessages() {
        std::unordered_multimap<std::string, std::pair<const FoundTable*, const Facts*>> rows;
        for (auto* tables : {&liveTables_, &tables_}) {
            for (const FoundTable& table : *tables) {
                if (table.owner == 0 || table.type == kHierarchyTableType) continue;
                for (const Facts& row : table.rows)
                    rows.emplace(row.subject.value_or(""), std::make_pair(&table, &row));
            }
        }
        std::vector<Candidate*> order;
        for (Candidate& c : candidates_)
            if (c.facts.messageClass && !c.dropped) order.push_back(&c);
        std::sort(order.begin(), order.end(), [](const Candidate* a, const Candidate* b) {
            return a->block->bid > b->block->bid;
        });
        std::unordered_set<uint32_t> used;
        for (Candidate* c : order) {
            const auto [first, last] = rows.equal_range(c->facts.subject.value_or(""));
            for (auto it = first; it != last; ++it) {
                const auto [table, row] = it->second;
                const uint32_t nid = row->rowNid;
                if (nid == 0 || nid >= kHighNid || !RowMatchesMessage(*row, c->facts)) continue;
                const NidType type = NidTypeOf(nid);
                if (type != NidType::NormalMessage && type != NidType::AssocMessage) continue;
                // The tree has the message: this block is an older copy of it, which the
                // analysis weighs on its own.
                if (context_.nodes.FindAny(nid) || used.count(nid)) continue;
                used.insert(nid);
                c->nid = nid;
                c->parent = table->owner;
                break;
            }
        }
    }

    void ReadList(LooseList& loose) {
        if (loose.read) return;
        loose.read = true;
        for (const SubnodeEntry& entry : loose.list.entries) {
            if (entry.nid != kRecipientTableNid && entry.nid != kAttachmentTableNid) continue;
            SubnodeList own;
            try {
                own = BuildSubnodeList(context_, entry.subnodeBlock);
            } catch (const std::exception&) {
            }
            PropertyGroupList groups;
            try {
                groups = ParseNodeProperties(items_, entry.block, &own, &loose.list);
            } catch (const std::exception&) {
            }
            if (entry.nid == kAttachmentTableNid) {
                loose.attachmentRows = groups.size();
                continue;
            }
            loose.recipients = true;
            // Rows come last row first.
            for (auto row = groups.rbegin(); row != groups.rend(); ++row) {
                const Facts facts = ReadFacts(*row, context_.variant);
                if (facts.recipientType.value_or(0) != kRecipientTo) continue;
                if (!loose.to.empty()) loose.to += "; ";
                loose.to += facts.name.value_or("");
            }
        }
    }

    // A subnode list fits a message when it holds every subnode the message's values name,
    // its To recipients give the message's Display To, and it has attachment rows exactly
    // when the message says it has attachments.
    bool Fits(LooseList& loose, const Facts& message) {
        for (uint32_t nid : message.subnodeNids)
            if (!loose.list.Find(nid)) return false;
        ReadList(loose);
        const bool attached = (message.flags.value_or(0) & kMessageFlagHasAttach) != 0;
        if ((loose.attachmentRows > 0) != attached) return false;
        if (!loose.recipients) return !message.displayTo || message.displayTo->empty();
        return loose.to == message.displayTo.value_or("");
    }

    void PairSubnodes() {
        std::vector<Candidate*> messages;
        for (Candidate& c : candidates_)
            if (c.facts.messageClass && !c.dropped) messages.push_back(&c);
        std::vector<Pair> pairs;
        for (size_t m = 0; m < messages.size(); ++m) {
            if (Stopped()) return;
            const uint64_t bid = messages[m]->block->bid;
            ForNeighbours(
                loose_.size(), bid, [&](size_t i) { return loose_[i].block->bid; },
                [&](size_t i) {
                    if (!loose_[i].taken && Fits(loose_[i], messages[m]->facts))
                        pairs.push_back({Distance(loose_[i].block->bid, bid), m, i});
                });
        }
        PairClosest(pairs, messages.size(), loose_.size(), [&](size_t m, size_t i) {
            loose_[i].taken = true;
            messages[m]->subnodes = loose_[i].block;
        });
    }

    void Create() {
        uint32_t& next = next_;
        std::vector<NodeLeafEntry> placed;
        for (Candidate& c : candidates_) {
            if (Stopped()) return;
            if (c.dropped) continue;
            const Facts& facts = c.facts;
            const uint64_t sub = c.subnodes ? uint64_t{c.subnodes->bid} : 0;
            if (!facts.messageClass) {
                if (!c.nid) continue;  // a folder nothing names: its items go to Recovered Items
                ++rebuilt_.folders;
                if (c.parent != 0 || !IsFolderNid(c.nid) || c.nid == kRootFolderNid) {
                    placed.push_back({c.nid, c.block->bid, sub, c.parent});
                    continue;
                }
                // A folder whose parent is not known stays out of the tree; what it holds is
                // filed under Recovered Items.
                NodeRecord* record = context_.nodes.Create(c.nid);
                record->dataBlock = c.block;
                record->dataBid = c.block->bid;
                continue;
            }
            const bool hidden =
                IsHiddenClass(*facts.messageClass) || NidTypeOf(c.nid) == NidType::AssocMessage;
            if (c.nid && c.parent && !hidden) {
                placed.push_back({c.nid, c.block->bid, sub, c.parent});
                rebuilt_.messages.push_back(c.nid);
                ++rebuilt_.placed;
                if (c.subnodes) ++rebuilt_.withSubnodes;
                continue;
            }
            uint32_t nid = c.nid;
            if (!nid || (hidden && NidTypeOf(nid) != NidType::AssocMessage)) {
                if (next >= (kHighNid >> 5)) continue;
                nid = (next++ << 5) | static_cast<uint32_t>(hidden ? NidType::AssocMessage
                                                                   : NidType::NormalMessage);
            }
            NodeRecord* record = context_.nodes.Create(nid);
            record->dataBlock = c.block;
            record->dataBid = c.block->bid;
            record->subnodeBlock = c.subnodes;
            record->subnodeBid = sub;
            if (hidden) {
                ++rebuilt_.hidden;
            } else {
                rebuilt_.messages.push_back(nid);
                if (c.subnodes) ++rebuilt_.withSubnodes;
            }
        }
        std::sort(placed.begin(), placed.end(),
                  [](const NodeLeafEntry& a, const NodeLeafEntry& b) { return a.nid < b.nid; });
        if (!placed.empty()) PlaceNodeEntries(context_, placed);
    }

    ItemContext& items_;
    PstContext& context_;
    const PstLayout& layout_;
    uint32_t highest_ = 0;
    uint32_t next_ = 0;  // the NID index of the next node made up
    std::vector<Candidate> candidates_;
    std::vector<Candidate> liveFolders_;
    std::vector<FoundTable> tables_;
    std::vector<FoundTable> liveTables_;
    std::vector<LooseList> loose_;
    std::unordered_map<Candidate*, FoundTable*> parentTable_;
    RebuiltNodes rebuilt_;
};

}  // namespace

RebuiltNodes RebuildNodesFromBlocks(ItemContext& items) {
    if (!items.storage.layout) return {};
    return Rebuilder(items).Run();
}

const NodeRecord* StandInRootFolder(PstContext& context) {
    if (context.nodes.FindAny(kRootFolderNid)) return nullptr;
    std::vector<NodeRecord*> waiting;
    for (const NodeRecord& record : context.nodes.records()) {
        if (!IsFolderNid(record.nid) || IsLinked(&record)) continue;
        if (record.nidParent != 0 && record.nidParent != record.nid &&
            context.nodes.FindAny(record.nidParent))
            continue;
        // Records are never const in the tree; records() only hands them out that way.
        waiting.push_back(const_cast<NodeRecord*>(&record));
    }
    if (waiting.empty()) return nullptr;
    NodeRecord* root = context.nodes.Create(kRootFolderNid);
    context.nodes.AppendTop(root);
    for (NodeRecord* record : waiting) context.nodes.AppendChild(root, record);
    return root;
}

}  // namespace kestrel
