#!/usr/bin/env bash
# Builds the Debian packages from a configured and built build folder into a scratch folder and
# checks them: velmar holds the programs, the man pages and the systemd unit (which runs the
# headless service without the shutdown timer) and needs no Qt; velmar-gui (when the window is
# built) holds the window and depends on velmar; lintian finds no error and no warning in
# either.
# Usage: packaging/check-deb.sh BUILD_DIR [with-gui]
set -euo pipefail
build=$(cd "$1" && pwd)
with_gui=${2:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log" >&2
  exit 1
}
status=0
fail() {
  echo "$*" >&2
  status=1
}

# expect_paths <deb> <path>...: each path is in the package.
expect_paths() {
  local deb=$1 listing path
  shift
  listing=$(dpkg-deb -c "$deb")
  for path in "$@"; do
    grep -q " $path\$" <<<"$listing" || fail "missing from $(basename "$deb"): $path"
  done
}

deb=$scratch/velmar_*.deb
deb=$(echo $deb)
[ -f "$deb" ] || { echo "no velmar package built: $(ls "$scratch")" >&2; exit 1; }
expect_paths "$deb" ./usr/bin/velmar ./usr/bin/velmar-sim ./usr/share/man/man1/velmar.1.gz \
  ./usr/share/man/man1/velmar-sim.1.gz ./usr/lib/systemd/system/velmar.service \
  ./usr/bin/velmar-passwd ./usr/share/man/man1/velmar-passwd.1.gz \
  ./usr/share/velmar/demo_home.json ./usr/share/doc/velmar/copyright \
  ./usr/share/doc/velmar/changelog.gz
if dpkg-deb -c "$deb" | grep -q 'velmar-gui'; then fail "velmar holds the window"; fi
if dpkg-deb -f "$deb" Depends | grep -qi 'qt'; then fail "velmar depends on Qt"; fi
dpkg-deb -x "$deb" "$scratch/root"
unit=$scratch/root/usr/lib/systemd/system/velmar.service
grep -qx 'ExecStart=/usr/bin/velmar --shutdown-minutes 0 $VELMAR_OPTIONS' "$unit" ||
  fail "velmar.service does not start /usr/bin/velmar --shutdown-minutes 0"
grep -qx 'Restart=on-failure' "$unit" || fail "velmar.service does not restart on failure"
grep -qx 'LimitNOFILE=65536' "$unit" || fail "velmar.service does not raise the open-file limit"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" ||
  fail "velmar.service does not reload on systemctl reload"
grep -qx 'StateDirectory=velmar' "$unit" ||
  fail "velmar.service has no state directory for the SSH host key"
dpkg-deb -f "$deb" Depends | grep -q 'libssh' || fail "velmar does not depend on libssh"
debs=("$deb")

if [ "$with_gui" = "with-gui" ]; then
  gui=$(echo "$scratch"/velmar-gui_*.deb)
  if [ -f "$gui" ]; then
    expect_paths "$gui" ./usr/bin/velmar-gui ./usr/share/man/man1/velmar-gui.1.gz \
      ./usr/share/doc/velmar-gui/copyright ./usr/share/doc/velmar-gui/changelog.gz
    dpkg-deb -f "$gui" Depends | grep -q 'velmar (= ' || fail "velmar-gui does not depend on velmar"
    debs+=("$gui")
  else
    fail "no velmar-gui package built"
  fi
fi

# lintian refuses nothing as root, but says so on every run unless told.
root_flag=()
[ "$(id -u)" -eq 0 ] && root_flag=(--allow-root)
lintian "${root_flag[@]}" --fail-on error,warning "${debs[@]}" || fail "lintian reports the above"

[ $status -eq 0 ] && echo "packages checked: $(cd "$scratch" && ls ./*.deb | tr '\n' ' ')"
exit $status
