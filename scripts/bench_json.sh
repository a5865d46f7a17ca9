#!/usr/bin/env bash
# Builds the JSON benchmark in build-bench/ (Release) and prints one table: throughput of our
# reader and writer against nlohmann::json and RapidJSON on the same bytes, measured side by
# side in one run, with the ratios (ours / reference; above 1 means ours is faster).
#
#   scripts/bench_json.sh [extra Google Benchmark options...]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_GUI=OFF \
  -DVELMAR_BUILD_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j2 --target json_bench >/dev/null

out=$(mktemp)
trap 'rm -f "$out"' EXIT
build-bench/bin/json_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_format=json "$@" >"$out"

python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
speed = {}  # (operation, library, input) -> MB/s, median of the repetitions
for run in runs:
    if run.get("aggregate_name", "median") != "median":
        continue
    name, arg = run["run_name"].split("/")
    operation, library = ("Parse", name[5:]) if name.startswith("Parse") else ("Write", name[5:])
    speed[(operation, library, int(arg))] = run["bytes_per_second"] / 1e6
inputs = ["IPS_GetObject reply", "IPS_GetObjectList 50,000 IDs", "1 MB mixed"]
print(f"{'operation':<6} {'input':<29} {'ours MB/s':>10} {'nlohmann':>10} {'RapidJSON':>10}"
      f" {'ours/nlohmann':>14} {'ours/RapidJSON':>15}")
for operation in ("Parse", "Write"):
    for i, label in enumerate(inputs):
        ours = speed.get((operation, "Ours", i))
        nl = speed.get((operation, "Nlohmann", i))
        rj = speed.get((operation, "Rapid", i))
        if None in (ours, nl, rj):
            continue
        print(f"{operation:<6} {label:<29} {ours:>10.1f} {nl:>10.1f} {rj:>10.1f}"
              f" {ours / nl:>14.2f} {ours / rj:>15.2f}")
PY
