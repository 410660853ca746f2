#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, then builds and runs every test suite:
#   native   g++ Release build, unit tests (and the simulator's end-to-end tests)  build/
#   asan     the same under AddressSanitizer and UndefinedBehaviorSanitizer        build-asan/
#   windows  mingw-w64 Release cross build, unit and end-to-end tests under Wine   build-win/
#            (against the exe that ships) and the reproducibility test
#   fuzz     clang libFuzzer targets, each run for a bounded time                  build-fuzz/
#   mutate   30 mutants of the core against the native tests, seed 1               build-mutate/
#            (tools/mutate.py): prints the score; one passed test when the tool ran
# Name suites as arguments to run only those (./test.sh native windows). The suites run side
# by side (each in a build tree of its own; asan, fuzz and mutate at a lower priority): each
# one's report is printed when it ends, and at the end its time and the total. After a
# Windows build it prints the exe's path, size and SHA-256 and those of the two images it
# carries. The last line is "N passed, N failed"; the exit status is non-zero when anything
# failed.
set -uo pipefail
cd "$(dirname "$0")"

./tools/setup.sh || { echo "test: setup failed" >&2; echo "0 passed, 1 failed"; exit 1; }

suites=("$@")
((${#suites[@]})) || suites=(native asan windows fuzz mutate)

passed=0
failed=0
windows_built=0
jobs=$(nproc 2>/dev/null || echo 2)
# Two CTest slots per processor for the Windows and native trees: their cases that update
# the chip on the real clock (under Wine, or the Linux program) spend half their time
# waiting on it, blocked in the simulated driver's calls or in sleeps.
update_jobs=$((jobs * 2))

configure_args() {
    case "$1" in
        native) echo "-B build -DCMAKE_BUILD_TYPE=Release" ;;
        asan) echo "-B build-asan -DKDX_SANITIZE=ON" ;;
        windows) echo "-B build-win -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake" ;;
        fuzz) echo "-B build-fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DKDX_BUILD_FUZZERS=ON -DKDX_BUILD_TESTS=OFF" ;;
        *) return 1 ;;
    esac
}

# A small fixed sample of mutants; the whole 300-mutant run is `tools/mutate.py` on its own.
# The tool writes each mutant into the sources it builds, so it runs in a clone of HEAD
# (build-mutate/src), beside the suites that compile this tree's sources.
run_mutate() {
    local start=$SECONDS log=build-mutate/test-run.log progress=build-mutate/test-progress.log
    local src=build-mutate/src status
    mkdir -p build-mutate
    echo "== mutate: 30 mutants of the core in build-mutate"
    if ! git rev-parse --verify -q HEAD >/dev/null 2>&1; then
        echo "== mutate: skipped, not a git checkout (the mutants run in a clone of HEAD)"
        return
    fi
    # The core's directories, as tools/mutate.py lists them: the clone it runs in is always
    # clean, so its own check for uncommitted changes cannot stand in for this one.
    if ! git diff --quiet HEAD -- app chip gfx log package platform; then
        echo "== mutate: skipped, core files have uncommitted changes"
        return
    fi
    rm -rf "$src"
    if ! { git clone -q --shared --no-checkout . "$src" && git -C "$src" checkout -q --detach "$(git rev-parse HEAD)"; } \
        >"$progress" 2>&1; then
        cat "$progress"
        echo "== mutate: no clone of HEAD in $src"
        failed=$((failed + 1))
        return
    fi
    python3 "$src/tools/mutate.py" --seed 1 --count 30 >"$log" 2>>"$progress"
    status=$?
    sed -n '1,/^survivors/p' "$log"
    if ((status != 0)); then
        tail -n 20 "$progress"
        echo "== mutate: the tool FAILED (log in $progress)"
        failed=$((failed + 1))
        return
    fi
    passed=$((passed + 1))
    echo "== mutate: ran ($((SECONDS - start)) s, survivors in $log); the score is shown, not judged"
}

run_suite() {
    local name=$1 args dir start log summary
    if [[ $name == mutate ]]; then
        run_mutate
        return
    fi
    if ! args=$(configure_args "$name"); then
        echo "== $name: no such suite"
        failed=$((failed + 1))
        return
    fi
    dir=$(awk '{print $2}' <<<"$args")
    start=$SECONDS
    mkdir -p "$dir"
    log="$dir/test-build.log"
    echo "== $name: building in $dir"
    # shellcheck disable=SC2086
    if ! { cmake -S . -G Ninja $args && cmake --build "$dir" -j "$jobs"; } >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "== $name: build FAILED (log in $log)"
        failed=$((failed + 1))
        return
    fi
    local ctest_jobs=$jobs
    [[ $name == windows ]] && windows_built=1 ctest_jobs=$update_jobs
    [[ $name == native ]] && ctest_jobs=$update_jobs
    log="$dir/test-run.log"
    ctest --test-dir "$dir" -j "$ctest_jobs" --output-on-failure --timeout 900 >"$log" 2>&1
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -z "$summary" ]]; then
        tail -n 60 "$log"
        echo "== $name: no tests ran (log in $log)"
        failed=$((failed + 1))
        return
    fi
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
    if ((bad > 0)); then
        sed -n '/tests passed, /,$p' "$log"
        grep -E '^\s*[0-9]+/[0-9]+ Test +#.*(Failed|Timeout|Exception|Not Run)' "$log" || true
    fi
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    echo "== $name: $((total - bad)) of $total tests passed ($((SECONDS - start)) s, log in $log)"
}

# The exe that ships, as the Windows suite built and tested it.
print_exe() {
    local exe=build-win/app/KDX4610_update.exe digest
    echo "== $(realpath "$exe")"
    echo "   $(stat -c %s "$exe") bytes, SHA-256 $(sha256sum "$exe" | cut -d' ' -f1)"
    for image in "129 ISP driver" "130 firmware"; do
        digest=$(python3 tools/pe_resources.py "$exe" BIN "${image%% *}" --sha256) || digest="(not found)"
        echo "   ${image#* } image (BIN ${image%% *}) SHA-256 $digest"
    done
}

# Each suite in the background, its report and its counts in files of its own; a report is
# printed whole when its suite ends, so the reports do not interleave.
reports=build-suites
rm -rf "$reports"
mkdir -p "$reports"
start=$SECONDS
declare -A pid_of

# The suites without real-clock cases (the sanitizer tree, the fuzz targets, the mutants)
# only compute: they run at a lower priority, so that the Windows and native trees' updates
# on the real clock keep the processors when they need them and the rest fills the gaps.
start_suite() {
    local suite=$1
    (
        case $suite in asan | fuzz | mutate) renice -n 10 "$BASHPID" >/dev/null ;; esac
        passed=0 failed=0 begin=$SECONDS
        run_suite "$suite"
        echo "$passed $failed $((SECONDS - begin)) $windows_built" >"$reports/$suite.counts"
    ) >"$reports/$suite.report" 2>&1 &
    pid_of[$suite]=$!
}

# Prints the report of each started suite as it ends, until all have.
report_suites() {
    local suite pending=1
    while ((pending)); do
        pending=0
        for suite in "${!pid_of[@]}"; do
            if kill -0 "${pid_of[$suite]}" 2>/dev/null; then
                pending=1
                continue
            fi
            wait "${pid_of[$suite]}" 2>/dev/null
            unset "pid_of[$suite]"
            cat "$reports/$suite.report"
        done
        ((pending)) && sleep 1
    done
}

for suite in "${suites[@]}"; do
    start_suite "$suite"
done
report_suites

times=
for suite in "${suites[@]}"; do
    if read -r p f t built <"$reports/$suite.counts" 2>/dev/null; then
        passed=$((passed + p))
        failed=$((failed + f))
        ((built)) && windows_built=1
        times+="${times:+, }$suite $t s"
    else
        echo "== $suite: ended without its counts"
        failed=$((failed + 1))
        times+="${times:+, }$suite ?"
    fi
done
((windows_built)) && print_exe
echo "== times: $times; total $((SECONDS - start)) s"

echo "$passed passed, $failed failed"
((failed == 0))
