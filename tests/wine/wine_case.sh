#!/bin/bash
# One end-to-end run of the real KDX4610_update.exe under Wine, against the simulated chip
# behind the simulated graphics driver. Needs a session started by wine_session.sh.
#
#   wine_case.sh --work DIR --name NAME --exe UPDATER --ui UI_PROGRAM [options] [--ui-steps STEP...]
#
#   --args TEXT          the updater's command line after the program name (default "/s")
#   --no-args            an empty command line
#   --cfg "OPTION [VALUE]"  a line of the driver's configuration (a kdx4610-sim option); repeatable
#   --no-driver          run in the prefix without the driver registered
#   --system-controllib DLL  install DLL (the simulated Control Library) as ControlLib.dll
#                        in the prefix's system directory, for this run only
#   --expect-backend B   com, controllib or none: which stand-in the updater reached (each
#                        writes a trace of its own); --flash-equals and --like-sim check that
#                        one's files (default com, none with --no-driver)
#   --lang ja            run in Japanese (LANG=ja_JP.UTF-8)
#   --dpi N              run at N DPI (96, 144 or 192: the prefix of that DPI, the driver
#                        registered; its desktop is larger by the same factor)
#   --expect-exit N      the updater's exit code
#   --expect-debug TEXT  a debugger message, "\r\n" written as such; repeatable: the messages
#                        must be exactly these, in this order (none given: none at all)
#   --damage-resource ID run a copy of the updater with the middle byte of resource BIN ID's
#                        data inverted (found through the resource table)
#   --flash-equals FILE  the flash after the run holds FILE
#   --like-sim SIM       kdx4610-sim (Windows build) with the same options gives the same flash
#                        and the same trace (every column but the time, less what real time
#                        adds to it: see the comparison below)
#   --screenshots DIR    where the screenshots of the UI steps' sync points go (NAME.png, the
#                        Wine desktop only)
#   --timeout SECONDS    for the whole run (default 300: it catches hangs, and other cases
#                        running beside it make a case slower)
#   --plant WHERE NAME DLL  run a copy of the updater from a folder of its own, with another
#                        folder as the current directory, and DLL copied as NAME.dll into the
#                        updater's folder (WHERE=beside) or the current directory (WHERE=cwd),
#                        Wine told to prefer that copy to its own (WINEDLLOVERRIDES NAME=n,b):
#                        the run fails if the copy was loaded (it leaves NAME.dll.loaded)
#   --own-session        run in a session of its own: a copy of the prefix (hard links,
#                        registry files copied) with a wineserver and a display of its own,
#                        removed after the run. A case that changes its prefix (other than
#                        through --system-controllib) must give it; the others share the
#                        session's prefixes and run side by side.
#   --ui-steps STEP...   the rest of the line: steps for the UI program (see kdx_wine_ui.cpp)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_common.sh"

args="/s"
cfg=()
nodriver=0
controllib_dll=
backend=
lang=en
dpi=96
expect_exit=
debug=()
flash_equals=
like_sim=
screenshots=
damage=
timeout=300
plant=()
steps=()
own_session=0
while [ $# -gt 0 ]; do
    case $1 in
        --work) session_paths "$2"; shift 2 ;;
        --name) name=$2; shift 2 ;;
        --exe) exe=$2; shift 2 ;;
        --ui) ui=$2; shift 2 ;;
        --args) args=$2; shift 2 ;;
        --no-args) args=; shift ;;
        --cfg) cfg+=("$2"); shift 2 ;;
        --no-driver) nodriver=1; shift ;;
        --system-controllib) controllib_dll=$2; shift 2 ;;
        --expect-backend) backend=$2; shift 2 ;;
        --lang) lang=$2; shift 2 ;;
        --dpi) dpi=$2; shift 2 ;;
        --expect-exit) expect_exit=$2; shift 2 ;;
        --expect-debug) debug+=("$2"); shift 2 ;;
        --flash-equals) flash_equals=$2; shift 2 ;;
        --damage-resource) damage=$2; shift 2 ;;
        --like-sim) like_sim=$2; shift 2 ;;
        --screenshots) screenshots=$2; shift 2 ;;
        --timeout) timeout=$2; shift 2 ;;
        --plant) plant=("$2" "$3" "$4"); shift 4 ;;
        --own-session) own_session=1; shift ;;
        --ui-steps) shift; steps=("$@"); break ;;
        *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
done

[ -n "$backend" ] || { backend=com; [ $nodriver = 1 ] && backend=none; }
dir=$(realpath -m "$WORK/cases/$name")
rm -rf "$dir"
mkdir -p "$dir/sync"
failures=()
fail() { failures+=("$1"); }

[ -s "$PREFIX_DRIVER.x/display" ] || { echo "no Wine session in $WORK (wine_session.sh start)"; exit 1; }
export WINEPREFIX=$(dpi_prefix "$dpi")
[ -f "$WINEPREFIX/.kdx-ready" ] || { echo "no prefix at $dpi DPI in $WORK"; exit 1; }
[ $nodriver = 1 ] && WINEPREFIX=$PREFIX_NODRIVER
if [ $own_session = 1 ]; then
    own=$dir/session/prefix
    end_own_session() {
        stop_prefix "$own"
        rm -rf "$own"
    }
    mkdir -p "$dir/session"
    copy_prefix "$WINEPREFIX" "$own"
    WINEPREFIX=$own
    trap end_own_session EXIT
    [ -z "$controllib_dll" ] || cp "$controllib_dll" "$WINEPREFIX/drive_c/windows/system32/ControlLib.dll"
    start_display "$own.x" || exit 1
elif [ -n "$controllib_dll" ]; then
    # The cases with ControlLib.dll in the system directory share a variant of their prefix
    # that has it, made by the first of them (the session's start drops it again).
    variant=$WINEPREFIX-controllib
    (
        flock 9
        if [ ! -f "$variant/.kdx-controllib" ]; then
            copy_prefix "$WINEPREFIX" "$variant"
            cp "$controllib_dll" "$variant/drive_c/windows/system32/ControlLib.dll"
            touch "$variant/.kdx-controllib"
        fi
        start_display "$variant.x"
    ) 9>"$WORK/variants.lock" || exit 1
    WINEPREFIX=$variant
fi
[ -s "$WINEPREFIX.x/display" ] || { echo "no display for $WINEPREFIX"; exit 1; }
export DISPLAY=:$(cat "$WINEPREFIX.x/display")
# warn+seh shows each OutputDebugStringW text as a line 'warn:seh:OutputDebugStringA "..."'.
export WINEDEBUG=-all,warn+seh
unset LC_ALL LANGUAGE
if [ "$lang" = ja ]; then
    export LOCPATH=$LOCALES LANG=ja_JP.UTF-8
else
    export LANG=C.UTF-8
fi

# The driver's and the Control Library's configurations: the case's own lines, then the
# files each writes.
for stand_in in driver controllib; do
    {
        for line in "${cfg[@]+"${cfg[@]}"}"; do echo "$line"; done
        echo "--trace $(winpath "$dir/$stand_in.trace")"
        echo "--flash-out $(winpath "$dir/$stand_in.flash.bin")"
    } >"$dir/$stand_in.cfg"
done
export KDX_FAKE_GFX_DRIVER_CFG=$(winpath "$dir/driver.cfg")
export KDX_FAKE_CONTROLLIB_CFG=$(winpath "$dir/controllib.cfg")

export KDX_UI_SYNC_DIR=$(winpath "$dir/sync")

# The updater's current directory (where its log file would go) is the case's own; with a
# planted DLL the updater is copied into program/ and started with cwd/ as current directory.
run_in=$dir
ui=$(realpath "$ui")
if [ ${#plant[@]} -gt 0 ]; then
    mkdir -p "$dir/program" "$dir/cwd"
    cp "$exe" "$dir/program/"
    exe=$dir/program/$(basename "$exe")
    case ${plant[0]} in
        beside) cp "${plant[2]}" "$dir/program/${plant[1]}.dll" ;;
        cwd) cp "${plant[2]}" "$dir/cwd/${plant[1]}.dll" ;;
        *) echo "--plant: beside or cwd, not ${plant[0]}" >&2; exit 2 ;;
    esac
    run_in=$dir/cwd
    export WINEDLLOVERRIDES="mscoree,mshtml=;${plant[1]}=n,b"
fi
if [ -n "$damage" ]; then
    python3 "$here/../../tools/pe_resources.py" "$exe" BIN "$damage" --flip "$dir/$(basename "$exe")" || exit 1
    exe=$dir/$(basename "$exe")
fi

# The updater, started with exactly this command line.
(cd "$run_in" && exec timeout "$timeout" "$WINE64" "$ui" --run "$(winpath "$exe")" "$args") \
    >"$dir/updater.out" 2>"$dir/updater.err" &
updater=$!

if [ ${#steps[@]} -gt 0 ]; then
    timeout "$timeout" "$WINE64" "$ui" "${steps[@]}" >"$dir/ui.out" 2>"$dir/ui.err" &
    driver=$!
    # Screenshots at the UI program's sync points, while it waits.
    while kill -0 $driver 2>/dev/null; do
        for mark in "$dir"/sync/*; do
            [ -e "$mark" ] && [[ $mark != *.done ]] && [ ! -e "$mark.done" ] || continue
            shot=$(basename "$mark")
            if [ -n "$screenshots" ]; then
                mkdir -p "$screenshots"
                import -display "$DISPLAY" -window root -crop "$(desktop_size "$dpi")+0+0" +repage \
                    "$screenshots/$shot.png" || fail "no screenshot $shot"
            fi
            touch "$mark.done"
        done
        sleep 0.1
    done
    wait $driver
    ui_status=$?
    if [ $ui_status != 0 ]; then
        fail "the UI program failed ($ui_status)"
        # The updater may be waiting for an answer that will not come.
        sleep 1
        kill -0 $updater 2>/dev/null && "$WINESERVER" -k
    fi
fi

wait $updater
status=$?
[ $status = 124 ] && fail "the updater did not end within $timeout s"
[ -z "$expect_exit" ] || [ "$status" = "$expect_exit" ] || fail "exit code $status, expected $expect_exit"

# The debugger messages, as Wine quotes them.
grep -a ':warn:seh:OutputDebugStringA "' "$dir/updater.err" | sed 's/^[^"]*"//; s/"$//' >"$dir/debug.txt"
{ [ ${#debug[@]} = 0 ] || printf '%s\n' "${debug[@]}"; } >"$dir/debug.expected"
# Wine shows at most about 300 characters of a message and ends a longer one with "...:
# such a message must begin the expected one.
debug_matches() {
    local -a seen expected
    mapfile -t seen <"$dir/debug.txt"
    mapfile -t expected <"$dir/debug.expected"
    [ ${#seen[@]} = ${#expected[@]} ] || return 1
    for i in "${!seen[@]}"; do
        local s=${seen[$i]} e=${expected[$i]}
        [ "$s" = "$e" ] && continue
        [[ $s == *'"...' && $e == "${s%\"...}"* ]] && continue
        return 1
    done
}
debug_matches || fail "debugger messages differ (expected | seen):
$(diff "$dir/debug.expected" "$dir/debug.txt")"

for marker in $(find "$dir" -name '*.loaded'); do
    fail "the planted $(basename "$marker" .loaded) was loaded, by $(cat "$marker")"
done

# Which stand-in the updater reached: only that one opened its session and wrote a trace.
reached=$backend
[ $backend = com ] && reached=driver
for stand_in in driver controllib; do
    expected=no
    [ $stand_in = $reached ] && expected=yes
    seen=no
    [ -f "$dir/$stand_in.trace" ] && seen=yes
    [ $seen = $expected ] || fail "$stand_in trace written: $seen, expected $expected (--expect-backend $backend)"
done

if [ -n "$flash_equals" ]; then
    cmp -s "$flash_equals" "$dir/$reached.flash.bin" || fail "the flash does not hold $(basename "$flash_equals")"
fi

if [ -n "$like_sim" ]; then
    # The same chip and faults in-process, on the simulator's virtual clock.
    sim_options=()
    for line in "${cfg[@]+"${cfg[@]}"}"; do
        read -r option value <<<"$line"
        sim_options+=("$option")
        [ -n "$value" ] && sim_options+=("$value")
    done
    "$WINE64" "$like_sim" --quiet "${sim_options[@]+"${sim_options[@]}"}" \
        --trace "$(winpath "$dir/sim.trace")" --flash-out "$(winpath "$dir/sim_flash.bin")" -- "$args" \
        >"$dir/sim.out" 2>"$dir/sim.err"
    sim_status=$?
    [ "$sim_status" = "$status" ] || fail "kdx4610-sim ends with $sim_status, the updater with $status"
    cmp -s "$dir/sim_flash.bin" "$dir/$reached.flash.bin" || fail "the flash differs from kdx4610-sim's"
    # On real time the chip may still be busy at a poll where on virtual time it had
    # answered: such a poll reads the DDC/CI null message (6e80, then be) or the same
    # mailbox flag once more. Those polls are dropped or counted once; every other call,
    # with every byte, must match.
    normal() {
        cut -f2- "$1" | tr -d '\r' | awk -F'\t' '
            $1 == "R" && $3 == "5" && $7 == "6e80" { held = $0; next }
            held != "" { if ($1 == "R" && $3 == "1" && $7 == "be") { held = ""; next } print held; held = "" }
            { print }
            END { if (held != "") print held }' | uniq
    }
    normal "$dir/$reached.trace" >"$dir/driver.trace.cmp"
    normal "$dir/sim.trace" >"$dir/sim.trace.cmp"
    # Once EndIsp's reply is released the ISP driver resets the chip a millisecond later. On
    # real time, with other runs beside this one, the updater's read-back of that release can
    # come after the reset and be NACKed (24) where on virtual time it read the 0: that one
    # read, the last of the run, is left out of both when it is all that differs.
    last_read() { tail -n 1 "$1" | awk -F'\t' -v OFS='\t' -v s="$2" '$1 == "R" && $6 == s { NF = 5; print }'; }
    driver_last=$(last_read "$dir/driver.trace.cmp" 24)
    if [ -n "$driver_last" ] && [ "$driver_last" = "$(last_read "$dir/sim.trace.cmp" 0)" ]; then
        sed -i '$d' "$dir/driver.trace.cmp" "$dir/sim.trace.cmp"
    fi
    [ -s "$dir/driver.trace.cmp" ] || fail "empty trace"
    cmp -s "$dir/sim.trace.cmp" "$dir/driver.trace.cmp" || fail "the trace differs from kdx4610-sim's (sim | driver):
$(diff "$dir/sim.trace.cmp" "$dir/driver.trace.cmp" | head -20)"
fi

if [ ${#failures[@]} -gt 0 ]; then
    echo "== $name: FAILED"
    printf -- '- %s\n' "${failures[@]}"
    for f in ui.out updater.out; do
        [ -s "$dir/$f" ] && { echo "== $f"; cat "$dir/$f"; }
    done
    echo "== updater.err (without Wine's exception lines)"
    grep -av ':warn:seh:' "$dir/updater.err" | tail -20
    echo "(files in $dir)"
    exit 1
fi
echo "$name: exit $status$( [ ${#debug[@]} -gt 0 ] && printf ', debug: %s' "${debug[*]}")"
[ -f "$dir/ui.out" ] && grep -a -e '^box:' -e '^edit' "$dir/ui.out"
exit 0
