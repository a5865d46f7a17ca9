#!/usr/bin/env bash
# Builds the reply memory benchmark in build-bench (Release) and prints its table: the peak
# resident growth of one server call with a reply just under the default size limit, of three
# such calls at once, and of a reference that only receives the reply's bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_GUI=OFF &&
       cmake --build build-bench -j2 --target reply_memory_bench; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
build-bench/bin/reply_memory_bench
