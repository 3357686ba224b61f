#!/usr/bin/env bash
# Installs the Debian packages the project needs (when missing), then configures
# and builds everything into build/. Sourced by the other scripts.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

PACKAGES=(
    build-essential cmake ninja-build ccache
    qt6-base-dev libqt6sql6-sqlite qt6-httpserver-dev qt6-websockets-dev qt6-image-formats-plugins libgl-dev
    qt6-qpa-plugins xvfb xdotool imagemagick fonts-noto-cjk curl time openssl bc
)

missing=()
for package in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [[ $(id -u) -eq 0 ]] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# ZAMTU_WERROR=1 turns compiler warnings into errors (CI sets it). The option is
# passed either way, so that a build folder configured once with it does not keep it.
WARNINGS_AS_ERRORS=OFF
if [[ "${ZAMTU_WERROR:-0}" == 1 ]]; then
    WARNINGS_AS_ERRORS=ON
fi
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    -DZAMTU_WARNINGS_AS_ERRORS="$WARNINGS_AS_ERRORS" >/dev/null
cmake --build "$BUILD_DIR" --parallel "$(nproc)"
