// A whole analysis (open, indexes, named map, folder walk) of a built mailbox file.
#include <benchmark/benchmark.h>

#include <shared_mutex>

#include "bench_fixtures.h"
#include "engine/analysis.h"

namespace kestrel::bench {
namespace {

void BM_RunAnalysis(benchmark::State& state) {
    const Mailbox& box = TypicalMailbox(PstVariant::Unicode, static_cast<size_t>(state.range(0)));
    const auto path = ImageFile(box.image, "bench-analysis.pst");
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
BENCHMARK(BM_RunAnalysis)->ArgName("messages")->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrel::bench
