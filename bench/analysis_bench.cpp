// A whole analysis (open, indexes, named map, folder walk) of a built mailbox file.
#include <benchmark/benchmark.h>

#include <shared_mutex>

#include "bench_fixtures.h"
#include "engine/analysis.h"

namespace kestrel::bench {
namespace {

// The whole analysis of one mailbox, written in the 512-byte-page Unicode layout or in the
// 4 KB-page layout with deflated blocks: the second costs the inflating on top of the same
// items. CPU time is the process's, the load-ahead thread included.
void BM_RunAnalysis(benchmark::State& state) {
    const bool fourK = state.range(1) != 0;
    const Mailbox& box = TypicalMailbox(fourK ? PstVariant::Unicode4k : PstVariant::Unicode,
                                        static_cast<size_t>(state.range(0)));
    const auto path = ImageFile(box.image, fourK ? "bench-analysis.ost" : "bench-analysis.pst");
    AnalysisOptions options;
    options.sourcePstPath = path.string();
    options.writeLog = false;
    AnalysisObserver observer;
    for (auto _ : state) {
        AnalysisResult result;
        std::shared_mutex mutex;
        RunControl control;
        if (RunAnalysis(options, result, mutex, observer, control) != AnalysisStatus::Completed) {
            state.SkipWithError("the analysis did not complete");
            return;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(box.image.size()));
}
BENCHMARK(BM_RunAnalysis)
    ->ArgNames({"messages", "fourK"})
    ->Args({2000, 0})
    ->Args({2000, 1})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrel::bench
