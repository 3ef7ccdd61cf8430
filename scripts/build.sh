#!/usr/bin/env bash
# Configures and builds into build/ (or $MORVEX_BUILD_DIR). Extra arguments go
# to cmake's configure step, e.g. -DMORVEX_SANITIZE=ON.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MORVEX_BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  # Where ccache is installed, rebuilds and other clones of the tree reuse
  # compiled objects: paths are taken relative to the tree.
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
