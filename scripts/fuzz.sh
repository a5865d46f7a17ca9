#!/usr/bin/env bash
# Builds one libFuzzer target with ASan + UBSan in build-fuzz/ and runs it for a bounded time.
#
#   scripts/fuzz.sh <target> <seconds> [extra libFuzzer options...]
#
# <target> is the program name (json_reader_fuzz) or the same without "_fuzz". Seeds come from
# tests/fuzz/corpus/<target>/ (without "_fuzz"), or else tests/fuzz/corpus/<module>/; they are
# only read. New inputs go to build-fuzz/corpus/<target>/, crashes to build-fuzz/artifacts/.
# Exits non-zero when the fuzzer finds a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  echo "usage: $0 <target> <seconds> [libFuzzer options...]" >&2
  exit 64
fi
target=${1%_fuzz}_fuzz
seconds=$2
shift 2
name=${target%_fuzz}
module=${name%%_*}

seeds=""
for dir in "tests/fuzz/corpus/$name" "tests/fuzz/corpus/$module"; do
  if [ -d "$dir" ]; then
    seeds=$dir
    break
  fi
done

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMAR_BUILD_FUZZ=ON -DVELMAR_SANITIZE=address -DVELMAR_BUILD_GUI=OFF \
  -DVELMAR_BUILD_BENCH=OFF -DBUILD_TESTING=ON >/dev/null
cmake --build build-fuzz -j2 --target "$target"

work=build-fuzz/corpus/$target
artifacts=build-fuzz/artifacts/$target
mkdir -p "$work" "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# shellcheck disable=SC2086
exec build-fuzz/bin/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$work" $seeds
