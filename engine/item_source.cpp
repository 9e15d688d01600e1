#include "engine/item_source.h"

#include <sys/stat.h>

#include <exception>
#include <fstream>
#include <unordered_set>
#include <utility>

#include "items/node_item.h"
#include "platform/app_folders.h"
#include "storage/btree_loader.h"
#include "storage/subnode_list.h"

namespace kestrel {

namespace {

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

class FullReader {
  public:
    explicit FullReader(ItemContext& context) : context_(context) {}

    std::unique_ptr<FullItem> Read(const NodeRecord& node, int depth) {
        if (depth == 0 && node.dataBlock != nullptr) seen_.insert(node.dataBlock->bid);
        std::unique_ptr<ItemRecord> item = LoadNodeItem(context_, &node);
        if (!item) return nullptr;
        auto full = std::make_unique<FullItem>();
        full->nid = node.nid;
        if (node.dataBlock != nullptr) full->dataBid = node.dataBlock->bid;
        const SubnodeList subnodes = SubnodesOrNothing(context_.storage, node.subnodeBlock);
        const uint32_t codePage = item->messageCodePage;
        full->item = std::move(item);
        full->recipients = ReadRecipientTable(context_, subnodes, codePage);
        if (depth < kMaxEmbeddingDepth) ReadEmbedded(*full, subnodes, depth);
        return full;
    }

  private:
    void ReadEmbedded(FullItem& full, const SubnodeList& subnodes, int depth) {
        const auto& attachments = full.item->attachments;
        for (size_t i = 0; i < attachments.size(); ++i) {
            const std::optional<NodeRecord> node =
                FindEmbeddedMessage(context_, subnodes, attachments[i]);
            // Each attached message once per item: one that a damaged file lists again
            // (below itself, or below its siblings) would multiply the reads with every
            // level.
            if (!node || (node->dataBlock && !seen_.insert(node->dataBlock->bid).second)) continue;
            try {
                std::unique_ptr<FullItem> inner = Read(*node, depth + 1);
                if (inner) full.embedded.push_back({i, std::move(inner)});
            } catch (const std::exception&) {
                // A damaged attached message leaves the outer one as it is.
            }
        }
    }

    ItemContext& context_;
    std::unordered_set<uint64_t> seen_;  // data blocks of the messages read so far
};

// Only the caller's cache folder: never the current directory.
void WriteRtfFile(const FullItem& full, const std::filesystem::path& rtfFile) {
    if (rtfFile.empty() || !rtfFile.is_absolute()) return;
    const MessageRecord* message = full.item->message.get();
    if (message == nullptr || !message->hasRtfBody) return;
    std::ofstream out(rtfFile, std::ios::binary | std::ios::trunc);
    out.write(message->rtfBody.data(), static_cast<std::streamsize>(message->rtfBody.size()));
}

}  // namespace

std::filesystem::path PreviewRtfFile() {
    return CacheFolder() / "temp.rtf";
}

ItemSource::ItemSource(std::unique_ptr<PstContext> context,
                       std::shared_ptr<const NamedPropertyMap> namedProps, std::string path)
    : context_(std::move(context)),
      items_(*context_, std::move(namedProps)),
      path_(std::move(path)) {
    // An in-memory image stays open: there is no file to reopen.
    inMemory_ = context_->file.IsOpen() && context_->file.fileName() == "<memory>";
    size_ = context_->file.openedSize();
    mtimeNs_ = context_->file.openedMtimeNs();
    // The run's stop word belongs to its engine; reads here answer to nobody's stop.
    context_->stopFlag = nullptr;
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
    std::unique_lock lock(mutex_);
    const bool closeAfter = ReadyToRead();
    CloseOnExit closer{context_->file, closeAfter};
    // While a Hold keeps the file open, reads run side by side: the indexes are not
    // changed any more, and the reading state is each thread's own.
    if (!closeAfter && rtfFile.empty()) lock.unlock();
    const NodeRecord* node = nullptr;
    if (const BlockRecord* data = dataBid ? FindBlock(*context_, dataBid) : nullptr)
        node = context_->nodes.FindByData(nid, data);
    // Orphans restored after the walk are not in the tree; FindAny still knows them.
    if (node == nullptr) node = context_->nodes.FindAny(nid);
    if (node == nullptr) return nullptr;
    if (!rtfFile.empty()) EnsureFolder(rtfFile.parent_path());
    FullReader reader(items_);
    std::unique_ptr<FullItem> full = reader.Read(*node, 0);
    if (full) WriteRtfFile(*full, rtfFile);
    return full;
}

bool ItemSource::ReadyToRead() {
    if (!inMemory_) {
        if (!context_->file.IsOpen()) {
            OpenChecked();
        } else {
            CheckHeldFile();
        }
    }
    return !inMemory_ && holds_ == 0;
}

void ItemSource::OpenChecked() {
    std::string reason;
    if (!context_->file.Open(path_, &reason)) {
        throw FileError("cannot open " + path_ + ": " + reason);
    }
    if (context_->file.openedSize() != size_ || context_->file.openedMtimeNs() != mtimeNs_) {
        context_->file.Close();
        throw SourceChangedError(path_ + " has changed since it was analysed");
    }
}

void ItemSource::CheckHeldFile() {
    // The size of the open file costs one fstat; the path's size and time, which also see a
    // file put in its place, are looked at every 64 reads.
    bool changed = context_->file.GetLength() != size_;
    if (!changed && ++heldReads_ % 64 == 0) {
        struct stat info {};
        changed = ::stat(path_.c_str(), &info) != 0 ||
                  static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec !=
                      mtimeNs_ ||
                  (S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) != size_);
    }
    // The file stays open, another thread may be reading it (the Hold's end closes it);
    // every later read fails as this one.
    if (changed) changed_ = true;
    if (changed_) throw SourceChangedError(path_ + " has changed since it was analysed");
}

ItemSource::Hold::Hold(ItemSource& source) : source_(source) {
    std::lock_guard lock(source_.mutex_);
    ++source_.holds_;
}

ItemSource::Hold::~Hold() {
    std::lock_guard lock(source_.mutex_);
    if (--source_.holds_ == 0 && !source_.inMemory_) source_.context_->file.Close();
}

void ItemSource::Read(const std::function<void(ItemContext&)>& use) {
    std::lock_guard lock(mutex_);
    CloseOnExit closer{context_->file, ReadyToRead()};
    use(items_);
}

}  // namespace kestrel
