#!/bin/bash
# Starts or stops the Wine session that the end-to-end tests share:
#
#   wine_session.sh start WORK_DIR DRIVER_DLL
#   wine_session.sh stop WORK_DIR
#
# start makes, once, the Wine prefixes under WORK_DIR (prefix: the simulated graphics driver
# registered; prefix-nodriver: no driver, as on a PC without it; prefix-dpi144 and
# prefix-dpi192: the driver registered, the display at 144 and 192 DPI, Wine's LogPixels),
# the ja_JP.UTF-8 locale for the Japanese runs, and starts an Xvfb display; it registers the
# driver DLL on every start, so each prefix always names the DLL just built. stop ends the
# display and every prefix's wineserver.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_common.sh"

action=$1
session_paths "$2"
mkdir -p "$WORK"
export WINEDEBUG=-all

# The virtual desktop gives top-level windows their title bars and a known screen size
# (desktop_size in wine_common.sh).
DESKTOP_SIZE=$(desktop_size 96)

# Wine draws the title bar's buttons with the Marlett font (without it the close box reads
# "r"); Debian ships it in fonts-wine, outside any prefix: each prefix gets a copy.
MARLETT=/usr/share/wine/fonts/marlett.ttf
add_marlett() {
    local fonts=$1/drive_c/windows/Fonts
    [ -f "$fonts/marlett.ttf" ] || { mkdir -p "$fonts" && cp "$MARLETT" "$fonts/"; }
}

# A copy of the driver prefix (files shared, registry its own) with $1 = DPI: Wine's
# LogPixels, and a desktop grown to match.
make_dpi_prefix() {
    local dpi=$1 prefix
    prefix=$(dpi_prefix "$dpi")
    rm -rf "$prefix"
    cp -al "$PREFIX_DRIVER" "$prefix"
    for reg in "$prefix"/*.reg; do cp --remove-destination "$PREFIX_DRIVER/$(basename "$reg")" "$reg"; done
    rm -f "$prefix/.kdx-ready"
    cat >"$WORK/dpi$dpi.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Control Panel\\Desktop]
"LogPixels"=dword:$(printf '%08x' "$dpi")

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="$(desktop_size "$dpi")"
REG
    WINEPREFIX=$prefix "$WINE64" regedit /S "$(winpath "$WORK/dpi$dpi.reg")"
    WINEPREFIX=$prefix "$WINESERVER" -w
    touch "$prefix/.kdx-ready"
}

make_prefix() {
    rm -rf "$PREFIX_DRIVER" "$PREFIX_NODRIVER"
    # No Mono or Gecko: the updater needs neither, and wineboot would offer to download them.
    WINEPREFIX=$PREFIX_DRIVER WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE64" wineboot -i >"$WORK/wineboot.log" 2>&1
    WINEPREFIX=$PREFIX_DRIVER "$WINESERVER" -w
    cat >"$WORK/settings.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="$DESKTOP_SIZE"

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"MS UI Gothic"="IPAPGothic"
"MS PGothic"="IPAPGothic"
"MS Gothic"="IPAGothic"

[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
    WINEPREFIX=$PREFIX_DRIVER "$WINE64" regedit /S "$(winpath "$WORK/settings.reg")"
    WINEPREFIX=$PREFIX_DRIVER "$WINESERVER" -w
    # The second prefix shares the first one's files (Wine never rewrites its installed
    # files in place) but has registry files of its own.
    cp -al "$PREFIX_DRIVER" "$PREFIX_NODRIVER"
    for reg in "$PREFIX_NODRIVER"/*.reg; do cp --remove-destination "$PREFIX_DRIVER/$(basename "$reg")" "$reg"; done
    touch "$PREFIX_DRIVER/.kdx-ready"
}

start() {
    local dll=$1
    if [ ! -f "$LOCALES/ja_JP.UTF-8/LC_CTYPE" ]; then
        mkdir -p "$LOCALES"
        localedef -i ja_JP -f UTF-8 "$LOCALES/ja_JP.UTF-8" || [ -f "$LOCALES/ja_JP.UTF-8/LC_CTYPE" ]
    fi

    if [ ! -s "$WORK/display" ] || ! kill -0 "$(cat "$WORK/xvfb.pid" 2>/dev/null)" 2>/dev/null; then
        rm -f "$WORK/display"
        # -displayfd: Xvfb picks a free display and writes its number when it is ready.
        setsid Xvfb -displayfd 3 -screen 0 "$(screen_size)x24" -nolisten tcp 3>"$WORK/display" \
            </dev/null >"$WORK/xvfb.log" 2>&1 &
        echo $! >"$WORK/xvfb.pid"
        for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
        [ -s "$WORK/display" ] || { cat "$WORK/xvfb.log"; echo "Xvfb did not start"; exit 1; }
    fi
    export DISPLAY=:$(cat "$WORK/display")

    [ -f "$PREFIX_DRIVER/.kdx-ready" ] || make_prefix
    add_marlett "$PREFIX_DRIVER"
    add_marlett "$PREFIX_NODRIVER"
    for dpi in $DPIS_OF_THEIR_OWN; do
        [ -f "$(dpi_prefix "$dpi")/.kdx-ready" ] || make_dpi_prefix "$dpi"
    done
    for prefix in "$PREFIX_DRIVER" $(for dpi in $DPIS_OF_THEIR_OWN; do dpi_prefix "$dpi"; done); do
        WINEPREFIX=$prefix "$WINE64" regsvr32 /s "$(winpath "$dll")"
        WINEPREFIX=$prefix "$WINE64" reg query 'HKCR\Igfxext.CUIExternal\CLSID' >/dev/null
        WINEPREFIX=$prefix "$WINESERVER" -w
    done
    echo "Wine session ready: DISPLAY=$DISPLAY, prefixes in $WORK"
}

stop() {
    for prefix in "$PREFIX_DRIVER" "$PREFIX_NODRIVER" $(for dpi in $DPIS_OF_THEIR_OWN; do dpi_prefix "$dpi"; done); do
        [ -d "$prefix" ] && WINEPREFIX=$prefix "$WINESERVER" -k 2>/dev/null || true
    done
    if [ -f "$WORK/xvfb.pid" ]; then
        kill "$(cat "$WORK/xvfb.pid")" 2>/dev/null || true
        rm -f "$WORK/xvfb.pid" "$WORK/display"
    fi
}

case $action in
    start) start "$3" ;;
    stop) stop ;;
    *) echo "usage: $0 start WORK_DIR DRIVER_DLL | stop WORK_DIR" >&2; exit 2 ;;
esac
