#pragma once
// The save action: writes what an analysis found under a destination folder, one folder
// tree per store (DIR/Personal Folders/Inbox/...), messages as EML files or one mbox per
// mail folder, and "Recovery Report.txt". Items are read one at a time through the item
// source, so memory stays flat. The saving status screen follows it through the
// process-wide saving values.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/item_source.h"
#include "engine/result_lists.h"
#include "engine/run_control.h"

namespace kestrel {

inline constexpr std::string_view kReportFileName = "Recovery Report.txt";

enum class ExportFormat { Eml, Mbox, Pst };

struct ExportOptions {
    std::string destination;  // created with its parents when missing
    ExportFormat format = ExportFormat::Eml;
    std::vector<uint32_t> folderNids;  // the folders to save; empty: all
    bool overwrite = false;            // replace files that exist; else they stay
    bool recordReport = false;         // store the report's path as "RPTFile" (the desktop)
    uint8_t cryptMethod = 1;           // Pst: 0 none, 1 permutation
};

enum class ExportOutcome { Running, Completed, Stopped, Failed };
std::string_view OutcomeName(ExportOutcome outcome);

// What the status screen polls while a save runs; read and written whole, under a lock.
struct SavingValues {
    std::string SavingFolderName;     // the folder being saved, as shown
    std::string SavingMailCountText;  // "12 of 250"
    uint64_t SavingDone = 0;          // messages saved (or found unreadable) so far
    uint64_t SavingTotal = 0;         // messages to save; 0 before the total is known
    ExportOutcome outcome = ExportOutcome::Running;
    std::string failure;  // the reason, when outcome is Failed
};
SavingValues ReadSavingValues();
// Changes the saving values under their lock (for the writers of each format).
void PublishSaving(const std::function<void(SavingValues&)>& change);

struct ExportedFolder {
    std::string path;    // as the analysis names it ("Personal Folders\Inbox\")
    std::string output;  // the folder or mbox file written, relative to the destination
    uint64_t written = 0;
    uint64_t unreadable = 0;
};

struct UnreadableItem {
    uint32_t nid = 0;
    std::string folder;
    std::string reason;
};

struct ExportSummary {
    ExportOutcome outcome = ExportOutcome::Running;
    std::string failure;  // why, when Failed
    std::string source;
    std::string destination;
    ExportFormat format = ExportFormat::Eml;
    std::string reportPath;  // empty when the report could not be written
    uint64_t messagesTotal = 0;
    uint64_t messagesWritten = 0;
    uint64_t otherItemsWritten = 0;  // contacts, appointments, tasks, notes, journal entries
    std::vector<ExportedFolder> folders;
    std::vector<UnreadableItem> unreadable;
    std::vector<std::string> existing;  // files left as they were (no overwrite)
    std::vector<std::string> problems;  // parts of items left out, with why
};

// Saves result's folders from source. Pause and Stop come through control (a stop leaves no
// half file); an unwritable destination, a full disk or a source that changed is a failure
// with its reason. Unreadable items are listed, not failures. Never throws.
ExportSummary RunExport(const AnalysisResult& result, ItemSource& source, ExportOptions options,
                        RunControl& control);

// The report's text.
std::string ReportText(const ExportSummary& summary);

}  // namespace kestrel
