#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the updater natively and runs it against the
# simulated KDX4610: a silent update ("/s") with the default chip (KX4610, revision 2.2,
# firmware 1.40), printing the run's summary. Arguments go to kdx4610-sim, e.g.
#   ./demo.sh --fw-version 1.58        (already up to date: 40)
#   ./demo.sh --fault no-chip          (no chip on any connection: 30)
set -euo pipefail
cd "$(dirname "$0")"

./tools/setup.sh

mkdir -p build
log=build/demo-build.log
echo "demo: building (log in $log)"
if ! { cmake -S . -B build -G Ninja && cmake --build build; } >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "demo: the build failed" >&2
    exit 1
fi

sim=build/sim/kdx4610-sim
echo "demo: $sim $*"
set +e
"$sim" "$@"
rc=$?
set -e
echo "demo: kdx4610-sim exited with $rc"
exit "$rc"
