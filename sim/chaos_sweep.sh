#!/usr/bin/env bash
# Runs kdx4610-sim under seeded chaos for many seeds and counts the outcomes: runs per
# result code, false successes (0 while the flash differs from the image), runs that
# entered ISP mode without ending with EndIsp, and runs that crashed or hung.
#
#   sim/chaos_sweep.sh PATH/TO/kdx4610-sim [SEEDS (1000)] [RATE (0.001)] [FIRST SEED (1)]
#
# Exits 1 when a run crashed or hung or an ISP session did not end with EndIsp.
set -u
sim=${1:?usage: chaos_sweep.sh PATH/TO/kdx4610-sim [SEEDS] [RATE] [FIRST]}
seeds=${2:-1000}
rate=${3:-0.001}
first=${4:-1}
limit=120  # seconds of wall time per run: far beyond any bounded run
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

export sim rate limit out
seq "$first" $((first + seeds - 1)) | xargs -P "$(nproc)" -I{} bash -c '
    timeout "$limit" "$sim" --chaos "{}:$rate" >"$out/{}.txt" 2>&1
    echo "exit: $?" >>"$out/{}.txt"'

declare -A codes
false_success=() no_endisp=() broken=()
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
done

echo "chaos sweep: seeds $first..$((first + seeds - 1)), rate $rate"
for code in $(printf '%s\n' "${!codes[@]}" | sort -n); do
    printf '  result %3s: %5d runs\n' "$code" "${codes[$code]}"
done
echo "  false successes (0, flash differs): ${#false_success[@]} ${false_success[*]:-}"
echo "  ISP entered without EndIsp last: ${#no_endisp[@]} ${no_endisp[*]:-}"
echo "  crashed or hung: ${#broken[@]} ${broken[*]:-}"
[ ${#broken[@]} -eq 0 ] && [ ${#no_endisp[@]} -eq 0 ]
