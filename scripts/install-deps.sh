#!/usr/bin/env bash
# Installs what building and running Snapvane needs on Debian 12; with --test also
# what the tests and benchmarks need (real peers on loopback, Xvfb, sanitizers).
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
pkgs=(
  build-essential cmake ninja-build ccache pkg-config
  qt6-base-dev libgl-dev libxcb1-dev libv4l-dev libjpeg62-turbo-dev libssl-dev
  fonts-dejavu-core
  libqt6svg6
)
if [ "${1:-}" = "--test" ]; then
  pkgs+=(
    libgtest-dev libgmock-dev
    # real peers on loopback
    python3 python3-pyftpdlib curl chromium apache2-utils nginx-light ustreamer
    vsftpd python3-openssl openssl
    xvfb xauth openbox x11-utils xdotool clang libclang-rt-14-dev
    # locale sources, from which the tests make an 8-bit locale with localedef
    locales
  )
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
