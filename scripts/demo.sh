#!/usr/bin/env bash
# Installs what the build needs (Debian 12, as root), builds Velmar in build/ and runs it
# against its built-in simulated IP-Symcon server with a demo home. Connect from another
# terminal with: telnet 127.0.0.1 2323   (Ctrl+C here stops it.)
# Extra arguments go to velmar, e.g. scripts/demo.sh --shutdown-minutes 0 (run until stopped)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
velmar_install_deps

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_WERROR=ON >/dev/null
cmake --build build -j2 --target velmar_headless
echo "In the shell, try: help, ls, cd Erdgeschoss, tree, watch \"Energie Tageswerte\" (Ctrl+C ends it), watch 45135 -i 0.5, ls 57574 -json" >&2
echo "In the shell, try history on the logged demo objects: history 54887 7d (the outside" \
  "temperature), or cd \"Energie Tageswerte\" and history \"Zählerstand Strom\" 30d." >&2
exec build/bin/velmar --demo "$@"
