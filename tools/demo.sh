#!/usr/bin/env bash
# The main job: build the module, the host and the device simulator, then read the simulated
# Room Alert 3W once and show what the provider reports. Extra arguments go to kestrel-host; with
# --host a real device is read and no simulator is started.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-deps.sh build
# A build folder of its own, without the test and benchmark programs, so the demonstration needs
# only the build packages.
bin=build/demo
cmake -S . -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF \
  -DKESTREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$bin" --target kestrel-probe kestrel-host roomalert-sim

use_simulator=1
for arg in "$@"; do
  if [ "$arg" = "--host" ]; then use_simulator=0; fi
done

sim_pid=""
stop_simulator() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}
trap stop_simulator EXIT INT TERM

if [ "$use_simulator" = 1 ]; then
  sim_out=$(mktemp)
  trap 'stop_simulator; rm -f "$sim_out"' EXIT
  "$bin/roomalert-sim" --live >"$sim_out" 2>/dev/null &
  sim_pid=$!
  for _ in $(seq 50); do
    if [ -s "$sim_out" ] || ! kill -0 "$sim_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if ! grep -q "listening on" "$sim_out"; then
    echo "demo: the device simulator could not start (is port 8380 in use?)" >&2
    exit 1
  fi
  echo "== device simulator: $(head -1 "$sim_out")"
fi

echo "== kestrel-host $*"
status=0
"$bin/kestrel-host" "$@" || status=$?
echo
out="$PWD/kestrel-out"
echo "== files (unless --config/--data/--trace named others):"
echo "   documents:     $out/device.xml (configuration), $out/device-data.xml (data)"
echo "   working files: $out/device.json, $out/device.raw.xml"
echo "   trace:         $out/trace.log"
exit "$status"
