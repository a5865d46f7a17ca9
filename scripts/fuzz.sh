#!/usr/bin/env bash
# Builds one libFuzzer target with ASan + UBSan in build-fuzz/ and runs it for a bounded time.
#
#   scripts/fuzz.sh <target> <seconds> [extra libFuzzer options...]
#   scripts/fuzz.sh <target> minimise [max_files]
#
# <target> is the program name (json_reader_fuzz) or the same without "_fuzz". Seeds come from
# tests/fuzz/corpus/<target>/ (without "_fuzz"), or else tests/fuzz/corpus/<module>/; they are
# only read. New inputs go to build-fuzz/corpus/<target>/, crashes to build-fuzz/artifacts/.
# Exits non-zero when the fuzzer finds a failure.
#
# "minimise" rewrites the committed seeds tests/fuzz/corpus/<target>/ from the seeds and
# everything a campaign found: seeds written by hand (files not named by a hash) stay, a
# set-cover merge picks the inputs that together reach all features, and when that is still
# more than max_files (default 100) files, the ones that add the most features are kept.
# Inputs over 4 KB are left out.
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

if [ "$seconds" = minimise ]; then
  max_files=${1:-100}
  merged=build-fuzz/merge/$target
  rm -rf "$merged" && mkdir -p "$merged/set"
  # shellcheck disable=SC2086
  build-fuzz/bin/"$target" -set_cover_merge=1 -timeout=10 -rss_limit_mb=2048 \
    -merge_control_file="$merged/control" "$merged/set" "$work" $seeds 2>"$merged/log" ||
    { tail -n 20 "$merged/log" >&2; exit 1; }
  out=tests/fuzz/corpus/$name
  mkdir -p "$out"
  python3 - "$merged/control" "$merged/set" "$out" "$max_files" <<'PY'
import hashlib, os, re, shutil, sys
control, merged, out, limit = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
lines = open(control).read().splitlines()
count = int(lines[0])
paths = lines[2:2 + count]
# Per input all its features (a set-cover merge records them in full).
features = {}
for line in lines[2 + count:]:
    parts = line.split()
    if parts and parts[0] == "FT":
        features[paths[int(parts[1])]] = set(parts[2:])
hashed = re.compile(r"[0-9a-f]{40}")
# Seeds written by hand (named, not hashed) stay; the features they reach count first.
reached = set()
for name in os.listdir(out):
    path = os.path.join(out, name)
    if hashed.fullmatch(name):
        os.remove(path)
    else:
        reached |= features.get(path, set())
named = len(os.listdir(out))
# The candidates: what the set-cover merge kept (it names files by the hash of their content).
candidates = {}
for path, ft in features.items():
    name = os.path.basename(path)
    if hashed.fullmatch(name) is None:
        name = hashlib.sha1(open(path, "rb").read()).hexdigest()
    copy = os.path.join(merged, name)
    if name in candidates or not os.path.exists(copy) or os.path.getsize(copy) > 4096:
        continue
    candidates[name] = ft
# Greedy: the input that reaches the most edges not yet reached, then the most new features,
# the smaller one on a tie. libFuzzer numbers the features of an edge's hit counter
# edge * 8 + bucket, so feature // 8 stands for the edge (other kinds of feature only blur it).
edges = {int(f) // 8 for f in reached}
def gain(ft):
    new = ft - reached
    return (len({int(f) // 8 for f in new} - edges), len(new))
chosen = 0
while candidates and chosen < limit - named:
    name, ft = max(candidates.items(), key=lambda kv: (
        gain(kv[1]), -os.path.getsize(os.path.join(merged, kv[0]))))
    if not ft - reached:
        break
    reached |= ft
    edges |= {int(f) // 8 for f in ft}
    shutil.copyfile(os.path.join(merged, name), os.path.join(out, name))
    del candidates[name]
    chosen += 1
total = set().union(*features.values()) if features else set()
print(f"{named} named seeds and {chosen} of {len(os.listdir(merged))} merged inputs kept; "
      f"they reach {len(reached)} of {len(total)} features")
PY
  exit 0
fi
# shellcheck disable=SC2086
exec build-fuzz/bin/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$work" $seeds
