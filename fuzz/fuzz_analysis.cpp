// The whole path on a file image: open, load both B-trees and the name map, find the top
// folder, walk every folder, restore orphans, then read every listed item again in full
// (recipients, attachments, attached messages, RTF) through the run's item source.
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <span>

#include "engine/analysis.h"
#include "robustness/memory_file.h"

using namespace kestrel;

namespace {

template <typename List, typename Visit>
void ForEachNid(const List& list, Visit visit) {
    for (const auto& entry : list) visit(entry.nid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    test::MemoryFile file(std::span<const uint8_t>(data, size), "kestrel-fuzz");
    AnalysisOptions options;
    options.sourcePstPath = file.path();
    options.writeLog = false;
    options.restoreDeleted = true;
    AnalysisResult result;
    std::shared_mutex mutex;
    AnalysisObserver observer;
    RunControl control;
    std::shared_ptr<ItemSource> source;
    const AnalysisStatus status = RunAnalysis(options, result, mutex, observer, control, &source);
    if (status == AnalysisStatus::Stopped) __builtin_trap();
    if (status == AnalysisStatus::Error && result.error.empty()) __builtin_trap();
    if (!source) return 0;

    auto load = [&](uint32_t nid) {
        try {
            source->Load(nid);
        } catch (const FileError&) {
            // The memory file cannot change or vanish: any file error here is a fault.
            __builtin_trap();
        }
    };
    for (const MailFolderEntry& folder : result.folders.entries()) {
        load(folder.folderNid);
        ForEachNid(folder.messages, load);
    }
    ForEachNid(result.contacts, load);
    ForEachNid(result.tasks, load);
    ForEachNid(result.notes, load);
    ForEachNid(result.journal, load);
    ForEachNid(result.calendar, load);
    return 0;
}
