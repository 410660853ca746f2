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
