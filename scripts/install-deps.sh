#!/usr/bin/env bash
# Installs the Debian packages needed to build and test Tarvos, only those that are missing.
# Usage: scripts/install-deps.sh [extra package ...]
# Runs apt-get as root (directly, or through sudo when run by another user).
set -euo pipefail

packages=(
    cmake ninja-build g++ make pkg-config git ccache
    libgtest-dev libgmock-dev
    libexpat1-dev zlib1g-dev libssl-dev uuid-dev
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg -s "$p" >/dev/null 2>&1 || ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    apt_get=(apt-get)
elif command -v sudo >/dev/null 2>&1; then
    apt_get=(sudo apt-get)
else
    echo "install-deps: need root to install: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${apt_get[@]}" update -q
"${apt_get[@]}" install -y -q --no-install-recommends "${missing[@]}"
