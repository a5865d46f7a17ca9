#!/usr/bin/env bash
# Builds the API benchmark in build-bench (Release) and prints one table: 10,000 IPS_GetObject
# calls against the simulated server on loopback, through the API client and through a minimal
# blocking-socket reference client, with wall and client CPU time per request and the ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_GUI=OFF &&
       cmake --build build-bench -j2 --target api_bench; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
# Console lines look like: BM_<name>/iterations:10000/real_time  123 us  45.6 us  10000
build-bench/bin/api_bench --benchmark_format=console --benchmark_color=false 2>/dev/null |
  awk '
    /^BM_/ {
      split($1, parts, "/"); name = parts[1]
      if (!(name in wall) || $2 < wall[name]) wall[name] = $2
      if (!(name in cpu) || $4 < cpu[name]) cpu[name] = $4
      count[name] = $6
    }
    END {
      ref = "BM_ReferenceGetObject"; ours = "BM_VelmarGetObject"
      if (!(ref in wall) || !(ours in wall)) { print "benchmark output incomplete" > "/dev/stderr"; exit 1 }
      print "IPS_GetObject over loopback, one connection per request (best of 3 rounds)"
      printf "%-22s%10s%14s%20s\n", "client", "requests", "wall us/req", "client CPU us/req"
      printf "%-22s%10s%14.1f%20.1f\n", "reference socket", count[ref], wall[ref], cpu[ref]
      printf "%-22s%10s%14.1f%20.1f\n", "velmar api", count[ours], wall[ours], cpu[ours]
      printf "%-32s%14.2f%20.2f\n", "ratio ours/reference", wall[ours] / wall[ref], cpu[ours] / cpu[ref]
    }'
