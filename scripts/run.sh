#!/usr/bin/env bash
# Quick start, first command: installs what the build needs, builds, and recovers the
# sample PST that the build generates, printing what was found.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release
./build/cli/kestrel-cli analyze build/samples/sample.pst
