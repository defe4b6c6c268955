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
    clang-format
    # the TLS peers of the end-to-end tests: Python's ssl and a throw-away certificate
    python3
    openssl
    haproxy  # the tests' PROXY protocol peer
)

# `deps.sh screenshots` adds what rendering the windows under a virtual X server needs;
# `deps.sh bench` adds the forwarders that `make bench` compares Tarnwick with;
# `deps.sh fuzz` adds clang and its libFuzzer runtime for `make fuzz`.
profile=${1:-}
# Their packages start a system daemon on install; the tests and the bench run their own.
services=(haproxy)
case $profile in
    screenshots) packages+=(xvfb xauth fonts-dejavu-core) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    bench)
        packages+=(socat rinetd)
        services+=(rinetd)
        ;;
esac

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

# Keeps the installed packages from starting their daemons. Debian's maintainer scripts
# ask /usr/sbin/policy-rc.d before starting a service; 101 means "not allowed". An
# existing policy is left as it is; one created here is removed again on exit.
POLICY=/usr/sbin/policy-rc.d
own_policy=0
remove_policy() {
    if ((own_policy)); then
        "${sudo[@]}" rm -f "$POLICY"
    fi
}
trap remove_policy EXIT
if ((${#services[@]} > 0)) && [[ ! -e $POLICY ]]; then
    printf '#!/bin/sh\n# Written by deps.sh for one install; it removes it again.\nexit 101\n' |
        "${sudo[@]}" tee "$POLICY" >/dev/null
    own_policy=1
    "${sudo[@]}" chmod 755 "$POLICY"
fi

# Services the install may start anyway (an existing policy that allows it): those not
# running before are stopped afterwards, by name.
service_running() {
    command -v service >/dev/null 2>&1 && "${sudo[@]}" service "$1" status >/dev/null 2>&1
}
stopped_before=()
for service in "${services[@]}"; do
    service_running "$service" || stopped_before+=("$service")
done

echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

for service in "${stopped_before[@]}"; do
    if service_running "$service"; then
        echo "deps.sh: stopping the $service service that the install started"
        "${sudo[@]}" service "$service" stop || echo "deps.sh: could not stop $service" >&2
    fi
done
