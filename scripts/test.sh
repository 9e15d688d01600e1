#!/usr/bin/env bash
# Quick start, second command: installs what the build needs, builds, and runs the
# whole test suite through ctest, the slow label aside (CI runs it). With --asan it builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the unit and corpus tests under them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
if [ "${1:-}" = "--asan" ]; then
    scripts/build.sh asan
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ctest --test-dir build-asan -L 'unit|corpus' --output-on-failure -j "$(nproc)"
else
    scripts/build.sh release
    ctest --test-dir build -LE slow --output-on-failure -j "$(nproc)"
fi
