#!/usr/bin/env bash
# The whole test suite: formatting, then build and test in release, under ASan+UBSan and under
# ThreadSanitizer (the concurrent parts), fuzzing, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-deps.sh build test

echo "== clang-format"
git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

for preset in release asan; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: test"
  ctest --preset "$preset" -j2
done

# The exporter's threads (parallel probes, one device probed twice at once, reloads during probes)
# under ThreadSanitizer.
echo "== tsan: configure, build and test"
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target kestrel-unit-tests kestrel-exporter kestrel-probe roomalert-sim
ctest --preset tsan

# The Windows module, cross-built and tested under Wine.
tools/test-windows.sh
