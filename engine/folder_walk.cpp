#include "engine/folder_walk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "engine/walk_filing.h"
#include "items/node_item.h"
#include "storage/btree_loader.h"
#include "storage/byte_reader.h"
#include "storage/nid.h"

namespace kestrel {

namespace {

// The NID inside an entry id: 4 flag bytes, then the 16-byte provider id.
constexpr size_t kEntryIdNidOffset = 20;

std::mutex containerClassMutex;
std::string currentContainerClass;

void SetCurrentContainerClass(std::string value) {
    std::lock_guard lock(containerClassMutex);
    currentContainerClass = std::move(value);
}

// A mail folder takes messages: class "IPF.Note", kind mail (classes beginning with it),
// or a folder that carries nothing but its folder record.
bool IsMailFolder(const ItemRecord& item) {
    if (item.className == "IPF.Note") return true;
    if (item.kind == ItemKind::Mail) return true;
    return item.className.empty() && !item.message && !item.contact && item.attachments.empty() &&
           !item.currentAttachment && !item.store && !item.journal && !item.calendar;
}

// A lock held for a few instructions at a time by two threads: a waiter spins, then yields,
// instead of going to sleep in the kernel and being woken for every node.
class SpinLock {
  public:
    void lock() {
        for (int spins = 0; locked_.exchange(true, std::memory_order_acquire); ++spins) {
            while (locked_.load(std::memory_order_relaxed)) {
                if (spins++ > 64) std::this_thread::yield();
            }
        }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> locked_{false};
};

// What loading one node gave.
struct LoadedNode {
    std::unique_ptr<ItemRecord> item;
    NodeLoadReport report;
    std::exception_ptr error;  // what the load threw, if it threw
};

LoadedNode LoadNode(ItemContext& items, const NodeRecord& node, const AssembleOptions& options) {
    LoadedNode loaded;
    try {
        loaded.item = LoadNodeItem(items, &node, options, &loaded.report);
    } catch (...) {
        loaded.error = std::current_exception();
        loaded.item.reset();
    }
    return loaded;
}

// Loads the nodes the walk is expected to meet next on a thread of its own, while the walk's
// thread loads some of them too: each thread claims the first expected node nobody has
// claimed yet, so both cores load and neither waits for the other while there is work. The
// walk takes the results in its own order and files them itself. A node it asks for that
// is not the next one expected drops everything loaded ahead (the walk then loads that node
// itself). The second thread loads nothing while the run is paused and ends at once on a
// stop; it never touches the results.
class LoadAhead {
  public:
    LoadAhead(ItemContext& items, const AssembleOptions& options, RunControl* control, size_t depth)
        : items_(items), options_(options), control_(control), depth_(depth) {
        thread_ = std::jthread([this] { Work(); });
    }
    ~LoadAhead() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
    }
    LoadAhead(const LoadAhead&) = delete;
    LoadAhead& operator=(const LoadAhead&) = delete;

    // What was loaded for node when it is the next one expected; nothing otherwise (the
    // caller loads node; when node was not expected, nothing is expected any more).
    std::optional<LoadedNode> Take(const NodeRecord& node) {
        std::unique_lock lock(mutex_);
        if (queue_.empty() || queue_.front().node != &node) {
            Drop(lock);
            return std::nullopt;
        }
        for (;;) {
            Pending& front = queue_.front();
            if (front.state == State::Done) {
                LoadedNode loaded = std::move(front.loaded);
                Pop();
                return loaded;
            }
            if (front.state == State::Expected) {
                // Nobody began it: the walk loads it itself.
                Pop();
                return std::nullopt;
            }
            // The other thread is on it: load a later one meanwhile, or wait when there is
            // none left to claim.
            if (claimed_ < queue_.size()) {
                LoadClaimed(lock);
                continue;
            }
            if (quit_) {
                // The other thread ended on a stop: the entry may never be done.
                Drop(lock);
                return std::nullopt;
            }
            waiting_ = true;
            done_.wait(lock, [this] { return queue_.front().state == State::Done || quit_; });
            waiting_ = false;
        }
    }

    // Expects the nodes after node as the walk would meet them while none of them is a
    // folder with children: its following siblings, up to and including the first one with
    // children of its own (the walk may go down into it). A node queued already is kept.
    void ExpectAfter(const NodeRecord& node) {
        std::lock_guard lock(mutex_);
        // Topped up in halves of what is left to claim, so that neither thread wakes the
        // other for every node; loaded results waiting to be taken count towards a bound of
        // their own.
        if (queue_.size() - claimed_ > depth_ / 2) return;
        const NodeRecord* last = queue_.empty() ? &node : queue_.back().node;
        if (last->firstChild) return;
        for (const NodeRecord* next = last->nextSibling;
             next && queue_.size() - claimed_ < depth_ && queue_.size() < 4 * depth_ && !quit_;
             next = next->nextSibling) {
            queue_.push_back(Pending{next, State::Expected, {}});
            if (next->firstChild) break;
        }
        if (idle_ && claimed_ < queue_.size()) wake_.notify_one();
    }

  private:
    enum class State : uint8_t { Expected, Loading, Done };
    struct Pending {
        const NodeRecord* node = nullptr;
        State state = State::Expected;
        LoadedNode loaded;
    };

    void Pop() {
        queue_.pop_front();
        if (claimed_ > 0) --claimed_;
    }

    // Claims the first unclaimed entry and loads it with the lock released. Entries are
    // claimed in queue order and stay where they are until taken: a deque keeps references
    // to its elements across pushes at the back and pops at the front of others.
    void LoadClaimed(std::unique_lock<SpinLock>& lock) {
        Pending* pending = &queue_[claimed_++];
        pending->state = State::Loading;
        ++loading_;
        lock.unlock();
        LoadedNode loaded = LoadNode(items_, *pending->node, options_);
        lock.lock();
        pending->loaded = std::move(loaded);
        pending->state = State::Done;
        --loading_;
    }

    // Forgets every expected node once no load of one is under way.
    void Drop(std::unique_lock<SpinLock>& lock) {
        waiting_ = true;
        done_.wait(lock, [this] { return loading_ == 0; });
        waiting_ = false;
        queue_.clear();
        claimed_ = 0;
    }

    void Work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            idle_ = true;
            wake_.wait(lock, [this] { return quit_ || claimed_ < queue_.size(); });
            idle_ = false;
            if (quit_) return;
            // Loads nothing while paused; a stop ends the thread's work.
            if (control_ && control_->Paused()) {
                lock.unlock();
                while (control_->Paused() && !control_->StopRequested() && !quit_) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                lock.lock();
            }
            if (quit_ || (control_ && control_->StopRequested())) {
                quit_ = true;
                done_.notify_all();
                return;
            }
            // The walk may have claimed or dropped entries while the lock was free.
            if (claimed_ < queue_.size()) LoadClaimed(lock);
            if (waiting_) done_.notify_all();
        }
    }

    ItemContext& items_;
    const AssembleOptions& options_;
    RunControl* control_;
    const size_t depth_;
    SpinLock mutex_;
    std::condition_variable_any wake_;  // work queued, or quit
    std::condition_variable_any done_;  // a load ended
    std::deque<Pending> queue_;         // expected nodes in walk order; the first claimed_ claimed
    size_t claimed_ = 0;
    size_t loading_ = 0;  // loads under way, on either thread
    std::atomic<bool> quit_{false};
    bool idle_ = false;     // the loading thread waits for work
    bool waiting_ = false;  // the walk waits for a load
    std::jthread thread_;
};

// One open folder level: how long the path was before the folder's name was added.
struct Level {
    size_t pathLength = 0;
};

class FolderWalker {
  public:
    FolderWalker(ItemContext& context, WalkEnvironment& env)
        : context_(context.storage), items_(context), env_(env) {}

    WalkOutcome Run(const NodeRecord* top) {
        if (env_.loadAhead > 0 && top != nullptr && top->firstChild != nullptr) {
            ahead_.emplace(items_, env_.options, env_.control, env_.loadAhead);
        }
        try {
            Walk(top);
        } catch (const std::exception& e) {
            outcome_.end = WalkEnd::Failed;
            outcome_.error = e.what();
        } catch (...) {
            outcome_.end = WalkEnd::Failed;
            outcome_.error = "unknown error";
        }
        ahead_.reset();  // joins the loading thread
        SetCurrentContainerClass({});
        outcome_.visited = n_;
        {
            auto lock = filing_.Lock();
            env_.result->nodesVisited = n_;
        }
        return outcome_;
    }

  private:
    bool StopNow() {
        if (env_.control && env_.control->TestPoint()) {
            outcome_.end = WalkEnd::Stopped;
            return true;
        }
        return false;
    }

    void Walk(const NodeRecord* top) {
        path_ = std::string(kRootFolderPath);
        levels_.assign(1, Level{path_.size()});  // the bottom entry
        descended_ = false;
        n_ = 0;
        filing_.ResetCounters();

        if (top == nullptr) return;
        if (top->nid != 0) {
            MailFolderEntry entry;
            entry.path = path_;
            entry.folderNid = top->nid;
            entry.mail = true;
            filing_.AddFolder(std::move(entry), std::nullopt);
        }

        // Each record is met once in a sound tree; the bound only guards the links.
        const uint64_t bound = context_.nodes.CreatedCount() + 1;
        const NodeRecord* node = top->firstChild;
        while (node != nullptr) {
            if (n_ >= bound)
                throw std::runtime_error("the folder walk met more records than the tree holds");
            ++n_;
            if (StopNow()) return;
            std::unique_ptr<ItemRecord> item = Load(*node);
            if (StopNow()) return;

            if (item && IsFolderItem(*item, node->nid)) {
                if (!item->folder) item->folder = std::make_unique<FolderRecord>();
                node = Folder(*node, *item);
            } else if (item && !item->Empty()) {
                Item(*node, *item);
            }
            item.reset();
            if (StopNow()) return;
            node = Advance(node);
        }
    }

    void Lost(NodeLoss kind, uint32_t nid) {
        LostNodes& lost = outcome_.lost[static_cast<size_t>(kind)];
        ++lost.count;
        if (lost.nids.size() < LostNodes::kNidsKept) lost.nids.push_back(nid);
    }

    std::unique_ptr<ItemRecord> Load(const NodeRecord& node) {
        if (node.dataBlock == nullptr) {
            Lost(NodeLoss::DataBlockMissing, node.nid);
            return nullptr;
        }
        std::optional<LoadedNode> ahead;
        if (ahead_) {
            ahead = ahead_->Take(node);
            ahead_->ExpectAfter(node);
        }
        LoadedNode loaded = ahead ? std::move(*ahead) : LoadNode(items_, node, env_.options);
        std::unique_ptr<ItemRecord> item = std::move(loaded.item);
        const NodeLoadReport& report = loaded.report;
        try {
            if (loaded.error) std::rethrow_exception(loaded.error);
            // A stopped load gives nothing, and lost nothing.
            if (!context_.Stopped()) {
                if (report.dataUnreadable) Lost(NodeLoss::DataUnreadable, node.nid);
                if (report.subnodesLost) Lost(NodeLoss::SubnodesLost, node.nid);
                if (report.attachmentTableLost) Lost(NodeLoss::AttachmentTableLost, node.nid);
                if (report.attachmentsLost) Lost(NodeLoss::AttachmentDataGone, node.nid);
            }
        } catch (const std::exception&) {
            // An error inside one node's load abandons that node only.
            ++outcome_.failedLoads;
            item.reset();
        }
        if (env_.reached) env_.reached->insert(&node);
        ++progress_;
        if (env_.observer) env_.observer->ProgressPosition(progress_);
        return item;
    }

    // Registers the folder and decides where the walk goes next: into its first child, or
    // (with its level closed again) on to Advance from the folder itself.
    const NodeRecord* Folder(const NodeRecord& node, const ItemRecord& item) {
        SetCurrentContainerClass(item.className);
        levels_.push_back(Level{path_.size()});
        const bool mail = IsMailFolder(item);
        path_ += item.displayName;
        path_ += '\\';

        MailFolderEntry entry;
        entry.path = path_;
        entry.folderNid = node.nid;
        entry.mail = mail;
        entry.containerClass = item.className;
        // Room for the folder's messages at once, counted from its child list (records the
        // loader made from the file): the list neither grows by doubling, with up to half
        // of it unused, nor holds two copies while it moves.
        if (mail) {
            size_t messages = 0;
            for (const NodeRecord* child = node.firstChild; child; child = child->nextSibling)
                messages += NidTypeOf(child->nid) == NidType::NormalMessage;
            entry.messages.reserve(messages);
        }
        filing_.AddFolder(std::move(entry), mail ? std::optional<uint64_t>(n_) : std::nullopt);
        SetCurrentContainerClass({});

        if (node.firstChild != nullptr) {
            descended_ = true;
            return node.firstChild;
        }
        CloseLevel();
        return &node;
    }

    void Item(const NodeRecord& node, ItemRecord& item) {
        const uint32_t folderNid = node.parent ? node.parent->nid : 0;
        const FilingResult filed = filing_.FileItem(item, node, folderNid, path_, std::nullopt);
        if (filed == FilingResult::Skipped) ++outcome_.skippedItems;
        if (filed == FilingResult::NoMailFolder) ++outcome_.unfiledMessages;
    }

    void CloseLevel() {
        path_.resize(levels_.back().pathLength);
        levels_.pop_back();
    }

    const NodeRecord* Advance(const NodeRecord* node) {
        while (!descended_ && node->nextSibling == nullptr && node->parent != nullptr) {
            const Level popped = levels_.back();
            levels_.pop_back();
            if (levels_.empty()) break;  // that was the bottom entry
            path_.resize(popped.pathLength);
            node = node->parent;
        }
        if (descended_) {
            descended_ = false;
            return node;
        }
        if (levels_.empty()) return nullptr;
        return node->nextSibling;
    }

    PstContext& context_;
    ItemContext& items_;
    WalkEnvironment& env_;
    ItemFiling filing_{env_};
    WalkOutcome outcome_;
    std::string path_;
    std::vector<Level> levels_;
    bool descended_ = false;
    uint64_t n_ = 0;
    int64_t progress_ = 0;
    std::optional<LoadAhead> ahead_;
};

}  // namespace

std::string CurrentContainerClass() {
    std::lock_guard lock(containerClassMutex);
    return currentContainerClass;
}

namespace {

uint32_t TopFolderNid(const StoreRecord& store) {
    const ByteReader entryId(store.ipmSubtreeEntryId);
    return entryId.U32(kEntryIdNidOffset).value_or(kDefaultTopFolderNid);
}

}  // namespace

const NodeRecord* FindTopFolder(const PstContext& context, const ItemRecord& store) {
    if (!store.store) return nullptr;
    const uint32_t nid = TopFolderNid(*store.store);
    if (const NodeRecord* top = FindNode(context, nid)) return top;
    // Damage can leave the top folder out of the tree (its parent entry looping back
    // through one of its own subfolders); the store still names it, and the folders
    // below it still hang from it.
    return context.nodes.FindAny(nid);
}

const NodeRecord* StandInTopFolder(PstContext& context, const ItemRecord& store) {
    if (!store.store) return nullptr;
    const uint32_t nid = TopFolderNid(*store.store);
    if (context.nodes.FindAny(nid) != nullptr) return nullptr;
    std::vector<NodeRecord*> waiting;
    for (const NodeRecord& record : context.nodes.records()) {
        // Records are never const in the tree; records() only hands them out that way.
        if (record.nidParent == nid && record.parent == nullptr && !record.topLevel)
            waiting.push_back(const_cast<NodeRecord*>(&record));
    }
    if (waiting.empty()) return nullptr;
    NodeRecord* top = context.nodes.Create(nid);
    context.nodes.AppendTop(top);
    for (NodeRecord* record : waiting) context.nodes.AppendChild(top, record);
    return top;
}

uint64_t CountWalkRecords(const PstContext& context, const NodeRecord* top) {
    if (top == nullptr) return 0;
    uint64_t count = 0;
    const uint64_t bound = context.nodes.CreatedCount();
    std::vector<const NodeRecord*> pending;
    for (const NodeRecord* child = top->firstChild; child && count < bound;
         child = child->nextSibling) {
        pending.push_back(child);
        ++count;
    }
    // Siblings are pushed in order and popped last first: only the count matters here.
    while (!pending.empty()) {
        const NodeRecord* node = pending.back();
        pending.pop_back();
        if (node->dataBlock == nullptr) continue;
        for (const NodeRecord* child = node->firstChild; child && count < bound;
             child = child->nextSibling) {
            pending.push_back(child);
            ++count;
        }
    }
    return count;
}

bool IsFolderItem(const ItemRecord& item, uint32_t nid) {
    return item.folder != nullptr || NidTypeOf(nid) == NidType::NormalFolder;
}

WalkOutcome WalkFolderTree(ItemContext& context, const NodeRecord* top, WalkEnvironment& env) {
    FolderWalker walker(context, env);
    return walker.Run(top);
}

}  // namespace kestrel
