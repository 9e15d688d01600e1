// The whole path on a file image: open, load both B-trees and the name map, find the top
// folder, walk every folder, restore orphans, then read every listed item again in full
// (recipients, attachments, attached messages, RTF) through the run's item source; once as
// a plain run decides, once with the deep scan of the whole image.
#include <cstddef>
#include <cstdint>
#include <span>

#include "robustness/memory_file.h"
#include "support/quiet_analysis.h"

using namespace kestrel;

namespace {

template <typename List, typename Visit>
void ForEachItem(const List& list, Visit visit) {
    for (const auto& entry : list) visit(entry.nid, entry.dataBid);
}

}  // namespace

namespace {

void AnalyseAndRead(const test::MemoryFile& file, DeepScanMode deepScan) {
    AnalysisResult result;
    std::shared_ptr<ItemSource> source;
    const AnalysisStatus status =
        test::AnalyseQuietly(file.path(), result, true, &source, deepScan);
    if (status == AnalysisStatus::Stopped) __builtin_trap();
    if (status == AnalysisStatus::Error && result.error.empty()) __builtin_trap();
    if (!source) return;

    auto load = [&](uint32_t nid, uint64_t dataBid) {
        try {
            source->Load(nid, dataBid);
        } catch (const FileError&) {
            // The memory file cannot change or vanish: any file error here is a fault.
            __builtin_trap();
        }
    };
    for (const MailFolderEntry& folder : result.folders.entries()) {
        load(folder.folderNid, 0);
        ForEachItem(folder.messages, load);
    }
    ForEachItem(result.contacts, load);
    ForEachItem(result.tasks, load);
    ForEachItem(result.notes, load);
    ForEachItem(result.journal, load);
    ForEachItem(result.calendar, load);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    test::MemoryFile file(std::span<const uint8_t>(data, size), "kestrel-fuzz");
    AnalyseAndRead(file, DeepScanMode::Automatic);
    AnalyseAndRead(file, DeepScanMode::Always);
    return 0;
}
