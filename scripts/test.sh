#!/usr/bin/env bash
# Installs what the build needs (Debian 12, as root), builds everything and runs every test:
#   1. the release build in build/ with every test;
#   2. an ASan+UBSan build in build-asan/ with every test but the window's;
#   3. a TSan build in build-tsan/ with the tests that run threads against each other.
# Exits non-zero on any failure. VELMAR_SANITIZERS=0 skips stages 2 and 3 (quick local runs).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
velmar_install_deps
export VELMAR_REQUIRE_DE_LOCALE=1  # the German regional test runs, not skips

stage() { printf '\n=== %s (%s)\n' "$1" "$(date +%T)"; }

# Three builds from scratch take most of a run's time on a small machine. Where ccache is
# installed and its cache writable, the builds go through it; paths are taken relative to the
# checkout so that another clone of the same sources hits the same entries.
launcher=()
if command -v ccache >/dev/null && cache_dir=$(ccache -k cache_dir 2>/dev/null) &&
  mkdir -p "$cache_dir" 2>/dev/null && [ -w "$cache_dir" ]; then
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  echo "Compiling through ccache ($cache_dir)."
fi

stage "Release build and every test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build build -j2
(cd build && ctest --output-on-failure -j2 --timeout 600)

if [ "${VELMAR_SANITIZERS:-1}" = "0" ]; then
  exit 0
fi

sanitized_build() {  # <dir> <sanitizer> <targets...>
  local dir=$1 sanitizer=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMAR_WERROR=ON "${launcher[@]}" \
    -DVELMAR_SANITIZE="$sanitizer" -DVELMAR_BUILD_GUI=OFF -DVELMAR_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j2 --target "$@"
}

stage "ASan+UBSan build and every test"
sanitized_build build-asan address all
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j2 --timeout 900 -E 'NOT_BUILT')

stage "TSan build and the concurrency tests"
concurrent=(telnet_integration_tests access_integration_tests api_integration_tests shell_integration_tests sim_integration_tests
  app_integration_tests ssh_integration_tests)
sanitized_build build-tsan thread "${concurrent[@]}" velmar-sim velmar_headless velmar-passwd
# The fault fixtures fork a host for the simulator while the service's idle-connection closer
# already runs; the child only starts fresh threads of its own, which TSan refuses by default.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$PWD/tests/tsan.supp"
pattern="^($(IFS='|'; echo "${concurrent[*]}"))\\."
(cd build-tsan && ctest --output-on-failure -j2 --timeout 900 -R "$pattern")
stage "done"
