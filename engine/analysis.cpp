#include "engine/analysis.h"

#include <cctype>
#include <exception>
#include <filesystem>
#include <thread>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "engine/block_rebuild.h"
#include "engine/folder_walk.h"
#include "engine/scan_placement.h"
#include "engine/walk_filing.h"
#include "items/named_property_map.h"
#include "items/node_item.h"
#include "platform/activity_log.h"
#include "storage/btree_loader.h"
#include "storage/deep_scan.h"
#include "storage/nid.h"

namespace kestrel {

namespace {

// The chosen file when it names something, else the one picked in the search list.
std::string ChooseFile(const AnalysisOptions& options) {
    if (!options.sourcePstPath.empty()) {
        std::error_code ec;
        if (std::filesystem::exists(options.sourcePstPath, ec)) return options.sourcePstPath;
    }
    return options.chosenPstPath;
}

class Run {
  public:
    Run(const AnalysisOptions& options, AnalysisResult& result, std::shared_mutex& mutex,
        AnalysisObserver& observer, RunControl& control)
        : options_(options),
          result_(result),
          mutex_(mutex),
          observer_(observer),
          control_(control) {}

    AnalysisStatus Go(std::shared_ptr<ItemSource>* source) {
        AnalysisStatus status = AnalysisStatus::Error;
        try {
            status = Steps();
        } catch (const std::exception& e) {
            // Nothing above should throw; if it does, the run failed and says why.
            status = Fail(fmt::format("{}", e.what()));
        }
        // The item source takes the file's size and time before it is closed.
        if (source && context_ && opened_) {
            *source = std::make_shared<ItemSource>(std::move(context_), items_->namedProps, path_);
        }
        if (context_) context_->file.Close();
        {
            std::unique_lock lock(mutex_);
            result_.status = status;
        }
        if (status == AnalysisStatus::Stopped) {
            // What the Stop button shows once the worker has let go.
            observer_.SaveShown(false);
            observer_.ShowPage(kPageAbort);
            observer_.SaveEnabled(true);
            observer_.ProgressBarHidden();
        }
        observer_.Finished(status);
        return status;
    }

  private:
    AnalysisStatus Fail(std::string_view message) {
        observer_.ShowMessage(message);
        std::unique_lock lock(mutex_);
        result_.error = std::string(message);
        return AnalysisStatus::Error;
    }

    void Warn(std::string text) {
        std::unique_lock lock(mutex_);
        result_.warnings.push_back(std::move(text));
    }

    void Log(std::string_view text) {
        if (options_.writeLog) AppendLogLine(LogKind::Activity, text);
    }

    bool Stopped() { return control_.TestPoint(); }

    AnalysisStatus Steps() {
        path_ = ChooseFile(options_);
        {
            std::unique_lock lock(mutex_);
            result_.Clear();
            // A run with no usable file still reports the file it was asked for.
            result_.file = path_.empty() ? options_.sourcePstPath : path_;
            result_.shownPath = ShownPstPath(result_.file);
        }
        observer_.SaveEnabled(false);
        observer_.PauseStopEnabled(true);
        observer_.ShowPage(kPageProgress);

        context_ = std::make_unique<PstContext>();
        context_->stopFlag = control_.stopWord();
        items_ = std::make_unique<ItemContext>(*context_);
        std::string reason;
        if (path_.empty() || OpenPstFile(*context_, path_, &reason) != 0) {
            // With no usable file at all, the first screen's choice says best what went
            // wrong with it.
            if (path_.empty() && !options_.sourcePstPath.empty()) {
                PstContext probe;
                OpenPstFile(probe, options_.sourcePstPath, &reason);
            }
            std::unique_lock lock(mutex_);
            result_.openFailure = reason.empty() ? "no file name" : reason;
            lock.unlock();
            return Fail(kMsgFileInUse);
        }
        opened_ = true;
        {
            std::unique_lock lock(mutex_);
            result_.version = context_->version;
            result_.variant = context_->variant;
        }

        Log(kLogBlankLine);
        Log(kLogAnalysisStep);
        Log(kLogBlankLine);

        // No format version we know: the pages and blocks may still tell the layout.
        bool guessed = false;
        if (context_->variant == PstVariant::Unknown && options_.deepScan != DeepScanMode::Never) {
            try {
                guessed = GuessLayout(*context_);
            } catch (const std::exception&) {
            }
        }
        if (context_->variant == PstVariant::Unknown) return Fail(kMsgCannotAnalyse);
        if (guessed) {
            std::unique_lock lock(mutex_);
            result_.variant = context_->variant;
            result_.warnings.push_back(
                fmt::format("the header's format version {} is unknown; the file was read as {}",
                            context_->version, VariantName(context_->variant)));
        }
        if (!context_->headerMagicValid) Warn("the header's magic is not \"!BDN\"; read on");
        if (!context_->headerCrcValid) Warn("the header's CRC does not match; read on");

        if (Stopped()) return AnalysisStatus::Stopped;
        int loaded = 0;
        try {
            loaded = LoadIndexes(*context_);
        } catch (const std::exception&) {
            return Fail(kMsgCannotReadInfo);
        }
        if (Stopped()) return AnalysisStatus::Stopped;
        ScanReason scanReason = ScanReason::None;
        if (guessed) {
            scanReason = ScanReason::HeaderDamaged;
        } else if (options_.deepScan != DeepScanMode::Never) {
            scanReason = AutomaticScanReason(*context_, loaded);
            if (scanReason == ScanReason::None && options_.deepScan == DeepScanMode::Always)
                scanReason = ScanReason::Requested;
        }
        if (scanReason != ScanReason::None) {
            DeepScanReport report;
            try {
                report = DeepScan(*context_, scanReason, [this](uint64_t done, uint64_t total) {
                    observer_.ScanProgress(done, total);
                    return control_.TestPoint();
                });
            } catch (const std::exception&) {
                return Fail(kMsgCannotReadInfo);
            }
            if (report.stopped || Stopped()) return AnalysisStatus::Stopped;
            report.guessed = guessed;
            scanned_.insert(report.addedNids.begin(), report.addedNids.end());
            const size_t unfiled = UnfileUnlistedMessages(*items_, report.addedNids);
            if (Stopped()) return AnalysisStatus::Stopped;
            if (unfiled) {
                Warn(
                    fmt::format("{} message(s) found by the scan are no longer listed by their "
                                "folder: filed under Recovered Items",
                                unfiled));
            }
            if (report.blocksRepaired) {
                Warn(
                    fmt::format("{} block-tree entr(ies) named damaged bytes; the scan found "
                                "their blocks whole elsewhere",
                                report.blocksRepaired));
            }
            const RebuiltNodes rebuilt = RebuildNodesFromBlocks(*items_);
            if (Stopped()) return AnalysisStatus::Stopped;
            report.nodesRebuilt = rebuilt.messages.size() + rebuilt.hidden + rebuilt.folders;
            scanned_.insert(rebuilt.messages.begin(), rebuilt.messages.end());
            rebuilt_.insert(rebuilt.messages.begin(), rebuilt.messages.end());
            std::unique_lock lock(mutex_);
            result_.hiddenItems += rebuilt.hidden;
            result_.scan = std::move(report);
        }
        if (loaded != 0) {
            Warn(scanReason != ScanReason::None
                     ? std::string(kWarnIndexesRebuilt)
                     : "a B-tree root could not be read; the indexes are incomplete");
        }
        WarnLoadStats();

        try {
            if (LoadNamedPropertyMap(*items_) == NamedMapLoad::NotBuilt) {
                Warn("no named-property map: named properties are left out");
            }
        } catch (const std::exception&) {
            return Fail(kMsgCannotReadInfo);
        }

        if (Stopped()) return AnalysisStatus::Stopped;
        std::unique_ptr<ItemRecord> store = LoadStore();
        if (Stopped()) return AnalysisStatus::Stopped;
        const NodeRecord* top = nullptr;
        if (store && store->store) {
            top = FindTopFolder(*context_, *store);
            if (top == nullptr) {
                top = StandInTopFolder(*context_, *store);
                if (top) Warn("the top folder's node entry is lost; the folders below it are read");
            }
            if (top == nullptr && scanned_.empty()) return Fail(kMsgNoPersonalFolder);
        } else {
            // A damaged store does not take the folders with it: the root folder, whose NID
            // the format fixes, still leads to all of them.
            top = context_->nodes.FindAny(kRootFolderNid);
            const NodeRecord* standIn = nullptr;
            if (top == nullptr && result_.scan) top = standIn = StandInRootFolder(*context_);
            if (top == nullptr && scanned_.empty()) return Fail(kMsgCannotAnalyse);
            if (standIn) {
                Warn(
                    "neither the message store nor the root folder was found; the folders "
                    "the scan rebuilt are read from a stand-in root folder");
            } else if (top) {
                Warn(
                    "the message store cannot be read; the folders are read from the root "
                    "folder");
            }
        }
        store.reset();
        if (Stopped()) return AnalysisStatus::Stopped;
        if (top == nullptr) {
            // No folder survives, but messages do: they are all that is left to list.
            Warn(
                "no folder could be found; the messages found by the scan are filed under "
                "Recovered Items");
            return FileScannedOnly();
        }

        const int64_t count = static_cast<int64_t>(CountWalkRecords(*context_, top));
        observer_.ProgressRange(0, count - 3);

        NodeSet reached(context_->nodes);
        WalkEnvironment env = ListingEnvironment(reached);
        const WalkOutcome outcome = WalkFolderTree(*items_, top, env);
        if (outcome.end == WalkEnd::Stopped) return AnalysisStatus::Stopped;
        WarnWalk(outcome);

        if (options_.restoreDeleted) {
            if (RestoreOrphans(env, top, reached) == WalkEnd::Stopped) {
                return AnalysisStatus::Stopped;
            }
        } else if (result_.scan) {
            // What the scan brought back and no folder takes is filed all the same: it was
            // found, not restored on request; so are the items of folders that could not
            // be read or whose parents name each other, lost to damage rather than deleted.
            std::unordered_set<uint32_t> found = scanned_;
            for (const NodeRecord& node : context_->nodes.records()) {
                if (reached.count(&node) != 0) continue;
                if ((context_->nodes.IsReachable(&node) && IsBelow(node, top)) ||
                    EndsInParentLoop(node))
                    found.insert(node.nid);
            }
            if (RestoreOrphans(env, top, reached, &found) == WalkEnd::Stopped) {
                return AnalysisStatus::Stopped;
            }
        }

        if (result_.garbledStrings) {
            Warn(fmt::format("{} text(s) that did not decode cleanly were left out",
                             result_.garbledStrings));
        }
        if (const size_t damaged = context_->damagedBlocks.Count()) {
            Warn(
                fmt::format("{} compressed block(s) that did not inflate to their recorded size "
                            "were left out",
                            damaged));
        }

        // Completion.
        observer_.ShowPage(kPageCompleted);
        observer_.SaveEnabled(true);
        observer_.PauseStopEnabled(false);
        observer_.ProgressBarHidden();
        return AnalysisStatus::Completed;
    }

    // The walk that fills the lists. They keep attachment sizes and whether there is RTF:
    // attachment data is measured, not read, and RTF checked, not expanded. The item source
    // reads everything when an item is opened.
    WalkEnvironment ListingEnvironment(NodeSet& reached) {
        WalkEnvironment env;
        env.result = &result_;
        env.resultMutex = &mutex_;
        env.observer = &observer_;
        env.control = &control_;
        env.reached = &reached;
        env.options.measureAttachmentData = true;
        env.options.checkRtfOnly = true;
        env.options.measureBody = true;
        env.options.skipDetails = !options_.listDetails;
        if (std::thread::hardware_concurrency() > 1) env.loadAhead = options_.loadAhead;
        return env;
    }

    // The run's end when the scan found messages but no folder to walk.
    AnalysisStatus FileScannedOnly() {
        NodeSet reached(context_->nodes);
        WalkEnvironment env = ListingEnvironment(reached);
        if (RestoreOrphans(env, nullptr, reached, &scanned_) == WalkEnd::Stopped)
            return AnalysisStatus::Stopped;
        if (result_.restoredCount == 0) return Fail(kMsgCannotAnalyse);
        observer_.ShowPage(kPageCompleted);
        observer_.SaveEnabled(true);
        observer_.PauseStopEnabled(false);
        observer_.ProgressBarHidden();
        return AnalysisStatus::Completed;
    }

    bool IsCopyOfListed(const ItemRecord& item, const NodeRecord& node) {
        if (!listedKeys_) {
            listedKeys_.emplace();
            for (const auto& folder : result_.folders.entries()) {
                for (const MessageSummary& m : folder.messages)
                    listedKeys_->insert(std::string(m.subject()) + '\0' +
                                        std::to_string(m.deliveryTime().value_or(0)));
            }
        }
        const MessageSummary summary = SummarizeMessage(item, node.nid, 0);
        return listedKeys_->count(std::string(summary.subject()) + '\0' +
                                  std::to_string(summary.deliveryTime().value_or(0))) != 0;
    }

    // The message store: the first top-level record, as a sound file has it. A damaged
    // file may have lost that order, so NID 0x21 is tried as well.
    std::unique_ptr<ItemRecord> LoadStore() {
        const NodeRecord* first = context_->nodes.topHead();
        std::unique_ptr<ItemRecord> store = LoadQuietly(first);
        if (store && store->store) return store;
        const NodeRecord* byNid = FindNode(*context_, kMessageStoreNid);
        if (byNid == nullptr || byNid == first) return store;
        std::unique_ptr<ItemRecord> other = LoadQuietly(byNid);
        if (other && other->store) {
            Warn("the message store was not the first top-level node");
            return other;
        }
        return store;
    }

    std::unique_ptr<ItemRecord> LoadQuietly(const NodeRecord* node,
                                            const AssembleOptions& options = {}) {
        if (node == nullptr) return nullptr;
        try {
            return LoadNodeItem(*items_, node, options);
        } catch (const std::exception&) {
            return nullptr;
        }
    }

    void WarnLoadStats() {
        const LoadStats& stats = context_->stats;
        if (stats.skippedBlockSubtrees) {
            Warn(fmt::format("{} damaged block-tree subtree(s) skipped",
                             stats.skippedBlockSubtrees));
        }
        if (stats.skippedNodeSubtrees) {
            Warn(fmt::format("{} damaged node-tree subtree(s) skipped", stats.skippedNodeSubtrees));
        }
        if (stats.orphanNodes) {
            Warn(fmt::format("{} node(s) whose parent folder was not found", stats.orphanNodes));
        }
    }

    void WarnWalk(const WalkOutcome& outcome) {
        if (outcome.end == WalkEnd::Failed) {
            Warn(fmt::format("the folder walk ended early after {} node(s): {}", outcome.visited,
                             outcome.error));
        }
        if (outcome.failedLoads) {
            Warn(fmt::format("{} node(s) could not be read", outcome.failedLoads));
        }
        if (outcome.skippedItems) {
            Warn(fmt::format("{} item(s) skipped by an error while listing them",
                             outcome.skippedItems));
        }
        if (outcome.unfiledMessages) {
            Warn(fmt::format("{} message(s) met before any mail folder were left out",
                             outcome.unfiledMessages));
        }
        static constexpr std::string_view kLossText[kNodeLossKinds] = {
            "whose data block is missing",
            "whose data could not be read",
            "whose subnode list is lost",
            "whose attachment table is lost",
            "with an attachment whose data is gone",
        };
        for (size_t kind = 0; kind < kNodeLossKinds; ++kind) {
            const LostNodes& lost = outcome.lost[kind];
            if (lost.count == 0) continue;
            std::string nids;
            for (uint32_t nid : lost.nids)
                nids += fmt::format("{}0x{:X}", nids.empty() ? "" : ", ", nid);
            if (lost.count > lost.nids.size()) nids += ", ...";
            Warn(fmt::format("{} node(s) {}: {}", lost.count, kLossText[kind], nids));
        }
    }

    // The top-level record node hangs from (itself when it has no parent).
    const NodeRecord* TreeOf(const NodeRecord& node) const {
        const NodeRecord* up = &node;
        const size_t bound = context_->nodes.CreatedCount();
        for (size_t steps = 0; up->parent && steps <= bound; ++steps) up = up->parent;
        return up;
    }

    // True when the chain of parents above node ends at a folder whose parent entry names
    // that folder itself or one below it: the loader refused to close the loop, so the
    // chain hangs nowhere.
    bool EndsInParentLoop(const NodeRecord& node) const {
        const NodeRecord* head = TreeOf(node);
        if (head->topLevel) return false;
        const size_t bound = context_->nodes.CreatedCount();
        size_t steps = 0;
        for (const NodeRecord* up = context_->nodes.FindAny(head->nidParent); up && steps <= bound;
             up = up->parent, ++steps) {
            if (up == head) return true;
        }
        return false;
    }

    // True when node hangs below top. Messages of the folders beside the top folder
    // (free/busy data, views) are the store's own business, not lost mail; a message in a
    // tree of its own (a parent entry naming itself) is.
    bool IsBelow(const NodeRecord& node, const NodeRecord* top) const {
        size_t steps = 0;
        const size_t bound = context_->nodes.CreatedCount();
        for (const NodeRecord* up = node.parent; up && steps <= bound; up = up->parent, ++steps) {
            if (up == top) return true;
        }
        return false;
    }

    // Normal messages the walk never reached (their parent never turned up, or their
    // folder failed to load) are read and filed under "Recovered Items", so nothing
    // readable is silently lost.
    // only: the NIDs to restore (all when null).
    WalkEnd RestoreOrphans(WalkEnvironment& env, const NodeRecord* top, const NodeSet& reached,
                           const std::unordered_set<uint32_t>* only = nullptr) {
        ItemFiling filing(env);
        std::optional<size_t> target;
        uint64_t restored = 0;
        for (const NodeRecord& node : context_->nodes.records()) {
            if (NidTypeOf(node.nid) != NidType::NormalMessage) continue;
            if (only && only->count(node.nid) == 0) continue;
            if (node.dataBlock == nullptr || reached.count(&node) != 0) continue;
            if (top && context_->nodes.IsReachable(&node) && !IsBelow(node, top) &&
                TreeOf(node) == TreeOf(*top))
                continue;
            if (control_.TestPoint()) return WalkEnd::Stopped;
            std::unique_ptr<ItemRecord> item = LoadQuietly(&node, env.options);
            if (control_.TestPoint()) return WalkEnd::Stopped;
            if (!item || item->Empty() || item->folder) continue;
            // A message rebuilt from its block may be an older copy of one the walk listed
            // (the block a change left behind): the same subject and delivery time.
            if (rebuilt_.count(node.nid) && IsCopyOfListed(*item, node)) continue;
            if (!target) {
                MailFolderEntry entry;
                entry.path = std::string(kRecoveredFolderPath);
                entry.mail = true;
                entry.containerClass = "IPF.Note";
                target = filing.AddFolder(std::move(entry), std::nullopt);
            }
            const FilingResult filed = filing.FileItem(*item, node, node.nidParent,
                                                       std::string(kRecoveredFolderPath), target);
            if (filed == FilingResult::Listed) ++restored;
        }
        std::unique_lock lock(mutex_);
        result_.restoredCount = restored;
        return WalkEnd::Completed;
    }

    const AnalysisOptions& options_;
    AnalysisResult& result_;
    std::shared_mutex& mutex_;
    AnalysisObserver& observer_;
    RunControl& control_;
    std::string path_;
    std::unique_ptr<PstContext> context_;
    std::unique_ptr<ItemContext> items_;  // over *context_, with the named-property map
    bool opened_ = false;
    std::unordered_set<uint32_t> scanned_;  // the NIDs the deep scan added
    std::unordered_set<uint32_t> rebuilt_;  // ...of them, those made from blocks alone
    std::optional<std::unordered_set<std::string>> listedKeys_;  // subject and delivery time
};

}  // namespace

std::filesystem::path StatusPagePath(const std::filesystem::path& installFolder,
                                     std::string_view page) {
    return installFolder / std::filesystem::path(std::string(page));
}

std::string ShownPstPath(std::string_view path) {
    std::string shown(path);
    for (char& c : shown) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return shown;
}

AnalysisStatus RunAnalysis(const AnalysisOptions& options, AnalysisResult& result,
                           std::shared_mutex& resultMutex, AnalysisObserver& observer,
                           RunControl& control, std::shared_ptr<ItemSource>* source) {
    if (source) source->reset();
    Run run(options, result, resultMutex, observer, control);
    return run.Go(source);
}

AnalysisEngine::AnalysisEngine(AnalysisObserver* observer)
    : observer_(observer ? observer : &defaultObserver_) {}

AnalysisEngine::~AnalysisEngine() {
    Stop();
}

void AnalysisEngine::Start(AnalysisOptions options) {
    Stop();
    control_.Reset();
    {
        std::unique_lock lock(resultMutex_);
        result_.Clear();
    }
    {
        std::lock_guard lock(stateMutex_);
        source_.reset();
        status_ = AnalysisStatus::Error;
    }
    running_ = true;
    worker_ = std::jthread([this, options = std::move(options)] { AnalysisWorker(options); });
}

void AnalysisEngine::AnalysisWorker(AnalysisOptions options) {
    std::shared_ptr<ItemSource> source;
    AnalysisStatus status = AnalysisStatus::Error;
    try {
        status = RunAnalysis(options, result_, resultMutex_, *observer_, control_, &source);
    } catch (...) {
        // RunAnalysis reports its own errors; nothing may escape the thread, and the front
        // end waiting for the run's end must still hear of it.
        try {
            observer_->Finished(status);
        } catch (...) {
        }
    }
    {
        std::lock_guard lock(stateMutex_);
        source_ = std::move(source);
        status_ = status;
    }
    running_ = false;
}

void AnalysisEngine::Pause() {
    control_.Pause();
}

void AnalysisEngine::Resume() {
    control_.Resume();
}

void AnalysisEngine::Stop() {
    if (!worker_.joinable()) return;
    control_.RequestStop();
    worker_.join();
}

void AnalysisEngine::Wait() {
    if (worker_.joinable()) worker_.join();
}

bool AnalysisEngine::Running() const {
    return running_.load();
}

AnalysisStatus AnalysisEngine::status() const {
    std::lock_guard lock(stateMutex_);
    return status_;
}

void AnalysisEngine::ReadResult(const std::function<void(const AnalysisResult&)>& reader) const {
    std::shared_lock lock(resultMutex_);
    reader(result_);
}

AnalysisResult AnalysisEngine::Snapshot() const {
    std::shared_lock lock(resultMutex_);
    return result_;
}

std::shared_ptr<ItemSource> AnalysisEngine::itemSource() const {
    std::lock_guard lock(stateMutex_);
    return source_;
}

}  // namespace kestrel
