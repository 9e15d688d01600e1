#pragma once
// The analysis driver: opens the file, loads its indexes and named-property map, finds the
// top folder through the message store and walks the folders below it, reporting through
// an observer. AnalysisEngine runs it on a worker thread that can be paused, resumed and
// stopped at its test points.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>

#include "engine/analysis_observer.h"
#include "engine/item_source.h"
#include "engine/result_lists.h"
#include "engine/run_control.h"

namespace kestrel {

// The messages of a failed run, exactly as shown.
inline constexpr std::string_view kMsgFileInUse = "Cannot read File, PST File allready in Use  ";
inline constexpr std::string_view kMsgCannotReadInfo = "Cannot Read PST File Information";
inline constexpr std::string_view kMsgCannotAnalyse = "Cannot Analysis File";
inline constexpr std::string_view kMsgNoPersonalFolder = "Cannot Search Personal Folder";
// The Stop button's question (asked by the front end before Stop).
inline constexpr std::string_view kStopQuestion = "Do you want to stop this search ?";
// The activity log's step line of an analysis.
inline constexpr std::string_view kLogAnalysisStep = "Step2: Analysis PST File";

// installFolder, one "/" and page.
std::filesystem::path StatusPagePath(const std::filesystem::path& installFolder,
                                     std::string_view page);

// path with its ASCII letters upper-cased: how the chosen file is shown and logged. Never
// used to open the file (on Linux it would name another one).
std::string ShownPstPath(std::string_view path);

// When the file's pages and blocks are scanned to complete damaged indexes.
enum class DeepScanMode {
    Automatic,  // when the B-trees are plainly damaged
    Always,
    Never,
};

// The warning of a run whose B-trees could not be read and were rebuilt by the scan.
inline constexpr std::string_view kWarnIndexesRebuilt =
    "the B-trees could not be read; the indexes were rebuilt by scanning the file";

struct AnalysisOptions {
    std::string sourcePstPath;    // the file chosen on the first screen, as given
    std::string chosenPstPath;    // the file picked in the search list: used when the first
                                  // is empty or names nothing that exists
    bool restoreDeleted = false;  // file orphan messages under "Recovered Items"
    bool writeLog = true;         // the activity log's lines of the run
    DeepScanMode deepScan = DeepScanMode::Automatic;
    // Nodes the folder walk may load ahead on a second thread (0: the walk's thread loads
    // every node itself). Used only when the machine has more than one core.
    size_t loadAhead = 16;
    // The lists give each message's body length, whether it has HTML or RTF, and its
    // attachments. A run whose items are all read again in full (the command line's export)
    // leaves bodies and attachment tables unread.
    bool listDetails = true;
};

// Runs one analysis on the calling thread: every step in order, the failure messages, the
// completion steps after a walk that was not stopped. result is emptied first and changed
// only under resultMutex. On return *source (when given) holds the item source of the run
// (null when the file could not be opened). Never throws.
AnalysisStatus RunAnalysis(const AnalysisOptions& options, AnalysisResult& result,
                           std::shared_mutex& resultMutex, AnalysisObserver& observer,
                           RunControl& control, std::shared_ptr<ItemSource>* source = nullptr);

// One analysis at a time on a worker thread of its own. Start, Stop and Wait belong to
// one controlling thread and must not be called from an observer callback (the worker
// would wait for itself); Pause and Resume may be called from anywhere.
class AnalysisEngine {
  public:
    explicit AnalysisEngine(AnalysisObserver* observer = nullptr);
    // Stops and joins a running worker.
    ~AnalysisEngine();
    AnalysisEngine(const AnalysisEngine&) = delete;
    AnalysisEngine& operator=(const AnalysisEngine&) = delete;

    // Stops and joins the running worker, if any, empties the results and starts a new
    // worker (AnalysisWorker) on options.
    void Start(AnalysisOptions options);
    // Cooperative: the worker waits at its next test point until Resume.
    void Pause();
    void Resume();
    // Asks the worker to end without waiting for it; safe from any thread, a signal
    // watcher's included.
    void RequestStop() { control_.RequestStop(); }
    // Asks the worker to end and waits for it; the results built so far stay. The worker
    // shows "Abort.html" and hides the Save button and progress bar on its way out.
    void Stop();
    // Waits for the worker to end.
    void Wait();
    bool Running() const;
    bool Paused() const { return control_.Paused(); }
    // The last run's status (Error before any run).
    AnalysisStatus status() const;

    // Reads the results under a shared lock: consistent while the worker still appends.
    void ReadResult(const std::function<void(const AnalysisResult&)>& reader) const;
    // A copy of the results.
    AnalysisResult Snapshot() const;
    // The item source of the last run; null while it runs or when the file did not open.
    std::shared_ptr<ItemSource> itemSource() const;

  private:
    void AnalysisWorker(AnalysisOptions options);

    AnalysisObserver defaultObserver_;
    AnalysisObserver* observer_;
    RunControl control_;
    mutable std::shared_mutex resultMutex_;
    AnalysisResult result_;
    mutable std::mutex stateMutex_;  // guards source_ and status_
    std::shared_ptr<ItemSource> source_;
    AnalysisStatus status_ = AnalysisStatus::Error;
    std::atomic<bool> running_{false};
    std::jthread worker_;
};

}  // namespace kestrel
