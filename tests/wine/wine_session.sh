#!/bin/bash
# Starts or stops the Wine session that the end-to-end tests share:
#
#   wine_session.sh start WORK_DIR DRIVER_DLL
#   wine_session.sh stop WORK_DIR
#
# start makes, once, the Wine prefixes under WORK_DIR (prefix: the simulated graphics driver
# registered; prefix-nodriver: no driver, as on a PC without it; prefix-dpi144 and
# prefix-dpi192: the driver registered, the display at 144 and 192 DPI, Wine's LogPixels),
# the ja_JP.UTF-8 locale for the Japanese runs, and starts an Xvfb display for each; it
# registers the driver DLL on every start, so each prefix always names the DLL just built,
# and drops the variants of the prefixes that cases made (PREFIX-controllib, made by
# wine_case.sh). stop ends the displays and wineservers of all of them, and those of cases
# that ran in a session of their own and were killed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_common.sh"

action=$1
session_paths "$2"
mkdir -p "$WORK"
export WINEDEBUG=-all

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
    copy_prefix "$PREFIX_DRIVER" "$prefix"
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
    # The DPI prefixes share the driver prefix's files: a new one makes them anew.
    rm -rf $(session_prefixes)
    # No Mono or Gecko: the updater needs neither, and wineboot would offer to download them.
    WINEPREFIX=$PREFIX_DRIVER WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE64" wineboot -i >"$WORK/wineboot.log" 2>&1
    WINEPREFIX=$PREFIX_DRIVER "$WINESERVER" -w
    # The virtual desktop gives top-level windows their title bars and a known screen size.
    cat >"$WORK/settings.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="$(desktop_size 96)"

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"MS UI Gothic"="IPAPGothic"
"MS PGothic"="IPAPGothic"
"MS Gothic"="IPAGothic"

[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
    WINEPREFIX=$PREFIX_DRIVER "$WINE64" regedit /S "$(winpath "$WORK/settings.reg")"
    WINEPREFIX=$PREFIX_DRIVER "$WINESERVER" -w
    copy_prefix "$PREFIX_DRIVER" "$PREFIX_NODRIVER"
    touch "$PREFIX_DRIVER/.kdx-ready"
}

start() {
    local dll=$1
    if [ ! -f "$LOCALES/ja_JP.UTF-8/LC_CTYPE" ]; then
        mkdir -p "$LOCALES"
        localedef -i ja_JP -f UTF-8 "$LOCALES/ja_JP.UTF-8" || [ -f "$LOCALES/ja_JP.UTF-8/LC_CTYPE" ]
    fi

    for prefix in $(session_prefixes); do
        start_display "$prefix.x"
    done
    export DISPLAY=:$(cat "$PREFIX_DRIVER.x/display")

    [ -f "$PREFIX_DRIVER/.kdx-ready" ] || make_prefix
    for dpi in $DPIS_OF_THEIR_OWN; do
        [ -f "$(dpi_prefix "$dpi")/.kdx-ready" ] || make_dpi_prefix "$dpi"
    done
    for prefix in $(session_prefixes); do
        add_marlett "$prefix"
        # Cases install ControlLib.dll only in variants; one left here by an older tree's run
        # would be found by every case.
        rm -f "$prefix/drive_c/windows/system32/ControlLib.dll"
    done
    for variant in $(variant_prefixes); do
        stop_prefix "$variant"
        rm -rf "$variant"
    done
    for dpi in 96 $DPIS_OF_THEIR_OWN; do
        prefix=$(dpi_prefix "$dpi")
        export DISPLAY=:$(cat "$prefix.x/display")
        WINEPREFIX=$prefix "$WINE64" regsvr32 /s "$(winpath "$dll")"
        WINEPREFIX=$prefix "$WINE64" reg query 'HKCR\Igfxext.CUIExternal\CLSID' >/dev/null
        WINEPREFIX=$prefix "$WINESERVER" -w
    done
    echo "Wine session ready: prefixes (each with a display of its own, in PREFIX.x) in $WORK"
}

stop() {
    for prefix in $(session_prefixes) $(variant_prefixes) "$WORK"/cases/*/session/prefix; do
        stop_prefix "$prefix"
    done
}

case $action in
    start) start "$3" ;;
    stop) stop ;;
    *) echo "usage: $0 start WORK_DIR DRIVER_DLL | stop WORK_DIR" >&2; exit 2 ;;
esac
