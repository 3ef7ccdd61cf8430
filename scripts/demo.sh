#!/usr/bin/env bash
# The main job: builds when needed, prepares a demo home under the build tree
# and runs the proxy on it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${MORVEX_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh"
bin="$build/src/morvex-tlsd"
echo "== self-test"
"$bin" --test; echo
