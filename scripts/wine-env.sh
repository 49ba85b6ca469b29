# Sourced: the Wine environment of one build tree. Expects QUILLA_BUILD_DIR (defaults to ./build).
: "${QUILLA_BUILD_DIR:=$(pwd)/build}"
export WINEPREFIX="${WINEPREFIX_OVERRIDE:-$QUILLA_BUILD_DIR/wineprefix}"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Chinese texts need a CJK font: the dialog asks for "宋体" (SimSun), and the title bar's font
# must fall back to one for the Chinese titles.
quilla_wine_fonts() {
    local face="WenQuanYi Zen Hei Sharp" key
    for name in "宋体" SimSun "MS Song"; do
        wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$name" /t REG_SZ /d "$face" /f >/dev/null 2>&1 || true
    done
    key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
    for name in Tahoma "Microsoft Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI"; do
        wine reg add "$key" /v "$name" /t REG_MULTI_SZ /d "wqy-zenhei.ttc,$face" /f >/dev/null 2>&1 || true
    done
    # The title bar's buttons are glyphs of the symbol font Marlett (Debian's fonts-wine); without
    # it they show as letters ("r" for the close box). Wine looks for it in the prefix's Fonts folder.
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -f /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null ||
        echo "warning: /usr/share/wine/fonts/marlett.ttf missing (fonts-wine): title bar buttons will show as letters" >&2
}

# Creates the prefix once; later calls return at once. Serialised so parallel tests cannot race.
quilla_wine_prefix() {
    [ -f "$WINEPREFIX/.quilla-ready" ] && [ -f "$WINEPREFIX/.quilla-fonts-2" ] &&
        [ -f "$WINEPREFIX/.quilla-crash-1" ] && return 0
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.quilla-ready" ]; then
            wineboot -i >/dev/null 2>&1 || true
            # Without a window manager Wine waits ~2 s whenever a top-level window is hidden.
            wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true
            # A crashing test exe must end at once, not wait on Wine's crash dialog until ctest's time-out.
            wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
            wineserver -w
            touch "$WINEPREFIX/.quilla-ready"
        fi
        # A crash must fail its test: after Wine's own debugger the crashed exe exits with 0. Without
        # one it exits with the exception's code (5 for an access violation).
        if [ ! -f "$WINEPREFIX/.quilla-crash-1" ]; then
            wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d "" /f >/dev/null 2>&1 || true
            wineserver -w
            touch "$WINEPREFIX/.quilla-crash-1"
        fi
        if [ ! -f "$WINEPREFIX/.quilla-fonts-2" ]; then
            quilla_wine_fonts
            wineserver -w
            touch "$WINEPREFIX/.quilla-fonts-2"
        fi
    ) 9>"$WINEPREFIX.lock"
}
