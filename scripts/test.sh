#!/usr/bin/env bash
# Installs what is missing, builds, and runs the test suite (everything but
# the tests labelled "slow"; run those with: ctest --test-dir build -L slow).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MORVEX_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh" "$@"
cd "$build"
ctest --output-on-failure -j "$(nproc)" -LE slow --timeout 300
