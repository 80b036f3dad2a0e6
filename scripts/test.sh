#!/usr/bin/env bash
# The project's test command. It sets everything up (scripts/bootstrap.sh), then runs:
#   1. the whole suite;
#   2. the whole suite again with every test run by several threads at once (pytest-run-parallel);
#   3. the kernel tests of every instruction-set path, from one build (scripts/test-paths.sh);
#   4. the whole suite against an ASan+UBSan build (scripts/test-sanitize.sh);
#   5. the whole suite on CPython 3.13 with the GIL, where the machine has one (scripts/test-gil.sh);
#   6. the whole suite on CPython 3.14 with the GIL, built from the same source
#      (scripts/bootstrap.sh --gil);
#   7. the whole suite against the oldest NumPy and ml_dtypes that install on 3.14t, 3.14 and
#      3.13 (where the machine has it), the floors pyproject.toml declares
#      (scripts/test-numpy-floor.sh);
#   8. an sdist, and for 3.14t and 3.14 (and 3.14t on aarch64, cross-built and run under qemu) a
#      wheel built from it, what it holds, the wheel repaired to a manylinux tag and used from a
#      fresh venv far from the source (scripts/test-packaging.sh);
#   9. what a new machine does that a warm cache skips: the download of the CPython source from
#      the Debian archive (scripts/test-download.sh), and the main job itself, briefly, through
#      the same script a user runs (scripts/train.sh);
#  10. on 64-bit ARM (aarch64) under qemu-user: the kernel tests cross-compiled, the suite, and a
#      battery of results compared bit for bit with this machine's (scripts/test-aarch64.sh).
# Extra arguments go to every pytest run. "No tests collected" counts as a failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$(bash scripts/bootstrap.sh | tail -n 1)"

# run_pytest PYTHON [pytest arguments]
run_pytest() {
    local rc=0 python="$1"
    shift
    "$python" -m pytest -q -p no:cacheprovider "$@" || rc=$?
    if ((rc == 5)); then
        echo "test.sh: pytest collected no tests" >&2
        exit 1
    fi
    ((rc == 0)) || exit "$rc"
}

run_pytest "$PY" tests "$@"
echo "test.sh: the suite again, four threads per test" >&2
run_pytest "$PY" --parallel-threads=4 tests "$@"
PATH="$(dirname "$PY"):$PATH" bash scripts/test-paths.sh
bash scripts/test-sanitize.sh "$@"
bash scripts/test-gil.sh "$@"
GIL_PY="$(bash scripts/bootstrap.sh --gil | tail -n 1)"
echo "test.sh: the suite on $("$GIL_PY" -V) with the GIL" >&2
run_pytest "$GIL_PY" tests "$@"
floor_pythons=("$PY" "$GIL_PY")
py313="$(bash scripts/test-gil.sh --venv)"
if [[ -n $py313 ]]; then
    floor_pythons+=("$py313")
else
    echo "test.sh: no CPython 3.13 here: its declared floor (NumPy 2.1.0, ml_dtypes 0.5.0) goes untested" >&2
fi
bash scripts/test-numpy-floor.sh "${floor_pythons[@]}" -- "$@"
EMULATED="$(bash scripts/bootstrap.sh --aarch64 | tail -n 1)"
bash scripts/test-packaging.sh "$PY" "$GIL_PY" --aarch64 "$EMULATED"
bash scripts/test-download.sh "$PY"
echo "test.sh: the main job, briefly" >&2
job="$(mktemp -d)"
bash scripts/train.sh --epochs 3 --hidden 64 --threads 3 --plot "$job/digits.png" >"$job/out"
cat "$job/out" >&2
[[ "$(tail -n 1 "$job/out")" =~ ^test\ accuracy:\ [0-9]+\.[0-9]%$ ]] || { echo "test.sh: the main job did not finish" >&2; exit 1; }
[[ -s $job/digits.png ]] || { echo "test.sh: the main job wrote no picture" >&2; exit 1; }
rm -rf "$job"
bash scripts/test-aarch64.sh "$PY" "$@"
