#!/usr/bin/env bash
# Builds the JSON benchmark in build-bench/ (Release) and prints one table: throughput of our
# reader and writer against nlohmann::json and RapidJSON on the same bytes, measured side by
# side in one run, with the ratios (ours / reference; above 1 means ours is faster). "Pieces"
# is our reader fed in pieces of 16 KiB, as the API client reads a reply while it arrives,
# against the same references reading the whole text.
#
#   scripts/bench_json.sh [extra Google Benchmark options...]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_GUI=OFF \
  -DVELMAR_BUILD_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
if ! log=$(cmake --build build-bench -j2 --target json_bench 2>&1); then
  echo "$log" >&2
  exit 1
fi

out=$(mktemp)
trap 'rm -f "$out"' EXIT
# The repetitions of all benchmarks are interleaved at random, so that a disturbance on a shared
# machine falls on ours and the references alike.
build-bench/bin/json_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_format=csv "$@" >"$out" 2>/dev/null

# Rows "ParseOurs/1_median",...,bytes_per_second,...: the median of the repetitions (or the
# single run when there is one repetition).
awk -F, '
  $1 ~ /^"(Parse|Write)[A-Za-z]+\/[0-9](_median)?"$/ {
    name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
    speed[name] = $6 / 1e6
  }
  END {
    label[0] = "IPS_GetObject reply"; label[1] = "IPS_GetObjectList 50,000 IDs"
    label[2] = "1 MB mixed"
    printf "%-6s %-29s %10s %10s %10s %14s %15s\n", "op", "input", "ours MB/s", "nlohmann",
           "RapidJSON", "ours/nlohmann", "ours/RapidJSON"
    split("Parse Pieces Write", operations, " ")
    for (o = 1; o <= 3; o++) {
      op = operations[o]; ref = op == "Pieces" ? "Parse" : op
      for (i = 0; i <= 2; i++) {
        ours = speed[op == "Pieces" ? "ParseOursPieces/" i : op "Ours/" i]
        nl = speed[ref "Nlohmann/" i]; rj = speed[ref "Rapid/" i]
        if (ours == "" || nl == "" || rj == "") continue
        printf "%-6s %-29s %10.1f %10.1f %10.1f %14.2f %15.2f\n", op, label[i], ours, nl, rj,
               ours / nl, ours / rj
      }
    }
  }' "$out"
