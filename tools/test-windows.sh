#!/usr/bin/env bash
# The Windows x86-64 build: cross-built with mingw-w64, then the module checks, the unit suite, the
# fuzz corpus replays and the end-to-end suite under Wine (headless, every Wine call bounded by a
# time-out). The end-to-end suite serves the Windows host from the Linux build's simulator and
# compares the Windows documents with the Linux build's, so the release build is made as well.
# Last, the installer: built, then installed, upgraded over an earlier release and uninstalled in
# a Wine prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-deps.sh build test windows

build="$PWD/build/windows"
echo "== windows: configure and build"
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset release >/dev/null
cmake --build --preset release --target kestrel-probe kestrel-host roomalert-sim

export KESTREL_WINEPREFIX="$build/wineprefix"
export WINEPREFIX="$KESTREL_WINEPREFIX" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
logs="$build/wine-logs"
mkdir -p "$logs"

echo "== windows: Wine prefix"
tools/wine-run.sh --prepare
# One Wine server for the whole run (started with its streams on a file, so that nothing waits on
# a pipe it holds), stopped at the end and gone two minutes after its last client in any case.
stop_wine() { timeout -k 5 30 wineserver -k </dev/null >>"$logs/wineserver.log" 2>&1 || true; }
trap stop_wine EXIT
timeout -k 5 30 wineserver -p120 </dev/null >"$logs/wineserver.log" 2>&1

echo "== windows: register the network component"
component="Z:$(echo "$build/mvnetwork.dll" | tr / '\\')"
tools/wine-run.sh regsvr32 /s "$component" >"$logs/regsvr32.log" 2>&1 || {
  cat "$logs/regsvr32.log" >&2
  echo "test-windows: regsvr32 could not register $component" >&2
  exit 1
}

echo "== windows: test"
ctest --preset windows -j2

echo "== windows: end to end"
KESTREL_BINARY_DIR="$PWD/build/release" KESTREL_WINDOWS_DIR="$build" \
  KESTREL_FIXTURES_DIR="$PWD/tests/fixtures" \
  KESTREL_HOST_CMD="$PWD/tools/wine-run.sh $build/kestrel-host.exe" \
  timeout -k 10 1200 python3 tests/e2e/test_windows.py </dev/null

echo "== windows: installer"
rm -f "$build"/kestrel-probe-*-win64.exe
cmake --build --preset windows --target package
# An earlier release to upgrade from: this tree built under an older number.
older="$PWD/build/windows-older"
rm -f "$older"/kestrel-probe-*-win64.exe
cmake --preset windows -B "$older" -DKESTREL_BUILD_TESTS=OFF -DKESTREL_RELEASE_VERSION=0.0.1 \
  -DCMAKE_PROJECT_kestrel-probe_INCLUDE="$PWD/tests/packaging/as-release.cmake" >/dev/null
cmake --build "$older" --target package

echo "== windows: install, upgrade, uninstall"
KESTREL_BINARY_DIR="$PWD/build/release" KESTREL_WINDOWS_DIR="$build" KESTREL_OLDER_DIR="$older" \
  KESTREL_FIXTURES_DIR="$PWD/tests/fixtures" KESTREL_INSTALLER_PREFIX="$build/installer-prefix" \
  timeout -k 10 1500 python3 tests/e2e/test_windows_installer.py </dev/null
