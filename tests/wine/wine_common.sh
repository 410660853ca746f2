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
screen_size() { desktop_size 192; }

# The prefix with the driver registered at DPI $1 (96: the session's own).
dpi_prefix() {
    if [ "$1" = 96 ]; then echo "$PREFIX_DRIVER"; else echo "$WORK/prefix-dpi$1"; fi
}

# The X display and prefixes of one session, under its working directory.
session_paths() {
    WORK=$(realpath -m "$1")  # Wine takes only an absolute WINEPREFIX
    PREFIX_DRIVER=$WORK/prefix
    PREFIX_NODRIVER=$WORK/prefix-nodriver
    LOCALES=$WORK/locale
}
