#pragma once
// How the engine tells a front end what the analysis is doing. The engine never touches
// a widget: the desktop screen forwards these calls as queued signals, the CLI prints.
// Every call comes from the worker thread; every method does nothing by default.
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

enum class AnalysisStatus {
    Completed,  // the walk ended (also when an internal error ended it early)
    Stopped,    // the user stopped the run: results so far kept, no completion steps
    Error,      // the file could not be opened or read far enough to walk
};

// "completed", "stopped" or "error".
constexpr std::string_view StatusName(AnalysisStatus status) {
    switch (status) {
        case AnalysisStatus::Completed:
            return "completed";
        case AnalysisStatus::Stopped:
            return "stopped";
        case AnalysisStatus::Error:
            break;
    }
    return "error";
}

// The summary panel's labels, as the screen shows them (blanks included).
inline constexpr std::string_view kCounterInbox = "Inbox";
inline constexpr std::string_view kCounterDrafts = "Drafts";
inline constexpr std::string_view kCounterOutbox = "Outbox";
inline constexpr std::string_view kCounterSentItems = "Sent Items";
inline constexpr std::string_view kCounterDeletedItems = "Deleted Items ";
inline constexpr std::string_view kCounterJunkEmails = "Junk E-mails";
inline constexpr std::string_view kCounterJournal = "Journal";
inline constexpr std::string_view kCounterTasks = "Tasks";
inline constexpr std::string_view kCounterContacts = "Contacts";
inline constexpr std::string_view kCounterNotes = "Notes";
inline constexpr std::string_view kCounterCalendar = "Calendar";
inline constexpr std::string_view kCounterTotalMail = "Total  Mail";

// The status pages of the data folder.
inline constexpr std::string_view kPageProgress = "progress.html";
inline constexpr std::string_view kPageCompleted = "completed.html";
inline constexpr std::string_view kPageAbort = "Abort.html";

class AnalysisObserver {
  public:
    virtual ~AnalysisObserver() = default;

    // A folder the walk met, mail or not, in walk order; path ends in "\". The top folder
    // ("Personal Folders\") is reported first.
    virtual void FolderAdded(const std::string& path, const std::string& containerClass,
                             uint32_t folderNid, bool mail) {
        (void)path, (void)containerClass, (void)folderNid, (void)mail;
    }
    // A summary counter changed; counter is one of the kCounter* labels.
    virtual void CounterChanged(std::string_view counter, uint64_t value) {
        (void)counter, (void)value;
    }
    // The progress bar's range; high may be below low (a walk of three nodes or fewer).
    virtual void ProgressRange(int64_t low, int64_t high) { (void)low, (void)high; }
    virtual void ProgressPosition(int64_t position) { (void)position; }
    // The deep scan's progress: bytes of the file scanned out of total.
    virtual void ScanProgress(uint64_t done, uint64_t total) { (void)done, (void)total; }
    // One of the kPage* names; StatusPagePath (analysis.h) gives the file.
    virtual void ShowPage(std::string_view page) { (void)page; }
    // A message box text, exactly as the user is to see it.
    virtual void ShowMessage(std::string_view text) { (void)text; }
    virtual void SaveEnabled(bool enabled) { (void)enabled; }
    // The Save button is hidden (shown again by a new run).
    virtual void SaveShown(bool shown) { (void)shown; }
    virtual void PauseStopEnabled(bool enabled) { (void)enabled; }
    virtual void ProgressBarHidden() {}
    // The run is over; the worker makes no further call for it.
    virtual void Finished(AnalysisStatus status) { (void)status; }
};

}  // namespace kestrel
