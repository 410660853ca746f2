#!/usr/bin/env bash
# Runs kdx4610-sim under seeded chaos for many seeds and counts the outcomes: runs per
# result code, false successes (0 while the flash differs from the image), runs that
# entered ISP mode without ending with EndIsp, runs that left the chip in ISP mode (by
# what became of EndIsp), and runs that crashed or hung.
#
#   sim/chaos_sweep.sh PATH/TO/kdx4610-sim [SEEDS (1000)] [RATE (0.001)] [FIRST SEED (1)]
#
# JOBS (default: the number of processors) runs that many at once; SIM_ARGS adds options
# to every run (SIM_ARGS="--backend linux": the same sweep through the Linux kernel model).
# Exits 1 when a run crashed or hung, an ISP session did not end with EndIsp, or every
# posting of EndIsp failed. An EndIsp posted but lost (a write the driver reported done
# and never carried out) is counted but does not fail the sweep: the host cannot know it.
set -u
sim=${1:?usage: chaos_sweep.sh PATH/TO/kdx4610-sim [SEEDS] [RATE] [FIRST]}
seeds=${2:-1000}
rate=${3:-0.001}
first=${4:-1}
jobs=${JOBS:-$(nproc)}
limit=120  # seconds of wall time per run: far beyond any bounded run
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

SIM_ARGS=${SIM_ARGS:-}
export sim rate limit out SIM_ARGS
seq "$first" $((first + seeds - 1)) | xargs -P "$jobs" -I{} bash -c '
    timeout "$limit" "$sim" $SIM_ARGS --chaos "{}:$rate" >"$out/{}.txt" 2>&1
    echo "exit: $?" >>"$out/{}.txt"'

declare -A codes left_other
false_success=() no_endisp=() posting_failed=() posted_lost=() broken=()
for ((seed = first; seed < first + seeds; ++seed)); do
    f=$out/$seed.txt
    code=$(sed -n 's/^exit: //p' "$f")
    if ! grep -q '^result: ' "$f" || [ "$code" -ge 124 ]; then
        broken+=("$seed(exit $code)")
        continue
    fi
    codes[$code]=$((${codes[$code]:-0} + 1))
    if [ "$code" = 0 ] && grep -q '^flash equals image: no' "$f"; then false_success+=("$seed"); fi
    if grep -q 'ISP mode entered' "$f" && ! grep -q '^EndIsp posted: [1-9].*(last request)' "$f"; then
        no_endisp+=("$seed")
    fi
    left=$(sed -n 's/^left in ISP mode: yes, //p' "$f")
    case $left in
        '') ;;
        'EndIsp posting failed every time') posting_failed+=("$seed") ;;
        'EndIsp posted but lost') posted_lost+=("$seed") ;;
        *) left_other[$left]="${left_other[$left]:-} $seed" ;;
    esac
done

# "LABEL: COUNT SEED..." with at most the first 20 seeds.
report() {
    local label=$1
    shift
    local more=""
    [ $# -gt 20 ] && more=" ..."
    echo "  $label: $# ${*:1:20}$more"
}

echo "chaos sweep: seeds $first..$((first + seeds - 1)), rate $rate"
for code in $(printf '%s\n' "${!codes[@]}" | sort -n); do
    printf '  result %3s: %5d runs\n' "$code" "${codes[$code]}"
done
report "false successes (0, flash differs)" "${false_success[@]}"
report "ISP entered without EndIsp last" "${no_endisp[@]}"
report "left in ISP mode, EndIsp posting failed every time" "${posting_failed[@]}"
report "left in ISP mode, EndIsp posted but lost (write reported done, not carried out)" "${posted_lost[@]}"
for reason in "${!left_other[@]}"; do
    read -ra list <<<"${left_other[$reason]}"
    report "left in ISP mode, $reason" "${list[@]}"
done
report "crashed or hung" "${broken[@]}"
[ ${#broken[@]} -eq 0 ] && [ ${#no_endisp[@]} -eq 0 ] && [ ${#posting_failed[@]} -eq 0 ]
