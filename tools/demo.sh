#!/usr/bin/env bash
# The main job: build the module, the host, the exporter and the device simulator, then read the
# simulated Room Alert 3W once and show what the provider reports, run the same read as a
# monitoring check, and answer one Prometheus probe through kestrel-exporter. Extra arguments go
# to kestrel-host; with a host (--host HOST, --host=HOST, -H HOST, -HHOST) a real device is read
# once and no simulator is started. Ctrl-C stops the simulator and the demonstration (status 130).
# DEMO_BUILD=DIR runs the programs already built in DIR instead of building them.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-deps.sh build
if [ -n "${DEMO_BUILD:-}" ]; then
  bin=$DEMO_BUILD
else
  # A build folder of its own, without the test and benchmark programs, so the demonstration
  # needs only the build packages.
  bin=build/demo
  cmake -S . -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF \
    -DKESTREL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$bin" --target kestrel-probe kestrel-host kestrel-exporter roomalert-sim
fi

use_simulator=1
for arg in "$@"; do
  case "$arg" in
    --host | --host=* | -H*) use_simulator=0 ;;
  esac
done

sim_pid=""
exporter_pid=""
stop_simulator() {
  for pid in "$exporter_pid" "$sim_pid"; do
    if [ -n "$pid" ]; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  sim_pid=""
  exporter_pid=""
}
# Bash runs a trap once the program in the foreground has ended (kestrel-host ends its load on the
# same Ctrl-C); the demonstration then stops there rather than going on against a stopped simulator.
trap stop_simulator EXIT
trap 'stop_simulator; exit 130' INT
trap 'stop_simulator; exit 143' TERM

if [ "$use_simulator" = 1 ]; then
  sim_out=$(mktemp)
  work=$(mktemp -d)
  trap 'stop_simulator; rm -rf "$sim_out" "$work"' EXIT
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

if [ "$use_simulator" = 1 ]; then
  address=$(sed -n 's/.*listening on \([^ ]*\).*/\1/p' "$sim_out" | head -1)
  echo
  echo "== kestrel-host --check --host $address -w temperature=30 -c temperature=35 (a monitoring check)"
  check=0
  "$bin/kestrel-host" --check --host "$address" -w temperature=30 -c temperature=35 || check=$?
  echo "   exit status $check (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN)"

  # The exporter on a free loopback port, with one device: the simulator.
  printf 'listen: 127.0.0.1:0\ndevices:\n  - name: demo-room\n    host: "%s"\n' "$address" \
    >"$work/exporter.yml"
  "$bin/kestrel-exporter" --config "$work/exporter.yml" --state-dir "$work/state" \
    2>"$work/exporter.log" &
  exporter_pid=$!
  listen=""
  for _ in $(seq 50); do
    listen=$(sed -n 's/.*listening on \([^ ]*\).*/\1/p' "$work/exporter.log" | head -1)
    if [ -n "$listen" ] || ! kill -0 "$exporter_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if [ -z "$listen" ]; then
    cat "$work/exporter.log" >&2
    echo "demo: kestrel-exporter could not start" >&2
    exit 1
  fi
  echo
  echo "== kestrel-exporter on $listen: GET /probe?target=demo-room (what Prometheus scrapes)"
  # bash's own TCP client: the demonstration needs no HTTP client package.
  exec 3<>"/dev/tcp/${listen%:*}/${listen##*:}"
  printf 'GET /probe?target=demo-room HTTP/1.0\r\nHost: %s\r\n\r\n' "$listen" >&3
  sed '1,/^\r\{0,1\}$/d' <&3 | grep -v '^# '
  exec 3<&-
fi
exit "$status"
