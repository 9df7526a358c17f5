#!/usr/bin/env bash
# Runs one Windows program under Wine, headless and bounded: ctest's emulator for the Windows build
# and the runner of tools/test-windows.sh. Usage: tools/wine-run.sh PROGRAM.exe [ARGS...]
# The Wine prefix is $KESTREL_WINEPREFIX, else "wineprefix" in the build folder that holds PROGRAM;
# it is created on first use. KESTREL_WINE_TIMEOUT bounds the run (seconds, default 600).
set -uo pipefail

program="$1"
if [ -z "${KESTREL_WINEPREFIX:-}" ]; then
  [ "$program" = "--prepare" ] && { echo "wine-run: --prepare needs KESTREL_WINEPREFIX" >&2; exit 2; }
  dir="$(cd "$(dirname "$program")" && pwd)"
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir="$(dirname "$dir")"; done
  [ -f "$dir/CMakeCache.txt" ] || { echo "wine-run: no build folder above $program" >&2; exit 2; }
  KESTREL_WINEPREFIX="$dir/wineprefix"
fi
export WINEPREFIX="$KESTREL_WINEPREFIX"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The ANSI code page is Windows-1252 on both targets; Wine derives it from the locale, and the
# neutral locale gives 1252 on every machine.
export LC_ALL=C.UTF-8 LANG=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

# Wine's helper processes inherit the standard streams: they go to files, never to a pipe that
# the caller waits on.
scratch="$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      timeout -k 10 300 wineboot -i </dev/null >"$scratch/boot.log" 2>&1
      timeout -k 10 120 wineserver -w </dev/null >>"$scratch/boot.log" 2>&1
    fi
  ) 9>"$WINEPREFIX.lock"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run: could not create the Wine prefix $WINEPREFIX" >&2
    cat "$scratch/boot.log" >&2
    exit 2
  fi
fi

# --prepare: only make sure that the prefix exists.
[ "$program" = "--prepare" ] && exit 0

timeout -k 10 "${KESTREL_WINE_TIMEOUT:-600}" wine "$@" </dev/null >"$scratch/out" 2>"$scratch/err"
status=$?
cat "$scratch/out"
# Debian's launcher notes that the 32-bit loader is absent; everything here is 64-bit.
grep -v -e 'wine32 is missing' -e 'multiarch needs to be enabled' -e 'dpkg --add-architecture' \
  -e 'apt-get install wine32' "$scratch/err" >&2
[ $status -eq 124 ] && echo "wine-run: $program timed out" >&2
exit $status
