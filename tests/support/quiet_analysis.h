#pragma once
// An analysis run to its end on the calling thread, as a batch run makes it: no activity
// log, an observer that shows nothing, nobody pausing or stopping it.
#include <memory>
#include <shared_mutex>
#include <string>

#include "engine/analysis.h"

namespace kestrel::test {

// source, when given, receives the run's item source (items read again in full).
inline AnalysisStatus AnalyseQuietly(const std::string& path, AnalysisResult& result,
                                     bool restoreDeleted = false,
                                     std::shared_ptr<ItemSource>* source = nullptr,
                                     DeepScanMode deepScan = DeepScanMode::Automatic,
                                     size_t loadAhead = AnalysisOptions{}.loadAhead) {
    AnalysisOptions options;
    options.loadAhead = loadAhead;
    options.deepScan = deepScan;
    options.sourcePstPath = path;
    options.writeLog = false;
    options.restoreDeleted = restoreDeleted;
    std::shared_mutex mutex;
    AnalysisObserver observer;
    RunControl control;
    return RunAnalysis(options, result, mutex, observer, control, source);
}

// Everything a run lists, in the order it was filed, as text: two runs that must agree
// compare equal.
inline std::string ResultText(const AnalysisResult& r) {
    std::string out;
    auto add = [&out](const auto&... parts) {
        ((out += parts, out += '|'), ...);
        out += '\n';
    };
    auto n = [](uint64_t value) { return std::to_string(value); };
    for (const std::string& warning : r.warnings) add("warning", warning);
    const SummaryCounters& c = r.counters;
    add("counters", n(c.inbox), n(c.drafts), n(c.outbox), n(c.sentItems), n(c.deletedItems),
        n(c.junkEmails), n(c.journal), n(c.tasks), n(c.contacts), n(c.notes), n(c.calendar),
        n(c.totalMail), n(r.hiddenItems), n(r.nodesVisited));
    for (const MailFolderEntry& f : r.folders.entries()) {
        add("folder", f.path, n(f.folderNid), n(f.mail), f.containerClass);
        for (const MessageSummary& m : f.messages) {
            add("message", n(m.nid), n(m.dataBid), m.className(), m.subject(), m.from(), m.to(), m.cc(),
                n(m.bodyLength), n(m.hasHtml), n(m.hasRtf), n(m.attachments().size()));
        }
    }
    for (const auto& e : r.contacts) add("contact", n(e.nid), n(e.dataBid), e.folderPath);
    for (const auto& e : r.tasks) add("task", n(e.nid), n(e.dataBid), e.subject);
    for (const auto& e : r.notes) add("note", n(e.nid), n(e.dataBid), e.subject);
    for (const auto& e : r.journal) add("journal", n(e.nid), n(e.dataBid), e.subject);
    for (const auto& e : r.calendar) add("calendar", n(e.nid), n(e.dataBid), e.subject);
    return out;
}

}  // namespace kestrel::test
