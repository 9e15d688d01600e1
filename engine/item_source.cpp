#include "engine/item_source.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "items/bth.h"
#include "items/code_page.h"
#include "items/heap_on_node.h"
#include "items/node_item.h"
#include "items/property_parser.h"
#include "items/utf16.h"
#include "platform/app_folders.h"
#include "storage/btree_loader.h"
#include "storage/subnode_list.h"

namespace kestrel {

namespace {

constexpr uint32_t kRecipientTableNid = 0x692;
constexpr uint16_t kTypeString8 = 0x001E;
constexpr uint16_t kTypeUnicode = 0x001F;
constexpr uint16_t kTypeObject = 0x000D;
constexpr uint32_t kAttachMethodEmbedded = 5;
// Messages attached to messages attached to ...: deeper nesting is not followed.
constexpr int kMaxEmbeddingDepth = 8;

// Closes the reopened file whatever happens, so the source is never held open.
struct CloseOnExit {
    CFile64& file;
    bool enabled;
    ~CloseOnExit() {
        if (enabled) file.Close();
    }
};

std::string TextOf(const PropertyValue& value, uint32_t codePage, PstVariant variant) {
    if (!value.data) return {};
    const std::vector<uint8_t>& bytes = *value.data;
    bool wide = value.type == kTypeUnicode;
    if (value.type != kTypeUnicode && value.type != kTypeString8) {
        wide = variant == PstVariant::Unicode;
    }
    if (wide) return NarrowUtf16(bytes.data(), bytes.size());
    auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return ConvertToUtf8(std::span<const uint8_t>(bytes.begin(), end),
                         codePage ? codePage : kWindows1252);
}

uint32_t U32Of(const PropertyValue& value) {
    if (!value.data) return 0;
    return ByteReader(*value.data).U32(0).value_or(0);
}

SubnodeList SubnodesOf(PstContext& context, const BlockRecord* block) {
    if (block == nullptr) return {};
    try {
        return BuildSubnodeList(context, block);
    } catch (const std::exception&) {
        return {};
    }
}

const SubnodeEntry* FindIn(uint32_t nid, const SubnodeList& first, const SubnodeList& second) {
    if (const SubnodeEntry* entry = first.Find(nid)) return entry;
    return second.Find(nid);
}

class FullReader {
  public:
    FullReader(PstContext& context, const std::filesystem::path& rtfFile)
        : context_(context), rtfFile_(rtfFile) {}

    std::unique_ptr<FullItem> Read(const NodeRecord& node, int depth) {
        AssembleOptions options;
        options.rtfFile = depth == 0 ? rtfFile_ : std::filesystem::path();
        std::unique_ptr<ItemRecord> item = LoadNodeItem(context_, &node, options);
        if (!item) return nullptr;
        auto full = std::make_unique<FullItem>();
        full->nid = node.nid;
        const SubnodeList subnodes = SubnodesOf(context_, node.subnodeBlock);
        const uint32_t codePage = item->messageCodePage;
        full->item = std::move(item);
        ReadRecipients(*full, subnodes, codePage);
        if (depth < kMaxEmbeddingDepth) ReadEmbedded(*full, subnodes, depth);
        return full;
    }

  private:
    void ReadRecipients(FullItem& full, const SubnodeList& subnodes, uint32_t codePage) {
        const SubnodeEntry* table = subnodes.Find(kRecipientTableNid);
        if (table == nullptr) return;
        PropertyGroupList rows;
        try {
            const SubnodeList own = SubnodesOf(context_, table->subnodeBlock);
            rows = ParseNodeProperties(context_, table->block, &own, &subnodes);
        } catch (const std::exception&) {
            return;
        }
        // The parser gives the rows last first.
        for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
            RecipientEntry recipient;
            std::string smtp;
            std::string email;
            for (const PropertyValue& value : row->values) {
                switch (value.propertyId) {
                    case 0x3001:
                        recipient.displayName = TextOf(value, codePage, context_.variant);
                        break;
                    case 0x39FE:
                        smtp = TextOf(value, codePage, context_.variant);
                        break;
                    case 0x3003:
                        email = TextOf(value, codePage, context_.variant);
                        break;
                    case 0x3002:
                        recipient.addressType = TextOf(value, codePage, context_.variant);
                        break;
                    case 0x0C15:
                        recipient.type = U32Of(value);
                        break;
                    default:
                        break;
                }
            }
            recipient.address = smtp.empty() ? email : smtp;
            full.recipients.push_back(std::move(recipient));
        }
    }

    // The NID of the message an attachment holds (its 0x3701 object value), when the
    // attachment is an attached message.
    std::optional<uint32_t> EmbeddedNid(const SubnodeEntry& attachment, const SubnodeList& own) {
        HeapOnNode heap = HeapOnNode::Load(context_, attachment.block);
        if (!heap.valid() || heap.clientSignature() != kClientPropertyContext) return std::nullopt;
        const auto header = ReadBthHeader(heap, heap.userRoot());
        if (!header || header->cbKey != 2 || header->cbEnt < 6) return std::nullopt;
        std::optional<uint32_t> method;
        std::optional<uint32_t> objectHnid;
        WalkBth(heap, *header, [&](ByteReader key, ByteReader data) {
            const auto id = key.U16(0);
            const auto type = data.U16(0);
            const auto word = data.U32(2);
            if (!id || !type || !word) return true;
            if (*id == 0x3705) method = *word;
            if (*id == 0x3701 && *type == kTypeObject) objectHnid = *word;
            return true;
        });
        if (!objectHnid || *objectHnid == 0) return std::nullopt;
        if (method && *method != kAttachMethodEmbedded) return std::nullopt;
        // The object value is (NID, size), on the heap or in a subnode of its own.
        if (IsHid(*objectHnid)) {
            const auto allocation = heap.Allocation(*objectHnid);
            if (!allocation) return std::nullopt;
            return allocation->U32(0);
        }
        std::vector<uint8_t> bytes;
        if (ReadSubnodeData(context_, *objectHnid, own, bytes) == 0) return std::nullopt;
        return ByteReader(bytes).U32(0);
    }

    void ReadEmbedded(FullItem& full, const SubnodeList& subnodes, int depth) {
        const auto& attachments = full.item->attachments;
        for (size_t i = 0; i < attachments.size(); ++i) {
            const SubnodeEntry* entry = subnodes.Find(attachments[i].rowId);
            if (entry == nullptr) continue;
            try {
                const SubnodeList own = SubnodesOf(context_, entry->subnodeBlock);
                const std::optional<uint32_t> nid = EmbeddedNid(*entry, own);
                if (!nid) continue;
                const SubnodeEntry* message = FindIn(*nid, own, subnodes);
                if (message == nullptr) continue;
                // The attached message is read like a node of its own.
                NodeRecord node;
                node.nid = *nid;
                node.dataBlock = message->block;
                node.subnodeBlock = message->subnodeBlock;
                std::unique_ptr<FullItem> inner = Read(node, depth + 1);
                if (inner) full.embedded.push_back({i, std::move(inner)});
            } catch (const std::exception&) {
                // A damaged attached message leaves the outer one as it is.
            }
        }
    }

    PstContext& context_;
    const std::filesystem::path& rtfFile_;
};

}  // namespace

std::filesystem::path PreviewRtfFile() {
    return CacheFolder() / "temp.rtf";
}

ItemSource::ItemSource(std::unique_ptr<PstContext> context, std::string path)
    : context_(std::move(context)), path_(std::move(path)) {
    // An in-memory image stays open: there is no file to reopen.
    inMemory_ = context_->file.IsOpen() && context_->file.fileName() == "<memory>";
    size_ = context_->file.openedSize();
    mtimeNs_ = context_->file.openedMtimeNs();
    // The run's stop word belongs to its engine; reads here answer to nobody's stop.
    context_->stopFlag = &neverStop_;
    // The file is opened again for each read, so it is not held between reads.
    if (!inMemory_) context_->file.Close();
}

ItemSource::~ItemSource() = default;

PstVariant ItemSource::variant() const {
    return context_->variant;
}

std::unique_ptr<FullItem> ItemSource::Load(uint32_t nid, const std::filesystem::path& rtfFile) {
    return Load(nid, 0, rtfFile);
}

std::unique_ptr<FullItem> ItemSource::Load(uint32_t nid, uint64_t dataBid,
                                           const std::filesystem::path& rtfFile) {
    std::lock_guard lock(mutex_);
    if (!inMemory_) {
        std::string reason;
        if (!context_->file.Open(path_, &reason)) {
            throw FileError("cannot open " + path_ + ": " + reason);
        }
        if (context_->file.openedSize() != size_ || context_->file.openedMtimeNs() != mtimeNs_) {
            context_->file.Close();
            throw SourceChangedError(path_ + " has changed since it was analysed");
        }
    }
    CloseOnExit closer{context_->file, !inMemory_};
    const NodeRecord* node = nullptr;
    if (const BlockRecord* data = dataBid ? FindBlock(*context_, dataBid) : nullptr)
        node = context_->nodes.FindByData(nid, data);
    // Orphans restored after the walk are not in the tree; FindAny still knows them.
    if (node == nullptr) node = context_->nodes.FindAny(nid);
    if (node == nullptr) return nullptr;
    if (!rtfFile.empty()) EnsureFolder(rtfFile.parent_path());
    FullReader reader(*context_, rtfFile);
    return reader.Read(*node, 0);
}

}  // namespace kestrel
