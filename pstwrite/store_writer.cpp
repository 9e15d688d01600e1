#include "pstwrite/store_writer.h"

#include <algorithm>
#include <cstddef>
#include <random>

namespace kestrel::pstwrite {

using test::MakeNid;
using test::MakeTag;
using test::Table;
using test::TableRow;

namespace {

constexpr uint32_t kStoreNid = 0x21, kNameMapNid = 0x61, kNormalTemplateNid = 0xA1,
                   kSearchTemplateNid = 0xC1, kRootFolderNid = 0x122;
constexpr uint32_t kRecipientTableNid = 0x692, kAttachmentTableNid = 0x671;
constexpr uint32_t kIpmSubtreeNid = MakeNid(test::kNidTypeNormalFolder, 0x401);
constexpr uint32_t kSearchRootNid = MakeNid(test::kNidTypeNormalFolder, 0x402);
// Embedded messages nest; deeper than this is damage.
constexpr int kMaxEmbeddedDepth = 16;

constexpr uint16_t kTypeLong = test::kPtLong, kTypeUnicode = test::kPtUnicode,
                   kTypeBool = test::kPtBoolean, kTypeTime = test::kPtSysTime,
                   kTypeBinary = test::kPtBinary;

// The columns of the tables, as the empty templates of a new file have them.
const std::vector<uint32_t> kHierarchyColumns = {
    MakeTag(0x3001, kTypeUnicode), MakeTag(0x3602, kTypeLong), MakeTag(0x3603, kTypeLong),
    MakeTag(0x360A, kTypeBool), MakeTag(0x3613, kTypeUnicode)};
const std::vector<uint32_t> kContentsColumns = {
    MakeTag(0x0017, kTypeLong),    MakeTag(0x001A, kTypeUnicode), MakeTag(0x0036, kTypeLong),
    MakeTag(0x0037, kTypeUnicode), MakeTag(0x0039, kTypeTime),    MakeTag(0x0042, kTypeUnicode),
    MakeTag(0x0057, kTypeBool),    MakeTag(0x0058, kTypeBool),    MakeTag(0x0070, kTypeUnicode),
    MakeTag(0x0071, kTypeBinary),  MakeTag(0x0E03, kTypeUnicode), MakeTag(0x0E04, kTypeUnicode),
    MakeTag(0x0E06, kTypeTime),    MakeTag(0x0E07, kTypeLong),    MakeTag(0x0E08, kTypeLong),
    MakeTag(0x0E17, kTypeLong),    MakeTag(0x3008, kTypeTime)};
const std::vector<uint32_t> kAssociatedColumns = {
    MakeTag(0x001A, kTypeUnicode), MakeTag(0x0E07, kTypeLong), MakeTag(0x0E17, kTypeLong),
    MakeTag(0x3001, kTypeUnicode), MakeTag(0x3008, kTypeTime)};
const std::vector<uint32_t> kRecipientColumns = {
    MakeTag(0x0C15, kTypeLong),    MakeTag(0x0E0F, kTypeBool),    MakeTag(0x0FF9, kTypeBinary),
    MakeTag(0x0FFE, kTypeLong),    MakeTag(0x0FFF, kTypeBinary),  MakeTag(0x3001, kTypeUnicode),
    MakeTag(0x3002, kTypeUnicode), MakeTag(0x3003, kTypeUnicode), MakeTag(0x300B, kTypeBinary),
    MakeTag(0x3900, kTypeLong),    MakeTag(0x39FF, kTypeUnicode), MakeTag(0x3A40, kTypeBool)};
const std::vector<uint32_t> kAttachmentColumns = {
    MakeTag(0x0E20, kTypeLong), MakeTag(0x3704, kTypeUnicode), MakeTag(0x3705, kTypeLong),
    MakeTag(0x370B, kTypeLong)};

bool IsCounter(uint16_t id) {
    return id == 0x3602 || id == 0x3603 || id == 0x360A;
}

const Prop* FindProp(const std::vector<Prop>& props, uint16_t id) {
    for (const Prop& p : props)
        if (p.id == id) return &p;
    return nullptr;
}

// The cells of a table row: the values of the row's columns the item has.
std::vector<Prop> Cells(const std::vector<Prop>& props, const std::vector<uint32_t>& columns) {
    std::vector<Prop> cells;
    for (const Prop& p : props) {
        if (std::find(columns.begin(), columns.end(), p.tag()) == columns.end()) continue;
        Prop cell = p;
        cell.where = Prop::Where::Auto;
        cells.push_back(std::move(cell));
    }
    return cells;
}

std::vector<uint8_t> EntryId(const Guid& provider, uint32_t nid) {
    // rgbFlags (4 zero bytes), the store's provider UID, the NID.
    std::vector<uint8_t> id(24, 0);
    for (size_t i = 0; i < provider.size(); ++i) id[4 + i] = provider[i];
    for (size_t i = 0; i < 4; ++i) id[20 + i] = static_cast<uint8_t>(nid >> (8 * i));
    return id;
}

}  // namespace

StoreWriter::StoreWriter(int fd, uint8_t cryptMethod, std::string storeName)
    : ndb_(fd, cryptMethod), storeName_(std::move(storeName)) {
    std::random_device random;
    for (uint8_t& b : recordKey_) b = static_cast<uint8_t>(random());
    folders_[kRootFolderNid].parent = kRootFolderNid;
    folders_[kRootFolderNid].props = {Prop::Unicode(0x3001, "")};
    folders_[kIpmSubtreeNid].parent = kRootFolderNid;
    folders_[kIpmSubtreeNid].props = {Prop::Unicode(0x3001, "Top of Personal Folders")};
    folders_[kSearchRootNid].parent = kRootFolderNid;
    folders_[kSearchRootNid].props = {Prop::Unicode(0x3001, "Search Root")};
    folders_[kRootFolderNid].children = {kIpmSubtreeNid, kSearchRootNid};
    WriteMandatoryNodes();
}

uint32_t StoreWriter::IpmSubtree() const {
    return kIpmSubtreeNid;
}

uint16_t StoreWriter::NamedId(const Guid& guid, uint32_t lid, const std::string& name,
                              bool duplicate) {
    const auto key = std::make_tuple(guid, name.empty() ? lid : 0, name);
    auto it = nameIndex_.find(key);
    if (it != nameIndex_.end() && !duplicate) return it->second;
    if (names_.size() >= 0x7FFF) return 0;  // the map is full: the property is left out
    const uint16_t id = static_cast<uint16_t>(0x8000 + names_.size());
    names_.push_back({guid, name.empty() ? lid : 0, name});
    nameIndex_.emplace(key, id);
    return id;
}

void StoreWriter::WriteNode(uint32_t nid, const test::LtpNode& node, uint32_t parent) {
    const test::StoredNode stored = ndb_.StoreNode(node);
    ndb_.AddNode(nid, stored.bidData, stored.bidSub, parent);
}

void StoreWriter::WriteStore() {
    WriteNode(kStoreNid,
              ltp_.PropertyContext({Prop::Binary(0x0FF9, {recordKey_.begin(), recordKey_.end()}),
                                    Prop::Unicode(0x3001, storeName_),
                                    Prop::Int32(0x35DF, 0x89),  // subtree, wastebasket, finder
                                    Prop::Binary(0x35E0, EntryId(recordKey_, kIpmSubtreeNid)),
                                    Prop::Binary(0x35E3, EntryId(recordKey_, wastebasket_)),
                                    Prop::Binary(0x35E7, EntryId(recordKey_, kSearchRootNid))}),
              0);
}

void StoreWriter::WriteMandatoryNodes() {
    WriteNode(kNormalTemplateNid, ltp_.PropertyContext({}), 0);
    WriteNode(kSearchTemplateNid, ltp_.PropertyContext({}), 0);
    // Search queues and lists, empty in a new file.
    for (uint32_t nid : {0x1E1u, 0x201u, 0x261u, 0x281u, 0x2A1u, 0x321u})
        ndb_.AddNode(nid, ndb_.AddBlock({}), 0, 0);
    // Table templates: the columns each kind of table has, no rows.
    const std::pair<uint32_t, const std::vector<uint32_t>*> templates[] = {
        {0x60D, &kHierarchyColumns}, {0x60E, &kContentsColumns},   {0x60F, &kAssociatedColumns},
        {0x610, &kContentsColumns},  {0x671, &kAttachmentColumns}, {0x692, &kRecipientColumns},
        {0x6B6, &kContentsColumns}};
    for (const auto& [nid, columns] : templates) {
        Table table;
        table.columns = *columns;
        WriteNode(nid, ltp_.TableContext(table), 0);
    }
}

uint32_t StoreWriter::NewFolderNid() {
    return MakeNid(test::kNidTypeNormalFolder, nextFolderIndex_++);
}

void StoreWriter::SetFolderProps(uint32_t folderNid, std::vector<Prop> props) {
    auto it = folders_.find(folderNid);
    if (it == folders_.end()) throw std::invalid_argument("no such folder");
    std::erase_if(props, [](const Prop& p) { return IsCounter(p.id); });
    it->second.props = std::move(props);
}

uint32_t StoreWriter::AddFolder(uint32_t parentNid, std::vector<Prop> props) {
    auto parent = folders_.find(parentNid);
    if (parent == folders_.end()) throw std::invalid_argument("no such parent folder");
    const uint32_t nid = NewFolderNid();
    parent->second.children.push_back(nid);
    FolderState& folder = folders_[nid];
    folder.parent = parentNid;
    std::erase_if(props, [](const Prop& p) { return IsCounter(p.id); });
    folder.props = std::move(props);
    return nid;
}

// Object values (an OLE attachment's storage) go to a subnode of their own; the property
// keeps the reference (NID, size) the format gives objects.
void StoreWriter::PlaceObjects(std::vector<Prop>& props, std::vector<test::LtpSubnode>& subnodes) {
    for (Prop& p : props) {
        if (p.type != test::kPtObject || p.value.size() == 8) continue;
        const uint32_t nid = ltp_.NextLtpNid();
        test::LtpNode object;
        for (size_t at = 0; at < p.value.size(); at += NdbWriter::kMaxBlockData) {
            const size_t n = std::min(NdbWriter::kMaxBlockData, p.value.size() - at);
            object.blocks.emplace_back(p.value.begin() + static_cast<ptrdiff_t>(at),
                                       p.value.begin() + static_cast<ptrdiff_t>(at + n));
        }
        const size_t size = p.value.size();
        std::vector<uint8_t> reference;
        for (int i = 0; i < 4; ++i) reference.push_back(static_cast<uint8_t>(nid >> (8 * i)));
        for (int i = 0; i < 4; ++i) reference.push_back(static_cast<uint8_t>(size >> (8 * i)));
        p = Prop::Raw(p.id, test::kPtObject, std::move(reference)).InHeap();
        subnodes.push_back({nid, std::move(object)});
    }
}

test::LtpNode StoreWriter::MessageNode(const MessageContent& message, int depth) {
    std::vector<Prop> props = message.props;
    std::vector<test::LtpSubnode> objects;
    PlaceObjects(props, objects);
    test::LtpNode node;
    // Attachments first: each is a subnode of the message, and the table lists them.
    Table attachments;
    attachments.columns = kAttachmentColumns;
    uint32_t index = 0;
    std::vector<test::LtpSubnode> attachmentNodes;
    for (const AttachmentContent& attachment : message.attachments) {
        const uint32_t nid = MakeNid(test::kNidTypeAttachment, 0x400 + index++);
        std::vector<Prop> attachProps = attachment.props;
        std::vector<test::LtpSubnode> extra;
        if (attachment.rawEmbedded || (attachment.embedded && depth < kMaxEmbeddedDepth)) {
            const uint32_t inner = ltp_.NextLtpNid();
            test::LtpNode embedded = attachment.rawEmbedded
                                         ? *attachment.rawEmbedded
                                         : MessageNode(*attachment.embedded, depth + 1);
            size_t size = 0;
            for (const auto& block : embedded.blocks) size += block.size();
            std::vector<uint8_t> reference;
            for (int i = 0; i < 4; ++i) reference.push_back(static_cast<uint8_t>(inner >> (8 * i)));
            for (int i = 0; i < 4; ++i) reference.push_back(static_cast<uint8_t>(size >> (8 * i)));
            std::erase_if(attachProps, [](const Prop& p) { return p.id == 0x3701; });
            attachProps.push_back(Prop::Raw(0x3701, test::kPtObject, reference).InHeap());
            extra.push_back({inner, std::move(embedded)});
        }
        PlaceObjects(attachProps, extra);
        test::LtpNode attachNode = ltp_.PropertyContext(attachProps);
        for (auto& sub : extra) attachNode.subnodes.push_back(std::move(sub));
        attachments.rows.push_back({nid, Cells(attachProps, kAttachmentColumns)});
        attachmentNodes.push_back({nid, std::move(attachNode)});
    }
    node = ltp_.PropertyContext(props);
    for (auto& sub : objects) node.subnodes.push_back(std::move(sub));
    Table recipients;
    recipients.columns = kRecipientColumns;
    for (size_t i = 0; i < message.recipients.size(); ++i) {
        std::vector<Prop> cells;
        for (Prop p : message.recipients[i]) {
            if (p.id == 0x67F2 || p.id == 0x67F3) continue;
            p.where = Prop::Where::Auto;
            cells.push_back(std::move(p));
        }
        recipients.rows.push_back({static_cast<uint32_t>(i), std::move(cells)});
    }
    node.subnodes.push_back({kRecipientTableNid, ltp_.TableContext(recipients)});
    if (!message.attachments.empty()) {
        node.subnodes.push_back({kAttachmentTableNid, ltp_.TableContext(attachments)});
        for (auto& sub : attachmentNodes) node.subnodes.push_back(std::move(sub));
    }
    return node;
}

uint32_t StoreWriter::AddMessage(uint32_t folderNid, const MessageContent& message,
                                 bool associated) {
    auto it = folders_.find(folderNid);
    if (it == folders_.end() || it->second.closed)
        throw std::invalid_argument("no such open folder");
    const uint32_t nid = MakeNid(
        associated ? test::kNidTypeAssocMessage : test::kNidTypeNormalMessage, nextMessageIndex_++);
    WriteNode(nid, MessageNode(message, 0), folderNid);
    FolderState& folder = it->second;
    if (associated) {
        folder.associated.push_back({nid, Cells(message.props, kAssociatedColumns)});
    } else {
        folder.contents.push_back({nid, Cells(message.props, kContentsColumns)});
        const Prop* flags = FindProp(message.props, 0x0E07);
        const bool read = flags && !flags->value.empty() && (flags->value[0] & 0x01);
        if (!read) ++folder.unread;
    }
    return nid;
}

void StoreWriter::CloseFolder(uint32_t folderNid) {
    auto it = folders_.find(folderNid);
    if (it == folders_.end() || it->second.closed) return;
    FolderState& folder = it->second;
    const uint32_t index = folderNid >> 5;
    Table contents;
    contents.columns = kContentsColumns;
    contents.rows = std::move(folder.contents);
    Table associated;
    associated.columns = kAssociatedColumns;
    associated.rows = std::move(folder.associated);
    const uint32_t count = static_cast<uint32_t>(contents.rows.size());
    WriteNode(MakeNid(test::kNidTypeContentsTable, index), ltp_.TableContext(contents), 0);
    WriteNode(MakeNid(test::kNidTypeAssocContentsTable, index), ltp_.TableContext(associated), 0);
    folder.contents.clear();
    folder.associated.clear();
    folder.closed = true;
    folder.props.push_back(Prop::Int32(0x3602, count));
    folder.props.push_back(Prop::Int32(0x3603, folder.unread));
    const Prop* name = FindProp(folder.props, 0x3001);
    const Prop* containerClass = FindProp(folder.props, 0x3613);
    folder.hierarchyRow = {Prop::Int32(0x3602, count), Prop::Int32(0x3603, folder.unread)};
    if (name) folder.hierarchyRow.push_back(*name);
    if (containerClass) folder.hierarchyRow.push_back(*containerClass);
    for (Prop& p : folder.hierarchyRow) p.where = Prop::Where::Auto;
}

void StoreWriter::Finish() {
    if (finished_) return;
    if (wastebasket_ == 0)
        wastebasket_ = AddFolder(kIpmSubtreeNid, {Prop::Unicode(0x3001, "Deleted Items"),
                                                  Prop::Unicode(0x3613, "IPF.Note")});
    finished_ = true;
    WriteStore();
    for (auto& [nid, folder] : folders_) CloseFolder(nid);
    for (auto& [nid, folder] : folders_) {
        const bool subfolders = !folder.children.empty();
        std::vector<Prop> props = folder.props;
        props.push_back(Prop::Bool(0x360A, subfolders));
        WriteNode(nid, ltp_.PropertyContext(props), folder.parent);
        Table hierarchy;
        hierarchy.columns = kHierarchyColumns;
        for (uint32_t child : folder.children) {
            const FolderState& row = folders_.at(child);
            std::vector<Prop> cells = row.hierarchyRow;
            cells.push_back(Prop::Bool(0x360A, !row.children.empty()));
            hierarchy.rows.push_back({child, std::move(cells)});
        }
        WriteNode(MakeNid(test::kNidTypeHierarchyTable, nid >> 5), ltp_.TableContext(hierarchy), 0);
        folder.props.clear();
    }
    // Readers expect the map's entry stream to hold something: a store without named
    // properties gets the reminder delta every Outlook store names.
    if (names_.empty()) NamedId(test::kPsetidCommon, 0x8501, "");
    WriteNode(kNameMapNid, ltp_.NameToIdMap(names_), 0);
    ndb_.Finish();
}

}  // namespace kestrel::pstwrite
