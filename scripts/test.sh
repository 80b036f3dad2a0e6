#!/usr/bin/env bash
# The project's test command. It sets everything up (scripts/bootstrap.sh), then runs these
# stages, each announced with what it runs and ended with its result and wall time:
#   suite                 the whole suite;
#   suite, 4 threads      the whole suite again, every test run by four threads at once
#                         (pytest-run-parallel);
#   kernel tests          every instruction-set path's kernels, from one build (tests/kernels);
#   kernel tests, ASan    the same under ASan and UBSan (scripts/test-kernels.sh --sanitize);
#   suite, ASan           the whole suite against an ASan+UBSan build (scripts/test-sanitize.sh);
#   suite, 3.13 GIL       the whole suite on CPython 3.13 with the GIL, where the machine has one
#                         (scripts/test-gil.sh);
#   suite, 3.14 GIL       the whole suite on CPython 3.14 with the GIL, built from the same source
#                         (scripts/bootstrap.sh --gil);
#   NumPy floors          the whole suite against the oldest NumPy and ml_dtypes that install on
#                         3.14t, 3.14 and 3.13, the floors pyproject.toml declares
#                         (scripts/test-numpy-floor.sh);
#   aarch64 set-up        64-bit ARM under qemu-user (scripts/bootstrap.sh --aarch64);
#   packaging             an sdist, and for 3.14t, 3.14 and 3.14t on aarch64 a wheel built from
#                         it, repaired to a manylinux tag and used from a fresh venv
#                         (scripts/test-packaging.sh);
#   download              the CPython source downloaded from a Debian archive, as a new machine
#                         does (scripts/test-download.sh);
#   main job, smoke run   scripts/train.sh for 3 epochs of a small model: it runs and draws;
#   aarch64               the kernel tests cross-compiled, the suite and a battery of results
#                         compared bit for bit with this machine's, under qemu
#                         (scripts/test-aarch64.sh).
# Every stage runs even when an earlier one failed (except those that need a failed set-up); a
# summary table and one line with the whole result come last. Exits non-zero when any failed.
# Each pytest run ends with its failures and errors and every skip with its reason (-rfEs), one
# line each. Extra arguments go to every pytest run. "No tests collected" counts as a failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# Arguments that make pytest run no test would pass every suite stage; the parallel runner's
# own option is set per stage (not every venv has the plugin).
for arg in "$@"; do
    case "$arg" in
        -h | --help)
            sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
            exit 0
            ;;
        --co | --collect-only | --version | -V | --fixtures* | --markers | --setup-only | --setup-plan | \
            --parallel-threads* | run-parallel | no:run-parallel)
            echo "test.sh: '$arg' cannot go to the test command's pytest runs (they must run the tests, each stage as it chooses); run pytest directly for it" >&2
            exit 2
            ;;
    esac
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# An interrupt ends the whole command, not only the stage it reaches (pytest, for one, exits
# normally on an interrupt).
trap 'echo >&2; echo "test.sh: interrupted" >&2; summary; exit 130' INT TERM
export MORLA_STAGE_SKIP_FILE="$work/skipped"
PYTEST_ARGS=("$@")
# What every pytest run lists at its end: failures, errors and each skip with its reason
# (pytest's default, -rfE, leaves skips a bare count). The extra arguments come after it.
REPORT=(-rfEs)
started=$SECONDS
TOTAL=14
names=() results=() times=()
passed=0 failed=0 skipped=0

# 75 s -> "1 min 15 s"
duration() {
    local s="$1"
    if ((s >= 60)); then echo "$((s / 60)) min $((s % 60)) s"; else echo "$s s"; fi
}

# stage NAME WHAT COMMAND...: announces the stage, runs COMMAND (a function or a program) in a
# subshell with errexit, and records passed, failed or skipped (when COMMAND wrote a reason to
# MORLA_STAGE_SKIP_FILE) with the wall time; STAGE_OK says whether it passed or was skipped. It
# is never called as a condition: there bash would ignore errexit inside COMMAND.
stage() {
    local name="$1" what="$2" start=$SECONDS result rc
    shift 2
    local number=$((${#names[@]} + 1))
    echo >&2
    echo "=== test.sh [$number/$TOTAL] $name: $what" >&2
    : >"$MORLA_STAGE_SKIP_FILE"
    set +e
    (
        set -e
        "$@"
    )
    rc=$?
    set -e
    if ((rc != 0)); then
        result="failed (exit $rc)"
        failed=$((failed + 1))
    elif [[ -s $MORLA_STAGE_SKIP_FILE ]]; then
        result="skipped ($(head -n 1 "$MORLA_STAGE_SKIP_FILE"))"
        skipped=$((skipped + 1))
    else
        result="passed"
        passed=$((passed + 1))
    fi
    names+=("$name") results+=("$result") times+=("$(duration $((SECONDS - start)))")
    echo "=== test.sh [$number/$TOTAL] $name: $result ($(duration $((SECONDS - start))))" >&2
    STAGE_OK=true
    ((rc == 0)) || STAGE_OK=false
}

# not_run NAME WHY: records a stage that cannot run.
not_run() {
    names+=("$1") results+=("not run: $2") times+=("-")
    echo "=== test.sh [${#names[@]}/$TOTAL] $1: not run: $2" >&2
}

summary() {
    local i
    {
        echo
        echo "test.sh: summary"
        printf '  %-3s %-22s %-12s %s\n' "" stage time result
        for i in "${!names[@]}"; do
            printf '  %-3s %-22s %-12s %s\n' "$((i + 1))." "${names[i]}" "${times[i]}" "${results[i]}"
        done
    } >&2
    local line="test.sh: $TOTAL stages, $passed passed"
    ((skipped == 0)) || line+=", $skipped skipped"
    line+=", $failed failed"
    local unrun=$((TOTAL - passed - skipped - failed))
    ((unrun == 0)) || line+=", $unrun not run"
    line+=" ($(duration $((SECONDS - started))))"
    echo "$line" >&2
}

# run_pytest PYTHON [pytest arguments]: the suite, with the test command's extra arguments.
run_pytest() {
    local rc=0 python="$1"
    shift
    "$python" -m pytest -q -p no:cacheprovider "${REPORT[@]}" "$@" tests ${PYTEST_ARGS[@]+"${PYTEST_ARGS[@]}"} || rc=$?
    if ((rc == 5)); then
        echo "test.sh: pytest collected no tests" >&2
        return 1
    fi
    return "$rc"
}

setup() { bash scripts/bootstrap.sh >"$work/$1.python" ${2:+"$2"}; }
python_of() { tail -n 1 "$work/$1.python" 2>/dev/null; }

gil_suite() {
    setup gil --gil
    echo "test.sh: $("$(python_of gil)" -V) with the GIL" >&2
    run_pytest "$(python_of gil)" -p no:run-parallel
}

numpy_floors() {
    local pythons=("$PY")
    [[ -x $(python_of gil) ]] && pythons+=("$(python_of gil)")
    local py313
    py313="$(bash scripts/test-gil.sh --venv)"
    if [[ -n $py313 ]]; then
        pythons+=("$py313")
    else
        echo "test.sh: no CPython 3.13 here: its declared floor (NumPy 2.1.0, ml_dtypes 0.5.0) goes untested" >&2
    fi
    bash scripts/test-numpy-floor.sh "${pythons[@]}" -- "${REPORT[@]}" ${PYTEST_ARGS[@]+"${PYTEST_ARGS[@]}"}
}

packaging() {
    local pythons=("$PY")
    [[ -x $(python_of gil) ]] && pythons+=("$(python_of gil)")
    local emulated=()
    [[ -x $(python_of aarch64) ]] && emulated=(--aarch64 "$(python_of aarch64)")
    bash scripts/test-packaging.sh "${pythons[@]}" ${emulated[@]+"${emulated[@]}"}
}

# A smoke run: a few epochs of a small model through the script a user runs, which must end with
# its accuracy line and draw its picture. Its accuracy says nothing after 3 epochs.
main_job_smoke() {
    bash scripts/train.sh --epochs 3 --hidden 64 --threads 3 --plot "$work/digits.png" >"$work/job.out"
    local last
    last="$(tail -n 1 "$work/job.out")"
    [[ $last =~ ^test\ accuracy:\ [0-9]+\.[0-9]%$ ]] || { cat "$work/job.out" >&2; echo "test.sh: the main job did not finish" >&2; return 1; }
    [[ -s $work/digits.png ]] || { echo "test.sh: the main job wrote no picture" >&2; return 1; }
    echo "test.sh: the main job ran 3 epochs (a smoke run; $last) and drew its picture" >&2
}

stage "set-up" "the free-threaded CPython 3.14, its venv and the module (scripts/bootstrap.sh)" setup main
if ! $STAGE_OK; then
    echo "test.sh: the set-up failed, so the other stages cannot run" >&2
    summary
    exit 1
fi
PY="$(python_of main)"
export PATH="$(dirname "$PY"):$PATH"  # CMake and Ninja for the kernel tests
# Arguments pytest refuses, or that select no test, would fail every stage, minutes apart.
if ((${#PYTEST_ARGS[@]})); then
    rc=0
    "$PY" -m pytest --collect-only -q -p no:cacheprovider tests "${PYTEST_ARGS[@]}" >"$work/collect" 2>&1 || rc=$?
    if ((rc != 0)); then
        grep -m 1 "error: " "$work/collect" >&2 || tail -n 1 "$work/collect" >&2
        echo "test.sh: pytest $([[ $rc == 5 ]] && echo "collects no test with" || echo "refuses") '${PYTEST_ARGS[*]}' (extra arguments go to every pytest run)" >&2
        exit 2
    fi
fi

stage "suite" "the whole Python suite on the free-threaded $("$PY" -V)" run_pytest "$PY" -p no:run-parallel
stage "suite, 4 threads" "the whole suite, each test run by four threads at once" \
    run_pytest "$PY" --parallel-threads=4
stage "kernel tests" "every instruction-set path's kernels against the portable path (GoogleTest)" \
    bash scripts/test-kernels.sh
stage "kernel tests, ASan" "the same under ASan and UBSan" bash scripts/test-kernels.sh --sanitize
stage "suite, ASan" "the whole suite against an ASan+UBSan build of the module" \
    bash scripts/test-sanitize.sh -p no:run-parallel "${REPORT[@]}" ${PYTEST_ARGS[@]+"${PYTEST_ARGS[@]}"}
stage "suite, 3.13 GIL" "the whole suite on CPython 3.13 with the GIL, where the machine has one" \
    bash scripts/test-gil.sh "${REPORT[@]}" ${PYTEST_ARGS[@]+"${PYTEST_ARGS[@]}"}
stage "suite, 3.14 GIL" "CPython 3.14 with the GIL from the same source (bootstrap.sh --gil), the whole suite on it" \
    gil_suite
stage "NumPy floors" "the whole suite against the oldest NumPy and ml_dtypes each interpreter installs" \
    numpy_floors
stage "aarch64 set-up" "a free-threaded CPython and the module for 64-bit ARM, run under qemu (bootstrap.sh --aarch64)" \
    setup aarch64 --aarch64
stage "packaging" "an sdist; wheels from it for 3.14t, 3.14 and aarch64, repaired and used from fresh venvs" \
    packaging
stage "download" "the CPython source fetched from a local Debian archive, as a new machine does" \
    bash scripts/test-download.sh "$PY"
stage "main job, smoke run" "scripts/train.sh for 3 epochs of a 64-64-10 model: it runs and draws" \
    main_job_smoke
if [[ -x $(python_of aarch64) ]]; then
    stage "aarch64" "kernel tests, the suite and a battery of results compared with this machine's, under qemu" \
        bash scripts/test-aarch64.sh "$PY" "${REPORT[@]}" ${PYTEST_ARGS[@]+"${PYTEST_ARGS[@]}"}
else
    not_run "aarch64" "its set-up failed"
fi
summary
((passed + skipped == TOTAL))
