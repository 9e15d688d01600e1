#pragma once
// Rebuilds the folder hierarchy from the node tree and sorts every item it reads into the
// result lists: a depth-first walk below the top folder that keeps a path beginning
// "Personal Folders\", descends only into folders, and files each mail message in the
// mail folder of its parent.
#include <array>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/analysis_observer.h"
#include "engine/node_set.h"
#include "engine/result_lists.h"
#include "engine/run_control.h"
#include "items/item_assembler.h"
#include "items/item_context.h"
#include "items/item_record.h"
#include "storage/node_tree.h"
#include "storage/pst_context.h"

namespace kestrel {

// The container class of the folder being added to the tree right now; empty otherwise.
std::string CurrentContainerClass();

// The top of the folder hierarchy: the node the store's IPM subtree entry id names (its
// NID at bytes 20..23), else NID 0x2142; a record of that NID left out of the tree by
// damage when the tree has none. Null when store has no store record, or no node of
// that NID was read. An entry id too short to hold the NID counts as absent.
const NodeRecord* FindTopFolder(const PstContext& context, const ItemRecord& store);

// When damage lost the top folder's own node entry but the folders below it still name it
// as their parent: an empty stand-in record with its NID, placed at the top level, that
// takes those folders, so that the walk still finds them. Null when a record of that NID
// exists or nothing waits for one.
const NodeRecord* StandInTopFolder(PstContext& context, const ItemRecord& store);

// The progress bar's node count: the records below top as the walk could meet them,
// going down into every record with a data block (top not counted). Bounded by the
// number of records in the tree.
uint64_t CountWalkRecords(const PstContext& context, const NodeRecord* top);

// True for an item the walk treats as a folder: one with a folder record, or one loaded
// from a normal-folder node (NID type 2), which real files hold without the folder
// counters and sometimes with nothing but a display name.
bool IsFolderItem(const ItemRecord& item, uint32_t nid);

// What the walk needs from its driver.
struct WalkEnvironment {
    AnalysisResult* result = nullptr;          // appended to; must not be null
    std::shared_mutex* resultMutex = nullptr;  // taken for every change of result; may be null
    AnalysisObserver* observer = nullptr;      // may be null
    // The run's pause and stop; may be null (never stopped).
    RunControl* control = nullptr;
    AssembleOptions options;  // the walk passes no RTF file: nothing written per message
    // Every node the walk loaded; may be null.
    NodeSet* reached = nullptr;
    // How many of the nodes that follow the current one a second thread may load ahead
    // (0: every node is loaded on the walk's own thread). What the walk files, reports and
    // keeps on a stop is the same either way.
    size_t loadAhead = 0;
};

enum class WalkEnd {
    Completed,  // records or level stack exhausted
    Stopped,    // the test point said stop
    Failed,     // an internal error ended the walk early (error says which)
};

// What a node the walk met lost: it was not read, or read only in part.
enum class NodeLoss {
    DataBlockMissing,     // its data block is not in the block index
    DataUnreadable,       // its data block gave no properties
    SubnodesLost,         // its subnode list could not be read
    AttachmentTableLost,  // its attachment table's block is gone or failed
    AttachmentDataGone,   // an attachment's properties or data are gone
};
inline constexpr size_t kNodeLossKinds = 5;

// The nodes of one kind of loss: how many, and the NIDs of the first few.
struct LostNodes {
    static constexpr size_t kNidsKept = 10;
    uint64_t count = 0;
    std::vector<uint32_t> nids;
};

struct WalkOutcome {
    WalkEnd end = WalkEnd::Completed;
    uint64_t visited = 0;                        // the node counter n
    std::string error;                           // for Failed
    uint32_t skippedItems = 0;                   // items dropped by an error while listing them
    uint32_t failedLoads = 0;                    // nodes whose load raised an error
    uint32_t unfiledMessages = 0;                // mail met while no mail folder was registered
    std::array<LostNodes, kNodeLossKinds> lost;  // by NodeLoss
};

// Walks below top (the set-up, visit loop, folder, item and advance steps): the first
// folder entry is top itself at "Personal Folders\" when top's NID is not 0. Never
// throws; never loops on a damaged tree (each record is visited at most once).
WalkOutcome WalkFolderTree(ItemContext& context, const NodeRecord* top, WalkEnvironment& env);

}  // namespace kestrel
