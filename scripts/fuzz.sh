#!/usr/bin/env bash
# Builds the fuzz flavour (clang with libFuzzer, AddressSanitizer and UBSan) into
# build-fuzz, makes the seeds afresh from the corpus and the built mailboxes, and runs
# every fuzz target for SECONDS (default 30) on its seeds and on what earlier runs found.
# Exits non-zero when any target finds a crash, a sanitizer report, a leak or a hang;
# the input that did it is left in build-fuzz/artifacts/.
#   scripts/fuzz.sh [SECONDS]        (CI runs 30; 600 is the long run)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
dir=build-fuzz
targets=(analysis properties data_tree subnodes rtf partitions)
corpus=${KESTREL_CORPUS_DIR:-../shared/corpus}

CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTREL_FUZZ=ON -DKESTREL_GUI=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target kestrel-fuzz-seeds "${targets[@]/#/fuzz_}"

seed_args=("$dir/seeds")
if [ -d "$corpus" ]; then
    seed_args+=("$corpus")
else
    echo "no PST corpus at $corpus: seeds from the built mailboxes only"
fi
"$dir/fuzz/kestrel-fuzz-seeds" "${seed_args[@]}"

mkdir -p "$dir/artifacts" "$dir/logs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
for target in "${targets[@]}"; do
    work="$dir/corpus/$target"
    log="$dir/logs/$target.log"
    mkdir -p "$work"
    if "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -dict=fuzz/pst.dict -artifact_prefix="$dir/artifacts/$target-" -print_final_stats=1 \
        "$work" "$dir/seeds/$target" >"$log" 2>&1; then
        runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
        cov=$(grep -E '#[0-9]+[[:space:]]+DONE' "$log" | grep -oE 'cov: [0-9]+' | tail -1 || true)
        echo "fuzz_$target: ${seconds}s, ${runs:-?} runs, ${cov:-cov: ?}, no findings"
    else
        echo "fuzz_$target: FINDING (log $log)"
        grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5 || true
        failed=1
    fi
done
exit "$failed"
