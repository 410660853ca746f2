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

# The X display and prefixes of one session, under its working directory.
session_paths() {
    WORK=$(realpath -m "$1")  # Wine takes only an absolute WINEPREFIX
    PREFIX_DRIVER=$WORK/prefix
    PREFIX_NODRIVER=$WORK/prefix-nodriver
    LOCALES=$WORK/locale
}

# The virtual desktop gives top-level windows their title bars and a known screen size.
DESKTOP_SIZE=640x480

# Each prefix has a display of its own, its files in PREFIX.x: the virtual desktops of two
# wineservers on one display would cover each other in a screenshot.
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
        setsid Xvfb -displayfd 3 -screen 0 ${DESKTOP_SIZE}x24 -nolisten tcp 3>"$dir/display" \
            </dev/null >"$dir/xvfb.log" 2>&1 9>&- &
        echo $! >"$dir/xvfb.pid"
        for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
        [ -s "$dir/display" ] || { cat "$dir/xvfb.log"; echo "Xvfb did not start"; return 1; }
    fi
    export DISPLAY=:$(cat "$dir/display")
}

stop_display() {
    local dir=$1
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
