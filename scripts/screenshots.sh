#!/usr/bin/env bash
# Saves screenshots of the control window before and after Connect (against the simulated
# demo server) to build/screenshots/, using Qt's offscreen platform: no display needed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
velmar_install_deps

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_WERROR=ON -DVELMAR_BUILD_GUI=ON >/dev/null
cmake --build build -j2 --target velmar-gui-screenshots
QT_QPA_PLATFORM=offscreen build/bin/velmar-gui-screenshots build/screenshots
