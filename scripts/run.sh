#!/usr/bin/env bash
# Quick start, first command: installs what the build needs, builds the command-line
# program and the sample PST (not the test suites: scripts/test.sh builds those), and
# recovers the sample, printing what was found.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release kestrel-cli kestrel-sample
./build/cli/kestrel-cli analyze build/samples/sample.pst
