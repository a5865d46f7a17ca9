# Shared by scripts/bench_load.sh and scripts/soak.sh (sourced from the repository root):
# builds the programs in build-load and runs velmar-sim and velmar as separate processes on
# loopback ports chosen by the system. Sets LOAD_BIN, SIM_PID, SIM_PORT, VELMAR_PID,
# TELNET_PORT; both processes are stopped when the calling script exits.

LOAD_BUILD=build-load
LOAD_BIN=$LOAD_BUILD/bin
LOAD_TMP=$(mktemp -d)
SIM_PID=
VELMAR_PID=

load_stop_servers() {
  # Only the two processes started here, by their ids.
  if [[ -n "$VELMAR_PID" ]]; then kill -TERM "$VELMAR_PID" 2>/dev/null || true; wait "$VELMAR_PID" 2>/dev/null || true; fi
  if [[ -n "$SIM_PID" ]]; then kill -TERM "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
  rm -rf "$LOAD_TMP"
}
trap load_stop_servers EXIT

load_build() {
  if ! { cmake -S . -B "$LOAD_BUILD" -DCMAKE_BUILD_TYPE=Release -DVELMAR_BUILD_GUI=OFF &&
         cmake --build "$LOAD_BUILD" -j2 --target velmar_headless velmar-passwd velmar-sim velmar-load; } \
       >"$LOAD_TMP/build.log" 2>&1; then
    cat "$LOAD_TMP/build.log" >&2
    exit 1
  fi
}

# Waits (bounded) until FILE holds a line matching PATTERN; prints the match.
load_wait_for() {
  local file=$1 pattern=$2 i
  for ((i = 0; i < 200; i++)); do
    if grep -m1 -o -E "$pattern" "$file" 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "timed out waiting for '$pattern' in $file:" >&2
  cat "$file" >&2
  exit 1
}

load_start_servers() {
  # Every session holds a socket in the driver and in velmar, and each busy session one more
  # in velmar and in the simulator.
  ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"
  # No live changes: every reply is checked against a single session's.
  "$LOAD_BIN/velmar-sim" --port 0 --bind 127.0.0.1 --threads 4096 --live-seconds 0 \
    >"$LOAD_TMP/sim.out" 2>"$LOAD_TMP/sim.err" &
  SIM_PID=$!
  local url
  url=$(load_wait_for "$LOAD_TMP/sim.out" 'http://127\.0\.0\.1:[0-9]+')
  SIM_PORT=${url##*:}
  # All sessions come from one address: the per-address limit is raised above their count.
  "$LOAD_BIN/velmar" --host 127.0.0.1 --port "$SIM_PORT" --telnet-port 0 --listen 127.0.0.1 \
    --max-connections 4096 --max-per-address 4096 \
    --shutdown-minutes 0 >"$LOAD_TMP/velmar.out" 2>"$LOAD_TMP/velmar.err" &
  VELMAR_PID=$!
  local listening
  listening=$(load_wait_for "$LOAD_TMP/velmar.err" 'Telnet listening on 127\.0\.0\.1:[0-9]+')
  TELNET_PORT=${listening##*:}
}

# The files for velmar-load's SSH table (it starts its own velmars with them): a users file with
# one user of level 10 (an Argon2id hash as velmar-passwd makes it) and that user's Ed25519 key
# in an authorized_keys folder. Sets USERS_FILE, AUTHORIZED_KEYS, SSH_KEY, LOGIN_USER and
# LOGIN_PASSWORD.
load_make_login_files() {
  LOGIN_USER=bench
  LOGIN_PASSWORD=bench-$RANDOM$RANDOM
  USERS_FILE=$LOAD_TMP/users
  AUTHORIZED_KEYS=$LOAD_TMP/authorized_keys
  SSH_KEY=$LOAD_TMP/id_ed25519
  printf '%s\n' "$LOGIN_PASSWORD" |
    "$LOAD_BIN/velmar-passwd" --stdin -c "$USERS_FILE" "$LOGIN_USER" --level 10 >/dev/null 2>&1
  ssh-keygen -q -t ed25519 -N '' -C velmar-load -f "$SSH_KEY"
  mkdir -m 0700 "$AUTHORIZED_KEYS"
  cp "$SSH_KEY.pub" "$AUTHORIZED_KEYS/$LOGIN_USER"
}

load_check_alive() {
  kill -0 "$VELMAR_PID" 2>/dev/null || { echo "velmar died:" >&2; cat "$LOAD_TMP/velmar.err" >&2; exit 1; }
  kill -0 "$SIM_PID" 2>/dev/null || { echo "velmar-sim died:" >&2; cat "$LOAD_TMP/sim.err" >&2; exit 1; }
}
