#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine. Idempotent.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

PKGS=(
    cmake ninja-build
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
    wine wine32:i386
    xvfb xauth x11-apps imagemagick
    locales fonts-wqy-zenhei fonts-wine
    googletest
    python3
    openssl squid
)

missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The proxy tests run a squid of their own; Debian's package may start its service on install.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet squid 2>/dev/null; then
    $SUDO systemctl disable --now squid >/dev/null 2>&1 || true
elif [ -x /etc/init.d/squid ] && /etc/init.d/squid status >/dev/null 2>&1; then
    $SUDO /etc/init.d/squid stop >/dev/null 2>&1 || true
fi

# Code page 936 runs need the zh_CN.UTF-8 glibc locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf8$'; then
    $SUDO sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen
fi
