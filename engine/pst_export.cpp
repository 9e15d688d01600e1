#include "engine/pst_export.h"

#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "engine/export_files.h"
#include "items/bth.h"
#include "items/code_page.h"
#include "items/heap_on_node.h"
#include "items/named_property_map.h"
#include "items/node_item.h"
#include "items/property_parser.h"
#include "pstwrite/store_writer.h"
#include "storage/block_reader.h"
#include "storage/btree_loader.h"

namespace kestrel {

namespace {

using pstwrite::AttachmentContent;
using pstwrite::MessageContent;
using pstwrite::StoreWriter;
using test::Prop;

constexpr uint32_t kRecipientTable = 0x692, kAttachmentTable = 0x671, kStoreNid = 0x21;
constexpr int kMaxEmbeddedDepth = 16;

bool EndsWithPst(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".pst";
}

std::optional<uint32_t> U32Of(const PropertyGroup& group, uint32_t id) {
    for (const PropertyValue& v : group.values)
        if (v.propertyId == id && v.data && v.data->size() >= 4) return ByteReader(*v.data).U32(0);
    return std::nullopt;
}

std::vector<uint8_t> Utf16Of(const std::string& utf8) {
    return test::Utf16(utf8);
}

// Reads items of the source raw (property ids as the file has them) and turns them into
// what the store writer takes: named properties remapped, 8-bit text made Unicode.
class SourceCopier {
  public:
    SourceCopier(ItemContext& source, StoreWriter& out)
        : raw_(source.storage), names_(source.namedProps.get()), out_(out) {}

    std::vector<Prop> Convert(const std::vector<PropertyValue>& values, uint32_t codePage) {
        std::vector<Prop> props;
        for (const PropertyValue& v : values) {
            if (!v.data) continue;
            uint32_t id = v.propertyId;
            if (id == 0x67F2 || id == 0x67F3) continue;  // table bookkeeping
            if (id >= 0x8000) {
                id = MapNamed(id);
                if (id == 0) continue;
            }
            uint16_t type = v.type;
            std::vector<uint8_t> data = *v.data;
            if (type == 0x001E) {
                data = Utf16Of(ConvertToUtf8(std::span<const uint8_t>(data), codePage));
                type = 0x001F;
            } else if (type == 0x101E) {
                auto converted = ConvertMulti(data, codePage);
                if (!converted) continue;
                data = std::move(*converted);
                type = 0x101F;
            }
            props.push_back(Prop::Raw(static_cast<uint16_t>(id), type, std::move(data)));
        }
        return props;
    }

    // The message of the node with that data and subnode block; false when its
    // properties do not read.
    bool ReadMessage(const BlockRecord* data, const BlockRecord* subnodeBlock,
                     const SubnodeList* fallback, MessageContent& out, int depth) {
        if (depth == 0) embeddedSeen_.clear();
        const SubnodeList subnodes = SubnodesOrNothing(raw_.storage, subnodeBlock);
        PropertyGroupList groups = ParseNodeProperties(raw_, data, &subnodes, fallback);
        if (groups.empty()) return false;
        const uint32_t codePage = CodePageOf(groups.front());
        out.props = Convert(groups.front().values, codePage);
        groups.clear();

        for (PropertyGroup& row : TableRows(subnodes, kRecipientTable))
            out.recipients.push_back(Convert(row.values, codePage));

        for (PropertyGroup& row : TableRows(subnodes, kAttachmentTable)) {
            const auto rowId = U32Of(row, 0x67F2);
            const SubnodeEntry* entry = rowId ? subnodes.Find(*rowId) : nullptr;
            AttachmentContent content;
            const SubnodeList own = entry ? SubnodesOrNothing(raw_.storage, entry->subnodeBlock)
                                          : SubnodeList{};
            PropertyGroupList attachment =
                entry ? ParseNodeProperties(raw_, entry->block, &own, &subnodes)
                      : PropertyGroupList{};
            if (attachment.empty()) {
                // Its own object is gone: the table row's properties (name, method, size)
                // keep it listed as the source lists it, without data.
                content.props = Convert(row.values, codePage);
                out.attachments.push_back(std::move(content));
                continue;
            }
            content.props = Convert(attachment.front().values, codePage);
            if (U32Of(attachment.front(), 0x3705) == 5u && depth < kMaxEmbeddedDepth) {
                if (const auto nid = EmbeddedNid(entry->block)) {
                    const SubnodeEntry* inner = own.Find(*nid);
                    if (!inner) inner = subnodes.Find(*nid);
                    auto embedded = std::make_unique<MessageContent>();
                    // An attached message is read once per item: one that a damaged file
                    // lists again (below itself, or beside) would multiply the work with
                    // every level; it stays an attachment without its message.
                    if (inner && embeddedSeen_.insert(inner->block->bid).second &&
                        ReadMessage(inner->block, inner->subnodeBlock, &own, *embedded,
                                    depth + 1)) {
                        // A message that reads is kept as the source holds it when its named
                        // ids stay the same: its bytes, and so its size, stay those of the
                        // source. 8-bit text in it stays 8-bit (a Unicode file may hold
                        // both), read with the message's own code page as before.
                        if (identityNames_) {
                            rawSeen_.clear();
                            content.rawEmbedded =
                                RawNode(inner->block, inner->subnodeBlock, depth + 1);
                        }
                        if (!content.rawEmbedded) content.embedded = std::move(embedded);
                    }
                }
            }
            out.attachments.push_back(std::move(content));
        }
        return true;
    }

    // The source's named properties first, entry for entry, a name the map holds twice
    // included: every id then stays what it was, so attached messages copied as the file
    // holds them still name the same properties.
    void SeedNames() {
        identityNames_ = true;
        if (!names_) return;
        for (const NamedPropertyEntry& entry : names_->entries())
            if (MapNamed(entry.fileId, true) != entry.fileId) identityNames_ = false;
    }

    std::vector<Prop> FolderProps(const NodeRecord* node) {
        if (!node || !node->dataBlock) return {};
        const SubnodeList subnodes = SubnodesOrNothing(raw_.storage, node->subnodeBlock);
        PropertyGroupList groups = ParseNodeProperties(raw_, node->dataBlock, &subnodes);
        if (groups.empty()) return {};
        return Convert(groups.front().values, CodePageOf(groups.front()));
    }

  private:
    uint32_t MapNamed(uint32_t fileId, bool seed = false) {
        if (auto it = mapped_.find(fileId); it != mapped_.end()) return it->second;
        uint32_t id = 0;
        const NamedPropertyEntry* entry = names_ ? names_->Find(fileId) : nullptr;
        if (entry) {
            const uint32_t guidIndex = entry->guidWord >> 1;
            std::optional<test::Guid> guid;
            if (guidIndex == 1) guid = test::kPsMapi;
            if (guidIndex == 2) guid = test::kPsPublicStrings;
            if (guidIndex >= 3 && guidIndex - 3 < names_->guids().size())
                guid = names_->guids()[guidIndex - 3];
            if (guid && entry->kind == kNumericName)
                id = out_.NamedId(*guid, entry->numericName, "", seed);
            else if (guid && entry->kind == kStringName && !entry->stringName.empty())
                id = out_.NamedId(*guid, 0, entry->stringName, seed);
        }
        mapped_.emplace(fileId, id);
        return id;
    }

    static uint32_t CodePageOf(const PropertyGroup& group) {
        for (uint32_t id : {0x3FFDu, 0x3FDEu})
            if (auto cp = U32Of(group, id)) return NarrowCodePage(*cp, kWindows1252);
        return kWindows1252;
    }

    // Count, offsets, then the strings: each converted, the offsets laid out again.
    static std::optional<std::vector<uint8_t>> ConvertMulti(const std::vector<uint8_t>& data,
                                                            uint32_t codePage) {
        const ByteReader reader(data);
        const auto count = reader.U32(0);
        if (!count || *count > data.size() / 4) return std::nullopt;
        std::vector<std::vector<uint8_t>> parts;
        for (uint32_t i = 0; i < *count; ++i) {
            const auto from = reader.U32(4 + 4 * i);
            const auto to =
                i + 1 < *count ? reader.U32(8 + 4 * i) : std::optional<uint32_t>(data.size());
            if (!from || !to || *from > *to || *to > data.size()) return std::nullopt;
            parts.push_back(Utf16Of(ConvertToUtf8(
                std::span<const uint8_t>(data.data() + *from, *to - *from), codePage)));
        }
        std::vector<uint8_t> out;
        auto put = [&](uint32_t v) {
            for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        put(*count);
        uint32_t at = 4 + 4 * *count;
        for (const auto& part : parts) {
            put(at);
            at += static_cast<uint32_t>(part.size());
        }
        for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
        return out;
    }

    // The rows of the table subnode nid, in table order.
    PropertyGroupList TableRows(const SubnodeList& subnodes, uint32_t nid) {
        const SubnodeEntry* entry = subnodes.Find(nid);
        if (!entry) return {};
        const SubnodeList own = SubnodesOrNothing(raw_.storage, entry->subnodeBlock);
        PropertyGroupList rows = ParseNodeProperties(raw_, entry->block, &own, &subnodes);
        std::reverse(rows.begin(), rows.end());  // the parser gives the last row first
        return rows;
    }

    // A node's data blocks and subnode tree as the file holds them. Nothing when a block
    // is larger than the new file's blocks: heap pages and table rows are laid out by the
    // block size, so such a node cannot be copied as it is.
    std::optional<test::LtpNode> RawNode(const BlockRecord* data, const BlockRecord* subnodeBlock,
                                         int depth) {
        if (!data || depth > kMaxEmbeddedDepth) return std::nullopt;
        test::LtpNode node;
        try {
            if (ReadDataBlocks(raw_.storage, data, node.blocks) == 0) return std::nullopt;
        } catch (const FileError&) {
            return std::nullopt;
        }
        for (const auto& block : node.blocks)
            if (block.size() > pstwrite::NdbWriter::kMaxBlockData) return std::nullopt;
        if (subnodeBlock && !RawSubnodes(subnodeBlock, node.subnodes, depth, 0))
            return std::nullopt;
        return node;
    }

    // The entries of an SLBLOCK, or of the SLBLOCKs under an SIBLOCK, in the source's
    // layout; false when anything does not check out.
    bool RawSubnodes(const BlockRecord* block, std::vector<test::LtpSubnode>& out, int depth,
                     int level) {
        const PstLayout* layout = raw_.storage.layout;
        // Each subnode block once: one listed twice (a loop in a damaged file) is no copy.
        if (!layout || !rawSeen_.insert(block->bid).second) return false;
        std::vector<uint8_t> bytes;
        try {
            if (ReadBlockRecord(raw_.storage, *block, bytes) == 0) return false;
        } catch (const FileError&) {
            return false;
        }
        const ByteReader r(bytes);
        const auto count = r.U16(2);
        if (r.U8(0) != 0x02u || !count) return false;
        const auto cLevel = r.U8(1);
        const size_t id = layout->idSize;
        for (size_t i = 0; i < *count; ++i) {
            if (cLevel == 0u) {
                const size_t at = layout->subnodeHeaderSize + layout->subnodeLeafEntrySize * i;
                const auto nid = r.U32(at);
                const auto bidData = r.UInt(at + id, id), bidSub = r.UInt(at + 2 * id, id);
                if (!nid || !bidData || !bidSub) return false;
                const BlockRecord* dataBlock = FindBlock(raw_.storage, *bidData);
                const BlockRecord* subBlock = *bidSub ? FindBlock(raw_.storage, *bidSub) : nullptr;
                if (*bidSub && !subBlock) return false;
                auto child = RawNode(dataBlock, subBlock, depth + 1);
                if (!child) return false;
                out.push_back({*nid, std::move(*child)});
            } else if (cLevel == 1u && level == 0) {
                const size_t at =
                    layout->subnodeHeaderSize + layout->subnodeIntermediateEntrySize * i;
                const auto bid = r.UInt(at + id, id);
                const BlockRecord* child = bid ? FindBlock(raw_.storage, *bid) : nullptr;
                if (!child || !RawSubnodes(child, out, depth, 1)) return false;
            } else {
                return false;
            }
        }
        return true;
    }

    // The subnode an attachment's object value names (its first four bytes).
    std::optional<uint32_t> EmbeddedNid(const BlockRecord* attachmentBlock) {
        const HeapOnNode heap = HeapOnNode::Load(raw_.storage, attachmentBlock);
        if (!heap.valid()) return std::nullopt;
        const auto header = ReadBthHeader(heap, heap.userRoot());
        if (!header || header->cbKey != 2) return std::nullopt;
        std::optional<uint32_t> nid;
        WalkBth(heap, *header, [&](ByteReader key, ByteReader data) {
            if (key.U16(0) != 0x3701u || data.U16(0) != 0x000Du) return true;
            if (const auto hnid = data.U32(2)) {
                if (const auto reference = heap.Allocation(*hnid)) nid = reference->U32(0);
            }
            return false;
        });
        return nid;
    }

    ItemContext raw_;
    const NamedPropertyMap* names_;
    StoreWriter& out_;
    std::unordered_map<uint32_t, uint32_t> mapped_;
    std::unordered_set<uint64_t> embeddedSeen_;  // attached messages read for this item
    std::unordered_set<uint64_t> rawSeen_;       // subnode blocks of the raw copy under way
    bool identityNames_ = false;
};

std::string ParentPath(const std::string& path) {
    if (path.size() < 2) return {};
    const size_t cut = path.rfind('\\', path.size() - 2);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string LastName(const std::string& path) {
    const std::string parent = ParentPath(path);
    return path.substr(parent.size(), path.size() - parent.size() - 1);
}

class PstExporter {
  public:
    PstExporter(const AnalysisResult& result, ItemSource& source, const ExportOptions& options,
                RunControl& control)
        : result_(result), source_(source), options_(options), control_(control) {
        summary_.source = result.file;
        summary_.destination = options.destination;
        summary_.format = ExportFormat::Pst;
    }

    ExportSummary Run() {
        const std::string target = RepairedPstPath(options_.destination, result_.file);
        const std::filesystem::path targetPath(target);
        const std::string folder =
            targetPath.has_parent_path() ? targetPath.parent_path().string() : ".";
        const std::string name = targetPath.filename().string();
        summary_.destination = target;
        for (const auto& f : result_.folders.entries()) {
            if (Selected(f) && f.mail) summary_.messagesTotal += f.messages.size();
        }
        PublishSaving([&](SavingValues& v) {
            v = SavingValues{};
            v.SavingTotal = summary_.messagesTotal;
            v.SavingMailCountText = CountText();
        });
        try {
            if (SameFile(target, result_.file))
                throw ExportWriteError(
                    fmt::format("\"{}\" is the file being recovered: choose another", target));
            root_ = OutputFolder::OpenRoot(folder);
            if (!options_.overwrite && root_.Exists(name)) {
                summary_.existing.push_back(target);
                summary_.outcome = ExportOutcome::Completed;
            } else {
                OutputFolder::PendingFile file = root_.Begin(name);
                summary_.outcome = ExportOutcome::Completed;
                if (Write(file.fd())) {
                    if (file.Commit(options_.overwrite) == OutputFolder::Placed::Existed)
                        summary_.existing.push_back(target);
                }
                // A stop or failure drops the pending file: nothing is left.
            }
        } catch (const ExportWriteError& e) {
            Fail(e.what());
        } catch (const pstwrite::WriteError& e) {
            Fail(fmt::format("cannot write \"{}\": {}", target, e.what()));
        } catch (const FileError& e) {
            Fail(e.what());
        }
        WriteReport();
        PublishSaving([&](SavingValues& v) {
            v.outcome = summary_.outcome;
            v.failure = summary_.failure;
        });
        return std::move(summary_);
    }

  private:
    bool Selected(const MailFolderEntry& folder) const {
        if (options_.folderNids.empty()) return true;
        return std::find(options_.folderNids.begin(), options_.folderNids.end(),
                         folder.folderNid) != options_.folderNids.end();
    }

    static bool SameFile(const std::string& a, const std::string& b) {
        struct stat sa {
        }, sb{};
        if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }

    std::string CountText() const { return fmt::format("{} of {}", done_, summary_.messagesTotal); }

    void Fail(std::string reason) {
        summary_.outcome = ExportOutcome::Failed;
        summary_.failure = std::move(reason);
    }

    // False when stopped.
    bool Write(int fd) {
        std::optional<StoreWriter> store;
        store.emplace(fd, options_.cryptMethod, "Personal Folders");
        bool whole = true;
        source_.Read([&](ItemContext& context) {
            SourceCopier copier(context, *store);
            copier.SeedNames();
            whole = WriteFolders(context, copier, *store);
        });
        if (!whole) {
            summary_.outcome = ExportOutcome::Stopped;
            return false;
        }
        store->Finish();
        if (::fsync(fd) != 0) throw pstwrite::WriteError(std::strerror(errno));
        return true;
    }

    bool WriteFolders(ItemContext& context, SourceCopier& copier, StoreWriter& store) {
        PstContext& storage = context.storage;
        // Non-mail items by the folder they are saved in; one whose folder is not listed is
        // reported.
        std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, uint64_t>>> others;
        auto collect = [&](const auto& list) {
            for (const auto& entry : list) {
                if (const MailFolderEntry* home = result_.folders.HomeOf(entry))
                    others[home->folderNid].emplace_back(entry.nid, entry.dataBid);
                else
                    summary_.unreadable.push_back(
                        {entry.nid, entry.folderPath, "its folder is not among those rebuilt"});
            }
        };
        collect(result_.contacts);
        collect(result_.tasks);
        collect(result_.notes);
        collect(result_.journal);
        collect(result_.calendar);

        std::map<std::string, uint32_t> written;  // path -> new folder NID
        // The source store names its wastebasket by entry id (the folder's NID in its last
        // four bytes); when that folder is not among those rebuilt, the one named "Deleted
        // Items" under the top is. Without either the writer adds an empty one.
        uint32_t wastebasketNid = 0;
        for (const Prop& p : copier.FolderProps(storage.nodes.Find(kStoreNid)))
            if (p.id == 0x35E3 && p.value.size() == 24) {
                const uint32_t named = ByteReader(p.value).U32(20).value_or(0);
                for (const MailFolderEntry& folder : result_.folders.entries())
                    if (folder.folderNid == named && folder.path != kRootFolderPath)
                        wastebasketNid = named;
            }
        const std::string deletedItems = std::string(kRootFolderPath) + "Deleted Items\\";
        for (const MailFolderEntry& folder : result_.folders.entries())
            if (!wastebasketNid && folder.path == deletedItems) wastebasketNid = folder.folderNid;
        bool wastebasket = false;
        for (const MailFolderEntry& folder : result_.folders.entries()) {
            if (control_.TestPoint()) return false;
            const NodeRecord* node = storage.nodes.Find(folder.folderNid);
            std::vector<Prop> props = copier.FolderProps(node);
            const std::string path = folder.path;
            uint32_t nid = 0;
            if (path == kRootFolderPath) {
                if (!props.empty()) store.SetFolderProps(store.IpmSubtree(), props);
                nid = store.IpmSubtree();
            } else {
                std::erase_if(props, [](const Prop& p) { return p.id == 0x3001; });
                props.push_back(Prop::Unicode(0x3001, LastName(path)));
                // A folder the analysis made up (Recovered Items) has no node of its own:
                // it gets the class the analysis gives it.
                const bool hasClass = std::any_of(props.begin(), props.end(),
                                                  [](const Prop& p) { return p.id == 0x3613; });
                if (!hasClass && !folder.containerClass.empty())
                    props.push_back(Prop::Unicode(0x3613, folder.containerClass));
                auto parent = written.find(ParentPath(path));
                const uint32_t parentNid =
                    parent == written.end() ? store.IpmSubtree() : parent->second;
                nid = store.AddFolder(parentNid, std::move(props));
                if (!wastebasket && folder.folderNid == wastebasketNid) {
                    store.SetWastebasket(nid);
                    wastebasket = true;
                }
            }
            written.emplace(path, nid);
            if (!Selected(folder)) {
                store.CloseFolder(nid);
                continue;
            }
            ExportedFolder report;
            report.path = path;
            report.output = summary_.destination;
            PublishSaving([&](SavingValues& v) { v.SavingFolderName = LastName(path); });
            for (const MessageSummary& message : folder.messages) {
                if (control_.TestPoint()) return false;
                if (CopyItem(storage, copier, store, nid, message.nid, message.dataBid, path))
                    ++report.written, ++summary_.messagesWritten;
                else
                    ++report.unreadable;
                ++done_;
                PublishSaving([&](SavingValues& v) {
                    v.SavingDone = done_;
                    v.SavingMailCountText = CountText();
                });
            }
            if (auto it = others.find(folder.folderNid); it != others.end()) {
                for (const auto& [itemNid, dataBid] : it->second) {
                    if (control_.TestPoint()) return false;
                    if (CopyItem(storage, copier, store, nid, itemNid, dataBid, path))
                        ++summary_.otherItemsWritten;
                }
                others.erase(it);
            }
            // Hidden items go back into the folder's associated contents.
            if (node) {
                size_t guard = storage.nodes.CreatedCount();
                for (const NodeRecord* child = node->firstChild; child && guard--;
                     child = child->nextSibling) {
                    if (NidTypeOf(child->nid) != NidType::AssocMessage) continue;
                    if (control_.TestPoint()) return false;
                    MessageContent content;
                    if (copier.ReadMessage(child->dataBlock, child->subnodeBlock, nullptr, content,
                                           0))
                        store.AddMessage(nid, content, true);
                }
            }
            store.CloseFolder(nid);
            summary_.folders.push_back(std::move(report));
        }
        return true;
    }

    bool CopyItem(PstContext& storage, SourceCopier& copier, StoreWriter& store, uint32_t folderNid,
                  uint32_t nid, uint64_t dataBid, const std::string& path) {
        const NodeRecord* node = nullptr;
        if (const BlockRecord* data = dataBid ? FindBlock(storage, dataBid) : nullptr)
            node = storage.nodes.FindByData(nid, data);
        if (!node) node = storage.nodes.FindAny(nid);
        MessageContent content;
        if (!node ||
            !copier.ReadMessage(node->dataBlock, node->subnodeBlock, nullptr, content, 0)) {
            summary_.unreadable.push_back({nid, path, "its properties did not read"});
            return false;
        }
        store.AddMessage(folderNid, content);
        return true;
    }

    void WriteReport() {
        if (!root_.IsOpen()) return;
        try {
            const std::string text = ReportText(summary_);
            const std::string stem(kReportFileName.substr(0, kReportFileName.size() - 4));
            for (int n = 1; n < 100; ++n) {
                const std::string name =
                    n == 1 ? std::string(kReportFileName) : fmt::format("{} ({}).txt", stem, n);
                if (root_.WriteFile(name, text, options_.overwrite) ==
                    OutputFolder::Placed::Written) {
                    summary_.reportPath =
                        (std::filesystem::path(summary_.destination).parent_path() / name).string();
                    break;
                }
            }
        } catch (const ExportWriteError& e) {
            if (summary_.outcome != ExportOutcome::Failed) Fail(e.what());
        }
    }

    const AnalysisResult& result_;
    ItemSource& source_;
    const ExportOptions& options_;
    RunControl& control_;
    ExportSummary summary_;
    OutputFolder root_;
    uint64_t done_ = 0;
};

}  // namespace

std::string RepairedPstPath(const std::string& destination, const std::string& source) {
    std::error_code ec;
    if (EndsWithPst(destination) && !std::filesystem::is_directory(destination, ec))
        return destination;
    return (std::filesystem::path(destination) / std::filesystem::path(source).filename()).string();
}

ExportSummary RunPstExport(const AnalysisResult& result, ItemSource& source,
                           const ExportOptions& options, RunControl& control) {
    try {
        return PstExporter(result, source, options, control).Run();
    } catch (const std::exception& e) {
        ExportSummary summary;
        summary.source = result.file;
        summary.format = ExportFormat::Pst;
        summary.outcome = ExportOutcome::Failed;
        summary.failure = e.what();
        PublishSaving([&](SavingValues& v) {
            v.outcome = summary.outcome;
            v.failure = summary.failure;
        });
        return summary;
    }
}

}  // namespace kestrel
