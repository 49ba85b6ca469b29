# Sourced: the Wine environment of one build tree. Expects QUILLA_BUILD_DIR (defaults to ./build).
: "${QUILLA_BUILD_DIR:=$(pwd)/build}"
export WINEPREFIX="${WINEPREFIX_OVERRIDE:-$QUILLA_BUILD_DIR/wineprefix}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Creates the prefix once; later calls return at once. Serialised so parallel tests cannot race.
quilla_wine_prefix() {
    [ -f "$WINEPREFIX/.quilla-ready" ] && return 0
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        [ -f "$WINEPREFIX/.quilla-ready" ] && exit 0
        wineboot -i >/dev/null 2>&1 || true
        # Without a window manager Wine waits ~2 s whenever a top-level window is hidden.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true
        wineserver -w
        touch "$WINEPREFIX/.quilla-ready"
    ) 9>"$WINEPREFIX.lock"
}
