#!/usr/bin/env bash
# Configures and builds one flavour of the tree, all of it or the targets named.
#   scripts/build.sh [release|asan] [TARGET...]
#   (default: release, into build/; asan into build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
case "$flavour" in
    release) dir=build; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)    dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE=ON -DKESTREL_GUI=OFF) ;;
    *) echo "usage: $0 [release|asan] [TARGET...]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
targets=("${@:2}")
cmake --build "$dir" -j "$(nproc)" ${targets[@]+--target "${targets[@]}"}
