#!/usr/bin/env bash
# Installs what is missing on a fresh Debian machine. Idempotent; changes no service of the host.
#   setup.sh              everything the build and the tests need
#   setup.sh --build-only what building the reporter and the library needs (the release build)
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

BUILD_PKGS=(
    cmake ninja-build git
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
)
TEST_PKGS=(
    wine wine32:i386
    xvfb xauth x11-apps imagemagick
    locales fonts-wqy-zenhei fonts-wine
    python3
    openssl squid  # the proxy tests run squid instances of their own; the host's service is left alone
    ccache  # the package test's two builds of the library, run after run
)
PKGS=("${BUILD_PKGS[@]}")
[ "${1:-}" = "--build-only" ] || PKGS+=("${TEST_PKGS[@]}")

missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
[ "${1:-}" = "--build-only" ] && exit 0

# Code page 936 runs need the zh_CN.UTF-8 glibc locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf8$'; then
    $SUDO sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen
fi
