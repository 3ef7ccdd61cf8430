#!/usr/bin/env bash
# Configures and builds into build/ (or $MORVEX_BUILD_DIR). Extra arguments go
# to cmake's configure step, e.g. -DMORVEX_SANITIZE=ON.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MORVEX_BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
