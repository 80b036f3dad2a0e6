#!/usr/bin/env bash
# Tests 64-bit ARM Linux (aarch64) on this x86-64 machine, under qemu-user. Sets it up first
# (scripts/bootstrap.sh --aarch64: cross toolchain, qemu, an aarch64 free-threaded CPython and
# venv with the module), then runs three stages, each ending with its result and wall time:
#   1. kernel tests: tests/kernels cross-compiled (cmake/toolchains/aarch64-linux-gnu.cmake,
#      GoogleTest built from Debian's sources with the cross compiler) into
#      build/kernel-tests-aarch64 and run by ctest through qemu; every compiled path against the
#      portable one and the documented summation order. Their output is shown when one fails.
#      The narrowing check takes every 251st float32 pattern, and every pattern of the exponents
#      where the rounding rules change, instead of all 2^32 (MORLA_NARROWING_STRIDE), which
#      under qemu would take many times the seconds it takes natively.
#   2. python suite: the suite on the emulated interpreter, so that every operation, dtype and
#      error path (the tests that check messages and exception classes) behaves on aarch64 as it
#      does here. It takes some 3 minutes (5 to 10 times the native run); left out:
#        - tests/examples (the main job, MPI training): scikit-learn, mpi4py and MPICH are not in
#          the aarch64 venv, and training under emulation would take minutes while exercising no
#          operation the rest of the suite does not;
#        - the stub tests of tests/package/test_morla.py skip themselves: mypy is not in the
#          aarch64 venv, and the stubs do not depend on the CPU;
#        - the subinterpreter test of tests/runtime/test_reentry.py skips itself: the aarch64
#          CPython is built without its test modules (_testcapi), and the module's declaration
#          it checks does not depend on the CPU;
#        - tests/reliability runs shorter: 50 random programs instead of 150 in the fuzzing tests
#          (MORLA_FUZZ_EXAMPLES; 25 s instead of 75 s under qemu) and 5 000 loop iterations
#          instead of 50 000 in the leak test (MORLA_LEAK_ITERATIONS; 8 s instead of 80 s); the
#          stress tests run their usual 10 s.
#      Hypothesis runs without deadlines (the "emulated" profile of tests/conftest.py).
#   3. same bits: tests/platforms/bits_battery.py prints one line per case (name, digest of
#      the result); it runs with PYTHON and under qemu, and the cases whose lines differ are
#      listed.
# All stages run; the script fails at the end if any failed. CMake and Ninja come from PYTHON's
# venv (bootstrap.sh installs both there).
# Usage: scripts/test-aarch64.sh PYTHON [pytest arguments]   (PYTHON: bootstrap.sh's venv python)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

log() { echo "test-aarch64: $*" >&2; }
die() { log "error: $*"; exit 1; }

(($#)) || die "usage: scripts/test-aarch64.sh PYTHON [pytest arguments]"
PY="$1"
shift
[[ -x $PY ]] || die "$PY is not an executable python"
export PATH="$(dirname "$PY"):$PATH"
for tool in cmake ninja; do
    command -v "$tool" >/dev/null || die "$tool not found beside $PY"
done
EMULATED="$(bash scripts/bootstrap.sh --aarch64 | tail -n 1)"
[[ -x $EMULATED ]] || die "bootstrap.sh --aarch64 printed '$EMULATED', not a command"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=()

elapsed() {
    local s=$((SECONDS - $1))
    printf '%dm%02ds' $((s / 60)) $((s % 60))
}

# quietly PHASE LOG COMMAND...: runs COMMAND with its output in LOG and says every 30 s that
# PHASE still runs. Returns COMMAND's status.
quietly() {
    local phase="$1" out="$2" start=$SECONDS next=$((SECONDS + 30)) pid rc=0 progress
    shift 2
    "$@" </dev/null >"$out" 2>&1 &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        if ((SECONDS >= next)) && kill -0 "$pid" 2>/dev/null; then
            # pytest's "[ 42%]", ninja's "[7/12]" or ctest's "12/40", when the log has one
            progress="$(grep -oE '\[ *[0-9]+(%|/[0-9]+)\]|^ *[0-9]+/[0-9]+ Test' "$out" | tail -n 1 |
                sed -E 's/^ +//; s/ Test$//' || true)"
            log "$phase: running for $(elapsed "$start")${progress:+, at $progress}"
            next=$((next + 30))
        fi
    done
    wait "$pid" || rc=$?
    return "$rc"
}

# emulated SECONDS ARGUMENTS...: the aarch64 venv's python under qemu, stopped after SECONDS
# (in this script's process group, so that an interrupt reaches it).
emulated() {
    local limit="$1"
    shift
    timeout --foreground "$limit" "$EMULATED" "$@"
}

# ---- 1. kernel tests, cross-compiled, run under qemu ----
kernel_tests() {
    local build=build/kernel-tests-aarch64 start=$SECONDS out="$work/kernels.log" summary
    log "[1/3] kernel tests: tests/kernels cross-compiled for aarch64 in $build, run by ctest under qemu-aarch64"
    if [[ ! -f /usr/src/googletest/CMakeLists.txt ]]; then  # bootstrap.sh --aarch64 installs it as root
        log "[1/3] kernel tests: FAILED, GoogleTest's sources (Debian's googletest) are missing"
        return 1
    fi
    local flags=(-DMORLA_BUILD_MODULE=OFF -DMORLA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
                 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake)
    if ! quietly "[1/3] kernel tests: build" "$out" \
            bash -c 'cmake -S . -B "$1" -G Ninja "${@:2}" && cmake --build "$1" -j 2' _ "$build" "${flags[@]}"; then
        cat "$out" >&2
        log "[1/3] kernel tests: FAILED to build, after $(elapsed "$start")"
        return 1
    fi
    if ! quietly "[1/3] kernel tests: run" "$out" \
            env MORLA_NARROWING_STRIDE=251 \
            ctest --test-dir "$build" --output-on-failure -j 2 --timeout 300 --no-tests=error; then
        cat "$out" >&2
        log "[1/3] kernel tests: FAILED, after $(elapsed "$start")"
        return 1
    fi
    summary="$(grep -E 'tests passed' "$out" | tail -n 1)"
    log "[1/3] kernel tests: passed (${summary:-?}) in $(elapsed "$start")"
}

# ---- 2. the Python suite on the emulated interpreter ----
python_suite() {
    local start=$SECONDS out="$work/suite.log" rc=0 summary
    local args=(-q -p no:cacheprovider tests --ignore=tests/examples "$@")
    log "[2/3] python suite: $EMULATED -m pytest ${args[*]}"
    MORLA_HYPOTHESIS_PROFILE=emulated MORLA_FUZZ_EXAMPLES=50 MORLA_LEAK_ITERATIONS=5000 \
        quietly "[2/3] python suite" "$out" emulated 1800 -m pytest "${args[@]}" || rc=$?
    summary="$(tail -n 1 "$out")"
    if ((rc == 124)); then
        cat "$out" >&2
        log "[2/3] python suite: FAILED, stopped after 30 minutes (a hang?)"
        return 1
    elif ((rc == 5)); then
        log "[2/3] python suite: FAILED, pytest collected no tests, after $(elapsed "$start")"
        return 1
    elif ((rc != 0)); then
        cat "$out" >&2
        log "[2/3] python suite: FAILED ($summary), after $(elapsed "$start")"
        return 1
    fi
    summary="${summary//=/}"
    log "[2/3] python suite: passed (${summary% in *}) in $(elapsed "$start")"
    # pytest's short summary (with -rs) names each skip and its reason: those lines, not the log
    grep '^SKIPPED' "$out" | sed 's/^/test-aarch64: /' >&2 || true
}

# ---- 3. the same bits on both CPUs ----
same_bits() {
    local start=$SECONDS battery=tests/platforms/bits_battery.py native="$work/bits-x86_64.txt"
    local aarch64="$work/bits-aarch64.txt" differing
    log "[3/3] same bits: $battery with $PY and under qemu, compared line by line"
    if ! "$PY" "$battery" >"$native" 2>"$work/bits.err"; then
        cat "$work/bits.err" >&2
        log "[3/3] same bits: FAILED, the battery failed natively, after $(elapsed "$start")"
        return 1
    fi
    if ! emulated 900 "$battery" >"$aarch64" 2>"$work/bits.err"; then
        cat "$work/bits.err" >&2
        log "[3/3] same bits: FAILED, the battery failed under qemu, after $(elapsed "$start")"
        return 1
    fi
    [[ -s $native ]] || { log "[3/3] same bits: FAILED, the battery printed nothing"; return 1; }
    # The portable path rounds a product's multiply-adds twice, NEON once: without fused
    # multiply-add here, only the element-wise cases can agree.
    if [[ "$("$PY" -c 'from morla._kernel_path import active_path; print(active_path())')" == portable ]]; then
        log "[3/3] same bits: this CPU runs the portable path; products and gradients are not compared"
        sed -i -E '/ matmul | model /d' "$native" "$aarch64"
    fi
    # a case's name is its line without the last field (the digest)
    differing="$(diff <(sort "$native") <(sort "$aarch64") | sed -nE 's/^[<>] (.*) [^ ]+$/\1/p' | sort -u)"
    if [[ -n $differing ]]; then
        log "[3/3] same bits: FAILED, $(wc -l <<<"$differing") of $(wc -l <"$native") cases differ or are missing on one side (x86_64, aarch64):"
        sed 's/^/    /' <<<"$differing" >&2
        return 1
    fi
    log "[3/3] same bits: passed ($(wc -l <"$native") cases alike) in $(elapsed "$start")"
}

kernel_tests || failed+=("kernel tests")
python_suite "$@" || failed+=("python suite")
same_bits || failed+=("same bits")
if ((${#failed[@]})); then
    die "failed on aarch64: $(IFS=,; echo "${failed[*]}" | sed 's/,/, /g')"
fi
log "all passed"
