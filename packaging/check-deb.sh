#!/usr/bin/env bash
# Builds the Debian package from a configured and built build folder into a scratch folder
# and checks that it holds the programs, the man page and the systemd unit, and that the unit
# runs the headless service without the shutdown timer.
# Usage: packaging/check-deb.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log" >&2
  exit 1
}
deb=$(ls "$scratch"/*.deb)
listing=$(dpkg-deb -c "$deb")
status=0
for path in ./usr/bin/velmar ./usr/bin/velmar-sim ./usr/share/man/man1/velmar.1 \
            ./usr/lib/systemd/system/velmar.service $EXTRA_EXPECTED; do
  if ! grep -q " $path\$" <<<"$listing"; then
    echo "missing from $(basename "$deb"): $path" >&2
    status=1
  fi
done
dpkg-deb -x "$deb" "$scratch/root"
if ! grep -qx 'ExecStart=/usr/bin/velmar --shutdown-minutes 0 $VELMAR_OPTIONS' \
     "$scratch/root/usr/lib/systemd/system/velmar.service"; then
  echo "velmar.service does not start /usr/bin/velmar --shutdown-minutes 0" >&2
  status=1
fi
grep -qx 'Restart=on-failure' "$scratch/root/usr/lib/systemd/system/velmar.service" || {
  echo "velmar.service does not restart on failure" >&2
  status=1
}
[ $status -eq 0 ] && echo "$(basename "$deb"): programs, man page and unit present"
exit $status
