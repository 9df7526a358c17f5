#!/usr/bin/env bash
# The test suite in stages, each of which also runs alone:
#   format   clang-format 14 (Debian 12's) over every C++ file
#   release  build and test in release
#   asan     build and test under ASan+UBSan
#   tsan     the concurrent parts under ThreadSanitizer
#   fuzz     every libFuzzer target for FUZZ_SECONDS (default 60) from a copy of its corpus
#   windows  the Windows build under Wine (tools/test-windows.sh)
# A failed stage does not stop the others; it prints its name and the command that reruns it, and
# the run ends with each stage's time and result (exit status 1 when any failed).
set -uo pipefail
cd "$(dirname "$0")/.."

readonly all_stages=(format release asan tsan fuzz windows)

# clang-format's layout changes between major versions: the files are laid out by Debian 12's,
# version 14, and any other would find fault with correct files (or pass wrong ones).
readonly clang_format_major=14

usage() {
  echo "usage: tools/test.sh [STAGE...]   (all stages when none is given)"
  echo "stages: ${all_stages[*]}"
  echo "FUZZ_SECONDS=N sets how long each fuzz target runs (default 60)."
  echo "CLANG_FORMAT=PATH names the clang-format $clang_format_major to use (default clang-format or" \
    "clang-format-$clang_format_major)."
}

stages=()
for arg in "$@"; do
  case "$arg" in
    -h | --help)
      usage
      exit 0
      ;;
    format | release | asan | tsan | fuzz | windows) stages+=("$arg") ;;
    *)
      echo "test.sh: unknown stage '$arg'" >&2
      usage >&2
      exit 2
      ;;
  esac
done
if [ ${#stages[@]} -eq 0 ]; then stages=("${all_stages[@]}"); fi

fuzz_seconds=${FUZZ_SECONDS:-60}
if ! [[ "$fuzz_seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "test.sh: FUZZ_SECONDS must be a whole number of seconds above 0, not '$fuzz_seconds'" >&2
  exit 2
fi

tools/setup-deps.sh build test || exit 1

# The clang-format of that major version: $CLANG_FORMAT when set, else clang-format itself when it
# is one, else clang-format-14 (Debian installs both names). Prints nothing when there is none.
find_clang_format() {
  local tool version candidates=(clang-format "clang-format-$clang_format_major")
  if [ -n "${CLANG_FORMAT:-}" ]; then candidates=("$CLANG_FORMAT"); fi
  for tool in "${candidates[@]}"; do
    command -v "$tool" >/dev/null 2>&1 || continue
    version=$("$tool" --version 2>/dev/null | sed -n 's/.*clang-format version \([0-9][0-9]*\)\..*/\1/p')
    if [ "$version" = "$clang_format_major" ]; then
      echo "$tool"
      return
    fi
  done
}

stage_format() {
  local tool
  tool=$(find_clang_format)
  if [ -z "$tool" ]; then
    local found
    found=$("${CLANG_FORMAT:-clang-format}" --version 2>/dev/null | head -n 1)
    echo "test.sh: format needs clang-format $clang_format_major (Debian 12's package" \
      "clang-format); found: ${found:-no clang-format}. Another major version lays the files" \
      "out differently: install clang-format-$clang_format_major." >&2
    return 1
  fi
  if ! git ls-files '*.cpp' '*.h' | xargs -r "$tool" --dry-run --Werror; then
    echo "test.sh: format: files above are not laid out as clang-format $clang_format_major" \
      "would; fix them all with:" >&2
    echo "  git ls-files '*.cpp' '*.h' | xargs $tool -i" >&2
    return 1
  fi
}

build_and_test() {
  local preset=$1
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: test"
  ctest --preset "$preset" -j2
}

stage_release() { build_and_test release; }
stage_asan() { build_and_test asan; }

# The exporter's threads (parallel probes, one device probed twice at once, reloads during probes)
# under ThreadSanitizer.
stage_tsan() {
  echo "== tsan: configure, build and test"
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan --target kestrel-unit-tests kestrel-exporter kestrel-probe roomalert-sim
  ctest --preset tsan
}

# Fuzzing under ASan+UBSan from a copy of each target's seed corpus, so new inputs never land in
# the repository; a crash fails the stage and leaves the input that did it in build/fuzz/artifacts.
stage_fuzz() {
  echo "== fuzz: configure and build"
  cmake --preset fuzz >/dev/null
  local fuzz_targets
  mapfile -t fuzz_targets < <(ninja -C build/fuzz -t targets all |
                              sed -n 's/^\(fuzz-[A-Za-z0-9_]*\): .*/\1/p' | sort -u)
  cmake --build --preset fuzz --target "${fuzz_targets[@]}"
  fuzz_work=$(mktemp -d)
  trap 'rm -rf "$fuzz_work"' EXIT
  mkdir -p build/fuzz/artifacts
  local target name
  for target in build/fuzz/fuzz-*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name=${target##*/fuzz-}
    echo "== fuzz: $name, $fuzz_seconds s"
    mkdir -p "$fuzz_work/$name"
    if [ -d "tests/fuzz/corpus/$name" ]; then cp -R "tests/fuzz/corpus/$name/." "$fuzz_work/$name/"; fi
    if ! "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/$name-" "$fuzz_work/$name" >"$fuzz_work/$name.log" 2>&1; then
      tail -n 60 "$fuzz_work/$name.log"
      echo "fuzz: $name failed; the input that did it:" >&2
      ls build/fuzz/artifacts/"$name"-* >&2 || true
      exit 1
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb):' \
      "$fuzz_work/$name.log" || true
  done
}

# The Windows module, cross-built and tested under Wine.
stage_windows() { tools/test-windows.sh; }

# How to run one stage again by itself.
rerun_command() {
  if [ "$1" = fuzz ] && [ -n "${FUZZ_SECONDS:-}" ]; then
    echo "FUZZ_SECONDS=$fuzz_seconds tools/test.sh fuzz"
  else
    echo "tools/test.sh $1"
  fi
}

summary=()
failed=()
for stage in "${stages[@]}"; do
  echo "==== $stage"
  start=$SECONDS
  # A subshell of its own, so that the stage stops at its first failing command and its traps and
  # working folders go with it, while the stages after it still run.
  (
    set -e
    "stage_$stage"
  )
  status=$?
  seconds=$((SECONDS - start))
  if [ "$status" -eq 0 ]; then
    summary+=("$(printf '%-8s %7d  ok' "$stage" "$seconds")")
  else
    summary+=("$(printf '%-8s %7d  FAILED' "$stage" "$seconds")")
    failed+=("$stage")
    echo "test.sh: stage '$stage' FAILED (exit status $status); rerun it with: $(rerun_command "$stage")" >&2
  fi
done

echo
echo "==== summary"
printf '%-8s %7s  %s\n' stage seconds result
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  for stage in "${failed[@]}"; do
    echo "test.sh: FAILED: $stage; rerun: $(rerun_command "$stage")" >&2
  done
  exit 1
fi
