#!/usr/bin/env bash
# Builds the API benchmark in build-bench (Release) and prints one table: 10,000 IPS_GetObject
# calls against the simulated server on loopback, through the API client and through a minimal
# blocking-socket reference client, with wall and client CPU time per request and the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp)
log=$(mktemp)
trap 'rm -f "$out" "$log"' EXIT
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_GUI=OFF &&
       cmake --build build-bench -j2 --target api_bench; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
build-bench/bin/api_bench --benchmark_format=json --benchmark_out="$out" \
  --benchmark_out_format=json >/dev/null
python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
def best(name):
    rows = [r for r in runs if r["name"].startswith(name)]
    return min(r["real_time"] for r in rows), min(r["cpu_time"] for r in rows), rows[0]["iterations"]
ours, ref = best("BM_VelmarGetObject"), best("BM_ReferenceGetObject")
print("IPS_GetObject over loopback, one connection per request (best of 3 rounds)")
print(f"{'client':<22}{'requests':>10}{'wall us/req':>14}{'client CPU us/req':>20}")
for label, (wall, cpu, n) in (("reference socket", ref), ("velmar api (curl)", ours)):
    print(f"{label:<22}{n:>10}{wall:>14.1f}{cpu:>20.1f}")
print(f"{'ratio ours/reference':<32}{ours[0] / ref[0]:>14.2f}{ours[1] / ref[1]:>20.2f}")
PY
