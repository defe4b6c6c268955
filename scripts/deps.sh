#!/usr/bin/env bash
# Installs the Debian packages that building and testing Tarnwick needs, only those
# that are missing. Runs `apt-get update` at most once per call.
set -euo pipefail

packages=(
    g++
    cmake
    make
    pkg-config
    libgtest-dev
    libgmock-dev
    qt6-base-dev
    qt6-svg-dev
)

# `deps.sh screenshots` adds what rendering the windows under a virtual X server needs.
if [[ ${1:-} == screenshots ]]; then
    packages+=(xvfb xauth fonts-dejavu-core)
fi

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    if [[ "$status" != "install ok installed" ]]; then
        missing+=("$pkg")
    fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
else
    echo "deps.sh: missing packages (${missing[*]}) and neither root nor sudo" >&2
    exit 1
fi

echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
