#!/usr/bin/env bash
# Installs the Debian packages Ardentel builds and tests with; packages already present are skipped.
set -euo pipefail

packages=(
    build-essential cmake ninja-build ccache pkg-config
    qt6-base-dev qt6-qpa-plugins qt6-multimedia-dev qt6-httpserver-dev qt6-websockets-dev libgl-dev
    libssl-dev libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev libsystemd-dev
    clang libclang-rt-14-dev
    socat strace xvfb xauth fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
