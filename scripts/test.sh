#!/usr/bin/env bash
# Installs what the build needs (Debian 12, as root), builds everything in build/ and runs
# every test. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
velmar_install_deps

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_WERROR=ON >/dev/null
cmake --build build -j2
cd build
ctest --output-on-failure -j2 --timeout 600
