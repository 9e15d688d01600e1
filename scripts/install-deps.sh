#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tools need.
# Runs as root (CI and the developers' machines); skips apt when everything is there.
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config git python3
    libgtest-dev libgmock-dev libbenchmark-dev
    libcli11-dev nlohmann-json3-dev libfmt-dev zlib1g-dev libdeflate-dev libmimalloc-dev libgmime-3.0-dev
    python3-icalendar python3-vobject
    dosfstools gdisk
    clang-14 libclang-rt-14-dev libfuzzer-14-dev
    qt6-base-dev qt6-webengine-dev qt6-svg-dev xvfb xauth
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
