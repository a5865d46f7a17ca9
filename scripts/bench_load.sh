#!/usr/bin/env bash
# End-to-end load benchmark. Builds velmar, velmar-sim and the load driver in build-load
# (Release), starts velmar-sim (demo home) and velmar as separate processes on loopback, and
# prints one table: N = 1, 50, 200, 1000 concurrent Telnet sessions running the mix
# (cd "Energie Tageswerte", ls, show, cd ..), every reply checked against a single session's,
# with commands per second, latency, CPU per command and resident memory per idle connection;
# then the time of one `ls` against the same HTTP requests sent by a minimal client; then `cd`,
# `ls` and `show` over a latency proxy (round trips of 0, 1 and 5 ms) against that minimal client
# over the same proxy; then SSH against Telnet on velmars with a users file (started by the
# driver, a fresh one for each measurement): resident memory per idle session at its prompt
# (200 of each) and the time from connect to prompt (20 logins each: Telnet with name and
# password, SSH with an Ed25519 key and with the password), with libssh's client in the driver;
# then 1000 Telnet connections (ten from each of 100 loopback addresses) wait at their
# password prompt and send a wrong password at once: velmar's peak memory against what it holds
# with all of them waiting, where the password checks (64 MiB each) run one per core;
# then one `watch` round over the 121 variables of "Energie Tageswerte" against the same
# requests sent by a minimal client (4 in flight on kept connections, as velmar) at round trips
# of 0 and 1 ms, velmar's CPU per round, and 20 sessions watching every second at once (how well
# they keep the interval).
#
#   scripts/bench_load.sh [--sessions 1,50,200,1000] [--rounds 20,4,2,1] [--ls-repeats 15]
#                         [--round-trips 0,1,5|none] [--latency-repeats 3]
#                         [--ssh-sessions 200] [--logins 20] [--crowd 1000|0]
#                         [--watch-round-trips 0,1|none] [--watch-rounds 20]
#                         [--watch-sessions 20] [--watch-seconds 12]
#   scripts/bench_load.sh --mode ssh [--ssh-sessions 200] [--logins 20]   # the SSH table alone
#   scripts/bench_load.sh --mode crowd [--crowd 1000]                     # the logins at once
#   scripts/bench_load.sh --mode watch [--watch-...]                      # the watch rows alone
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/load/servers.sh

load_build
load_start_servers
load_make_login_files
echo "Velmar end-to-end load, loopback, $(nproc) cores (shared), $(date -u +%Y-%m-%d)"
echo "mix per round: cd \"Energie Tageswerte\" (121 variables), ls, show 37881, cd .."
echo
status=0
"$LOAD_BIN/velmar-load" --mode bench --telnet-port "$TELNET_PORT" --sim-port "$SIM_PORT" \
  --velmar-pid "$VELMAR_PID" --sim-pid "$SIM_PID" --velmar "$LOAD_BIN/velmar" \
  --users "$USERS_FILE" --ssh-authorized-keys "$AUTHORIZED_KEYS" --ssh-key "$SSH_KEY" \
  --login-user "$LOGIN_USER" --login-password "$LOGIN_PASSWORD" "$@" || status=$?
load_check_alive
exit "$status"
