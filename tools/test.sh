#!/usr/bin/env bash
# The whole test suite: formatting, then build and test in release and under ASan+UBSan.
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

# The Windows module, cross-built and tested under Wine.
tools/test-windows.sh
