#!/usr/bin/env bash
# Soak run (not part of CI): builds in build-load (Release), starts velmar-sim (demo home) and
# velmar as separate processes on loopback, and keeps 50 Telnet sessions cycling the mix
# (cd "Energie Tageswerte", ls, show 37881, cd ..) for 10 minutes, every reply checked against a
# single session's. Prints velmar's resident memory, open descriptors and threads before the
# sessions open, after their first round, after every minute and after they close; both must
# stay flat.
#
#   scripts/soak.sh [--sessions 50] [--seconds 600]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/load/servers.sh

load_build
load_start_servers
echo "Velmar soak, loopback, $(nproc) cores (shared), $(date -u '+%Y-%m-%d %H:%M UTC')"
status=0
"$LOAD_BIN/velmar-load" --mode soak --telnet-port "$TELNET_PORT" --sim-port "$SIM_PORT" \
  --velmar-pid "$VELMAR_PID" --sim-pid "$SIM_PID" --sessions 50 --seconds 600 "$@" || status=$?
load_check_alive
exit "$status"
