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
                                     DeepScanMode deepScan = DeepScanMode::Automatic) {
    AnalysisOptions options;
    options.deepScan = deepScan;
    options.sourcePstPath = path;
    options.writeLog = false;
    options.restoreDeleted = restoreDeleted;
    std::shared_mutex mutex;
    AnalysisObserver observer;
    RunControl control;
    return RunAnalysis(options, result, mutex, observer, control, source);
}

}  // namespace kestrel::test
