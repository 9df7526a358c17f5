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

# Fuzzing: every libFuzzer target of the build runs for a minute (ASan+UBSan) from a copy of its
# seed corpus, so new inputs never land in the repository; a crash fails the script.
(
  echo "== fuzz: configure and build"
  cmake --preset fuzz >/dev/null
  mapfile -t fuzz_targets < <(ninja -C build/fuzz -t targets all |
                              sed -n 's/^\(fuzz-[A-Za-z0-9_]*\): .*/\1/p' | sort -u)
  cmake --build --preset fuzz --target "${fuzz_targets[@]}"
  fuzz_work=$(mktemp -d)
  trap 'rm -rf "$fuzz_work"' EXIT
  mkdir -p build/fuzz/artifacts
  for target in build/fuzz/fuzz-*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=${target##*/fuzz-}
    echo "== fuzz: $name, 60 s"
    mkdir -p "$fuzz_work/$name"
    if [ -d "tests/fuzz/corpus/$name" ]; then cp -R "tests/fuzz/corpus/$name/." "$fuzz_work/$name/"; fi
    if ! "$target" -max_total_time=60 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/$name-" "$fuzz_work/$name" >"$fuzz_work/$name.log" 2>&1; then
      tail -n 60 "$fuzz_work/$name.log"
      echo "fuzz: $name failed; the input that did it:" >&2
      ls build/fuzz/artifacts/"$name"-* >&2 || true
      exit 1
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb):' \
      "$fuzz_work/$name.log" || true
  done
)

# The Windows module, cross-built and tested under Wine.
tools/test-windows.sh
