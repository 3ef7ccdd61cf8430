#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz/ (or $MORVEX_FUZZ_BUILD_DIR)
# and runs each for the given number of seconds (default 60), as many at a
# time as there are cores, on a copy of its seed corpus (new inputs stay in
# build-fuzz/corpus/) plus its regression inputs.
# Usage: scripts/fuzz.sh [seconds] [target...]
# Prints each target's runs and final coverage line, then "fuzz: N passed,
# N failed"; a crash or a failed invariant leaves its input in
# build-fuzz/findings/<target>/ and makes the script fail.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MORVEX_FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(json_fuzz http_request_fuzz conf_options_fuzz log_config_fuzz)

"$root/scripts/install-deps.sh"
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DMORVEX_FUZZ=ON -DMORVEX_BUILD_TESTS=OFF -DMORVEX_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

run_one() {  # target
  local target="$1" corpus="$build/corpus/$1" findings="$build/findings/$1"
  mkdir -p "$corpus" "$findings" "$build/tmp"
  # New inputs go to the build's copy; the tree's seed corpus stays hand-picked.
  cp -n "$root/fuzz/corpus/$target"/* "$corpus"/ 2>/dev/null || true
  local dict=()
  [ -f "$root/fuzz/$target.dict" ] && dict=(-dict="$root/fuzz/$target.dict")
  # Scratch files of a target that aborted stay in the build dir, not in /tmp.
  TMPDIR="$build/tmp" ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/$target" "${dict[@]}" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$root/fuzz/regressions/$target" \
      >"$build/$target.log" 2>&1
}

# As many targets at a time as there are cores.
pids=()
for target in "${targets[@]}"; do
  run_one "$target" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$(nproc)" ]; then wait "${pids[0]}" || true; pids=("${pids[@]:1}"); fi
done
wait || true

passed=0
failed=0
for target in "${targets[@]}"; do
  log="$build/$target.log"
  if grep -aq '^Done [0-9]* runs' "$log"; then
    passed=$((passed + 1))
    final=$(grep -aE '^#[0-9]+' "$log" | tail -n 1)
    echo "$target: ok; $final"
  else
    failed=$((failed + 1))
    echo "$target: FAILED; input kept in $build/findings/$target/ ; log: $log"
    grep -aE 'ERROR|invariant|SUMMARY|Test unit written' "$log" | head -n 10 || tail -n 20 "$log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
