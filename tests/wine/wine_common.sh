# Shared by the Wine session and case scripts (sourced, not run).

# Debian puts wine64 beside its loader, outside PATH; the "wine" wrapper would pick it too
# but complains about a missing 32-bit Wine on every start.
WINE64=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# The Windows form of a Unix path, through Wine's Z: drive (the root of the Unix tree).
winpath() {
    local p
    p=$(realpath -m "$1")
    echo "Z:${p//\//\\}"
}

# The Wine desktop is this size at 96 DPI and grows with the DPI, so that a dialog takes the
# same share of it at every DPI; the X screen holds the largest (192 DPI).
DESKTOP_WIDTH=640
DESKTOP_HEIGHT=480
DPIS_OF_THEIR_OWN="144 192"  # each has a prefix of its own (the DPI is the prefix's setting)
desktop_size() { echo "$((DESKTOP_WIDTH * $1 / 96))x$((DESKTOP_HEIGHT * $1 / 96))"; }

# The prefix with the driver registered at DPI $1 (96: the session's own).
dpi_prefix() {
    if [ "$1" = 96 ]; then echo "$PREFIX_DRIVER"; else echo "$WORK/prefix-dpi$1"; fi
}

# The prefixes a session's start makes, and the variants cases make of them.
session_prefixes() {
    echo "$PREFIX_DRIVER" "$PREFIX_NODRIVER"
    for dpi in $DPIS_OF_THEIR_OWN; do dpi_prefix "$dpi"; done
}
variant_prefixes() { for prefix in $(session_prefixes); do echo "$prefix-controllib"; done; }

# The X display and prefixes of one session, under its working directory.
session_paths() {
    WORK=$(realpath -m "$1")  # Wine takes only an absolute WINEPREFIX
    PREFIX_DRIVER=$WORK/prefix
    PREFIX_NODRIVER=$WORK/prefix-nodriver
    LOCALES=$WORK/locale
}

# Each prefix has a display of its own, its files in PREFIX.x: the virtual desktops of two
# wineservers on one display would cover each other in a screenshot. Every display holds the
# largest desktop (192 DPI's), so a prefix's copies need not know its DPI.
#
# Starts an Xvfb display for DIR (once: a display still running is kept) and exports its
# DISPLAY. -displayfd: Xvfb picks a free display and writes its number when it is ready, so
# any number of sessions can start at the same time.
start_display() {
    local dir=$1
    if [ ! -s "$dir/display" ] || ! kill -0 "$(cat "$dir/xvfb.pid" 2>/dev/null)" 2>/dev/null; then
        rm -f "$dir/display"
        mkdir -p "$dir"
        # Xvfb outlives the caller: it must not hold the caller's lock (fd 9) open.
        setsid Xvfb -displayfd 3 -screen 0 "$(desktop_size 192)x24" -nolisten tcp 3>"$dir/display" \
            </dev/null >"$dir/xvfb.log" 2>&1 9>&- &
        echo $! >"$dir/xvfb.pid"
        for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
        [ -s "$dir/display" ] || { cat "$dir/xvfb.log"; echo "Xvfb did not start"; return 1; }
    fi
    export DISPLAY=:$(cat "$dir/display")
}

# Ends the wineserver and the display of the prefix $1, where they run.
stop_prefix() {
    local dir=$1.x
    [ -d "$1" ] && WINEPREFIX=$1 "$WINESERVER" -k 2>/dev/null || true
    if [ -f "$dir/xvfb.pid" ]; then
        kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
        rm -f "$dir/xvfb.pid" "$dir/display"
    fi
}

# A prefix that shares FROM's files (Wine never rewrites its installed files in place) but
# has registry files of its own.
copy_prefix() {
    local from=$1 to=$2
    rm -rf "$to"
    cp -al "$from" "$to"
    for reg in "$to"/*.reg; do cp --remove-destination "$from/$(basename "$reg")" "$reg"; done
}
