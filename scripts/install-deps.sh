#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only
# those that are missing. Runs as root (or through sudo when available).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev openssl
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nginx curl wrk python3 procps psmisc
  python3-cryptography testssl.sh haproxy
  clang-14 libclang-rt-14-dev libfuzzer-14-dev
  ccache
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
# The origin used by the tests and the demo is started on demand; a packaged
# nginx must not keep port 80 busy on the machine.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now nginx >/dev/null 2>&1 || true; fi
$SUDO pkill -x nginx >/dev/null 2>&1 || true
# Likewise HAProxy, which bench/compare_proxies.sh starts with its own settings.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now haproxy >/dev/null 2>&1 || true; fi
