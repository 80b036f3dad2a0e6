#!/usr/bin/env bash
# Runs the engine's tests once more on each instruction-set path below the one this CPU gets
# (which the main test run covers): the module is built with its kernels pinned
# (MORLA_FORCE_ISA) into a directory of its own that goes first on PYTHONPATH, and the tests are
# told which path runs (MORLA_TEST_ISA) for the results that depend on it.
# Usage: scripts/test-paths.sh PYTHON [pytest args]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$1"
shift
flags=$(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null || true)
has() { [[ " $flags " == *" $1 "* ]]; }

paths=()
if has avx2 && has fma && has f16c; then
    paths+=(Portable)
    if has avx512f && has avx512bw && has avx512vl && has avx512dq; then paths+=(Avx2); fi
fi

for path in ${paths[@]+"${paths[@]}"}; do
    echo "test-paths: building and testing the $path path" >&2
    target=$(bash scripts/build-variant.sh "$PY" "$path" \
        --config-settings=cmake.define.MORLA_FORCE_ISA="$path")
    PYTHONPATH="$target" MORLA_TEST_ISA="$path" "$PY" -m pytest -q -p no:cacheprovider \
        tests/engine tests/nn tests/autograd tests/hardening "$@"
done
