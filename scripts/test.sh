#!/usr/bin/env bash
# Installs what is missing, builds, and runs the test suite (everything but
# the tests labelled "slow"; run those with: ctest --test-dir build -L slow).
#
# With --full, or when CI=true: first the same suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/, then each
# fuzz target for MORVEX_FUZZ_SECONDS (default 60) on its seed corpus
# (scripts/fuzz.sh), then the plain suite. The first part that fails ends the
# run, so the last line is always the summary of the part that decided it.
# Other arguments go to cmake's configure step.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MORVEX_BUILD_DIR:-$root/build}"
full=false
[ "${CI:-}" = true ] && full=true
args=()
for arg in "$@"; do
  if [ "$arg" = --full ]; then full=true; else args+=("$arg"); fi
done

run_suite() {  # build dir, configure arguments...
  local dir="$1"
  shift
  MORVEX_BUILD_DIR="$dir" "$root/scripts/build.sh" "$@"
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)" -LE slow --timeout 300)
}

if $full; then
  echo "== sanitizer suite (build-asan)"
  run_suite "$root/build-asan" -DMORVEX_SANITIZE=ON -DMORVEX_BUILD_BENCH=OFF "${args[@]}"
  echo "== fuzz targets, ${MORVEX_FUZZ_SECONDS:-60}s each"
  "$root/scripts/fuzz.sh" "${MORVEX_FUZZ_SECONDS:-60}"
  echo "== plain suite"
fi
run_suite "$build" "${args[@]}"
